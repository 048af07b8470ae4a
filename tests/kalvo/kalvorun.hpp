// Runs of the peak-fitting program on small fixtures: a workplace with an
// installation directory, synthetic neutron patterns whose peaks have the
// program's own line shape, and the peak-parameter file taken apart.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.hpp"

namespace kalvotest {

constexpr double kPi = 3.141592653589793;

// A working directory for the control file, scans and peak files, and an
// installation directory with the catalogue, kalvo.cfg and the Cu lines.
struct Workplace {
  ktest::TempInstall install{{"err.msg", "kalvo.cfg", "cu.lam"}};
  ktest::TempDir dir;

  std::string file(const std::string& name) const { return dir.file(name); }
  void put(const std::string& name, const std::string& text) const {
    ktest::write_file(file(name), text);
  }
  std::string get(const std::string& name) const { return ktest::read_file(file(name)); }

  // Runs kalvo on the control file run.sav with further statements.
  ktest::RunResult run(const std::vector<std::string>& statements = {}, int timeout = 120) const {
    std::vector<std::string> args = {"run.sav"};
    args.insert(args.end(), statements.begin(), statements.end());
    return ktest::run_program(ktest::program_path("kalvo"), args, dir.path(),
                              {{"KALVO", install.path()}}, timeout);
  }
};

// ---------------------------------------------------------------------------
// Synthetic patterns: neutrons of one wavelength and an instrument function
// of one squared-Lorentzian component of constant width (LINTOR as a
// number, in radians of theta), so that a peak of the program's own line
// shape is known in closed form.

constexpr double kLambda = 0.15;  // nm
constexpr double kInstrument = 0.002;

struct TruePeak {
  double twotheta;    // degrees
  double intensity;   // integrated over reciprocal d
  double lorentz;     // own Lorentzian width, reciprocal d
  double beta = 0.0;  // own squared-Lorentzian width, reciprocal d
};

inline double position(double twotheta) { return 2 / kLambda * std::sin(twotheta * kPi / 360); }

// The model value of a peak at a point: instrument (squared Lorentzian of
// width b2 in reciprocal d) folded with the own Lorentzian and the own
// squared Lorentzian.
inline double peakvalue(const TruePeak& p, double twotheta) {
  const double theta = twotheta * kPi / 360;
  const double l = 1 / kLambda;
  const double x = 2 * l * std::sin(theta);
  const double b2 = 2 * kInstrument * l * std::cos(theta);
  const double B = p.lorentz + b2 + p.beta;
  const double D = (x - position(p.twotheta)) * (x - position(p.twotheta)) + B * B;
  const double pr = b2 * p.beta;
  return p.intensity / kPi *
         (p.lorentz + (2 * (b2 + p.beta) * B * B - 6 * pr * B + 8 * pr * B * B * B / D) / D) / D;
}

// Standard normal deviates of a fixed sequence on every platform.
class Noise {
 public:
  explicit Noise(uint32_t seed) : gen_(seed) {}
  double next() {
    if (have_) {
      have_ = false;
      return spare_;
    }
    double u1, u2;
    do u1 = (gen_() + 0.5) / 4294967296.0;
    while (u1 <= 0);
    u2 = (gen_() + 0.5) / 4294967296.0;
    const double r = std::sqrt(-2 * std::log(u1));
    spare_ = r * std::sin(2 * kPi * u2);
    have_ = true;
    return r * std::cos(2 * kPi * u2);
  }

 private:
  std::mt19937 gen_;
  bool have_ = false;
  double spare_ = 0;
};

// Counts from 2theta lo to hi in steps: background a + b (2theta - lo)
// plus curve(2theta) plus the peaks, with counting noise.
template <class Curve>
std::string synthscan(const std::vector<TruePeak>& peaks, double lo, double hi, double step,
                      double a, double b, uint32_t seed, Curve curve) {
  Noise noise(seed);
  std::string s;
  char line[64];
  const int n = static_cast<int>(std::floor((hi - lo) / step + 0.5));
  for (int i = 0; i <= n; ++i) {
    const double tt = lo + i * step;
    double mu = a + b * (tt - lo) + curve(tt);
    for (const TruePeak& p : peaks) mu += peakvalue(p, tt);
    const double c = std::floor(std::fmax(0.0, mu + std::sqrt(mu) * noise.next()) + 0.5);
    std::snprintf(line, sizeof line, "%.3f %.0f\n", tt, c);
    s += line;
  }
  return s;
}
inline std::string synthscan(const std::vector<TruePeak>& peaks, double lo, double hi, double step,
                             double a, double b, uint32_t seed) {
  return synthscan(peaks, lo, hi, step, a, b, seed, [](double) { return 0.0; });
}

// A background curve as a scan of three columns (2theta, value, sigma 1),
// read back with exactly these values.
template <class Curve>
std::string curvescan(double lo, double hi, double step, Curve curve) {
  std::string s;
  char line[64];
  const int n = static_cast<int>(std::floor((hi - lo) / step + 0.5));
  for (int i = 0; i <= n; ++i) {
    const double tt = lo + i * step;
    std::snprintf(line, sizeof line, "%.3f %.6f 1\n", tt, curve(tt));
    s += line;
  }
  return s;
}

// ---------------------------------------------------------------------------
// The peak-parameter file as written.

struct Peak {
  int type = 0;
  std::vector<double> par;         // intensity, position, [third], [fourth]
  std::vector<std::string> items;  // what follows the parameters
  std::string line;
};

struct ParText {
  std::string headerline;
  std::map<std::string, std::string> header;  // key -> value text
  std::vector<Peak> peaks;
  std::string bgline;
  int ru = -1;
  std::vector<double> bg;
  std::vector<std::vector<double>> matrix;  // lower triangle rows
  std::vector<std::string> lines;
  bool endsline = false;
};

inline std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  std::string item;
  while (in >> item) out.push_back(item);
  return out;
}

inline ParText readpar(const std::string& text) {
  ParText p;
  p.endsline = !text.empty() && text.back() == '\n';
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) p.lines.push_back(line);
  if (p.lines.empty()) return p;
  p.headerline = p.lines[0];
  for (const std::string& item : split(p.headerline)) {
    size_t eq = item.find('=');
    if (eq != std::string::npos) p.header[item.substr(0, eq)] = item.substr(eq + 1);
  }
  const int count = std::atoi(p.header["PEAKZAHL"].c_str());
  size_t at = 1;
  for (int k = 0; k < count && at < p.lines.size(); ++k, ++at) {
    Peak pk;
    pk.line = p.lines[at];
    std::vector<std::string> items = split(pk.line);
    pk.type = std::atoi(items[0].c_str());
    for (int j = 1; j <= pk.type && j < static_cast<int>(items.size()); ++j)
      pk.par.push_back(std::atof(items[j].c_str()));
    pk.items.assign(items.begin() + std::min<long>(1 + pk.type, static_cast<long>(items.size())),
                    items.end());
    p.peaks.push_back(pk);
  }
  if (at < p.lines.size()) {
    p.bgline = p.lines[at++];
    std::vector<std::string> items = split(p.bgline);
    p.ru = std::atoi(items[0].c_str());
    for (size_t j = 1; j < items.size(); ++j) p.bg.push_back(std::atof(items[j].c_str()));
  }
  for (; at < p.lines.size(); ++at) {
    std::vector<double> row;
    for (const std::string& item : split(p.lines[at])) row.push_back(std::atof(item.c_str()));
    p.matrix.push_back(row);
  }
  return p;
}

// 2theta in degrees of a position in reciprocal d for the synthetic wavelength.
inline double twotheta(double position) { return std::asin(position * kLambda / 2) * 360 / kPi; }

// The standard error of parameter j from the inverse normal matrix, scaled
// by the fit's mean square residual.
inline double sigma(const ParText& p, int j, int points) {
  const int np = static_cast<int>(p.matrix.size());
  const double q = std::atof(p.header.at("Q").c_str());
  return std::sqrt(p.matrix[j][j] * std::fmax(1.0, q / (points - np)));
}

}  // namespace kalvotest
