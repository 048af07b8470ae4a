// Real data: the peak positions that kalvo fits to single reflections of the
// LaB6 line-position standard agree with those of an independent
// curve-fitting program (fityk) fitting the same line shape to the same
// points, to a twentieth of their errors, and so do the intensities, widths,
// sums of squares and errors (fixture made by tools/fityk-lab6).
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kalvorun.hpp"

namespace {

struct Reference {
  std::string hkl;
  double lo, hi;
  int points;
  double startposition, startintensity, startwidth;
  double position, positionerror, intensity, intensityerror, width, widtherror, wssr;
  std::string held;  // parameters the reference fit holds at their bound 0, "-" none
};

std::vector<Reference> references() {
  std::ifstream f(std::string(KALVO_TEST_DATA) + "/LaB6_Jan2018_fityk.txt");
  std::vector<Reference> out;
  std::string line;
  while (std::getline(f, line)) {
    if (line.empty() || line[0] == '%') continue;
    std::istringstream in(line);
    Reference r;
    in >> r.hkl >> r.lo >> r.hi >> r.points >> r.startposition >> r.startintensity >>
        r.startwidth >> r.position >> r.positionerror >> r.intensity >> r.intensityerror >>
        r.width >> r.widtherror >> r.wssr >> r.held;
    if (in) out.push_back(r);
  }
  return out;
}

// One scan index per reflection: a start file with one peak of its own
// Lorentzian width, two background coefficients, no model changes (TEST
// names no kind of change), no instrument profile: the line shape of the
// reference fit. Both fits keep the width and the background values at the
// nodes non-negative; in three windows the background rests at 0.
TEST(Lab6, PeakPositionsAgreeWithAnIndependentFit) {
  const std::vector<Reference> refs = references();
  ASSERT_EQ(refs.size(), 8u);
  kalvotest::Workplace wp;
  ktest::copy_file(std::string(KALVO_TEST_DATA) + "/LaB6_Jan2018.raw", wp.file("LaB6_Jan2018.raw"));
  std::string control = "RU=2\nTEST=0\n";
  for (size_t k = 0; k < refs.size(); ++k) {
    const Reference& r = refs[k];
    const std::string i = std::to_string(k + 1);
    char buf[300];
    std::snprintf(buf, sizeof buf,
                  "VAL[%s,1]=LaB6_Jan2018.raw\nWMIN[%s]=%.2f\nWMAX[%s]=%.2f\nOUTPUT[%s]=w%s.par\n",
                  i.c_str(), i.c_str(), r.lo, i.c_str(), r.hi, i.c_str(), r.hkl.c_str());
    control += buf;
    std::snprintf(buf, sizeof buf, "PEAKZAHL=1\n3 %.6E %.7f %.7f\n", r.startintensity,
                  r.startposition, r.startwidth);
    wp.put("w" + r.hkl + ".par", buf);
  }
  wp.put("run.sav", control);
  ktest::RunResult run = wp.run({"SAVE=N"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  for (size_t k = 0; k < refs.size(); ++k) {
    const Reference& r = refs[k];
    SCOPED_TRACE(r.hkl);
    kalvotest::ParText p = kalvotest::readpar(wp.get("w" + r.hkl + ".par"));
    ASSERT_EQ(p.peaks.size(), 1u);
    ASSERT_EQ(p.peaks[0].type, 3);
    ASSERT_EQ(p.matrix.size(), 5u);
    // The same points as the reference fit.
    EXPECT_NE(run.out.find(ktest::message(3, static_cast<int>(k + 1), r.points)),
              std::string::npos);
    const double sigma = kalvotest::sigma(p, 1, r.points);
    const double position = p.peaks[0].par[1];
    // The positions agree within their errors; without a parameter at its
    // bound both fits estimate the same error.
    if (r.held == "-") {
      EXPECT_NEAR(sigma, r.positionerror, 0.1 * r.positionerror);
    }
    EXPECT_NEAR(position, r.position, 0.05 * std::hypot(sigma, r.positionerror))
        << "kalvo " << position << " +- " << sigma << ", fityk " << r.position << " +- "
        << r.positionerror;
    EXPECT_NEAR(p.peaks[0].par[0], r.intensity, 0.05 * r.intensityerror);
    EXPECT_NEAR(p.peaks[0].par[2], r.width, 0.05 * r.widtherror);
    EXPECT_NEAR(std::atof(p.header["Q"].c_str()), r.wssr, 0.002 * r.wssr);
  }
}

}  // namespace
