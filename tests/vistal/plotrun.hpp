// Helpers of the end-to-end tests of the plot preparation: peak-parameter
// files in the peak-fitting program's layout, a small instrument profile, the
// columns of the data files, the command file taken apart, and gnuplot
// rendering the command file.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "splitrun.hpp"
#include "testsupport.hpp"

namespace plotrun {

// One peak record: the parameter count, the intensity and the position in
// reciprocal d, the own widths for counts 3 and 4.
struct Peak {
  int type;
  double intensity;
  double position;
  double third = 0;
  double fourth = 0;
};

// A peak-parameter file: the header statements behind PEAKZAHL, the peak
// records and the background record (without a line end, as the writers
// leave it).
inline std::string parfile(const std::string& header, const std::vector<Peak>& peaks,
                           const std::vector<double>& bg) {
  char buf[200];
  std::string s = "PEAKZAHL=" + std::to_string(peaks.size()) + " " + header + "\n";
  for (const Peak& p : peaks) {
    std::snprintf(buf, sizeof buf, "%d %14.6E %10.7f", p.type, p.intensity, p.position);
    s += buf;
    if (p.type >= 3) {
      std::snprintf(buf, sizeof buf, " %.7f", p.third);
      s += buf;
    }
    if (p.type == 4) {
      std::snprintf(buf, sizeof buf, " %.9f", p.fourth);
      s += buf;
    }
    s += " PHASE=test 1 0 0\n";
  }
  s += std::to_string(bg.size()) + " ";
  for (double b : bg) {
    std::snprintf(buf, sizeof buf, "%14.6E ", b);
    s += buf;
  }
  return s;
}

// An instrument profile of one narrow component measured at one angle.
inline std::string instrument() { return "TITEL=narrow\nTHETA=25 N=1\n1 0 0.0005\n"; }

// The mean reciprocal wavelength of the shipped copper tube lines.
inline double l0() {
  std::istringstream in(ktest::read_file(std::string(KALVO_SOURCE_DATA) + "/cu.lam"));
  std::string line;
  double si = 0, sl = 0;
  bool lines = false;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '%') continue;
    if (line.compare(0, 5, "ILAM=") == 0) {
      lines = true;
      continue;
    }
    double i = 0, l = 0;
    if (lines && std::sscanf(line.c_str(), "%lf %lf", &i, &l) == 2) {
      si += i;
      sl += i * l;
    }
  }
  return sl / si;
}

// Position in reciprocal d of a line at 2theta (degrees).
inline double position(double twotheta) {
  return 2 * std::sin(twotheta * splitrun::kPi / 360) * l0();
}

// The numeric columns of a data file, one row per line.
using Rows = std::vector<std::vector<double>>;
inline Rows rows(const std::string& text) {
  Rows out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<double> row;
    std::string field;
    while (fields >> field) row.push_back(std::stod(field));
    out.push_back(row);
  }
  return out;
}

// The command file taken apart.
struct Commands {
  std::vector<std::string> lines;
  double xfrom = NAN, xstep = NAN, xto = NAN;
  double yfrom = NAN, ystep = NAN, yto = NAN;
  double lower = NAN, upper = NAN, ymin = NAN, ymax = NAN;
  std::string title;  // inside the quotes, as written
  bool hastitle = false;
  std::string curves;  // the plot line behind the ranges

  explicit Commands(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    for (const std::string& l : lines) {
      if (std::sscanf(l.c_str(), "set xtics %lf,%lf,%lf", &xfrom, &xstep, &xto) == 3) continue;
      if (std::sscanf(l.c_str(), "set ytics %lf,%lf,%lf", &yfrom, &ystep, &yto) == 3) continue;
      const std::string end = "' noenhanced";
      if (l.compare(0, 11, "set title '") == 0 && l.size() >= 11 + end.size() &&
          l.compare(l.size() - end.size(), end.size(), end) == 0) {
        title = l.substr(11, l.size() - 11 - end.size());
        hastitle = true;
        continue;
      }
      int used = 0;
      if (std::sscanf(l.c_str(), "plot [%lf:%lf] [%lf:%lf] %n", &lower, &upper, &ymin, &ymax,
                      &used) == 4)
        curves = l.substr(static_cast<size_t>(used));
    }
  }
};

// Whether gnuplot is installed (tools/install-deps.sh installs it).
inline bool havegnuplot() {
  static const bool found =
      ktest::run_program("/bin/sh", {"-c", "command -v gnuplot"}, ".").status == 0;
  return found;
}

// Renders the command files of the given folders (each with the data files
// beside it) to "plot.png" in each, with one gnuplot process, which names
// each folder on its error output; a failing command file stops gnuplot
// with its status.
inline ktest::RunResult render(const std::vector<std::string>& dirs) {
  std::string script;
  for (const std::string& d : dirs)
    script +=
        "reset\nprint '" + d + "'\ncd '" + d + "'\nset output 'plot.png'\nload 'achsen.plt'\n";
  script += "unset output\n";
  ktest::write_file(dirs.front() + "/../render.gp", script);
  return ktest::run_program("/bin/sh",
                            {"-c", "exec gnuplot -e 'set terminal png size 900,600' render.gp"},
                            dirs.front() + "/..");
}

// True when the file begins with the PNG signature.
inline bool ispng(const std::string& path) {
  return ktest::read_file(path).compare(0, 8, "\x89PNG\r\n\x1a\n") == 0;
}

// The file names the plot preparation writes.
inline const char* const kPlotFiles[] = {"punkte.dat", "error.dat", "kurve.dat", "bg.dat",
                                         "achsen.plt"};

// A work place with the narrow instrument profile "inst", peak files, runs of
// the plot preparation and the files it wrote.
class PlotTest : public ::testing::Test {
 protected:
  splitrun::Workplace wp;

  void SetUp() override { wp.write("inst.ger", instrument()); }
  void par(const std::string& name, const std::string& head, const std::vector<Peak>& peaks,
           const std::vector<double>& bg) {
    wp.write(name, parfile(head, peaks, bg));
  }
  // Runs the plot preparation; every command file it writes is kept with its
  // data files for gnuplot, which renders them all at the end of the test.
  ktest::RunResult vistal(const std::string& control, std::vector<std::string> statements = {}) {
    wp.write("run.sav", control);
    statements.push_back("SAVE=N");
    std::remove(wp.install.file("achsen.plt").c_str());
    ktest::RunResult r = wp.run("vistal", statements);
    if (written("achsen.plt")) keepforrendering();
    return r;
  }
  std::string out(const std::string& name) { return ktest::read_file(wp.install.file(name)); }
  bool written(const std::string& name) { return ktest::file_exists(wp.install.file(name)); }
  Commands commands() { return Commands(out("achsen.plt")); }
  void removeplots() {
    for (const char* f : kPlotFiles) std::remove(wp.install.file(f).c_str());
  }
  // gnuplot draws every command file of the test; without gnuplot the test
  // is reported skipped (its other checks still count).
  void TearDown() override {
    if (plots.empty()) return;
    if (!havegnuplot()) {
      GTEST_SKIP() << "gnuplot is not installed (tools/install-deps.sh installs it): the "
                   << plots.size() << " command files of this test are not rendered";
    }
    ktest::RunResult r = render(plots);
    EXPECT_EQ(r.status, 0) << "gnuplot:\n" << r.err;
    for (const std::string& d : plots) {
      EXPECT_TRUE(ispng(d + "/plot.png")) << ktest::read_file(d + "/achsen.plt");
    }
  }

  // The files of the last run, copied to a folder of their own.
  std::vector<std::string> plots;
  void keepforrendering() {
    std::string d = wp.install.file("plots/" + std::to_string(plots.size() + 1));
    std::filesystem::create_directories(d);
    for (const char* f : kPlotFiles)
      if (written(f)) ktest::copy_file(wp.install.file(f), d + "/" + f);
    plots.push_back(d);
  }

  // Three peaks over 20..80 degrees on a background of 100.
  static std::vector<Peak> modelpeaks() {
    return {
        {3, 400, position(30), 0.01}, {3, 300, position(50), 0.012}, {3, 200, position(70), 0.015}};
  }
  // The measured scan "m.xy" is the model of modelpeaks() itself, drawn by
  // the plot preparation on its grid of 1001 angles with counting errors; the
  // pattern splitter splits it (OUTPUTMASK part$, TITELMASK "part $ of the
  // pattern", LINTOR inst) and its saved control file is returned.
  splitrun::Saved splitmodel() {
    par("model.par", "WMIN=20.000 WMAX=80.000 LINTOR=inst Q=1 LAMBDA=CU POL=1.00000 EPS1=0.0",
        modelpeaks(), {100});
    EXPECT_EQ(vistal("OUTPUT=model\n").status, 0);
    std::string scan;
    Rows kurve = rows(out("kurve.dat"));
    EXPECT_EQ(kurve.size(), 1001u);
    for (const auto& k : kurve) {
      char line[100];
      // The reader adds one count to each (counts c, sigma sqrt c).
      std::snprintf(line, sizeof line, "%.6f %.6f %.6f\n", k[0], k[1] - 1, std::sqrt(k[1] - 1));
      scan += line;
    }
    wp.write("m.xy", scan);
    wp.write(
        "run.sav",
        "VAL[1]=m.xy\nLAMBDA=CU\nLINTOR=inst\nOUTPUTMASK=part$\nTITELMASK=part $ of the pattern\n");
    ktest::RunResult r = wp.run("raze", {});
    EXPECT_EQ(r.status, 0) << r.out;
    return splitrun::Saved(ktest::read_file(wp.file("run.sav")));
  }
};

}  // namespace plotrun
