// The line-profile model of free peaks over the measured pattern: the peak
// record with its allocation and sorting, the peak kernels, the per-point
// profile tables, the pattern model with its exact derivatives (ordinary and
// derivative mode) and the single-peak diagnostics.
//
// Coordinates: a measured point's angle is sin(theta); a peak position and
// every width are in reciprocal d, 1/d = 2 sin(theta) / lambda (nm^-1).
#pragma once

#include <cstddef>
#include <cstdint>

namespace model {

// ---------------------------------------------------------------------------
// Peak record

// Free peaks of three kinds plus the background coefficients.
//   kind 2: intensity I, position P
//   kind 3: I, P, own Lorentzian half width L
//   kind 4: I, P, L, square s of the own squared-Lorentzian width beta = sqrt(s)
// I is the integrated intensity over the position coordinate. Every array of
// a kind with count 0 is null; t and in arrays exist only once the
// diagnostics made them.
struct PeakSet {
  int32_t count2;
  int32_t count3;
  int32_t count4;
  int32_t ru;   // background coefficients
  float* bg;    // [ru]
  float* par2;  // [2 * count2]
  float* par3;  // [3 * count3]
  float* par4;  // [4 * count4]
  float* t2;    // re-estimated intensities [count2] or null
  float* t3;
  float* t4;
  uint8_t* in2;  // inside flags [count2] or null
  uint8_t* in3;
  uint8_t* in4;
  int32_t* ix2;  // column of each peak in the per-phase sums yphasen
  int32_t* ix3;
  int32_t* ix4;
};

// Builds *target afresh with the given counts (all values 0) and, when old is
// given, copies old into it: the first min(ru, old->ru) background
// coefficients (further ones repeat old's last), then per kind old's peaks in
// order, without the one peak (kind, index), with their ix entries, until the
// new count is full. The previous *target is freed after the copy, so old may
// be *target itself. Negative counts are taken as 0.
void peakalloc(const PeakSet* old, PeakSet** target, int kind, int index, int ru, int count2,
               int count3, int count4);
// Frees the record and every array; sets *set to null. A null record is fine.
void peakfree(PeakSet** set);
// Sorts the peaks of each kind by ascending position, moving the parameter
// block and the ix, t and in entries of each peak along.
void peaksort(PeakSet* set);

// Peak kernels: the summed model value of npeaks peaks of kind 2, 3 or 4
// (parameter blocks of 2, 3 or 4 floats) at one data point, from the point's
// four-value summary (S, mean Lorentzian width, effective squared-Lorentzian
// width, centroid) and its ncomp component rows (weight, Lorentzian width,
// squared-Lorentzian width, position). When yrow is given, each peak's value
// is also added to yrow[ix[k]].
float p2(const float* summary, const float* table, int ncomp, const float* peaks, int npeaks,
         const int32_t* ix, float* yrow);
float p3(const float* summary, const float* table, int ncomp, const float* peaks, int npeaks,
         const int32_t* ix, float* yrow);
float p4(const float* summary, const float* table, int ncomp, const float* peaks, int npeaks,
         const int32_t* ix, float* yrow);

// ---------------------------------------------------------------------------
// Measured pattern (filled by the programs from the scan reader)

extern int m;               // residual rows: points N, or 2(N - 4) in derivative mode
extern float* sinx;         // [N] sin(theta), ascending
extern float* intensitaet;  // [m] measured value of each row
extern float* w;            // [m] weight 1/sigma of each row
extern float* y;            // [N] model per point, or null
extern float* u;            // [N] background per point, or null
extern float* yphasen;      // [N * nphasen] per-point partial peak sums, or null
extern int nphasen;

// ---------------------------------------------------------------------------
// Per-point profile tables

// Tabulates, for every measured point, the instrument function at its angle
// folded with the wavelength lines, the summary, the polarisation factor and
// the position of strongest response. Evaluates the instrument function at
// every point on the worker pool (gerbatch); call from the main thread.
void hinit();
void hfrei();

// Read-only view of the tables hinit built (null pointers and 0 points
// after hfrei): point i has hdim[i] rows of four floats (weight, Lorentzian
// width, squared-Lorentzian width, position) at h[i], the summary at
// h0 + 4 i, its polarisation factor (when built with one) and its position
// of strongest response; sort lists the points by that position.
struct ProfileTables {
  int points;
  const float* const* h;
  const int* hdim;
  const float* h0;
  const float* polk;
  const double* sdata;
  const int* sort;
};
ProfileTables profiletables();

// ---------------------------------------------------------------------------
// Pattern model and derivatives

// r[0..m-1] = weighted residuals of set; fills y, u and yphasen when present.
void modell(float* r, const PeakSet* set);
// Polarisation-weighted peak sum at measured point i; fills row i of yphasen.
float modell0(int i, const PeakSet* set);
// values[i] = modell0(i, set) for the points 0 .. points-1, to the bit, by
// the faster code of the model (four points side by side) on the worker
// pool; yphasen is left alone. Call from the main thread.
void modellpunkte(float* values, int points, const PeakSet* set);
// Derivative row of residual t: 2 count2 + 3 count3 + 4 count4 peak entries
// (per peak dI, dP, then dL, then ds), followed by set->ru background
// entries. Ordinary mode: rows may be computed on any thread. Derivative
// mode: rows must come in the order 0, 1, ..., m-1 from one thread; the
// background entries are 0 there.
void ableitung(float* row, int t, const PeakSet* set);
// The rows t0 .. t0+n-1 of ableitung into rows + k * stride (k = 0 .. n-1):
// the same values, for a set that does not change meanwhile.
void ableitungen(float* rows, size_t stride, int t0, int n, const PeakSet* set);
// The unweighted peak entries of the derivative of modell0(i).
void ableitung0(float* row, int i, const PeakSet* set);
// The same entries as ableitung0, to the bit, by the faster code of the
// rows (four peaks side by side); any thread. In derivative mode these are
// the point rows that the rows of ableitung take through the weights of
// their window: a caller that wants only a few combinations of the columns
// combines the point rows first and windows the combinations.
void ableitungpunkt(float* row, int i, const PeakSet* set);

// ---------------------------------------------------------------------------
// Peak diagnostics

// True when at least nmin tabulated points respond most strongly within
// [P - hw, P + hw].
bool innen1(int nmin, double P, double hw);
// Sets the inside flags of every peak: more points above half the peak's
// maximum than the peak has parameters.
void innen(PeakSet* set);
// Least-squares re-estimate of every peak's intensity into the t arrays;
// returns 1 without work when dof < 2, else 0.
int estimatet0(PeakSet* set, int dof);
// Full width in 1/d of peak index of the given kind; flag 1 adds the
// instrument's spread in quadrature. Main thread.
float hwb(int flag, int kind, int index, const PeakSet* set);

}  // namespace model
