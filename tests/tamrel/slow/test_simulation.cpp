// Recovery of known parameters from simulated silicon patterns: the model
// of a structure with known cell, displacement parameter, scale and
// background is computed by the program itself, counting noise is added
// from a fixed seed, and a refinement from a perturbed start must come back
// to the known values within the errors it reports; over many seeds the
// pulls (refined - true) / error spread like a standard normal variable.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tamrelrun.hpp"

namespace {

constexpr double kA = 5.431, kScale = 0.005, kB = 0.5;

// value and error of a list-file line "key=value+-error".
bool listed(const std::string& list, const std::string& key, double* v, double* s) {
  size_t at = list.find("\n" + key + "=");
  if (at == std::string::npos) return false;
  std::istringstream in(list.substr(at + key.size() + 2));
  std::string text;
  in >> text;
  size_t pm = text.find("+-");
  if (pm == std::string::npos) return false;
  *v = std::stod(text.substr(0, pm));
  *s = std::stod(text.substr(pm + 2));
  return true;
}

struct Simulation {
  trun::Workplace wp;
  std::vector<double> twotheta, mean;  // the true model per point
  std::vector<double> background;      // its background coefficients

  Simulation() {
    std::string flat;
    for (int i = 0; i <= 3000; ++i) flat += std::to_string(20 + 0.02 * i) + " 1000\n";
    wp.write("flat.xy", flat);
    char text[256];
    std::snprintf(text, sizeof text,
                  "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 A=%g GEWICHT=%g\n"
                  "E=Si Wyckoff=a TDS=%g\n",
                  kA, kScale, kB);
    wp.write("truth.str", text);
    // Only the background is refined: the model at the known structure.
    ktest::RunResult r = wp.run({"LINTOR=inst", "LAMBDA=CU", "VAL[1]=flat.xy", "STRUC[1]=truth",
                                 "DIAGRAMM=truth", "RU=3", "OUTPUT=truth"});
    EXPECT_EQ(r.status, 0) << r.out;
    std::istringstream dia(wp.read("truth.dia"));
    std::string line;
    std::getline(dia, line);
    while (std::getline(dia, line)) {
      std::istringstream f(line);
      double t, I, y;
      f >> t >> I >> y;
      twotheta.push_back(t);
      mean.push_back(y);
    }
    std::string par = wp.read("truth.par");
    std::istringstream last(par.substr(par.rfind('\n') + 1));
    int ru = 0;
    last >> ru;
    for (double b; last >> b;) background.push_back(b);
    EXPECT_EQ(ru, 3);
  }

  // Counts with Poisson noise of the model (the scan reader adds one count).
  void noisy(unsigned seed) {
    std::mt19937 gen(seed);
    std::string text;
    char line[64];
    for (size_t i = 0; i < mean.size(); ++i) {
      std::poisson_distribution<int> counts(std::max(mean[i] - 1, 0.0));
      std::snprintf(line, sizeof line, "%.2f %d\n", twotheta[i], counts(gen));
      text += line;
    }
    wp.write("noisy.xy", text);
  }

  struct Fit {
    double value[3], sigma[3];
    std::vector<double> background;
  };
  // Refinement from a perturbed start: cell +0.1 %, twice the displacement
  // parameter; the scale restarts from 0 in the first stage anyway.
  bool refine(Fit* fit) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 GEWICHT=SPHAR0 PARAM=A=%g\n"
                  "E=Si Wyckoff=a PARAM=B=%g_0 TDS=B\n",
                  kA * 1.001, 2 * kB);
    wp.write("fit.str", text);
    ktest::RunResult r = wp.run({"LINTOR=inst", "LAMBDA=CU", "VAL[1]=noisy.xy", "STRUC[1]=fit",
                                 "LIST=fit", "RU=3", "OUTPUT=fit", "NTHREADS=4"});
    EXPECT_EQ(r.status, 0) << r.out;
    const std::string list = wp.read("fit.lst");
    const char* keys[3] = {"A", "GEWICHT", "B"};
    for (int k = 0; k < 3; ++k)
      if (!listed(list, keys[k], &fit->value[k], &fit->sigma[k])) {
        ADD_FAILURE() << keys[k] << " without an error in\n" << list;
        return false;
      }
    std::string par = wp.read("fit.par");
    std::istringstream last(par.substr(par.rfind('\n') + 1));
    int ru = 0;
    last >> ru;
    for (double b; last >> b;) fit->background.push_back(b);
    return true;
  }
};

const double kTrue[3] = {kA, kScale, kB};

TEST(TamrelSimulation, PerturbedStartRecoversTheKnownParameters) {
  Simulation sim;
  ASSERT_EQ(sim.mean.size(), 3001u);
  sim.noisy(1);
  Simulation::Fit fit;
  ASSERT_TRUE(sim.refine(&fit));
  for (int k = 0; k < 3; ++k) {
    EXPECT_GT(fit.sigma[k], 0.0);
    EXPECT_LT(std::fabs(fit.value[k] - kTrue[k]), 3 * fit.sigma[k])
        << "parameter " << k << ": " << fit.value[k] << " +- " << fit.sigma[k];
  }
  // The background coefficients are levels at three nodes, each carried by
  // about a third of the points: their error is a few times sqrt(level /
  // points per node).
  ASSERT_EQ(fit.background.size(), sim.background.size());
  for (size_t i = 0; i < fit.background.size(); ++i) {
    const double sigma = 2 * std::sqrt(sim.background[i] / 1000.0);
    EXPECT_LT(std::fabs(fit.background[i] - sim.background[i]), 3 * sigma) << "node " << i;
  }
}

TEST(TamrelSimulation, PullsOverFiftySeedsAreStandardNormal) {
  Simulation sim;
  ASSERT_EQ(sim.mean.size(), 3001u);
  std::vector<double> pulls[3];
  for (unsigned seed = 100; seed < 150; ++seed) {
    sim.noisy(seed);
    Simulation::Fit fit;
    ASSERT_TRUE(sim.refine(&fit)) << "seed " << seed;
    for (int k = 0; k < 3; ++k) pulls[k].push_back((fit.value[k] - kTrue[k]) / fit.sigma[k]);
  }
  std::vector<double> all;
  for (int k = 0; k < 3; ++k) {
    double mean = 0, sq = 0;
    for (double p : pulls[k]) mean += p;
    mean /= 50;
    for (double p : pulls[k]) sq += (p - mean) * (p - mean);
    std::printf("parameter %d: pulls mean %.3f, standard deviation %.3f\n", k, mean,
                std::sqrt(sq / 49));
    // A mean pull of half a standard deviation would be a bias of the fit.
    EXPECT_LT(std::fabs(mean), 0.5) << "parameter " << k;
    all.insert(all.end(), pulls[k].begin(), pulls[k].end());
  }
  double mean = 0, sq = 0;
  for (double p : all) mean += p;
  mean /= static_cast<double>(all.size());
  for (double p : all) sq += (p - mean) * (p - mean);
  const double sd = std::sqrt(sq / static_cast<double>(all.size() - 1));
  EXPECT_GT(sd, 0.8);
  EXPECT_LT(sd, 1.2);
}

}  // namespace
