// Preparation of the measured points: scans that measure the same angles
// merge into one point per angle with the summed weight, and every point
// goes to the nearest reflection when it lies inside that reflection's
// window.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "programs/lintor/lintor.hpp"

namespace {

using lintor::Reflex;

struct Points {
  std::vector<float> s, y, w;
};

TEST(Points, MergeOfCoincidentPoints) {
  struct Case {
    const char* what;
    Points in, out;
  };
  const Case cases[] = {
      {"two scans of the same angles, given out of order",
       {{0.30f, 0.20f, 0.20f, 0.30f}, {10, 4, 8, 20}, {1, 1, 3, 1}},
       {{0.20f, 0.30f}, {7, 15}, {4, 2}}},
      {"a group is measured from its first point",
       {{0.5f, 0.5f + 1.0e-6f, 0.5f + 2.0e-6f}, {1, 2, 3}, {1, 1, 1}},
       {{0.5f + 0.5e-6f, 0.5f + 2.0e-6f}, {1.5f, 3}, {2, 1}}},
      {"points without weight keep plain means, not a quotient 0/0",
       {{0.1f, 0.1f, 0.2f}, {6, 2, 9}, {0, 0, 0}},
       {{0.1f, 0.2f}, {4, 9}, {0, 0}}},
      {"no points", {{}, {}, {}}, {{}, {}, {}}},
  };
  for (const Case& c : cases) {
    Points p = c.in;
    lintor::mergepoints(p.s, p.y, p.w);
    ASSERT_EQ(p.s.size(), c.out.s.size()) << c.what;
    for (size_t k = 0; k < p.s.size(); ++k) {
      EXPECT_NEAR(p.s[k], c.out.s[k], 1e-7) << c.what << " " << k;
      EXPECT_FLOAT_EQ(p.y[k], c.out.y[k]) << c.what << " " << k;
      EXPECT_FLOAT_EQ(p.w[k], c.out.w[k]) << c.what << " " << k;
    }
  }
}

// Points at 1/d = 2 sin(theta) l0 with l0 = 2, so that the window
// half-width of a reflection at P is f sqrt(16 - P^2); values chosen exact in
// single precision.
TEST(Points, AssignmentToTheNearestReflection) {
  struct Case {
    const char* what;
    std::vector<float> reflections;  // 1/d, in file order
    float f;
    std::vector<float> points;  // 1/d, ascending
    std::vector<int> owner;     // reflection of each point, -1 unused
  };
  const Case cases[] = {
      {"inside and outside the window (half-width 0.02 sqrt 12 = 0.0693)",
       {2},
       0.02f,
       {1.875f, 1.9375f, 2, 2.0625f, 2.125f},
       {-1, 0, 0, 0, -1}},
      {"the nearer reflection wins even where the other's window is wider",
       {2, 3},
       0.5f,
       {2.25f, 2.4375f, 2.5625f, 3.5f},
       {0, 0, 1, 1}},
      {"a point equally far from two reflections joins the first in the file",
       {2.5f, 2},
       0.5f,
       {2.25f},
       {0}},
      {"a repeated reflection gets nothing", {3, 3}, 0.02f, {2.96875f, 3, 3.03125f}, {0, 0, 0}},
      {"the window is 0.5 percent for synchrotron radiation",
       {2},
       0.005f,
       {1.96875f, 1.984375f, 2, 2.015625f},
       {-1, 0, 0, 0}},
      {"no reflection", {}, 0.02f, {2}, {-1}},
  };
  const double l0 = 2;
  for (const Case& c : cases) {
    std::vector<Reflex> liste(c.reflections.size());
    for (size_t r = 0; r < liste.size(); ++r) liste[r].position = c.reflections[r];
    std::vector<float> s, y, w;
    for (float x : c.points) {
      s.push_back(x / 4);
      y.push_back(10 * x);
      w.push_back(x);
    }
    lintor::assignpoints(s, y, w, liste, l0, c.f);
    std::vector<std::vector<float>> want(liste.size());
    for (size_t k = 0; k < c.points.size(); ++k)
      if (c.owner[k] >= 0) want[c.owner[k]].push_back(c.points[k]);
    for (size_t r = 0; r < liste.size(); ++r) {
      ASSERT_EQ(liste[r].sinx.size(), want[r].size()) << c.what << ", reflection " << r;
      ASSERT_EQ(liste[r].intensitaet.size(), want[r].size());
      ASSERT_EQ(liste[r].w.size(), want[r].size());
      for (size_t k = 0; k < want[r].size(); ++k) {
        EXPECT_EQ(liste[r].sinx[k], want[r][k] / 4) << c.what;
        EXPECT_EQ(liste[r].intensitaet[k], 10 * want[r][k]) << c.what;
        EXPECT_EQ(liste[r].w[k], want[r][k]) << c.what;
      }
    }
  }
}

}  // namespace
