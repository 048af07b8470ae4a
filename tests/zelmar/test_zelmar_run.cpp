// zelmar run as a program: the checks of the set-up keys, the header of the
// profile file to the byte, the blocks and the raw histogram, the central ray,
// and the file read back by the instrument function, probast and quindle.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "geqrun.hpp"
#include "testsupport.hpp"
#include "zelmarrun.hpp"

namespace {

using Keys = std::map<std::string, std::string>;
using ktest::message;

constexpr double kPi = 3.141592653589793;
const std::string kOut = "\x01";  // leaves a key out

Keys with(Keys k, const Keys& changes) {
  for (const auto& [name, v] : changes) k[name] = v;
  return k;
}

// What the set-up keys must give: the exit status, and a text the output
// must hold (a message as printed, or the store error of a missing key).
TEST(ZelmarKeys, ChecksOfTheSetUp) {
  struct Case {
    const char* what;
    Keys changes;
    int status;
    std::string expect;
  };
  const Case cases[] = {
      {"no LINTOR", {{"LINTOR", kOut}}, 1, "LINTOR"},
      {"no R", {{"R", kOut}}, 1, "(E) R"},
      {"no FocusW", {{"FocusW", kOut}}, 1, "(E) FocusW"},
      {"unknown arrangement", {{"ZELMARRY", "Reflexion"}}, 176, message(-176, "Reflexion")},
      {"axial slit without radius", {{"VSlitH", "5"}}, 1, "(E) VSlitR"},
      {"round slit without radius", {{"RoundSlitD", "2"}}, 1, "(E) RoundSlitR"},
      {"no divergence slit radius", {{"HSlitR", kOut}}, 1, "(E) HSlitR"},
      {"capillary needs no divergence slit",
       {{"ZELMARRY", "CAPILLARY"}, {"HSlitR", kOut}, {"HSlitW", kOut}},
       0,
       ""},
      {"round slit replaces both slits",
       {{"RoundSlitD", "2"},
        {"RoundSlitR", "150"},
        {"PColl", kOut},
        {"HSlitR", kOut},
        {"HSlitW", kOut}},
       0,
       ""},
      {"second axial slit without radius", {{"TSlitH", "5"}}, 175, message(-175)},
      {"nothing limits the primary beam axially", {{"PColl", kOut}}, 60, message(-60)},
      {"nothing limits the diffracted beam axially",
       {{"SColl", kOut}, {"DetH", kOut}},
       61,
       message(-61)},
      {"detector height without collimator", {{"SColl", kOut}}, 0, ""},
      {"aperture height behind the sample",
       {{"SColl", kOut}, {"DetH", kOut}, {"MonR", "250"}, {"MonH", "10"}},
       0,
       ""},
      {"aperture radius without height",
       {{"SColl", kOut}, {"DetH", kOut}, {"MonR", "250"}},
       61,
       message(-61)},
      {"zero radius", {{"R", "0"}}, 177, message(-177, "R", 0.0)},
      {"axial slit at the focus",
       {{"VSlitH", "5"}, {"VSlitR", "200"}},
       177,
       message(-177, "VSlitR", 200.0)},
      {"divergence slit at the focus", {{"HSlitR", "200"}}, 177, message(-177, "HSlitR", 200.0)},
      {"round slit at the focus",
       {{"RoundSlitD", "2"}, {"RoundSlitR", "200"}, {"HSlitR", kOut}, {"HSlitW", kOut}},
       177,
       message(-177, "RoundSlitR", 200.0)},
      {"aperture at the sample", {{"MonR", "0"}, {"MonH", "10"}}, 177, message(-177, "MonR", 0.0)},
      {"accuracy goal 0", {{"EPSG", "0"}}, 178, message(-178, 0.0)},
      {"accuracy goal 1", {{"EPSG", "1"}}, 178, message(-178, 1.0)},
      {"accuracy goal beyond the counter",
       {{"EPSG", "0.00005"}},
       178,
       message(-178, static_cast<double>(0.00005f))},
      {"knife edge without GSUM", {{"AirScat", "5"}}, 0, message(15)},
      {"disc on a flat sample", {{"SamplD", "20"}}, 0, message(246)},
      {"receiving slit per angle without GSUM",
       {{"DetW", kOut}, {"DetW[1]", "0.1"}},
       0,
       message(245)},
      {"omega offset without GSUM", {{"DeltaOmega", "1"}}, 0, message(56)},
      {"profile file in a missing directory",
       {{"LINTOR", "nodir/out"}},
       149,
       message(-149, "nodir/out.ger")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    zrun::Workplace wp;
    ktest::RunResult r = wp.run("zelmar", with(zrun::basekeys(), c.changes), {"zweiTheta[1]=30"});
    EXPECT_EQ(r.status, c.status) << r.out;
    if (!c.expect.empty()) {
      EXPECT_NE(r.out.find(c.expect), std::string::npos) << r.out;
    }
    EXPECT_EQ(ktest::file_exists(wp.file("out.ger")), c.status == 0);
  }
  // The warnings stay away when GSUM carries the intensity.
  zrun::Workplace wp;
  ktest::RunResult r = wp.run("zelmar",
                              with(zrun::basekeys(), {{"GSUM", "Yes"},
                                                      {"AirScat", "5"},
                                                      {"DetW", kOut},
                                                      {"DetW[1]", "0.1"},
                                                      {"DeltaOmega", "1"}}),
                              {"zweiTheta[1]=30"});
  EXPECT_EQ(r.status, 0) << r.out;
  for (int n : {15, 245, 56}) {
    EXPECT_EQ(r.out.find(message(n)), std::string::npos) << n;
  }
}

// Checks made at an angle.
TEST(ZelmarKeys, ChecksOfAnAngle) {
  struct Case {
    const char* what;
    Keys changes;
    int status;
    std::string expect;
  };
  const float kern30 = static_cast<float>(0.3 * (0.04 + 0.1) / 200);
  const Case cases[] = {
      {"bin width 0", {{"DEPS", "0"}}, 179, message(-179, 1, 30.0, 0.0, double{kern30})},
      {"no divergence slit in transmission",
       {{"ZELMARRY", "TRANSMISSION"}, {"HSlitW", "0"}},
       103,
       message(-103, "HSlitW", 0.0)},
      {"no ray reaches the detector", {{"SamplW", "1e-6"}}, 19, message(-19, 30.0)},
      {"divergence slit per angle missing", {{"HSlitW", kOut}, {"GSUM", "Y"}}, 1, "(E) HSlitW"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    zrun::Workplace wp;
    ktest::RunResult r = wp.run("zelmar", with(zrun::basekeys(), c.changes), {"zweiTheta[1]=30"});
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_NE(r.out.find(c.expect), std::string::npos) << r.out;
    EXPECT_FALSE(ktest::file_exists(wp.file("out.ger")));
  }
}

// A sample narrower than the irradiated length at a low angle: without GSUM
// the intensity of the rays that pass beside it is lost, which the run says
// at that angle only; with GSUM the loss goes into the block's weight sum.
TEST(ZelmarKeys, RaysBesideANarrowSample) {
  for (const char* gsum : {"N", "Y"}) {
    SCOPED_TRACE(gsum);
    zrun::Workplace wp;
    ktest::RunResult r = wp.run("zelmar", with(zrun::basekeys(), {{"SamplW", "5"}, {"GSUM", gsum}}),
                                {"zweiTheta[1]=20", "zweiTheta[2]=120"});
    EXPECT_EQ(r.status, 0) << r.out;
    const size_t first = r.out.find("zweiTheta=20"), second = r.out.find("zweiTheta=120");
    ASSERT_NE(first, std::string::npos) << r.out;
    ASSERT_NE(second, std::string::npos) << r.out;
    const size_t warning = r.out.find(message(247));
    if (gsum[0] == 'N') {
      // The divergence slit opens 1 mm / (200 - 100) mm = 0.01 rad: the beam
      // lights 200 mm x 0.01 / sin theta of the surface, 11.5 mm at
      // 2theta = 20 degrees and 2.3 mm at 120 degrees.
      ASSERT_NE(warning, std::string::npos) << r.out;
      EXPECT_GT(warning, first);
      EXPECT_LT(warning, second);
      EXPECT_EQ(r.out.find(message(247), warning + 1), std::string::npos) << r.out;
    } else {
      EXPECT_EQ(warning, std::string::npos) << r.out;
    }
  }
}

// The header: the arrangement and tail fraction, then every defined beam-path
// key in its fixed order with its stored text (blanks and question marks
// quoted so that the text stays one item, formulas unevaluated); the keys of
// the run itself are not written. The blocks of the angles follow it.
TEST(ZelmarFile, HeaderIsExact) {
  zrun::Workplace wp;
  Keys keys = with(zrun::basekeys(), {{"TITEL", "Si 640c? line focus"},
                                      {"FocusH", "4*2"},
                                      {"HSlitW", "0.5*(1+zweiTheta/100)"},
                                      {"GSUM", "Y"},
                                      {"AirScat", "3"},
                                      {"DEPS", "0.00001"},
                                      {"RAW[1]", "raw.txt"},
                                      {"DeltaOmega", "0"},
                                      {"MonR", "210"},
                                      {"MonH", "12"},
                                      {"SamplWavyness", "0"},
                                      {"SCollA", "0.5"}});
  ktest::RunResult r = wp.run("zelmar", keys, {"R==200", "zweiTheta[1]=30"});
  ASSERT_EQ(r.status, 0) << r.out;
  auto header = [](const std::string& content) {
    return content.substr(0, content.find("THETA="));
  };
  EXPECT_EQ(header(ktest::read_file(wp.file("out.ger"))),
            "ZELMARRY=REFLEXION TubeTails=0.0000\n"
            "TITEL=Si?!640c??"
            "?!line?!focus\n"
            "R=?!2.0000000000000000E+02\n"
            "FocusH=4*2\n"
            "FocusW=0.04\n"
            "HSlitW=0.5*(1+zweiTheta/100)\n"
            "HSlitR=100\n"
            "PColl=0.04\n"
            "SamplWavyness=0\n"
            "DeltaOmega=0\n"
            "SColl=0.04\n"
            "SCollA=0.5\n"
            "DetH=15\n"
            "DetW=0.1\n"
            "MonR=210\n"
            "MonH=12\n");

  for (const char* arr : {"TRANSMISSION", "CAPILLARY"}) {
    r = wp.run("zelmar", with(zrun::basekeys(), {{"ZELMARRY", arr}}), {"zweiTheta[1]=30"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(zrun::lines(ktest::read_file(wp.file("out.ger")))[0],
              std::string("ZELMARRY=") + arr + " TubeTails=0.0000");
  }
}

// The blocks and the console lines of a traced run, in reflection and
// transmission: the weights of each angle sum to 1 within EPSG, the
// normalisation lies in (0, 1], the raw histogram of angle 1 has one line per
// bin at steps of one bin width, its fullest bin just past 2/EPSG^2, and the
// same keys give the same files again.
TEST(ZelmarFile, BlocksRawHistogramAndRepeatability) {
  const float epsg = 0.02f;
  const double deps = 0.00002;
  for (const char* arr : {"REFLEXION", "TRANSMISSION"}) {
    SCOPED_TRACE(arr);
    zrun::Workplace wp;
    // (A narrower divergence slit in transmission, where it sets the width.)
    Keys keys = with(zrun::basekeys(), {{"ZELMARRY", arr},
                                        {"HSlitW", arr[0] == 'T' ? "0.2" : "1"},
                                        {"GSUM", "J"},
                                        {"DEPS", "0.00002"},
                                        {"zweiTheta[1]", "30"},
                                        {"zweiTheta[2]", "100"},
                                        {"RAW[1]", "raw1.txt"}});
    ktest::RunResult r = wp.run("zelmar", keys);
    ASSERT_EQ(r.status, 0) << r.out;
    std::string text = ktest::read_file(wp.file("out.ger"));
    zrun::ProfileFile f = zrun::parseprofile(text);
    ASSERT_EQ(f.blocks.size(), 2u);
    const double thetas[] = {15, 50};
    for (size_t i = 0; i < 2; ++i) {
      const zrun::Block& b = f.blocks[i];
      SCOPED_TRACE(b.head);
      EXPECT_EQ(b.theta, thetas[i]);
      ASSERT_GE(b.n, 1);
      ASSERT_TRUE(b.hasgsum);
      EXPECT_GT(b.gsum, 0);
      EXPECT_LE(b.gsum, 1);
      char head[100];
      std::snprintf(head, sizeof head, "THETA=%-.4f N=%d GSUM=%.5e", thetas[i], b.n, b.gsum);
      EXPECT_EQ(b.head, head);
      double sum = 0;
      for (int k = 0; k < b.n; ++k) {
        sum += b.g[k];
        EXPECT_GT(b.q[k], 0);
        char row[100];
        std::snprintf(row, sizeof row, "%7.5f %8.7f %9.8f", b.g[k], b.e[k], b.q[k]);
        EXPECT_EQ(b.rows[k], row);
      }
      EXPECT_NEAR(sum, 1.0, epsg + b.n * 5e-6);
      char console[100];
      std::snprintf(console, sizeof console, "zweiTheta=%-8.4f N=%d GSUM=%.5e\n", 2 * thetas[i],
                    b.n, b.gsum);
      EXPECT_NE(r.out.find(console), std::string::npos) << r.out;
    }

    std::string raw = ktest::read_file(wp.file("raw1.txt"));
    std::vector<zrun::RawBin> bins = zrun::parseraw(raw);
    ASSERT_GT(bins.size(), 10u);
    const double step = 360 * deps / kPi;
    long top = 0;
    for (size_t k = 0; k < bins.size(); ++k) {
      top = std::max(top, bins[k].count);
      EXPECT_GE(bins[k].count, 0);
      if (k > 0) {
        ASSERT_NEAR(bins[k].dev - bins[k - 1].dev, step, 2e-6) << k;
      }
      // Each deviation is a whole number of bins.
      EXPECT_NEAR(bins[k].dev / step, std::round(bins[k].dev / step), 1e-3);
    }
    EXPECT_GT(bins.front().count, 0);
    EXPECT_GT(bins.back().count, 0);
    EXPECT_EQ(top, static_cast<long>(std::floor(2 / static_cast<double>(epsg * epsg))) + 1);

    r = wp.run("zelmar", keys);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ktest::read_file(wp.file("out.ger")), text);
    EXPECT_EQ(ktest::read_file(wp.file("raw1.txt")), raw);
  }
}

// All apertures nearly closed: every ray runs along the central ray and
// lands in bin 0, in reflection and in transmission. A histogram of one bin
// cannot be resolved by halving the bin width; after the last halving the
// angle is written as one component with a warning.
TEST(ZelmarFile, CentralRayLandsInBinZero) {
  const float epsg = 0.05f;
  for (const char* arr : {"REFLEXION", "TRANSMISSION"}) {
    SCOPED_TRACE(arr);
    zrun::Workplace wp;
    Keys keys = with(zrun::basekeys(), {{"ZELMARRY", arr},
                                        {"EPSG", "0.05"},
                                        {"FocusH", "1e-7"},
                                        {"FocusW", "1e-7"},
                                        {"HSlitW", "1e-7"},
                                        {"DetW", "1e-7"},
                                        {"PColl", "1e-9"},
                                        {"SColl", "1e-9"},
                                        {"DEPS", "0.00001"},
                                        {"zweiTheta[1]", "40"},
                                        {"RAW[1]", "raw.txt"}});
    ktest::RunResult r = wp.run("zelmar", keys);
    ASSERT_EQ(r.status, 0) << r.out;
    const long full = static_cast<long>(std::floor(2 / static_cast<double>(epsg * epsg))) + 1;
    EXPECT_EQ(ktest::read_file(wp.file("raw.txt")), "0.000000 " + std::to_string(full) + "\n");
    EXPECT_NE(r.out.find(message(180, 40.0, 10)), std::string::npos) << r.out;
    zrun::ProfileFile f = zrun::parseprofile(ktest::read_file(wp.file("out.ger")));
    ASSERT_EQ(f.blocks.size(), 1u);
    ASSERT_EQ(f.blocks[0].n, 1);
    EXPECT_EQ(f.blocks[0].g[0], 1.0);
    EXPECT_EQ(f.blocks[0].e[0], 0.0);
  }
}

// An angle not above twice the omega offset is not traced: message 55, no
// block; the angles around it are traced.
TEST(ZelmarFile, AngleBelowTheOmegaOffsetIsSkipped) {
  zrun::Workplace wp;
  Keys keys = with(zrun::basekeys(), {{"GSUM", "Y"},
                                      {"DeltaOmega", "2"},
                                      {"zweiTheta[1]", "30"},
                                      {"zweiTheta[2]", "4"},
                                      {"zweiTheta[3]", "40"}});
  ktest::RunResult r = wp.run("zelmar", keys);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find(message(55, 4.0, 2)), std::string::npos) << r.out;
  zrun::ProfileFile f = zrun::parseprofile(ktest::read_file(wp.file("out.ger")));
  ASSERT_EQ(f.blocks.size(), 2u);
  EXPECT_EQ(f.blocks[0].theta, 15);
  EXPECT_EQ(f.blocks[1].theta, 20);
  EXPECT_NE(f.blocks[0].head.find(" DeltaOmega=2.0000  "), std::string::npos) << f.blocks[0].head;
}

// The profile file that zelmar writes is an instrument profile for the rest
// of the suite: probast evaluates it, and quindle's table of it gives probast
// the same line shape as the file itself.
TEST(ZelmarFile, ProfileServesProbastAndQuindle) {
  zrun::Workplace wp;
  Keys keys = with(
      zrun::basekeys(),
      {{"LINTOR", "inst"}, {"zweiTheta[1]", "40"}, {"zweiTheta[2]", "60"}, {"Extension", "Y"}});
  ktest::RunResult r = wp.run("zelmar", keys);
  ASSERT_EQ(r.status, 0) << r.out;
  zrun::ProfileFile f = zrun::parseprofile(ktest::read_file(wp.file("inst.ger")));
  ASSERT_EQ(f.blocks.size(), 2u);

  // probast on the profile file alone.
  Keys probe{{"LINTOR", "inst"}, {"zweiTheta", "50"}, {"Extension", "Y"}, {"SAVE", "N"}};
  r = wp.run("probast", probe);
  ASSERT_EQ(r.status, 0) << r.out;
  geqrun::Blocks text = geqrun::columns(ktest::read_file(wp.install.file("probast.out")));
  ASSERT_GE(text.size(), 2u);
  // The line shape has unit area per degree of 2theta.
  {
    const std::vector<geqrun::Point>& b = text[0];
    const double step = std::fabs(b.back().x - b.front().x) / static_cast<double>(b.size() - 1);
    double area = 0;
    for (const geqrun::Point& p : b) area += p.y * step;
    EXPECT_NEAR(area, 1.0, 0.03);
  }

  // A table by quindle around 50 degrees, the profile file moved away.
  r = wp.run("quindle", with(probe, {{"WMIN", "48"}, {"WMAX", "52"}, {"WSTEP", "0.5"}}));
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_EQ(std::rename(wp.file("inst.ger").c_str(), wp.file("kept.ger").c_str()), 0);
  r = wp.run("probast", probe);
  ASSERT_EQ(r.status, 0) << r.out;
  geqrun::Blocks table = geqrun::columns(ktest::read_file(wp.install.file("probast.out")));
  ASSERT_EQ(table.size(), text.size());
  for (size_t k = 0; k < text.size(); ++k) {
    ASSERT_EQ(table[k].size(), text[k].size());
    double xmax = 0, ymax = 0, dx = 0, dy = 0;
    for (size_t i = 0; i < text[k].size(); ++i) {
      xmax = std::max(xmax, std::fabs(text[k][i].x));
      ymax = std::max(ymax, std::fabs(text[k][i].y));
      dx = std::max(dx, std::fabs(table[k][i].x - text[k][i].x));
      dy = std::max(dy, std::fabs(table[k][i].y - text[k][i].y));
    }
    EXPECT_LE(dx, 1e-5 * xmax) << "block " << k;
    EXPECT_LE(dy, 1e-5 * ymax) << "block " << k;
  }
}

// The side of its line on which a line shape puts its asymmetric part: the
// centroid less the maximum of probast's line shape, in degrees 2theta.
double lean(const zrun::Workplace& wp, const std::string& profile, double twotheta) {
  ktest::RunResult r = wp.run(
      "probast", {{"LINTOR", profile}, {"zweiTheta", std::to_string(twotheta)}, {"SAVE", "N"}});
  EXPECT_EQ(r.status, 0) << r.out;
  const geqrun::Blocks b = geqrun::columns(ktest::read_file(wp.install.file("probast.out")));
  double sum = 0, first = 0, top = 0, mode = 0;
  for (const geqrun::Point& p : b.at(0)) {
    sum += p.y;
    first += p.x * p.y;
    if (p.y > top) {
      top = p.y;
      mode = p.x;
    }
  }
  return first / sum - mode;
}

// The shipped instrument profiles of a laboratory diffractometer lean the way
// the ray trace of such a beam path (the example's beampath.sav) does: a
// reflecting flat sample and axial divergence put the tail on the low-angle
// side of the line at low angles (a component of positive position lies on
// the low-angle side), and less and less so towards 2theta = 90 degrees.
TEST(ZelmarFile, ShippedProfilesLeanTheWayTheTraceDoes) {
  zrun::Workplace wp;
  const std::string top = KALVO_SOURCE_DIR;
  ktest::copy_file(top + "/examples/beampath.sav", wp.file("beampath.sav"));
  ktest::copy_file(top + "/examples/instrument.ger", wp.file("example.ger"));
  ktest::copy_file(top + "/tests/data/PbSO4_instrument.ger", wp.file("pbso4.ger"));
  ktest::RunResult r =
      ktest::run_program(ktest::program_path("zelmar"), {"beampath", "LINTOR=traced", "SAVE=N"},
                         wp.work.path(), {{"KALVO", wp.install.path()}});
  ASSERT_EQ(r.status, 0) << r.out;
  for (double twotheta : {30.0, 60.0, 100.0}) {
    const double traced = lean(wp, "traced", twotheta);
    if (twotheta < 90) {
      EXPECT_LT(traced, 0) << twotheta;
    }
    for (const char* shipped : {"example", "pbso4"}) {
      const double own = lean(wp, shipped, twotheta);
      EXPECT_GT(own * traced, 0) << shipped << " at 2theta=" << twotheta << ": " << own
                                 << " degrees, traced " << traced;
    }
  }
}

}  // namespace

namespace {

// A tube-tail scan: one strong line on a background that never falls to 4,
// so the tails span the whole scan (2theta 29 to 31 degrees): the fraction
// measured from it heads the file, and the traced line shape carries the
// tails far beyond its core.
TEST(ZelmarFile, TubeTailsWidenTheLineShape) {
  zrun::Workplace wp;
  std::string scan =
      "FilePar\nsample\nremark\n1\n2\nx\nCu\nremark\n3\n0\n1\nBerPar1\nrange\n29\n31.02\n0."
      "02\nC\n1\n"
      "5\n101\nN\nN\n0\nIntens1\n";
  for (int i = 0; i < 101; ++i) scan += i == 50 ? "300\n" : i == 49 || i == 51 ? "60\n" : "6\n";
  ktest::write_file(wp.file("tails.val"), scan);
  Keys keys = with(zrun::basekeys(),
                   {{"TubeTails", "tails.val"}, {"zweiTheta[1]", "40"}, {"RAW[1]", "raw.txt"}});
  ktest::RunResult r = wp.run("zelmar", keys);
  ASSERT_EQ(r.status, 0) << r.out;
  // The fraction as the scan reader reports it, in percent.
  const std::string head = "intensity in the tube tails (%): ";
  size_t at = r.out.find(head);
  ASSERT_NE(at, std::string::npos) << r.out;
  const double percent = std::stod(r.out.substr(at + head.size()));
  EXPECT_NEAR(percent, 60.1, 0.1);
  std::string first = zrun::lines(ktest::read_file(wp.file("out.ger")))[0];
  double fraction = 0;
  ASSERT_EQ(std::sscanf(first.c_str(), "ZELMARRY=REFLEXION TubeTails=%lf", &fraction), 1) << first;
  EXPECT_NEAR(fraction * 100, percent, 0.006);
  char printed[20];
  std::snprintf(printed, sizeof printed, "%.4f", fraction);
  EXPECT_EQ(first, std::string("ZELMARRY=REFLEXION TubeTails=") + printed);

  std::vector<zrun::RawBin> bins = zrun::parseraw(ktest::read_file(wp.file("raw.txt")));
  ASSERT_FALSE(bins.empty());
  EXPECT_LT(bins.front().dev, -0.8);
  EXPECT_GT(bins.back().dev, 0.8);
  double all = 0, far = 0;
  for (const zrun::RawBin& b : bins) {
    all += static_cast<double>(b.count);
    if (std::fabs(b.dev) > 0.1) far += static_cast<double>(b.count);
  }
  // Most tail rays land beyond 0.1 degrees; without tails almost none do.
  EXPECT_GT(far / all, 0.75 * fraction);
  EXPECT_LT(far / all, fraction);
}

}  // namespace
