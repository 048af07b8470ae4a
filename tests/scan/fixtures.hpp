// Small scan files for the reader's tests: binary "raw" (both magics) and
// "rd" files built byte by byte, and a reader front end that returns the
// records in a plain form together with what the reader printed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace scanfix {

// One range of a "raw" file.
struct RawRange {
  double start = 10.0;
  double step = 0.02;
  float time = 1.0f;
  std::vector<float> counts;
  int extra = 0;    // RAW1.01: length of the extra block before the counts
  int header = 40;  // RAW2: header length of the range
};

// A "RAW1.01" file: anode at byte 608 (four bytes, padded with blanks).
std::string raw1(const std::string& anode, const std::vector<RawRange>& ranges);
// A "RAW2" file: two-character anode at byte 188.
std::string raw2(const std::string& anode, const std::vector<RawRange>& ranges);

// An "rd" file: anode code, step source, step/start/end in units of 0.005
// degrees, counting time in units of 0.05, and the stored values s (counts
// s*s/100) at the end of the file after `gap` filler bytes behind the header.
struct Rd {
  int anode = 0;
  int stepsource = 0;
  int step = 4;
  int start = 2000;
  int end = 2012;
  int time = 20;
  int gap = 0;
  std::vector<int16_t> values;
};
std::string rd(const Rd& f);

// Little-endian field writers, for building hostile variants.
void put16(std::string& b, size_t off, int v);
void put32(std::string& b, size_t off, int32_t v);
void putf32(std::string& b, size_t off, float v);
void putf64(std::string& b, size_t off, double v);

// One record as the reader made it.
struct Rec {
  int n;
  double start;
  double step;
  std::vector<float> y;
  std::vector<float> w;
};

// What getscans made of a list of files.
struct Read {
  std::vector<Rec> recs;  // in list order (last read first)
  std::string out;        // what it printed
  std::string lambda;     // the wavelength name afterwards
};

// Runs getscans on the files (names as listed) with the given wavelength
// buffer content; the radiation kind is whatever the caller set. With capture
// false the messages go to standard output (for a run in a child process).
Read getscans(const std::vector<std::string>& names, const std::string& lambda = "",
              int lamlen = 7996, bool capture = true);

// A "val" file of one or more ranges of values (mode 'C': intensities as
// given, weight sqrt(time)/value; mode 'T': value times time counts).
struct ValRange {
  double start;
  double step;
  std::vector<double> values;
  char mode = 'C';
  double time = 1.0;
};
std::string val(const std::vector<ValRange>& ranges, const std::string& wavelength = "Cu");

// What getval made of a list of files: the pattern (arrays copied, the
// reader's arrays freed), the wavelength name and the printed text.
struct Pattern {
  int npts = 0;
  bool null = true;  // the arrays came back null
  std::vector<float> sinx, y, w;
  std::string lambda;
  std::string out;
};
// sinx holds all measured points also in derivative mode (npts rows).
Pattern getval(const std::vector<std::string>& names, bool capture = true);

// The text of message n with its arguments, as the reader prints it.
std::string msg(int n, ...);

// A fresh store (one scope, lookup mode 2) and no radiation kind: no key,
// and the reader's memory of a LAMBDA key from an earlier getval cleared.
void fresh_store_without_radiation();

// A catalogue for the tests: the process's copy of the installation data,
// made the installation directory of the process.
void use_test_installation();

}  // namespace scanfix
