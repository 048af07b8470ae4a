// The pattern model and its derivative rows, which work on several points or
// peaks side by side, against the one-point functions modell0 and ableitung0
// taken point by point: every bit of the residuals, the model, background and
// phase columns and the derivative rows must agree, for all three peak kinds,
// with polarisation, in the ordinary and the derivative mode.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/velmora.hpp"
#include "modell_fixture.hpp"

namespace model {
using namespace core;
using namespace scan;

using namespace modelltest;

namespace {

// Index of the first element whose bits differ, or -1.
long firstdifference(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return 0;
  for (size_t k = 0; k < a.size(); ++k)
    if (std::memcmp(&a[k], &b[k], sizeof(float)) != 0) return static_cast<long>(k);
  return -1;
}

// Nine peaks of each kind from 45 to 55 degrees (groups of four and one
// left over), so that every point has peaks far from it, peaks blended with
// the far form and, close by, peaks in the exact component sum. Among them
// a kind-3 peak without own width, kind-4 peaks with s = 0 (the derivative
// by s without the division), a negative s (no squared-Lorentzian width) and two peaks on
// the same spot.
PeakSet* manypeaks() {
  PeakSet* s = nullptr;
  peakalloc(nullptr, &s, 0, 0, 3, 9, 9, 9);
  for (int k = 0; k < 9; ++k) {
    const double tt = 45.0 + 1.2 * k;
    float* p2 = s->par2 + 2 * k;
    p2[0] = 50.0f + 7.0f * k, p2[1] = static_cast<float>(position(tt + 0.13));
    float* p3 = s->par3 + 3 * k;
    p3[0] = 80.0f - 3.0f * k, p3[1] = static_cast<float>(position(tt + 0.41));
    p3[2] = k == 4 ? 0.0f : 0.001f * (k + 1);
    float* p4 = s->par4 + 4 * k;
    p4[0] = 60.0f + k, p4[1] = static_cast<float>(position(k == 7 ? 45.0 + 1.2 * 6 : tt + 0.77));
    p4[2] = 0.0015f * (k % 3);
    p4[3] = k == 2 ? 0.0f : k == 5 ? -1e-5f : 4e-6f * k;
    s->ix2[k] = k % 3, s->ix3[k] = (k + 1) % 3, s->ix4[k] = (k + 2) % 3;
  }
  s->bg[0] = 50.0f, s->bg[1] = 40.0f, s->bg[2] = 30.0f;
  return s;
}

class PatternLanes : public ::testing::Test {
 protected:
  void SetUp() override {
    install();
    setxray(true);
    pol = 0.8f;
    doublet();
    instrument(dir);
    // 1201 points: neither the groups of points nor the chunks of the pool
    // come out even.
    points(44.0, 56.0, 0.01);
    for (int t = 0; t < m; ++t) {
      intensitaet[t] = static_cast<float>(100.0 + 20.0 * std::sin(0.05 * t));
      w[t] = static_cast<float>(0.3 + 0.1 * std::cos(0.03 * t));
    }
    hinit();
    unt1(3, sinx, m, nullptr, nullptr);
    set = manypeaks();
    total = 2 * set->count2 + 3 * set->count3 + 4 * set->count4 + set->ru;
  }
  void TearDown() override {
    y = u = yphasen = nullptr;
    nphasen = 0;
    peakfree(&set);
    release();
    setxray(false);
    setpol(false);
  }
  ktest::TempDir dir;
  PeakSet* set = nullptr;
  int total = 0;
};

TEST_F(PatternLanes, OrdinaryModeAgreesBitForBitWithThePointByPointFunctions) {
  const int npts = m;
  std::vector<float> ymodel(npts), ubg(npts), cols(3 * static_cast<size_t>(npts));
  y = ymodel.data(), u = ubg.data(), yphasen = cols.data(), nphasen = 3;
  const std::vector<float> r = residuals(set);
  const std::vector<float> ylanes = ymodel, ulanes = ubg, clanes = cols;

  std::vector<float> rref(npts), yref(npts), uref(npts);
  for (int i = 0; i < npts; ++i) {
    const float v = modell0(i, set);  // fills row i of yphasen again
    const float b = unt(set->bg, sinx[i]);
    const double sum = static_cast<double>(b) + static_cast<double>(v);
    yref[i] = static_cast<float>(sum);
    uref[i] = b;
    rref[i] = static_cast<float>((sum - intensitaet[i]) * w[i]);
  }
  EXPECT_EQ(firstdifference(r, rref), -1);
  EXPECT_EQ(firstdifference(ylanes, yref), -1);
  EXPECT_EQ(firstdifference(ulanes, uref), -1);
  EXPECT_EQ(firstdifference(clanes, cols), -1);

  std::vector<float> rows(static_cast<size_t>(npts) * total), ref(rows.size());
  const int np = total - set->ru;
  for (int t = 0; t < npts; ++t) {
    ableitung(rows.data() + static_cast<size_t>(t) * total, t, set);
    float* row = ref.data() + static_cast<size_t>(t) * total;
    ableitung0(row, t, set);
    for (int k = 0; k < set->ru; ++k) row[np + k] = 0.0f;
    unta(set->bg, row + np, sinx[t]);
    for (int k = 0; k < total; ++k) row[k] *= w[t];
  }
  const long at = firstdifference(rows, ref);
  EXPECT_EQ(at, -1) << "row " << at / total << " entry " << at % total;
  // The same rows taken eight at a time (the last group shorter).
  std::vector<float> batch(rows.size(), -1.0f);
  for (int t0 = 0; t0 < npts; t0 += 8)
    ableitungen(batch.data() + static_cast<size_t>(t0) * total, static_cast<size_t>(total), t0,
                std::min(8, npts - t0), set);
  const long bat = firstdifference(batch, rows);
  EXPECT_EQ(bat, -1) << "row " << bat / total << " entry " << bat % total;
}

// The model values of a run of points (a phase's own contribution) agree to
// the bit with modell0 point by point, also for a run that ends inside a
// group of points, and leave the phase columns as they were.
TEST_F(PatternLanes, PointValuesAgreeBitForBitAndLeaveThePhaseColumnsAlone) {
  std::vector<float> ref(static_cast<size_t>(m));
  for (int i = 0; i < m; ++i) ref[static_cast<size_t>(i)] = modell0(i, set);
  std::vector<float> cols(3 * static_cast<size_t>(m), -7.0f);
  yphasen = cols.data(), nphasen = 3;
  for (const int count : {m, m - 2, 5}) {
    SCOPED_TRACE(count);
    std::vector<float> values(static_cast<size_t>(count), -1.0f);
    modellpunkte(values.data(), count, set);
    EXPECT_EQ(firstdifference(values, std::vector<float>(ref.begin(), ref.begin() + count)), -1);
  }
  EXPECT_EQ(firstdifference(cols, std::vector<float>(cols.size(), -7.0f)), -1);
}

TEST_F(PatternLanes, DerivativeModeAgreesBitForBitWithThePointByPointFunctions) {
  const int npts = m;
  std::vector<float> ymodel(npts, -1.0f), cols(3 * static_cast<size_t>(npts), -1.0f);
  y = ymodel.data(), yphasen = cols.data(), nphasen = 3;
  ddmon(9);
  for (int t = 0; t < m; ++t) {
    intensitaet[t] = static_cast<float>(2.0 * std::sin(0.05 * t));
    w[t] = static_cast<float>(0.3 + 0.1 * std::cos(0.03 * t));
  }
  const std::vector<float> r = residuals(set);
  const std::vector<float> ylanes = ymodel, clanes = cols;

  std::vector<float> value(npts);
  for (int i = 0; i < npts; ++i) value[i] = modell0(i, set);
  std::vector<float> rref(m);
  for (int t = 0; t < m; ++t) {
    const int c = t / 2, rc = ddmrange[c];
    double sum = 0.0;
    for (int j = -rc; j <= rc; ++j) sum += ddmpolynome(j, t % 2, rc) * value[c + 2 + j];
    rref[t] = static_cast<float>((sum - intensitaet[t]) * w[t]);
  }
  EXPECT_EQ(firstdifference(r, rref), -1);
  EXPECT_EQ(firstdifference(ylanes, value), -1);
  EXPECT_EQ(firstdifference(clanes, cols), -1);

  const int np = total - set->ru;
  std::vector<float> rows(static_cast<size_t>(m) * total), ref(rows.size());
  std::vector<std::vector<float>> point(npts, std::vector<float>(np));
  for (int i = 0; i < npts; ++i) ableitung0(point[i].data(), i, set);
  for (int t = 0; t < m; ++t) {
    ableitung(rows.data() + static_cast<size_t>(t) * total, t, set);
    const int c = t / 2, rc = ddmrange[c];
    float* row = ref.data() + static_cast<size_t>(t) * total;
    for (int k = 0; k < np; ++k) {
      double sum = 0.0;
      for (int j = -rc; j <= rc; ++j) sum += ddmpolynome(j, t % 2, rc) * point[c + 2 + j][k];
      row[k] = static_cast<float>(static_cast<double>(w[t]) * sum);
    }
  }
  const long at = firstdifference(rows, ref);
  EXPECT_EQ(at, -1) << "row " << at / total << " entry " << at % total;
}

// The rows remember the set's worked-out peak values between calls; a
// changed parameter must be seen at the very next row.
TEST_F(PatternLanes, RowsFollowEveryChangeOfTheSet) {
  std::vector<float> row(total), ref(total);
  const int t = m / 2;
  auto reference = [&] {
    ableitung0(ref.data(), t, set);
    const int np = total - set->ru;
    for (int k = 0; k < set->ru; ++k) ref[np + k] = 0.0f;
    unta(set->bg, ref.data() + np, sinx[t]);
    for (int k = 0; k < total; ++k) ref[k] *= w[t];
  };
  const struct {
    float* p;
    const char* what;
  } changes[] = {{set->par2 + 1, "kind-2 position"},
                 {set->par3 + 14, "kind-3 width"},
                 {set->par4 + 23, "kind-4 s"},
                 {set->par4 + 32, "kind-4 intensity"}};
  for (const auto& c : changes) {
    ableitung(row.data(), t, set);
    *c.p *= 1.001f;
    ableitung(row.data(), t, set);
    reference();
    EXPECT_EQ(firstdifference(row, ref), -1) << c.what;
    // Also where the rows come several at a time.
    *c.p *= 1.001f;
    ableitungen(row.data(), static_cast<size_t>(total), t, 1, set);
    reference();
    EXPECT_EQ(firstdifference(row, ref), -1) << c.what << ", rows several at a time";
  }
  // The same parameters in a new record at the old record's place.
  PeakSet* other = nullptr;
  peakalloc(set, &other, 3, 0, set->ru, set->count2, set->count3 - 1, set->count4);
  peakfree(&set);
  set = other;
  total = 2 * set->count2 + 3 * set->count3 + 4 * set->count4 + set->ru;
  row.assign(total, 0.0f), ref.assign(total, 0.0f);
  ableitung(row.data(), t, set);
  reference();
  EXPECT_EQ(firstdifference(row, ref), -1);
}

}  // namespace
}  // namespace model
