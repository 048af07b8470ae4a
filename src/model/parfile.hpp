// The peak-parameter file (extension "par"): the result of a fit as a list of
// single peaks, written by the refinement and the peak-fitting programs and
// read by the peak-fitting, instrument-profile and plot programs.
//
// The file is text in the line format of the parameter store: a line is a
// record of blank-separated items; an item name=value is a store statement,
// any other item a value. Records in order:
//   1. header: statements that re-establish the settings under which the
//      peaks were obtained (PEAKZAHL, TITEL, LINTOR, WMIN, WMAX, the
//      radiation key, POL, UNT, UNTC, EPS1..EPS4, CUT[k], TubeTails, ...);
//   2. PEAKZAHL peak records: the parameter count t (2, 3 or 4), the
//      intensity and the position (reciprocal d, 2 sin(theta) / lambda), for
//      t >= 3 the own Lorentzian width, for t = 4 the square of the own
//      squared-Lorentzian width; then items of the writer (GSUM=, PHASE=,
//      H=, index triples, ...). A record whose count is none of 2, 3, 4 is
//      ignored but counts towards PEAKZAHL;
//   3. background record: the coefficient count, then the coefficients;
//   4. whatever a writer appends (the peak-fitting program: the inverse
//      normal matrix); readers stop after the background record.
// The last record may end without a line end; CRLF line ends read as LF.
//
// Reading, on the main thread:
//
//   model::ParFile pf;
//   if (!pf.open(name)) { ... the file cannot be opened ... }
//   int peaks = pf.header();     // a new scope on top holds the header's keys
//   model::ParPeak pk;
//   while (pf.peak(pk)) {        // each of the PEAKZAHL records in turn
//     if (pk.type == 0) continue;  // ignored record
//     ... pk.intensity, pk.position, pk.third, pk.fourth, pk.items ...
//   }
//   std::vector<float> bg;
//   int ru = pf.background(&bg); // -1 when the file has no background record
//   pf.close();
//   ...                          // header keys (LINTOR, CUT[k], ...) are
//                                // visible while the scope is on top
//   pf.discardscope();           // drops the header's keys
//
// Every value item of a record is also stored as p[0], p[1], ... in the
// header's scope and its statements are executed there, as the store's
// record reader does. A failing store read (no PEAKZAHL, a missing or
// non-numeric parameter, a file that ends before its PEAKZAHL records) jumps
// to the caller's innermost error frame like any store call.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace model {

// One peak record as read.
struct ParPeak {
  int type = 0;      // 2, 3 or 4; 0 for a record that is ignored
  double count = 0;  // the parameter count as written (p[0]), also when ignored
  double intensity = 0;
  double position = 0;  // reciprocal d
  double third = 0;     // own Lorentzian width (type 3 and 4), else 0
  double fourth = 0;    // square of the own squared-Lorentzian width (type 4), else 0
  // The items that follow the parameters, exactly as written (statements
  // such as "PHASE=Quartz" unexecuted, "GSUM=" items included), in order.
  std::vector<std::string> items;
};

class ParFile {
 public:
  ParFile() = default;
  ParFile(const ParFile&) = delete;
  ParFile& operator=(const ParFile&) = delete;
  // Closes the file; the header's scope is left as it is.
  ~ParFile();

  // Opens the file for reading; false when it cannot be read (nothing else
  // happens then, but for the message of a name that is not a file, which
  // names key: the key or role that named the file).
  bool open(const char* path, const char* key = "peak-parameter file");
  bool open(const std::string& path, const char* key = "peak-parameter file") {
    return open(path.c_str(), key);
  }

  // Creates a new scope on top and executes the header record into it;
  // returns PEAKZAHL, read from that scope alone (not below 0).
  int header();
  // PEAKZAHL as written in the header (also below 0); 0 before header().
  int declared() const { return declared_; }

  // Reads the next of the PEAKZAHL peak records into pk; false once all of
  // them are read (pk is then unchanged).
  bool peak(ParPeak& pk);

  // Reads over the peak records not yet read, then reads the background
  // record: returns its coefficient count (not below 0) and, when coef is
  // given, the coefficients; -1 and no coefficients when the file has no
  // further record or the record holds no value.
  int background(std::vector<float>* coef);

  // Closes the file (the header's scope stays).
  void close();

  // Discards the scope that header() created (its keys are not committed);
  // it must be the top scope. Nothing happens when header() was not called
  // or the scope is already discarded.
  void discardscope();

 private:
  FILE* stream_ = nullptr;
  std::string text_;  // the file's contents, CRLF turned into LF
  int level_ = 0;     // chain depth with the header's scope on top; 0 none
  int left_ = 0;      // peak records still to read
  int declared_ = 0;  // PEAKZAHL as written
};

// The GSUM item of a peak record: the sum of the instrument function's
// component weights at sin(theta) = position / (2 l0). False when that is
// not inside (0, 1) or the instrument function fails there (no message; its
// fatal-error switch is restored).
bool parfile_gsum(double position, double* gsum);

}  // namespace model
