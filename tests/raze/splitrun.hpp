// Helpers of the end-to-end tests of the pattern splitter and the plot
// preparation: synthetic scans with peak groups of exactly known extent, a
// work directory with a fresh installation, and a reader of the keys a run
// saved into its control file.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.hpp"

namespace splitrun {

constexpr double kPi = 3.141592653589793;

// A peak of the synthetic scans on the point grid: the points centre - half
// .. centre + half carry a Gaussian of height `height` (sigma half/2, so its
// edge still stands at 13.5 % of the height); every other point is pure
// background. The points that belong to a peak are thus known exactly.
struct Peak {
  int centre;
  int half;
  double height = 10000;
};

// A scan on the grid from + i step: background `bg` plus the peaks, written
// as text columns 2theta, intensity, sigma = sqrt(intensity).
struct Pattern {
  double from = 20;
  double step = 0.02;
  int points = 0;
  std::vector<Peak> peaks;
  double bg = 100;

  double x(int i) const { return from + step * i; }
  double y(int i) const {
    double v = bg;
    for (const Peak& p : peaks) {
      int d = i - p.centre;
      if (std::abs(d) <= p.half) {
        double s = p.half / 2.0;
        v += p.height * std::exp(-d * d / (2 * s * s));
      }
    }
    return v;
  }
  // The text of points first .. last (all by default).
  std::string text(int first = 0, int last = -1) const {
    if (last < 0) last = points - 1;
    std::string out;
    char line[100];
    for (int i = first; i <= last; ++i) {
      double v = y(i);
      std::snprintf(line, sizeof line, "%.4f %.4f %.4f\n", x(i), v, std::sqrt(v));
      out += line;
    }
    return out;
  }
};

// 2theta in degrees of the sin theta the scan reader makes of a grid angle
// (single precision), as the programs report it.
inline double reported(double twotheta) {
  auto s = static_cast<float>(std::sin(twotheta * kPi / 360));
  return std::asin(static_cast<double>(s)) * 360 / kPi;
}

// The middle between two angles as the splitter places a boundary: in sin
// theta, converted back to 2theta.
inline double boundary(double a, double e) {
  auto sa = static_cast<float>(std::sin(a * kPi / 360));
  auto se = static_cast<float>(std::sin(e * kPi / 360));
  return 2 * std::asin((static_cast<double>(sa) + se) / 2) * 180 / kPi;
}

// A work directory (the runs' working directory, with the scans and the
// control file) and an installation directory with the catalogue and the
// configuration files.
struct Workplace {
  ktest::TempInstall install{{"err.msg", "raze.cfg", "plot.cfg", "cu.lam"}};
  ktest::TempDir work;

  std::string file(const std::string& name) const { return work.file(name); }
  void write(const std::string& name, const std::string& content) const {
    ktest::write_file(work.file(name), content);
  }

  // Runs a program on the control file "run" with statements.
  ktest::RunResult run(const std::string& program, const std::vector<std::string>& statements,
                       const std::string& control = "run") const {
    std::vector<std::string> args{control};
    args.insert(args.end(), statements.begin(), statements.end());
    return ktest::run_program(ktest::program_path(program), args, work.path(),
                              {{"KALVO", install.path()}});
  }
};

// One entry of a saved control file: its key, its text ("==" numbers as
// written) and the comment line before it.
struct Entry {
  std::string key, text, comment;
  bool number = false;
};

// The entries of a saved control file in their order.
inline std::vector<Entry> entries(const std::string& content) {
  std::vector<Entry> out;
  std::istringstream in(content);
  std::string line, comment;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (line[0] == '%') {
      comment = line.substr(1);
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) {
      ADD_FAILURE() << "not an entry: " << line;
      continue;
    }
    Entry e;
    e.key = line.substr(0, eq);
    e.number = line.compare(eq, 2, "==") == 0;
    e.text = line.substr(eq + (e.number ? 2 : 1));
    e.comment = comment;
    comment.clear();
    out.push_back(e);
  }
  return out;
}

// Lookup in a saved control file.
struct Saved {
  std::vector<Entry> list;
  explicit Saved(const std::string& content) : list(entries(content)) {}

  const Entry* find(const std::string& key) const {
    for (const Entry& e : list)
      if (e.key == key) return &e;
    return nullptr;
  }
  bool has(const std::string& key) const { return find(key) != nullptr; }
  double number(const std::string& key) const {
    const Entry* e = find(key);
    if (e == nullptr) {
      ADD_FAILURE() << key << " is not saved";
      return NAN;
    }
    return std::strtod(e->text.c_str(), nullptr);
  }
  std::string text(const std::string& key) const {
    const Entry* e = find(key);
    if (e == nullptr) {
      ADD_FAILURE() << key << " is not saved";
      return "";
    }
    return e->text;
  }
  // Position of a key in the file, -1 when absent.
  int position(const std::string& key) const {
    for (size_t i = 0; i < list.size(); ++i)
      if (list[i].key == key) return static_cast<int>(i);
    return -1;
  }
  // Number of parts k with a WMIN[k] key.
  int parts() const {
    int k = 0;
    while (has("WMIN[" + std::to_string(k + 1) + "]")) ++k;
    return k;
  }
};

}  // namespace splitrun
