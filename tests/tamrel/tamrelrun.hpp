// Helpers of the tests of tamrel: a work directory with a fresh
// installation, the small fixtures of a silicon run (a synthetic scan, a
// one-component instrument profile, a structure file), runs of the built
// program on a control file, and a reader of the saved control file.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.hpp"

namespace trun {

// The installation files a refinement with copper radiation reads.
inline std::vector<std::string> installfiles() {
  return {"err.msg",    "tamrel.cfg", "cu.lam", "afaparm.dat", "bcoh.dat",
          "weight.mol", "cu.ano",     "cu.mdr", "ordanix.dat"};
}

// A one-component instrument profile: one squared-Lorentzian of width
// 0.0006 rad of theta, measured at 2theta = 50 degrees.
inline const char* kInstrument =
    "TITEL=test\n"
    "THETA=25 N=1\n"
    "1 0 0.0006\n";

// Silicon (Fd-3m, Si on 8a) with the cell in angstrom, one weight and the
// breadths of its lines (four peak parameters), so that it can be refined.
inline const char* kSilicon =
    "// silicon, Si on 8a\n"
    "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM GEWICHT=SPHAR0\n"
    "A=5.4310 B1=0.001 B2=0.000001\n"
    "E=Si Wyckoff=a TDS=0.5\n";

// A synthetic copper scan of silicon, 2theta 20 .. 80 degrees in steps of
// 0.02: a flat background of 100 counts with Gaussian lines at the five
// silicon reflections of the range, as text columns (2theta, counts).
inline std::string siliconscan(double background = 100, double height = 5000) {
  std::string text;
  char line[64];
  for (int i = 0; i <= 3000; ++i) {
    double tt = 20 + 0.02 * i, y = background;
    for (double p : {28.443, 47.303, 56.123, 69.131, 76.377})
      y += height * std::exp(-std::pow((tt - p) / 0.05, 2));
    std::snprintf(line, sizeof line, "%.2f %.0f\n", tt, y);
    text += line;
  }
  return text;
}

// A work directory (the runs' working directory with the fixtures) and an
// installation directory.
struct Workplace {
  ktest::TempInstall install{installfiles()};
  ktest::TempDir work;

  Workplace() {
    write("inst.ger", kInstrument);
    write("si.xy", siliconscan());
    write("si.str", kSilicon);
  }

  std::string file(const std::string& name) const { return work.file(name); }
  void write(const std::string& name, const std::string& content) const {
    ktest::write_file(work.file(name), content);
  }
  std::string read(const std::string& name) const { return ktest::read_file(work.file(name)); }

  // Writes the control file "run.sav" (one key=text per line, in order) and
  // runs tamrel on it with further statements.
  ktest::RunResult run(const std::vector<std::string>& control,
                       const std::vector<std::string>& statements = {}) const {
    std::string text;
    for (const std::string& line : control) text += line + "\n";
    write("run.sav", text);
    std::vector<std::string> args{"run"};
    args.insert(args.end(), statements.begin(), statements.end());
    return ktest::run_program(ktest::program_path("tamrel"), args, work.path(),
                              {{"KALVO", install.path()}});
  }
};

// The lines of a text, without their line ends.
inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

// The keys of a saved control file with their texts ("==" numbers as written).
inline std::map<std::string, std::string> savedkeys(const std::string& content) {
  std::map<std::string, std::string> keys;
  std::istringstream in(content);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '%') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    size_t from = line.compare(eq, 2, "==") == 0 ? eq + 2 : eq + 1;
    keys[line.substr(0, eq)] = line.substr(from);
  }
  return keys;
}

// The messages of a run's output in order: the lines that a catalogue text
// begins with, looked for one after another.
inline ::testing::AssertionResult inorder(const std::string& out,
                                          const std::vector<std::string>& texts) {
  size_t pos = 0;
  for (const std::string& t : texts) {
    size_t at = out.find(t, pos);
    if (at == std::string::npos)
      return ::testing::AssertionFailure() << "missing (or out of order): " << t << "\nin:\n"
                                           << out;
    pos = at + t.size();
  }
  return ::testing::AssertionSuccess();
}

// The text with every occurrence of from replaced by to.
inline std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

// The text without the run's times: every line "Start: ...; End: ..." and,
// with iterations, the line of the iteration count and the empty line after
// it.
inline std::string withouttimes(std::string text, bool iterations = false) {
  for (size_t at; (at = text.find("Start: ")) != std::string::npos;) {
    size_t end = text.find('\n', at);
    if (iterations && end != std::string::npos) {
      end = text.find("\n\n", end + 1);
      if (end != std::string::npos) end += 2;
    }
    text.erase(at, end == std::string::npos ? std::string::npos : end - at);
  }
  return text;
}

}  // namespace trun
