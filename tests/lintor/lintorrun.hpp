// Helpers of the tests of the instrument-profile program: a work
// directory with a fresh installation, fixture writers (scans as text
// columns, peak-parameter files of the standard), a reader of the
// instrument-profile file as written, and synthetic standards made with the
// line-profile model of the fitting programs from a known instrument profile.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/velmora.hpp"
#include "model/gerneu.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"
#include "testsupport.hpp"

namespace lintorrun {

constexpr double kPi = 3.141592653589793;

// A work directory (the runs' working directory) and an installation with
// the catalogue, the configuration file and the Cu K-alpha lines.
struct Workplace {
  ktest::TempInstall install{{"err.msg", "lintor.cfg", "cu.lam"}};
  ktest::TempDir work;

  std::string file(const std::string& name) const { return work.file(name); }

  // Runs lintor with argument 1 (the control file) and statements; the
  // control file is not written back.
  ktest::RunResult run(std::vector<std::string> statements,
                       const std::string& control = "run") const {
    std::vector<std::string> args{control};
    args.insert(args.end(), statements.begin(), statements.end());
    args.push_back("SAVE=N");
    return ktest::run_program(ktest::program_path("lintor"), args, work.path(),
                              {{"KALVO", install.path()}});
  }
};

// A scan as text columns "2theta counts".
inline void write_scan(const std::string& path, const std::vector<double>& tt,
                       const std::vector<double>& counts) {
  std::string text;
  char line[100];
  for (size_t k = 0; k < tt.size(); ++k) {
    std::snprintf(line, sizeof line, "%.5f %.1f\n", tt[k], counts[k]);
    text += line;
  }
  ktest::write_file(path, text);
}

// A peak-parameter file of the standard: the header, then the peak records as
// given, then a background record of no coefficients.
inline void write_par(const std::string& path, const std::vector<std::string>& records,
                      const std::string& radiation = "LAMBDA=cu") {
  std::string text = "PEAKZAHL=" + std::to_string(records.size()) + " TITEL=standard " + radiation +
                     " LINTOR=other WMIN=10 WMAX=90 Q=0.00 EPS1=0.000000\n";
  for (const std::string& r : records) text += r + "\n";
  text += "0";
  ktest::write_file(path, text);
}

// A record "2 intensity position" of a reflection at 2theta (degrees).
inline std::string peak(double intensity, double position) {
  char line[100];
  std::snprintf(line, sizeof line, "2 %14.6E %10.7f", intensity, position);
  return line;
}

// ---------------------------------------------------------------------------
// The instrument-profile file as written

struct Component {
  double g, e, sigma;
};

struct Block {
  double theta = 0;
  int n = -1;
  bool hasgsum = false;
  double gsum = 0;
  std::string line;  // the head line as written
  std::vector<Component> comps;
};

struct GerFile {
  std::string header;  // the first line
  std::vector<Block> blocks;
  bool wellformed = true;
};

inline GerFile parse_ger(const std::string& text) {
  GerFile f;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, f.header)) f.wellformed = false;
  while (std::getline(in, line)) {
    Block b;
    b.line = line;
    if (std::sscanf(line.c_str(), "THETA=%lf N=%d", &b.theta, &b.n) != 2) {
      f.wellformed = false;
      break;
    }
    size_t at = line.find(" GSUM=");
    if (at != std::string::npos) {
      b.hasgsum = true;
      b.gsum = std::atof(line.c_str() + at + 6);
    }
    for (int k = 0; k < b.n; ++k) {
      Component c{};
      if (!std::getline(in, line) ||
          std::sscanf(line.c_str(), "%lf %lf %lf", &c.g, &c.e, &c.sigma) != 3) {
        f.wellformed = false;
        return f;
      }
      b.comps.push_back(c);
    }
    f.blocks.push_back(b);
  }
  return f;
}

// The console lines of the reflections ("zweiTheta=...").
inline std::vector<std::string> console_lines(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("zweiTheta=", 0) == 0) lines.push_back(line);
  return lines;
}

// ---------------------------------------------------------------------------
// The store and the instrument function in the test process

// A fresh store with one scope in lookup mode 2 and the given installation,
// and everything released at the end.
struct Store {
  explicit Store(const std::string& dir) {
    std::snprintf(core::kalvo, sizeof core::kalvo, "%s", dir.c_str());
    core::nodesfree();
    core::totalfree();
    core::newDATAlist();
    core::setrekart(2);
    model::gererr = 1;
  }
  ~Store() {
    model::ger2();
    model::freelam();
    core::totalfree();
    core::nodesfree();
  }
};

// The instrument function of an instrument (name without extension) at the
// Bragg angle theta (degrees).
inline std::vector<Component> profile(const std::string& instrument, double theta) {
  model::ger1(instrument.c_str());
  model::ger(std::sin(theta * kPi / 180));
  std::vector<Component> c;
  for (int i = 0; i < model::n; ++i) c.push_back({model::g[i], model::e[i], model::q[i]});
  return c;
}

// The line shape of components at x (radians of theta), per unit weight sum.
inline double shape(const std::vector<Component>& c, double x) {
  double sum = 0, weight = 0;
  for (const Component& k : c) {
    const double d = x - k.e, den = d * d + k.sigma * k.sigma;
    sum += k.g * 2 * k.sigma * k.sigma * k.sigma / (kPi * den * den);
    weight += k.g;
  }
  return sum / weight;
}

struct Comparison {
  double misfit;  // integral of |difference| over the truth's area (1)
  double shift;   // difference of the peak positions (radians)
  double fwhm;    // full width at half maximum of the truth (radians)
  double widths;  // ratio of the full widths at half maximum
};

// Compares two line shapes over +-range around 0.
inline Comparison compare(const std::vector<Component>& fit, const std::vector<Component>& truth,
                          double range) {
  const int steps = 20000;
  const double h = 2 * range / steps;
  double misfit = 0, top[2] = {0, 0}, at[2] = {0, 0};
  std::vector<double> yt(steps + 1), yf(steps + 1);
  for (int k = 0; k <= steps; ++k) {
    const double x = -range + k * h;
    yf[k] = shape(fit, x);
    yt[k] = shape(truth, x);
    misfit += std::fabs(yf[k] - yt[k]) * h;
    if (yt[k] > top[0]) top[0] = yt[k], at[0] = x;
    if (yf[k] > top[1]) top[1] = yf[k], at[1] = x;
  }
  auto fwhm = [&](const std::vector<double>& y, double peak) {
    int first = -1, last = -1;
    for (int k = 0; k <= steps; ++k)
      if (y[k] >= peak / 2) {
        if (first < 0) first = k;
        last = k;
      }
    return (last - first) * h;
  };
  const double ft = fwhm(yt, top[0]), ff = fwhm(yf, top[1]);
  return {misfit, at[1] - at[0], ft, ff / ft};
}

// ---------------------------------------------------------------------------
// Synthetic standards

// Deterministic normal deviates (Box-Muller on a fixed linear congruential
// sequence), so that a noisy pattern is the same on every run.
class Noise {
 public:
  explicit Noise(uint64_t seed) : state_(seed) {}
  double normal() {
    const double u1 = (next() + 0.5) / 4294967296.0, u2 = (next() + 0.5) / 4294967296.0;
    return std::sqrt(-2 * std::log(u1)) * std::cos(2 * kPi * u2);
  }

 private:
  uint32_t next() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<uint32_t>(state_ >> 32);
  }
  uint64_t state_;
};

struct Line {
  double twotheta;  // degrees, at the mean wavelength
  double height;    // largest count of the line above the background
};

// The counts of lines under the instrument `instrument` (a .ger name without
// extension, loaded here) with Cu K-alpha and polarisation, at the 2theta
// points, computed with the line-profile model of the fitting programs;
// background b0 + b1 (2theta - 45); Gaussian noise of the counting
// statistics when a seed is given. Also gives the lines' positions (1/d).
inline std::vector<double> pattern(const std::string& instrument, const std::vector<Line>& lines,
                                   const std::vector<double>& tt, double b0, double b1,
                                   uint64_t seed, std::vector<double>* positions) {
  core::setxray(true);
  model::initlam("cu");
  model::ger1(instrument.c_str());
  const int count = static_cast<int>(tt.size());
  model::m = count;
  model::sinx = static_cast<float*>(std::malloc(sizeof(float) * count));
  model::intensitaet = static_cast<float*>(std::calloc(count, sizeof(float)));
  model::w = static_cast<float*>(std::malloc(sizeof(float) * count));
  for (int i = 0; i < count; ++i) {
    model::sinx[i] = static_cast<float>(std::sin(tt[i] * kPi / 360));
    model::w[i] = 1;
  }
  model::hinit();
  std::vector<double> counts(tt.size(), 0.0);
  std::vector<float> r(tt.size());
  positions->clear();
  for (const Line& l : lines) {
    const double P = 2 * model::l0 * std::sin(l.twotheta * kPi / 360);
    positions->push_back(P);
    model::PeakSet* set = nullptr;
    model::peakalloc(nullptr, &set, 0, 0, 0, 1, 0, 0);
    set->par2[0] = 1;
    set->par2[1] = static_cast<float>(P);
    model::modell(r.data(), set);
    model::peakfree(&set);
    double top = 0;
    for (float v : r) top = std::fmax(top, v);
    for (size_t i = 0; i < tt.size(); ++i) counts[i] += l.height * r[i] / top;
  }
  model::hfrei();
  std::free(model::sinx);
  std::free(model::intensitaet);
  std::free(model::w);
  model::sinx = model::intensitaet = model::w = nullptr;
  model::m = 0;
  Noise noise(seed);
  for (size_t i = 0; i < tt.size(); ++i) {
    counts[i] += b0 + b1 * (tt[i] - 45);
    if (seed != 0)
      counts[i] = std::fmax(0.0, std::round(counts[i] + std::sqrt(counts[i]) * noise.normal()));
  }
  return counts;
}

// 2theta points over +-half degrees around each line with the given step.
inline std::vector<double> windows(const std::vector<Line>& lines, double half, double step) {
  std::vector<double> tt;
  for (const Line& l : lines)
    for (double x = l.twotheta - half; x <= l.twotheta + half + 1e-9; x += step) tt.push_back(x);
  return tt;
}

// The known instrument profile of the synthetic standard: three components
// whose widths grow with the angle, the weaker two off the centre (a
// low-angle tail), so that a line's centroid lies about 0.01 degrees 2theta
// off its position.
inline const char* const kTruth =
    "TITEL=truth\n"
    "THETA=10 N=3\n"
    "0.55 0.00000 0.00045\n"
    "0.30 0.00040 0.00080\n"
    "0.15 -0.00050 0.00160\n"
    "THETA=25 N=3\n"
    "0.55 0.00005 0.00050\n"
    "0.30 0.00045 0.00090\n"
    "0.15 -0.00045 0.00180\n"
    "THETA=40 N=3\n"
    "0.55 0.00010 0.00060\n"
    "0.30 0.00050 0.00110\n"
    "0.15 -0.00040 0.00220\n";

// The synthetic standard's reflections.
inline const std::vector<Line> kStandard{{24, 40000}, {46, 30000}, {68, 20000}};

// Writes the known profile as truth.ger into the folder work and the
// standard's scan at the 2theta points tt as std.xy: background
// 200 - (2theta - 45), counting noise of a fixed seed. Needs a Store; gives
// the reflections' positions (1/d).
inline std::vector<double> write_standard(const ktest::TempDir& work,
                                          const std::vector<double>& tt) {
  ktest::write_file(work.file("truth.ger"), kTruth);
  std::vector<double> positions;
  write_scan(work.file("std.xy"), tt,
             pattern(work.file("truth"), kStandard, tt, 200, -1, 7, &positions));
  return positions;
}

}  // namespace lintorrun
