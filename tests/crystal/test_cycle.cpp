// The model evaluation cycle on a small synthetic pattern of two phases (Si
// with four peak parameters, NaCl with three): every derivative row against
// central differences of the residuals and the same numbers for 1, 2 and 8
// threads, both in the ordinary and the derivative mode, the diagram file, a
// step outside the bounds, failures of a line on a worker, the estimate of
// free texture parameters. Every test that starts
// the worker pool runs in a child of its own, with its own thread count.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/nspawn.hpp"
#include "core/outfile.hpp"
#include "core/velmora.hpp"
#include "crystal/ks.hpp"
#include "crystal_harness.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"
#include "numeric/chi2wert.hpp"
#include "refinement_fixture.hpp"
#include "scan/apx63.hpp"
#include "scan/ddm.hpp"
#include "structure_fixture.hpp"

namespace {

using namespace core;
using namespace crystal;

constexpr double kPi = 3.14159265358979323846;
constexpr int kPoints = 400;

using Install = ktest::CopperInstall;

void droppenalties();

// The two phases, their refined values and the driver's state around them.
struct TwoPhases {
  PhaseRecord* si = nullptr;
  PhaseRecord* nacl = nullptr;
  std::vector<ktest::Refined> params;
  std::vector<double> steps;     // finite-difference step of each parameter
  std::string b1 = "B1=U+V*sk";  // Si's line breadth

  // Builds everything; with diagram the file of that name is written. In
  // the derivative mode the measured pattern is transformed and there is no
  // background.
  void build(const std::string& diagram = "", bool ddm = false) {
    single_phases();
    paramglobal = nullptr;
    int32_t nglobal = 0;
    ParamRecord* g = addparam(&paramglobal, &nglobal);
    g->goal = strdup("U*3+A");
    g->goalindex = goalzahl++;
    double* eps = ktest::named(&paramglobal, &nglobal, "EPS1", 2e-5);  // the last record
    globalgoals = 1;
    globalparams = 1;
    goalwert = static_cast<double*>(std::calloc(static_cast<size_t>(goalzahl), sizeof(double)));
    ifgoal = 1;
    const int ru = ddm ? 0 : 3;
    ktest::peakset(ru);
    for (int i = 0; i < ru; ++i) tu[i] = 40.0 - 10.0 * i;
    params.push_back({"EPS1", eps, -1.0, 1.0});
    steps.push_back(3e-4);
    for (int i = 0; i < ru; ++i) {
      params.push_back({"background", &tu[i], 0.0, 1e30, nullptr, nullptr, rpeaks - ru + i});
      steps.push_back(1.0);
    }
    ktest::refine(params);
    std::snprintf(diagramm, sizeof diagramm, "%s", diagram.c_str());
    std::snprintf(titel, sizeof titel, "two phases");
    // The measured pattern: the model at the start, raised by 3 % plus a
    // slope, weights from counting statistics.
    int count = 0;
    float* r = nullptr;
    totalmodell(&count, &r);
    std::free(r);
    for (int i = 0; i < model::m; ++i) {
      model::intensitaet[i] = 1.03f * model::y[i] + 0.01f * i;
      model::w[i] = 1.0f / std::sqrt(std::max(model::intensitaet[i], 1.0f));
    }
    if (ddm) {
      scan::ifddm = true;
      scan::korrddm(&model::m, model::sinx, &model::intensitaet, &model::w);
      model::hinit();
    }
  }

  void single_phases() {
    droppenalties();
    si = ktest::make_phase({"HermannMauguin=Fd-3m", "RP=4", b1, "k1=0.3", "k2=1e-6", "k3=0"});
    AtomRecord* sia = ktest::make_atom(si, "E=Si", {"Wyckoff=a"}, true);
    nacl = ktest::make_phase({"HermannMauguin=Fm-3m", "RP=3", "B1=0.06+W*sk", "DELTAsk=D"});
    AtomRecord* na = ktest::make_atom(nacl, "E=Na", {"Wyckoff=a"}, true);
    AtomRecord* cl = ktest::make_atom(nacl, "E=Cl", {"Wyckoff=b"}, true);
    using ktest::named;
    struct Value {
      PhaseRecord* phase;
      AtomRecord* atom;
      const char* name;
      double value, min, max, step;
    };
    // Broad lines (crystallites of about 10 nm), so that a finite-difference
    // step of a few hundredths of a line breadth is still large against the
    // rounding of a line position to single precision. A negative
    // displacement of Na gives its atom a penalty row.
    const Value values[] = {
        {si, nullptr, "A", 0.54311, 0.5, 0.6, 3e-4},  {si, nullptr, "GEWICHT", 2e-3, 0, 1, 2e-5},
        {si, nullptr, "U", 0.05, 0, 1, 2e-3},         {si, nullptr, "V", 0.01, 0, 1, 3e-4},
        {si, sia, "TDS", 0.005, -1, 1, 1e-3},         {nacl, nullptr, "A", 0.56402, 0.5, 0.6, 3e-4},
        {nacl, nullptr, "GEWICHT", 4e-3, 0, 1, 4e-5}, {nacl, nullptr, "W", 0.01, 0, 1, 3e-4},
        {nacl, nullptr, "D", 0.005, -1, 1, 4e-3},     {nacl, na, "TDS", -0.0005, -1, 1, 1e-4},
        {nacl, cl, "TDS", 0.008, -1, 1, 1e-3},
    };
    // Adding a record may move a record array: the addresses are taken once
    // every record is there.
    for (const Value& v : values) {
      if (v.atom != nullptr)
        named(&v.atom->params, &v.atom->nparams, v.name, v.value);
      else
        named(&v.phase->params, &v.phase->nparams, v.name, v.value);
    }
    for (const Value& v : values) {
      ParamRecord* list = v.atom != nullptr ? v.atom->params : v.phase->params;
      const int n = v.atom != nullptr ? v.atom->nparams : v.phase->nparams;
      double* at = nullptr;
      for (int i = 0; i < n; ++i)
        if (list[i].name != nullptr && std::strcmp(list[i].name, v.name) == 0) at = &list[i].value;
      params.push_back({v.name, at, v.min, v.max, v.phase, v.atom, -1});
      steps.push_back(v.step);
    }
    for (PhaseRecord* p : {si, nacl}) {
      phasei = p;
      ASSERT_TRUE(dataerr_try([] {
        newDATAlist();
        xyzinit();
      })) << GetErr(1);
      ktest::generate_reflections(95.0);
      DelAll();
      freeDATAlist();
      for (AtomRecord* at = p->atoms; at != nullptr; at = at->next) strafinit(&at->penalty, 0);
    }
  }
};

// Drops the penalty rows registered so far (also those an earlier test in
// this process left).
void droppenalties() {
  while (straferst != nullptr) {
    PenaltyRow* n = straferst->next;
    std::free(straferst);
    straferst = n;
  }
  istraf = 0;
}

void teardown() {
  ktest::free_refinement();
  freeparams(paramglobal, globalgoals + globalparams);
  paramglobal = nullptr;
  globalgoals = globalparams = 0;
  ifgoal = 0;
  diagramm[0] = 0;
  droppenalties();
  scan::ifddm = false;
  std::free(scan::ddmrange);
  std::free(scan::ddmoriintensitaet);
  scan::ddmrange = nullptr;
  scan::ddmoriintensitaet = nullptr;
}

// All residuals, then every derivative row, in the order qmin8 asks for them.
struct Evaluation {
  std::vector<float> r;
  std::vector<float> rows;
  std::vector<double> goals;
  std::vector<double> goalrows;
};

Evaluation evaluate() {
  Evaluation e;
  int count = 0;
  float* r = nullptr;
  totalmodell(&count, &r);
  e.r.assign(r, r + count);
  std::free(r);
  e.rows.resize(static_cast<size_t>(count) * rqmin);
  for (int i = 0; i < count; ++i) totalableitung(e.rows.data() + static_cast<size_t>(i) * rqmin, i);
  e.goals.assign(goalwert, goalwert + goalzahl);
  for (int g = 0; g < goalzahl; ++g) e.goalrows.insert(e.goalrows.end(), a[g], a[g] + rqmin);
  return e;
}

std::vector<float> residuals() {
  int count = 0;
  float* r = nullptr;
  totalmodell(&count, &r);
  std::vector<float> v(r, r + count);
  std::free(r);
  return v;
}

// Every derivative row of totalableitung (data rows, penalty rows) and every
// goal derivative against central differences of totalmodell; the pass ends
// with the model at the unchanged values. In the derivative mode the rows of
// the peak model come from this thread in order and only the chain rule runs
// on the workers.
void derivativesagainstdifferences(bool ddm) {
  Install inst;
  ktest::in_child([ddm] {
    nthreads = 3;
    ktest::RunScope scope;
    ktest::PhaseList list;
    ktest::Pattern pattern(kPoints, 25.0, 95.0, 0.15406, true);
    TwoPhases t;
    t.build("", ddm);
    const int rows = model::m;
    ASSERT_EQ(rows, ddm ? 2 * (kPoints - 4) : kPoints);
    const Evaluation e = evaluate();
    const int count = static_cast<int>(e.r.size());
    ASSERT_EQ(count, rows + istraf);
    ASSERT_EQ(istraf, 3);
    // The pass ends with the lines of the unchanged values.
    const std::vector<float> lines(param->par3, param->par3 + 3 * param->count3);
    residuals();
    EXPECT_EQ(std::vector<float>(param->par3, param->par3 + 3 * param->count3), lines);
    // Na's penalty row: 100000 x its displacement.
    EXPECT_FLOAT_EQ(e.r[static_cast<size_t>(rows) + 1], -50.0f);
    for (int s = 0; s < rqmin; ++s) {
      double* x = qminparam[s].value;
      const double x0 = *x;
      // Central differences with steps d and 2d, extrapolated to step 0.
      auto central = [&](double d, std::vector<double>& goals) {
        *x = x0 + d;
        const std::vector<float> up = residuals();
        goals.assign(goalwert, goalwert + goalzahl);
        *x = x0 - d;
        const std::vector<float> down = residuals();
        *x = x0;
        std::vector<double> fd(up.size());
        for (size_t i = 0; i < up.size(); ++i)
          fd[i] = (static_cast<double>(up[i]) - down[i]) / (2 * d);
        return fd;
      };
      const double d = t.steps[static_cast<size_t>(s)];
      std::vector<double> gup, unused;
      const std::vector<double> fd1 = central(d, gup);
      const std::vector<double> fd2 = central(2 * d, unused);
      double scale = 0.0, worst = 0.0;
      for (int i = 0; i < count; ++i) {
        const double fd = (4 * fd1[i] - fd2[i]) / 3;
        scale = std::max(scale, std::fabs(fd));
        worst = std::max(worst, std::fabs(fd - e.rows[static_cast<size_t>(i) * rqmin + s]));
      }
      EXPECT_GT(scale, 0.0) << qminparam[s].name;
      EXPECT_LE(worst, 1e-4 * scale) << qminparam[s].name << " (column " << s << ")";
      residuals();
      for (int g = 0; s < noequiv && g < goalzahl; ++g) {
        const double fd = (gup[g] - goalwert[g]) / d;
        EXPECT_NEAR(e.goalrows[static_cast<size_t>(g) * rqmin + s], fd, 1e-6 * std::fabs(fd) + 1e-9)
            << qminparam[s].name << " goal " << g;
      }
    }
    // The global goal U*3 + A sees the variables of both phases (A of the
    // last phase); the cell goals give A of each phase.
    EXPECT_NEAR(e.goals[static_cast<size_t>(goalzahl - 1)], 3 * 0.05 + 0.56402, 1e-12);
    EXPECT_NEAR(e.goals[static_cast<size_t>(t.si->goalindex)], 0.54311, 1e-12);
    EXPECT_NEAR(e.goals[static_cast<size_t>(t.nacl->goalindex)], 0.56402, 1e-12);
    teardown();
  });
}

TEST(Cycle, DerivativesAgainstCentralDifferences) { derivativesagainstdifferences(false); }

TEST(Cycle, DerivativeModeRowsAgainstCentralDifferences) { derivativesagainstdifferences(true); }

// The chain rule of one peak-model row for structural parameter s: the float
// products of its non-zero kettenregel entries, summed in double in four
// interleaved partial sums in column order.
double chained(const float* p, int s) {
  const float* k = kettenregel + static_cast<size_t>(s) * kettenregeldim;
  double sum[4] = {0, 0, 0, 0};
  int n = 0;
  for (int c = matrixmultdim[2 * s]; c < matrixmultdim[2 * s] + matrixmultdim[2 * s + 1]; ++c) {
    if (k[c] == 0.0f) continue;
    const float q = k[c] * p[c];
    sum[n++ % 4] += q;
  }
  return (sum[0] + sum[1]) + (sum[2] + sum[3]);
}

// The structural columns of every data row are the chain rule of that row's
// peak-model derivatives, to the bit. 399 points: the last rows do not fill
// a group of rows computed side by side.
TEST(Cycle, ChainRuleOfEachRowToTheBit) {
  Install inst;
  ktest::in_child([] {
    nthreads = 3;
    ktest::RunScope scope;
    ktest::PhaseList list;
    ktest::Pattern pattern(399, 25.0, 95.0, 0.15406, true);
    TwoPhases t;
    t.build("", false);
    int count = 0;
    float* r = nullptr;
    totalmodell(&count, &r);
    std::free(r);
    std::vector<float> row(static_cast<size_t>(rqmin));
    std::vector<float> peakrow(static_cast<size_t>(rpeaks));
    int checked = 0;
    for (int i = 0; i < model::m; ++i) {
      totalableitung(row.data(), i);
      model::ableitung(peakrow.data(), i, param);
      for (int s = 0; s < noequiv; ++s) {
        const auto expected = static_cast<float>(chained(peakrow.data(), s));
        EXPECT_EQ(std::memcmp(&row[static_cast<size_t>(s)], &expected, sizeof(float)), 0)
            << "row " << i << " parameter " << s << ": " << row[static_cast<size_t>(s)]
            << " != " << expected;
        if (expected != 0.0f) ++checked;
      }
    }
    EXPECT_GT(checked, model::m);
    teardown();
  });
}

// In the derivative mode the chain rule is taken at each point, unrounded,
// and a data row is the window of Savitzky-Golay weights over the points'
// chained values, times the row's weight, rounded once: to the bit. The
// direct peak-model columns are windowed from the points' peak-model rows
// alike. 399 points.
TEST(Cycle, DerivativeModeChainRuleAtEachPointThenTheWindowToTheBit) {
  Install inst;
  ktest::in_child([] {
    nthreads = 3;
    ktest::RunScope scope;
    ktest::PhaseList list;
    ktest::Pattern pattern(399, 25.0, 95.0, 0.15406, true);
    TwoPhases t;
    t.build("", true);
    int count = 0;
    float* r = nullptr;
    totalmodell(&count, &r);
    std::free(r);
    std::vector<float> row(static_cast<size_t>(rqmin));
    const int points = model::m / 2 + 4;
    std::vector<double> columns(static_cast<size_t>(points) * rqmin);
    std::vector<float> peakrow(static_cast<size_t>(rpeaks));
    int checked = 0;
    for (int i = 0; i < model::m; ++i) {
      totalableitung(row.data(), i);
      // Row 0 measured how the structural parameters move the peaks.
      if (i == 0) {
        for (int p = 0; p < points; ++p) {
          model::ableitung0(peakrow.data(), p, param);
          for (int s = 0; s < rqmin; ++s)
            columns[static_cast<size_t>(p) * rqmin + s] =
                s < noequiv ? chained(peakrow.data(), s) : peakrow[qminparam[s].index];
        }
      }
      const int c = i / 2, rc = scan::ddmrange[c];
      for (int s = 0; s < rqmin; ++s) {
        double sum = 0.0;
        for (int j = -rc; j <= rc; ++j)
          sum +=
              scan::ddmpolynome(j, i % 2, rc) * columns[static_cast<size_t>(c + 2 + j) * rqmin + s];
        const auto expected = static_cast<float>(static_cast<double>(model::w[i]) * sum);
        EXPECT_EQ(std::memcmp(&row[static_cast<size_t>(s)], &expected, sizeof(float)), 0)
            << "row " << i << " parameter " << s << ": " << row[static_cast<size_t>(s)]
            << " != " << expected;
        if (expected != 0.0f) ++checked;
      }
    }
    EXPECT_GT(checked, model::m);
    teardown();
  });
}

// The same residuals, derivative rows and goals to the bit for 1, 2 and 8
// threads, in the ordinary and the derivative mode; with more points the
// rows come in blocks of a different length for each thread count, the last
// one shorter.
void samenumbers(bool ddm, int points = kPoints) {
  Install inst;
  ktest::TempDir dir;
  for (int threads : {1, 2, 8}) {
    ktest::in_child([&] {
      nthreads = threads;
      ktest::RunScope scope;
      ktest::PhaseList list;
      ktest::Pattern pattern(points, 25.0, 95.0, 0.15406, true);
      TwoPhases t;
      t.build("", ddm);
      if (points > kPoints) limitrowsahead(64 * threads + 34);
      const Evaluation e = evaluate();
      FILE* f = std::fopen(dir.file(std::to_string(threads)).c_str(), "wb");
      std::fwrite(e.r.data(), sizeof(float), e.r.size(), f);
      std::fwrite(e.rows.data(), sizeof(float), e.rows.size(), f);
      std::fwrite(e.goals.data(), sizeof(double), e.goals.size(), f);
      std::fwrite(e.goalrows.data(), sizeof(double), e.goalrows.size(), f);
      std::fclose(f);
      teardown();
    });
  }
  const std::string one = ktest::read_file(dir.file("1"));
  EXPECT_GT(one.size(), static_cast<size_t>(kPoints) * 4);
  EXPECT_TRUE(one == ktest::read_file(dir.file("2"))) << "1 and 2 threads differ";
  EXPECT_TRUE(one == ktest::read_file(dir.file("8"))) << "1 and 8 threads differ";
}

TEST(Cycle, SameNumbersForAnyThreadCount) { samenumbers(false); }

TEST(Cycle, DerivativeModeSameNumbersForAnyThreadCount) { samenumbers(true); }

TEST(Cycle, SameNumbersOverSeveralBlocksOfRows) { samenumbers(false, 1200); }

TEST(Cycle, DerivativeModeSameNumbersOverSeveralBlocksOfRows) { samenumbers(true, 1200); }

bool samebits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// The data rows computed in blocks of at most 96 rows (400 points take five
// blocks, in the derivative mode nine, whose windows overlap): the same rows
// to the bit when the caller takes every row, skips rows within a block and
// over a whole block, or leaves a pass in its second block and evaluates the
// model at other values while the workers would still be computing the rows
// of that pass (the ordinary mode computes them ahead on the pool).
void rowsinblocks(bool ddm) {
  Install inst;
  ktest::in_child([ddm] {
    nthreads = 8;
    ktest::RunScope scope;
    ktest::PhaseList list;
    ktest::Pattern pattern(kPoints, 25.0, 95.0, 0.15406, true);
    TwoPhases t;
    t.build("", ddm);
    const Evaluation whole = evaluate();
    limitrowsahead(96);
    EXPECT_TRUE(samebits(evaluate().rows, whole.rows)) << "blocks of 96 rows";

    int count = 0;
    float* r = nullptr;
    totalmodell(&count, &r);
    std::vector<float> row(static_cast<size_t>(rqmin));
    for (int i : {0, 1, 2, 7, 95, 96, 200, 201, 383, 384, kPoints - 1, kPoints, count - 1}) {
      totalableitung(row.data(), i);
      const float* expect = whole.rows.data() + static_cast<size_t>(i) * rqmin;
      EXPECT_EQ(std::memcmp(row.data(), expect, row.size() * sizeof(float)), 0) << "row " << i;
    }

    totalmodell(&count, &r);
    std::free(r);
    for (int i = 0; i <= 150; ++i) totalableitung(row.data(), i);
    ASSERT_STREQ(t.params[0].name, "A");
    double* value = t.params[0].value;  // the cell of Si
    const double kept = *value;
    *value = kept * 1.001;
    const Evaluation moved = evaluate();
    EXPECT_FALSE(samebits(moved.rows, whole.rows));
    *value = kept;
    EXPECT_TRUE(samebits(evaluate().rows, whole.rows)) << "after a pass left early";
    limitrowsahead(0);
    teardown();
  });
}

TEST(Cycle, RowsComputedAheadWhicheverRowsTheCallerTakes) { rowsinblocks(false); }

TEST(Cycle, DerivativeModeRowsInBlocksWhicheverRowsTheCallerTakes) { rowsinblocks(true); }

// The finite differences of the peak parameters follow the columns of tpeaks
// as the driver sets them for the pass: after two columns trade their fields
// and a third names the field of a fourth, each column's differences are
// those its field had before, to the bit, whichever thread computed the
// field's line and whether its phase was evaluated again for a parameter or
// kept its lines.
TEST(Cycle, FiniteDifferencesFollowThePeakColumns) {
  Install inst;
  ktest::in_child([] {
    nthreads = 3;
    ktest::RunScope scope;
    ktest::PhaseList list;
    ktest::Pattern pattern(kPoints, 25.0, 95.0, 0.15406, true);
    TwoPhases t;
    t.build();
    const int kdim = kettenregeldim;
    auto rowzero = [kdim] {
      int count = 0;
      float* r = nullptr;
      totalmodell(&count, &r);
      std::free(r);
      std::vector<float> row(static_cast<size_t>(rqmin));
      totalableitung(row.data(), 0);
      return std::vector<float>(kettenregel, kettenregel + static_cast<size_t>(noequiv) * kdim);
    };
    const std::vector<float> before = rowzero();
    // A line position of Si (the first phase's second column), an intensity
    // of NaCl (the last peak's first column), and a breadth of Si.
    const int c1 = 1, c2 = kdim - 3, c3 = 2, c4 = 6;
    std::swap(tpeaks[c1], tpeaks[c2]);
    tpeaks[c3] = tpeaks[c4];
    const std::vector<float> after = rowzero();
    int moved = 0;
    for (int j = 0; j < noequiv; ++j)
      for (int c = 0; c < kdim; ++c) {
        const int from = c == c1 ? c2 : c == c2 ? c1 : c == c3 ? c4 : c;
        const float x = after[static_cast<size_t>(j) * kdim + c];
        const float y = before[static_cast<size_t>(j) * kdim + from];
        EXPECT_EQ(std::memcmp(&x, &y, sizeof x), 0)
            << "parameter " << j << " column " << c << ": " << x << " != " << y;
        if (from != c && y != 0.0f) ++moved;
      }
    EXPECT_GT(moved, 3);
    teardown();
  });
}

// An atom whose displacement factor depends on the reflection is read by each
// worker in its own copy of the atom's scope: the copies follow the atom's
// refined parameter at every evaluation, the finite differences included, so
// that a changed value changes the residuals and 1 and 4 threads give the
// same numbers to the bit.
TEST(Cycle, PerReflectionDisplacementFollowsItsParameterOnEveryWorker) {
  Install inst;
  ktest::TempDir dir;
  for (int threads : {1, 4}) {
    ktest::in_child([&] {
      nthreads = threads;
      ktest::RunScope scope;
      ktest::PhaseList list;
      ktest::Pattern pattern(kPoints, 25.0, 95.0, 0.15406, true);
      droppenalties();
      PhaseRecord* si = ktest::make_phase(
          {"HermannMauguin=Fd-3m", "RP=3", "A=0.54311", "B1=0.05", "GEWICHT=2e-3"});
      AtomRecord* at = ktest::make_atom(si, "E=Si", {"Wyckoff=a", "TDS=T+0*sk"}, true);
      double* T = ktest::named(&at->params, &at->nparams, "T", 0.005);
      phasei = si;
      ASSERT_TRUE(dataerr_try([] {
        newDATAlist();
        xyzinit();
      })) << GetErr(1);
      ASSERT_EQ(at->tdskind, TDS_PERREFLECTION);
      SetVar("sk", 0.0);  // for the structure factors that choose the reflections
      ktest::generate_reflections(95.0);
      DelAll();
      freeDATAlist();
      ktest::peakset(0);
      ktest::refine({{"T", T, -1.0, 1.0, si, at}});
      // The residuals and every derivative row (the phase has no goals).
      auto pass = [] {
        std::vector<float> v = residuals();
        const size_t n = v.size();
        v.resize(n + n * static_cast<size_t>(rqmin));
        for (size_t i = 0; i < n; ++i)
          totalableitung(v.data() + n + i * static_cast<size_t>(rqmin), static_cast<int>(i));
        return v;
      };
      const std::vector<float> first = pass();
      *T = 0.02;
      const std::vector<float> second = pass();
      EXPECT_NE(first, second);
      FILE* f = std::fopen(dir.file(std::to_string(threads)).c_str(), "wb");
      std::fwrite(first.data(), sizeof(float), first.size(), f);
      std::fwrite(second.data(), sizeof(float), second.size(), f);
      std::fclose(f);
      teardown();
    });
  }
  EXPECT_GT(ktest::read_file(dir.file("1")).size(), static_cast<size_t>(kPoints) * 4);
  EXPECT_TRUE(ktest::read_file(dir.file("1")) == ktest::read_file(dir.file("4")))
      << "1 and 4 threads differ";
}

// The diagram file at path against the state of the run: its header and
// every point's line.
void checkdiagram(const std::string& path, const TwoPhases& t) {
  double sd = 0, sy = 0, sd2 = 0, sy2 = 0, swd = 0, swy = 0;
  for (int i = 0; i < kPoints; ++i) {
    const double y = model::intensitaet[i], d = model::y[i] - y, w = model::w[i];
    sd += std::fabs(d), sy += std::fabs(y), sd2 += d * d, sy2 += y * y;
    swd += w * d * w * d, swy += w * y * w * y;
  }
  char header[400];
  std::snprintf(header, sizeof header,
                "TITEL=two phases L0=%.6f M=%d PEAKZAHL=%d PARAMETERZAHL=%d Rp=%.2f R=%.2f "
                "Rwp=%.2f STRUC[1]=phase1 STRUC[2]=phase2\n",
                model::l0, kPoints, t.si->nrefl + t.nacl->nrefl, rqmin, 100 * sd / sy,
                100 * std::sqrt(sd2 / sy2), 100 * std::sqrt(swd / swy));
  std::istringstream in(ktest::read_file(path));
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line + "\n", header);
  int lines = 0;
  while (std::getline(in, line)) {
    const int i = lines++;
    if (i >= kPoints) continue;
    char expect[200];
    std::snprintf(expect, sizeof expect, "%8.4f %8.2f %8.2f %8.2f %8.2f %8.2f",
                  std::asin(static_cast<double>(model::sinx[i])) * 360 / kPi, model::intensitaet[i],
                  model::y[i], model::u[i], model::yphasen[2 * i], model::yphasen[2 * i + 1]);
    EXPECT_EQ(line, expect) << "point " << i;
  }
  EXPECT_EQ(lines, kPoints);
}

void diagramfilecase(bool sync);

// The diagram file of the first derivative row: the header with the run's
// title, wavelength, point, peak and parameter counts and R values, then per
// point 2theta, measured value, model, background and the two phases' parts.
// Written with the wait for the disk, and put in place behind the run as
// during the cycles of a refinement on several threads.
TEST(Cycle, DiagramFile) {
  for (const bool sync : {true, false}) {
    SCOPED_TRACE(sync ? "written with the wait" : "put in place behind the run");
    diagramfilecase(sync);
  }
}

void diagramfilecase(bool sync) {
  Install inst;
  ktest::TempDir dir;
  const std::string path = dir.file("run.dia");
  ktest::in_child([&] {
    nthreads = 2;
    syncdiagram(sync);
    ktest::RunScope scope;
    ktest::PhaseList list;
    ktest::Pattern pattern(kPoints, 25.0, 95.0, 0.15406, true);
    model::nphasen = 2;
    model::yphasen = static_cast<float*>(std::calloc(2 * kPoints, sizeof(float)));
    TwoPhases t;
    t.build(path);
    int count = 0;
    float* r = nullptr;
    totalmodell(&count, &r);
    std::vector<float> row(static_cast<size_t>(rqmin));
    // Written twice: the second time with one measured value changed, so
    // that the columns kept from the diagram before are taken where they
    // still hold and made again where they do not.
    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE(round == 0 ? "first diagram" : "again, one measured value changed");
      if (round == 1) model::intensitaet[kPoints / 3] *= 2.0f;
      totalableitung(row.data(), 0);
      core::writebehindwait();
      checkdiagram(path, t);
    }
    std::free(r);
    teardown();
  });
}

// A parameter whose finite-difference step leaves its bounds ends the run
// with message -184, naming its atom and phase.
TEST(Cycle, StepOutsideBounds) {
  Install inst;
  ktest::RunResult res = ktest::run_in_child([] {
    nthreads = 2;
    ktest::RunScope scope;
    ktest::Pattern pattern(kPoints, 25.0, 95.0, 0.15406, true);
    TwoPhases t;
    t.build();
    for (int s = 0; s < noequiv; ++s)
      if (qminparam[s].sub != nullptr && qminparam[s].owner == t.nacl) {
        qminparam[s].min = qminparam[s].max = *qminparam[s].value;
        break;
      }
    int count = 0;
    float* r = nullptr;
    totalmodell(&count, &r);
    std::vector<float> row(static_cast<size_t>(rqmin));
    totalableitung(row.data(), 0);
    std::exit(0);
  });
  EXPECT_EQ(res.status, 184) << res.out;
  const std::string expect =
      ktest::message(-184, "TDS") + ktest::message(261, 1) + ktest::message(260, 2);
  EXPECT_NE(res.out.find(expect), std::string::npos) << res.out;
}

// A run in a child process on the given number of threads whose line
// breadth formula turns negative on many reflections (a fatal line).
ktest::RunResult negative_breadth_run(int threads) {
  return ktest::run_in_child(
      [threads] {
        nthreads = threads;
        ktest::RunScope scope;
        ktest::Pattern pattern(kPoints, 25.0, 95.0, 0.15406, true);
        TwoPhases t;
        t.b1 = "B1=0.02-0.004*sk";
        t.build();
        std::exit(0);
      },
      20);
}

// A fatal line breadth met on the workers ends the run from the main thread,
// once, with its status; a formula that fails on some reflections only is a
// data error of the phase (message 260) that leaves the store as it was, so
// that the next evaluation runs.
TEST(Cycle, FailuresOnWorkers) {
  Install inst;
  const auto start = std::chrono::steady_clock::now();
  ktest::RunResult res = negative_breadth_run(4);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(res.status, 35) << res.out;
  EXPECT_LT(seconds, 10.0);
  const size_t at = res.out.find("*** phase 1, reflection");
  ASSERT_NE(at, std::string::npos) << res.out;
  EXPECT_EQ(res.out.find("*** phase", at + 1), std::string::npos) << "printed twice: " << res.out;

  ktest::in_child([] {
    nthreads = 4;
    ktest::RunScope scope;
    ktest::PhaseList list;
    ktest::Pattern pattern(kPoints, 25.0, 95.0, 0.15406, true);
    TwoPhases t;
    t.build();
    const std::vector<float> before = residuals();
    const int depth = DATAlistLevel();
    SetStrVar("nothere", "undefined+1");
    ParamRecord* b1 = &t.si->params[2];
    ASSERT_STREQ(b1->statement, "B1=U+V*sk");
    std::free(b1->statement);
    b1->statement = strdup("B1=U+ifthenelse(h>3,nothere,0)");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(dataerr_try([] { tabcopy(); }));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(ktest::message(260, 1)), std::string::npos) << out;
    std::string errors;
    for (; ifErr(); NextErr()) errors += std::string(GetErr(0)) + " " + GetErr(1) + "\n";
    EXPECT_NE(errors.find("undefined"), std::string::npos) << errors;
    EXPECT_EQ(DATAlistLevel(), depth);
    std::free(b1->statement);
    b1->statement = strdup("B1=U+V*sk");
    EXPECT_EQ(residuals(), before);
    teardown();
  });
}

// Where the line breadth is negative on many reflections, the run reports
// the one a single worker taking the reflections from the last to the first
// meets first, whichever way the workers share them out.
TEST(Cycle, SameFatalLineForAnyThreadCount) {
  Install inst;
  std::string first;
  for (int threads : {1, 3, 8}) {
    ktest::RunResult res = negative_breadth_run(threads);
    EXPECT_EQ(res.status, 35) << res.out;
    const size_t at = res.out.find("*** phase 1, reflection");
    ASSERT_NE(at, std::string::npos) << res.out;
    const std::string line = res.out.substr(at, res.out.find('\n', at) - at);
    if (first.empty()) first = line;
    EXPECT_EQ(line, first) << threads << " threads";
  }
}

// The estimate of free texture parameters: the sum of erf(0.25 t q) over the
// reflections outside Le Bail kinds, whichever worker takes which; t = 0
// adds 0, a negative t a negative term.
TEST(Cycle, FreeParameterEstimate) {
  Install inst;
  ktest::in_child([] {
    nthreads = 3;
    ktest::RunScope scope;
    ktest::PhaseList list;
    PhaseRecord* p = ktest::make_phase({"RP=3", "RefMult=2", "LeBail=2"});
    const int n = 50;
    model::peakalloc(nullptr, &param, 0, 0, 0, 0, n, 0);
    param->t3 = static_cast<float*>(std::calloc(n, sizeof(float)));
    p->refl = core::kcalloc<ReflectionRecord*>(static_cast<size_t>(n));
    double expect = 0.0;
    for (int i = 0; i < n; ++i) {
      ReflectionRecord* r = newreflection(1.0 + i, i % 3 == 0 ? 1 : 0);
      r->slot = n - 1 - i;
      param->t3[r->slot] = static_cast<float>(i == 7 ? 0.0 : 0.3 * (i - 10));
      if (r->iref == 0) expect += numeric::suite::erf(0.25 * param->t3[r->slot] * 0.8);
      p->refl[p->nrefl++] = r;
    }
    p->lebail[0] = 0;
    for (int pass = 0; pass < 2; ++pass) {
      FreeParamTask task;
      createmutex(&task.mutex, false);
      task.cursor = 0;
      task.phase = p;
      task.peaks = param;
      task.sum = 0.0;
      task.q = 0.8;
      nspawn(parmaxfree, 0, reinterpret_cast<uint64_t>(&task));
      nwait();
      closemutex(&task.mutex);
      EXPECT_NEAR(task.sum, expect, 1e-8);
      // Every kind Le Bail-wise: nothing is free.
      p->lebail[0] = 1;
      expect = 0.0;
    }
    model::peakfree(&param);
  });
}

}  // namespace
