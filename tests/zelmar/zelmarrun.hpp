// Helpers of the end-to-end tests of zelmar: a work directory with a fresh
// installation, control files built from a diffractometer's keys, and readers
// of the profile file and the raw histogram.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.hpp"

namespace zrun {

// A diffractometer in reflection that traces fast: line focus, divergence
// slit, receiving slit, two Soller collimators, detector height.
inline std::map<std::string, std::string> basekeys() {
  return {{"LINTOR", "out"}, {"R", "200"},    {"FocusH", "8"},  {"FocusW", "0.04"},
          {"HSlitR", "100"}, {"HSlitW", "1"}, {"DetW", "0.1"},  {"PColl", "0.04"},
          {"SColl", "0.04"}, {"DetH", "15"},  {"EPSG", "0.02"}, {"SAVE", "N"}};
}

struct Workplace {
  ktest::TempInstall install{{"err.msg", "zelmar.cfg", "quindle.cfg", "probast.cfg"}};
  ktest::TempDir work;

  std::string file(const std::string& name) const { return work.file(name); }

  // Writes the keys as the control file "run.sav" (a value "\x01" leaves the
  // key out) and runs the program on it with further statements.
  ktest::RunResult run(const std::string& program, const std::map<std::string, std::string>& keys,
                       const std::vector<std::string>& statements = {}) const {
    std::string text;
    for (const auto& [k, v] : keys)
      if (v != "\x01") text += k + "=" + v + "\n";
    ktest::write_file(file("run.sav"), text);
    std::vector<std::string> args{"run"};
    args.insert(args.end(), statements.begin(), statements.end());
    return ktest::run_program(ktest::program_path(program), args, work.path(),
                              {{"KALVO", install.path()}});
  }
};

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

// One angle block of a profile file as written.
struct Block {
  std::string head;  // the THETA line
  double theta = 0;
  int n = 0;
  bool hasgsum = false;
  double gsum = 0;
  std::vector<double> g, e, q;
  std::vector<std::string> rows;  // the component lines as written
};

// The header lines (up to the first THETA line) and the blocks.
struct ProfileFile {
  std::vector<std::string> header;
  std::vector<Block> blocks;
};

inline ProfileFile parseprofile(const std::string& text) {
  ProfileFile f;
  std::vector<std::string> ls = lines(text);
  size_t i = 0;
  while (i < ls.size() && ls[i].rfind("THETA=", 0) != 0) f.header.push_back(ls[i++]);
  while (i < ls.size()) {
    Block b;
    b.head = ls[i++];
    if (std::sscanf(b.head.c_str(), "THETA=%lf N=%d", &b.theta, &b.n) != 2) {
      ADD_FAILURE() << "bad block line: " << b.head;
      return f;
    }
    size_t at = b.head.find(" GSUM=");
    if (at != std::string::npos) {
      b.hasgsum = true;
      b.gsum = std::stod(b.head.substr(at + 6));
    }
    for (int k = 0; k < b.n && i < ls.size(); ++k, ++i) {
      double g = 0, e = 0, q = 0;
      if (std::sscanf(ls[i].c_str(), "%lf %lf %lf", &g, &e, &q) != 3) ADD_FAILURE() << ls[i];
      b.g.push_back(g);
      b.e.push_back(e);
      b.q.push_back(q);
      b.rows.push_back(ls[i]);
    }
    f.blocks.push_back(b);
  }
  return f;
}

// The raw histogram: one (negated 2theta deviation in degrees, count) per line.
struct RawBin {
  double dev;
  long count;
};

inline std::vector<RawBin> parseraw(const std::string& text) {
  std::vector<RawBin> bins;
  for (const std::string& l : lines(text)) {
    RawBin b{};
    char tail = 0;
    if (std::sscanf(l.c_str(), "%lf %ld%c", &b.dev, &b.count, &tail) != 2) ADD_FAILURE() << l;
    bins.push_back(b);
  }
  return bins;
}

}  // namespace zrun
