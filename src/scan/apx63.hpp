// The scan reader: measured powder patterns from every supported file format,
// turned into one pattern sorted by angle with the angle window, the excluded
// ranges, the counting statistics and the sigma correction near strong lines;
// and the tube-tail table measured from one scan of a single strong line.
//
// Formats, chosen by the file extension: binary "raw" (magics "RAW1.01" and
// "RAW2") and "rd", GSAS text "gsa" (STD and ESD), the parameter text "val",
// and plain text columns for every other extension.
#pragma once

#include <cstdint>
#include <string>

namespace scan {

// One scan-file name of the caller's list; the list is read in order.
struct ScanNameNode {
  char name[8008];
  ScanNameNode* next;
};

// One measured point: intensity (counts per unit time, or as given) and
// weight 1/sigma. A point without a usable weight carries weight 0.
struct ScanPoint {
  float intensity;
  float weight;
  uint8_t used;  // set and read by getval; getscans leaves it 0
};

// One measured range: an equidistant run of points in 2theta.
struct ScanRecord {
  ScanRecord* next;
  int32_t n;          // number of points
  double start;       // 2theta of the first point, degrees
  double step;        // 2theta increment, degrees (0 for a one-point record)
  ScanPoint* points;  // n points (malloc'd), null when n < 1
};

// One excluded range, as sin theta.
struct CutInterval {
  float lower;
  float upper;
  CutInterval* next;
};

// Angle window of getval as sin theta; set by the programs before cutinit
// and getval.
extern float sinxmin;
extern float sinxmax;
// Excluded ranges, built by cutinit, dropped by cutfree.
extern CutInterval* cut;
// Set by the instrument-profile program: no sigma correction near lines.
extern bool iflintor;
// 1 when the instrument function includes the tube tails; korrw then uses
// the smaller factor. Written by the instrument function (model layer).
extern char iftubetails;

// Tube-tail table, valid after tubetailinit.
extern float tubetails;       // fraction of the intensity outside the line; 0 without table
extern float* tubetailarray;  // cumulative tail distribution, tubetailm + 1 entries
extern int tubetailm;         // last index of the table
extern float tubetailmax;     // fractional table index of the line's centroid
extern float tubetailstep;    // table step in degrees 2theta

// Reads every file of the list and pushes its measured ranges at the head of
// *records (so files, and the ranges of one file, come out in reverse
// reading order). lambda holds the wavelength name, at most lamlen
// characters and a terminating zero: without a radiation key the anode of the
// first file is adopted into it, and files with another anode are refused.
// Damaged files are refused with a warning and leave no record behind.
// The file a scan name reads: the name, with the extension "val" added when
// it has none.
std::string scanpath(const char* name);

void getscans(ScanNameNode* list, int lamlen, char* lambda, ScanRecord** records);

// The most measured points all the scans of one reading may hold together:
// more end the run with message -116 before they are stored.
constexpr int kMostScanPoints = 50000000;
// Frees a list of records with their points.
void scanfree(ScanRecord* records);

// Reads all scans of the list into one pattern sorted by sin theta: the
// points inside the angle window and outside the excluded ranges, as three
// malloc'd arrays of *npts entries (old arrays given in are freed; none when
// no point is left). Settles the radiation kind from the keys SYNCHROTRON,
// NEUTRONS and LAMBDA and writes the radiation or wavelength name into
// lambda (lamlen characters at most). In derivative mode the pattern is
// transformed (korrddm) and *npts is the number of residual rows; otherwise,
// for X-ray tubes and unless iflintor is set, korrw raises the sigma of
// points near strong lines.
void getval(ScanNameNode* list, int lamlen, char* lambda, int* npts, float** sinx, float** intens,
            float** w);

// Reads the excluded ranges CUT[1], CUT[2], ... (text "a:b", 2theta in
// degrees, each a formula) up to the first missing one.
void cutinit();
void cutfree();

// Raises sigma (lowers w) of each point to a fraction of the largest rise of
// a neighbour within 2.5 degrees 2theta, weighted by a Gaussian of 0.5
// degrees; n points sorted by sin theta.
void korrw(int n, const float* sinx, const float* intens, float* w);

// Derivative-mode transform of n points (at least 5): two rows per interior
// point, the smoothed first and half second derivative. *intens and *w are
// replaced by malloc'd arrays of 2(n - 4) entries; the old intensities become
// ddmoriintensitaet. sinx is not used.
void korrddm(int* n, const float* sinx, float** intens, float** w);

// Measures the tube-tail table from the scan named by the key TubeTails.
void tubetailinit();
// Drops the table; tubetails becomes 0.
void tubetailfree();

}  // namespace scan
