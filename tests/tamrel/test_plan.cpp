// The measuring-time plan: the optimisation against an independent convex
// solver's optima of small plans, the plan that needs no measurement, the
// plan that cannot exist, the iteration limit, the rounding of planned times
// and the plan file; then by the built program: the plan of a silicon
// refinement, a planned scan that meets its accuracy when it is measured
// (simulated) and refined, plans that cannot be made leaving the written-back
// results and the further data sets in place, and the same plan on one and
// eight threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/velmora.hpp"
#include "numeric/packed.hpp"
#include "oplan.hpp"
#include "tamrel_plan.hpp"
#include "tamrelrun.hpp"

namespace {

using ktest::message;
using trun::inorder;

// ---------------------------------------------------------------------------
// The optimisation on small problems

// One problem of the reference file with the solver's optimum.
struct Reference {
  std::string name;
  int m = 0, r = 0;
  std::vector<std::vector<float>> f;
  std::vector<double> pmax, prior;
  std::vector<std::vector<double>> targets;
  double total = 0;
  std::vector<double> times;
};

std::vector<double> numbers(std::istringstream& in) {
  std::vector<double> v;
  double x;
  while (in >> x) v.push_back(x);
  return v;
}

std::vector<Reference> references() {
  std::ifstream file(std::string(KALVO_TEST_DATA) + "/plan_reference.txt");
  std::vector<Reference> out;
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream in(line);
    std::string key;
    in >> key;
    if (key == "problem") {
      out.emplace_back();
      std::string w;
      int s = 0, prior = 0;
      in >> out.back().name >> w >> out.back().m >> w >> out.back().r >> w >> s >> w >> prior;
    } else if (key == "f") {
      std::vector<double> v = numbers(in);
      out.back().f.emplace_back(v.begin(), v.end());
    } else if (key == "pmax") {
      out.back().pmax = numbers(in);
    } else if (key == "prior") {
      out.back().prior = numbers(in);
    } else if (key == "target") {
      out.back().targets.push_back(numbers(in));
    } else if (key == "total") {
      in >> out.back().total;
    } else if (key == "times") {
      out.back().times = numbers(in);
    }
  }
  return out;
}

// The rows handed to the optimisation through its callback.
const std::vector<std::vector<float>>* rowsource = nullptr;
void rowof(float* row, int i) {
  const std::vector<float>& f = (*rowsource)[static_cast<size_t>(i)];
  std::copy(f.begin(), f.end(), row);
}

tamrel::PlanProblem problemof(const Reference& ref) {
  rowsource = &ref.f;
  tamrel::PlanProblem p;
  p.m = ref.m;
  p.r = ref.r;
  p.prior = ref.prior.empty() ? nullptr : ref.prior.data();
  p.targets = ref.targets;
  p.pmax = ref.pmax.data();
  p.row = rowof;
  return p;
}

// The information of a plan and the targets' summed variance through its inverse.
double criterion(const Reference& ref, const std::vector<double>& t) {
  const int r = ref.r;
  std::vector<std::vector<double>> N(static_cast<size_t>(r), std::vector<double>(r, 0.0));
  for (int i = 0; i < r; ++i)
    for (int j = 0; j <= i; ++j) {
      double v = ref.prior.empty() ? 0.0 : ref.prior[static_cast<size_t>(numeric::tri(i) + j)];
      for (int k = 0; k < ref.m; ++k)
        v += t[static_cast<size_t>(k)] * ref.f[static_cast<size_t>(k)][static_cast<size_t>(i)] *
             ref.f[static_cast<size_t>(k)][static_cast<size_t>(j)];
      N[static_cast<size_t>(i)][static_cast<size_t>(j)] =
          N[static_cast<size_t>(j)][static_cast<size_t>(i)] = v;
    }
  // Gauss-Jordan inverse of the small matrix.
  std::vector<std::vector<double>> C(static_cast<size_t>(r), std::vector<double>(r, 0.0));
  for (int i = 0; i < r; ++i) C[static_cast<size_t>(i)][static_cast<size_t>(i)] = 1.0;
  for (int c = 0; c < r; ++c) {
    const double p = N[static_cast<size_t>(c)][static_cast<size_t>(c)];
    for (int j = 0; j < r; ++j) {
      N[static_cast<size_t>(c)][static_cast<size_t>(j)] /= p;
      C[static_cast<size_t>(c)][static_cast<size_t>(j)] /= p;
    }
    for (int i = 0; i < r; ++i) {
      if (i == c) continue;
      const double q = N[static_cast<size_t>(i)][static_cast<size_t>(c)];
      for (int j = 0; j < r; ++j) {
        N[static_cast<size_t>(i)][static_cast<size_t>(j)] -=
            q * N[static_cast<size_t>(c)][static_cast<size_t>(j)];
        C[static_cast<size_t>(i)][static_cast<size_t>(j)] -=
            q * C[static_cast<size_t>(c)][static_cast<size_t>(j)];
      }
    }
  }
  double sum = 0;
  for (const std::vector<double>& a : ref.targets)
    for (int i = 0; i < r; ++i)
      for (int j = 0; j < r; ++j)
        sum += a[static_cast<size_t>(i)] * C[static_cast<size_t>(i)][static_cast<size_t>(j)] *
               a[static_cast<size_t>(j)];
  return sum;
}

TEST(PlanOptimisation, AgreesWithAConvexSolverOnSmallPlans) {
  const std::vector<Reference> refs = references();
  ASSERT_EQ(refs.size(), 5u);
  for (const Reference& ref : refs) {
    tamrel::PlanResult res = tamrel::oplan(problemof(ref));
    ASSERT_TRUE(res.found) << ref.name;
    EXPECT_FALSE(res.capped) << ref.name;
    double total = 0;
    for (int i = 0; i < ref.m; ++i) {
      const double t = res.times[static_cast<size_t>(i)];
      EXPECT_GE(t, 0.0) << ref.name << " point " << i;
      EXPECT_LE(t, ref.pmax[static_cast<size_t>(i)]) << ref.name << " point " << i;
      total += t;
    }
    // The least total time of the solver; the plan meets the targets.
    EXPECT_NEAR(total, ref.total, 1e-6 * ref.total) << ref.name;
    const double s = static_cast<double>(ref.targets.size());
    EXPECT_LE(criterion(ref, res.times), s * (1 + 1e-9)) << ref.name;
    // The covariance returned is that of the plan.
    EXPECT_NEAR(tamrel::spur(res.covariance.data(), ref.targets, ref.r), criterion(ref, res.times),
                1e-9 * s)
        << ref.name;
    // Where the solver's plan counts long, so does this one.
    for (int i = 0; i < ref.m; ++i)
      EXPECT_NEAR(res.times[static_cast<size_t>(i)], ref.times[static_cast<size_t>(i)],
                  1e-4 * ref.total)
          << ref.name << " point " << i;
  }
}

TEST(PlanOptimisation, KnownInformationThatSufficesNeedsNoMeasurement) {
  Reference ref = references()[1];  // with a prior
  ASSERT_FALSE(ref.prior.empty());
  for (double& x : ref.prior) x *= 1e6;
  tamrel::PlanResult res = tamrel::oplan(problemof(ref));
  ASSERT_TRUE(res.found);
  for (double t : res.times) EXPECT_EQ(t, 0.0);
  EXPECT_NEAR(tamrel::spur(res.covariance.data(), ref.targets, ref.r), criterion(ref, res.times),
              1e-12);
}

TEST(PlanOptimisation, NoPlanWhenEvenTheUpperTimesDoNotSuffice) {
  Reference ref = references()[0];
  for (double& p : ref.pmax) p = ref.total * 1e-3;
  EXPECT_FALSE(tamrel::oplan(problemof(ref)).found);
}

TEST(PlanOptimisation, IterationLimitKeepsAnAdmissiblePlanWithAWarning) {
  const Reference ref = references()[4];
  tamrel::PlanProblem p = problemof(ref);
  p.iterations = 3;
  // The warning comes from the catalogue of an installation.
  std::strncpy(core::kalvo, ktest::process_install().c_str(), sizeof core::kalvo - 1);
  testing::internal::CaptureStdout();
  tamrel::PlanResult res = tamrel::oplan(p);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(res.found);
  EXPECT_TRUE(res.capped);
  EXPECT_NE(out.find(message(71, 3)), std::string::npos) << out;
  EXPECT_LE(criterion(ref, res.times), 1.0 + 1e-9);
  double total = 0;
  for (double t : res.times) total += t;
  EXPECT_GT(total, ref.total * (1 + 1e-6));
}

TEST(PlanFile, TimesAreRoundedUpToTenthsAndCountsUp) {
  const std::vector<std::pair<double, double>> cases = {{0.01, 0.1}, {0.1, 0.1},   {0.1000001, 0.2},
                                                        {0.25, 0.3}, {0.3, 0.3},   {1.0, 1.0},
                                                        {1.04, 1.1}, {12.31, 12.4}};
  for (const auto& [t, rounded] : cases) EXPECT_DOUBLE_EQ(tamrel::plannedtime(t), rounded) << t;
  char* buf = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&buf, &len);
  tamrel::writeplanfile(f, {{20.0049, 0.1, 123.4}, {31.25, 1.1, 10.0}});
  std::fclose(f);
  EXPECT_EQ(std::string(buf, len),
            "M=2 TotalTIME=1.2\n"
            "zweiTheta=20.00 TIME=0.1 COUNTS=13\n"
            "zweiTheta=31.25 TIME=1.1 COUNTS=11\n");
  std::free(buf);
  f = open_memstream(&buf, &len);
  tamrel::writeplanfile(f, {});
  std::fclose(f);
  EXPECT_EQ(std::string(buf, len), "M=0 TotalTIME=0.0\n");
  std::free(buf);
}

// ---------------------------------------------------------------------------
// Plans of the built program

// Silicon with refined cell and weight, the displacement a global parameter.
const char* kSilicon =
    "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 GEWICHT=SPHAR0 PARAM=A=5.4315\n"
    "E=Si Wyckoff=a TDS=Bg\n";

std::vector<std::string> control(const std::string& goal) {
  return {"LINTOR=inst",         "LAMBDA=CU", "VAL[1]=si.xy", "STRUC[1]=si", "LIST=si",
          "PARAM[1]=Bg=0.002_0", "RU=4",      goal,           "PLAN=si"};
}

struct PlanLine {
  double twotheta, time, counts;
};

// The plan file: its head (M, total) and its lines.
struct PlanFile {
  int M = -1;
  double total = -1;
  std::vector<PlanLine> lines;
};

PlanFile readplan(const std::string& text) {
  PlanFile p;
  std::istringstream in(text);
  std::string line;
  if (std::getline(in, line)) std::sscanf(line.c_str(), "M=%d TotalTIME=%lf", &p.M, &p.total);
  while (std::getline(in, line)) {
    PlanLine l{};
    if (std::sscanf(line.c_str(), "zweiTheta=%lf TIME=%lf COUNTS=%lf", &l.twotheta, &l.time,
                    &l.counts) == 3)
      p.lines.push_back(l);
  }
  return p;
}

// The value and error of "name=value+-error" in a list file.
std::pair<double, double> listed(const std::string& list, const std::string& name) {
  const std::string key = "\n" + name + "=";
  const size_t at = list.find(key);
  if (at == std::string::npos) return {NAN, NAN};
  const std::string line = list.substr(at + 1, list.find('\n', at + 1) - at - 1);
  ktest::LineReader r(line);
  r.literal(name + "=");
  const std::string value = r.run("-0123456789.");
  r.literal("+-");
  const std::string error = r.run("0123456789.");
  if (!r.ok) return {NAN, NAN};
  return {std::stod(value), std::stod(error)};
}

TEST(TamrelPlan, PlannedScanMeetsItsAccuracyWhenMeasured) {
  trun::Workplace wp;
  // A pattern the model describes exactly (the scale of the errors is 1):
  // the model of a known silicon as counts (the scan reader adds one).
  wp.write("truth.str",
           "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 A=5.431 GEWICHT=0.0092\n"
           "E=Si Wyckoff=a TDS=0.5\n");
  ktest::RunResult r = wp.run(
      {"LINTOR=inst", "LAMBDA=CU", "VAL[1]=si.xy", "STRUC[1]=truth", "DIAGRAMM=truth", "RU=4"});
  ASSERT_EQ(r.status, 0) << r.out;
  std::string counts;
  std::istringstream dia(wp.read("truth.dia"));
  std::string line;
  std::getline(dia, line);
  while (std::getline(dia, line)) {
    double tt = 0, meas = 0, model = 0;
    if (std::sscanf(line.c_str(), "%lf %lf %lf", &tt, &meas, &model) == 3)
      counts += std::to_string(tt) + " " + std::to_string(std::lround(model) - 1) + "\n";
  }
  wp.write("model.xy", counts);

  // The cell known to 0.000019 angstrom, planned to 0.00001.
  wp.write("si.str",
           "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 GEWICHT=SPHAR0 PARAM=A=5.4315\n"
           "E=Si Wyckoff=a TDS=0.5\n");
  const std::vector<std::string> keys = {
      "LINTOR=inst", "LAMBDA=CU", "VAL[1]=model.xy",      "STRUC[1]=si",        "RU=4",
      "LIST=si",     "PLAN=si",   "GOAL[1]=A=0+-0.00001", "STRUCOUT[1]=refined"};
  r = wp.run(keys);
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_TRUE(inorder(r.out, {message(233, 1), message(234), "A+-0.0000"})) << r.out;
  const PlanFile plan = readplan(wp.read("si.opt"));
  ASSERT_GT(plan.M, 0);
  ASSERT_EQ(static_cast<int>(plan.lines.size()), plan.M);
  double total = 0;
  for (const PlanLine& l : plan.lines) {
    EXPECT_GE(l.time, 0.1);
    EXPECT_NEAR(l.time * 10, std::round(l.time * 10), 1e-9);
    EXPECT_GE(l.twotheta, 19.99);
    EXPECT_LE(l.twotheta, 80.01);
    total += l.time;
  }
  EXPECT_NEAR(plan.total, total, 1e-6);

  // The planned scan, measured without noise: counts per unit time with
  // their counting errors, refined together with the first scan.
  std::string scan;
  char buf[128];
  for (const PlanLine& l : plan.lines) {
    std::snprintf(buf, sizeof buf, "%.2f %.6f %.6f\n", l.twotheta, l.counts / l.time,
                  std::sqrt(l.counts) / l.time);
    scan += buf;
  }
  wp.write("planned.xy", scan);
  r = wp.run({"LINTOR=inst", "LAMBDA=CU", "VAL[1]=model.xy", "VAL[2]=planned.xy",
              "STRUC[1]=refined", "LIST=planned", "RU=4", "GOAL[1]=A=0+-0.00001"});
  ASSERT_EQ(r.status, 0) << r.out;
  const auto [a, sigma] = listed(wp.read("planned.lst"), "A");
  ASSERT_FALSE(std::isnan(sigma)) << wp.read("planned.lst");
  EXPECT_NEAR(a, 5.431, 1e-5);
  // Met (within the digits the list writes), and not by counting needlessly
  // long.
  EXPECT_LE(sigma, 0.00001005);
  EXPECT_GE(sigma, 0.0000085);

  // A further data set after the plan: the same scan gives the same cell,
  // so the plan left the refined model as it found it.
  std::vector<std::string> further = keys;
  further.push_back("STANDALONEVAL[1]=model.xy");
  further.push_back("LIST[1]=further");
  r = wp.run(further);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(readplan(wp.read("si.opt")).total, plan.total);
  EXPECT_EQ(listed(wp.read("further.lst"), "A"), listed(wp.read("si.lst"), "A"));

  // Planned as if only the restraints were known, the plan must measure
  // everything the first scan told: it takes longer.
  std::vector<std::string> alone = keys;
  alone.push_back("STANDALONEPLAN=Y");
  r = wp.run(alone);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_GT(readplan(wp.read("si.opt")).total, plan.total);
}

TEST(TamrelPlan, KnownAccuracyNeedsNoMeasurementAndIsTheSameOnAnyThreadCount) {
  trun::Workplace wp;
  wp.write("si.str", kSilicon);
  // The refinement already knows the cell to 0.0002 angstrom.
  ktest::RunResult r = wp.run(control("GOAL[1]=A=0+-0.01"));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(wp.read("si.opt"), "M=0 TotalTIME=0.0\n");
  // A plan that needs counting, on one and on eight threads.
  std::string plans[2];
  const char* threads[2] = {"NTHREADS=1", "NTHREADS=8"};
  for (int i = 0; i < 2; ++i) {
    r = wp.run(control("GOAL[1]=A=0+-0.00005"), {threads[i]});
    ASSERT_EQ(r.status, 0) << r.out;
    plans[i] = wp.read("si.opt");
  }
  EXPECT_GT(readplan(plans[0]).M, 0);
  EXPECT_EQ(plans[0], plans[1]);
}

TEST(TamrelPlan, APlanThatCannotBeMadeIsAWarningAndKeepsTheResults) {
  struct Case {
    const char* what;
    std::string goal;
    std::vector<std::string> extra;
    std::string warning;
  };
  const std::vector<Case> cases = {
      {"negative accuracy", "GOAL[1]=A=0+--0.001", {}, message(69, "A", -0.001)},
      {"zero accuracy", "GOAL[1]=A=0+-0", {}, message(69, "A", 0.0)},
      {"failed goal", "GOAL[1]=nosuchname=0+-0.001", {}, message(70, "nosuchname")},
      {"a fixed background curve far below 0 at low angles that one constant cannot lift",
       "GOAL[1]=A=0+-0.0001",
       {"RU=1", "UNTC=slope.xy"},
       message(68, 20.0)},
  };
  trun::Workplace wp;
  wp.write("si.str", kSilicon);
  std::string slope;
  for (int i = 0; i < 630; ++i)
    slope += std::to_string(19 + 0.1 * i) + " " + std::to_string(-3000 + 5.0 * i) + " 1\n";
  wp.write("slope.xy", slope);
  for (const Case& c : cases) {
    std::vector<std::string> keys = control(c.goal);
    keys.insert(keys.end(), c.extra.begin(), c.extra.end());
    keys.push_back("STANDALONEVAL[1]=si.xy");
    keys.push_back("LIST[1]=extra");
    std::remove(wp.file("extra.lst").c_str());
    ktest::RunResult r = wp.run(keys);
    EXPECT_EQ(r.status, 0) << c.what << "\n" << r.out;
    EXPECT_NE(r.out.find(c.warning), std::string::npos) << c.what << "\n" << r.out;
    EXPECT_EQ(r.out.find(message(234)), std::string::npos) << c.what;
    EXPECT_FALSE(ktest::file_exists(wp.file("si.opt"))) << c.what;
    // The further data set is fitted and listed all the same.
    EXPECT_TRUE(ktest::file_exists(wp.file("extra.lst"))) << c.what;
    // The refined values are written back all the same.
    const std::map<std::string, std::string> saved = trun::savedkeys(wp.read("run.sav"));
    EXPECT_EQ(saved.at("PARAM[1]"), "Bg=0_0") << c.what;
    // "...=<value>+-..." where the value is 5.43... or ERROR.
    const std::string goal = saved.at("GOAL[1]");
    const size_t eq = goal.rfind('=', goal.find("+-"));
    const std::string value =
        eq == std::string::npos ? "" : goal.substr(eq + 1, goal.find("+-") - eq - 1);
    EXPECT_TRUE(
        goal.find("+-") != std::string::npos &&
        (value == "ERROR" || (value.rfind("5.43", 0) == 0 &&
                              value.find_first_not_of("0123456789", 4) == std::string::npos)))
        << c.what << ": " << goal;
  }
}

}  // namespace
