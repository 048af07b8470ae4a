// Restraints: the pair lists of the potentials against a brute-force search
// over lattice translations in cells of every obliquity, bond exclusions,
// the residuals and their energy, the declarations from pass to pass, and
// every failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/nspawn.hpp"
#include "crystal/ks.hpp"
#include "crystal_harness.hpp"
#include "structure_fixture.hpp"

namespace {

using namespace core;
using namespace crystal;

struct Atom {
  const char* name;
  const char* elements;  // E= item
  const char* wyckoff;
  double x, y, z;
};

// A phase with its cell and atoms set up (cell, operators, sites, names,
// occupancies) and the restraint functions registered in the run scope. The
// cell comes as header items A=..., ALPHA=... .
struct Structure {
  Structure(const std::vector<std::string>& header, const std::vector<Atom>& atoms) {
    static const char* const cellkeys[6] = {"A=", "B=", "C=", "ALPHA=", "BETA=", "GAMMA="};
    double cell[6] = {0, 0, 0, 0, 0, 0};
    std::vector<std::string> keys;
    for (const std::string& h : header) {
      bool iscell = false;
      for (int i = 0; i < 6 && !iscell; ++i)
        if (h.rfind(cellkeys[i], 0) == 0) {
          cell[i] = std::stod(h.substr(std::strlen(cellkeys[i])));
          iscell = true;
        }
      if (!iscell) keys.push_back(h);
    }
    std::vector<ktest::AtomSpec> specs;
    for (const Atom& a : atoms)
      specs.push_back({std::string("E=") + a.elements, a.wyckoff, a.x, a.y, a.z, 0.0});
    phase = ktest::make_structure(keys, cell, specs);
    AtomRecord* at = phase->atoms;
    for (const Atom& a : atoms) {
      std::strcpy(at->atomname, a.name);
      at->occsum = 0;
      for (int e = 0; e < at->nelements; ++e) at->occsum += at->elements[e].occupancy;
      at = at->next;
    }
    SetUserFkt("WW", -5, ww);
    SetUserFkt("WWalt", -6, ww);
    SetUserFkt("Straf", 1, straf);
  }
  ~Structure() { ksclear(); }
  AtomRecord* atom(const char* name) {
    for (AtomRecord* at = phase->atoms; at != nullptr; at = at->next)
      if (std::strcmp(at->atomname, name) == 0) return at;
    return nullptr;
  }
  // One pass over the declarations, then the residuals.
  bool pass(const std::vector<std::string>& formulas, bool rebuild = true) {
    ksinit();
    phasei = phase;
    for (const std::string& f : formulas)
      if (!dataerr_try([&] { Wert(f.c_str()); })) return report();
    return dataerr_try([&] { ksexec(rebuild); }) || report();
  }
  // Prints the pending error records (as the outermost handler would); false.
  static bool report() {
    for (; ifErr(); NextErr()) std::printf("(E) %s\n    %s\n", GetErr(0), GetErr(1));
    return false;
  }
  PhaseRecord* phase;
};

using Pair = std::tuple<int, int, int, int, int, int, int>;  // atoms, site, centring, translation

std::vector<Pair> listed() {
  std::vector<Pair> got;
  for (int k = 0; k < nww; ++k) {
    const PairTerm& p = wwarray[k];
    got.emplace_back(p.atom1->number, p.atom2->number, p.ilage, p.ibasis, p.t[0], p.t[1], p.t[2]);
  }
  std::sort(got.begin(), got.end());
  return got;
}

// The pairs listed but not wanted and wanted but not listed, as text.
std::string difference(const std::vector<Pair>& got, const std::vector<Pair>& want) {
  std::vector<Pair> extra, missing;
  std::set_difference(got.begin(), got.end(), want.begin(), want.end(), std::back_inserter(extra));
  std::set_difference(want.begin(), want.end(), got.begin(), got.end(),
                      std::back_inserter(missing));
  std::string text;
  auto show = [&](const char* what, const std::vector<Pair>& pairs) {
    for (const Pair& p : pairs) {
      auto [a1, a2, site, c, t1, t2, t3] = p;
      text += std::string(what) + " atoms " + std::to_string(a1) + "-" + std::to_string(a2) +
              " site " + std::to_string(site) + " centring " + std::to_string(c) + " at " +
              std::to_string(t1) + "," + std::to_string(t2) + "," + std::to_string(t3) + "\n";
    }
  };
  show("extra", extra);
  show("missing", missing);
  return text;
}

double distance(const PhaseRecord* ph, const double d[3]) {
  const double* g = ph->metric;
  return std::sqrt(g[0] * d[0] * d[0] + g[1] * d[1] * d[1] + g[2] * d[2] * d[2] +
                   2 * (g[3] * d[0] * d[1] + g[4] * d[0] * d[2] + g[5] * d[1] * d[2]));
}

// Every translation of a wide box whose pair lies within R, atom a2's sites
// against a1's reference site, bonded translations (site 0, no centring) left
// out.
void bruteforce(const PhaseRecord* ph, const AtomRecord* a1, const AtomRecord* a2, double R,
                const std::vector<std::array<int, 3>>& bonded, std::vector<Pair>& out) {
  constexpr int kBox = 12;
  const SiteRecord& ref = a1->sites[0];
  for (int j = 0; j < a2->wyckoff->count; ++j)
    for (int c = 0; c < ph->ncentring; ++c)
      for (int t1 = -kBox; t1 <= kBox; ++t1)
        for (int t2 = -kBox; t2 <= kBox; ++t2)
          for (int t3 = -kBox; t3 <= kBox; ++t3) {
            const SiteRecord& s = a2->sites[j];
            const double d[3] = {t1 + s.x[c] - ref.x[0], t2 + s.y[c] - ref.y[0],
                                 t3 + s.z[c] - ref.z[0]};
            if (distance(ph, d) > R) continue;
            if (j == 0 && c == 0 &&
                std::find(bonded.begin(), bonded.end(), std::array<int, 3>{t1, t2, t3}) !=
                    bonded.end())
              continue;
            out.emplace_back(a1->number, a2->number, j, c, t1, t2, t3);
          }
}

struct Install : ktest::CrystalInstall {
  Install() : CrystalInstall({"err.msg", "ordanix.dat"}) {}
};

// A potential with its minimum at 0.25 nm: the cut-off is 0.75 nm.
const char* const kPotential = "WW(1,-12,-2/power(0.25,6),-6,";

// The pair lists of one list (every unordered pair, an atom with itself
// included) and of two lists equal a search of every translation of a wide
// box, in cells from cubic with face centring to a steeply oblique triclinic
// one, where the extent of the cut-off sphere along an axis is far from
// R / a.
TEST(Restraints, NeighbourSetsEqualBruteForce) {
  Install inst;
  ktest::RunScope scope;
  struct Case {
    const char* what;
    std::vector<std::string> header;
    const char* general;  // name of the general position
  };
  const Case cases[] = {
      {"cubic F", {"HermannMauguin=F23", "A=0.61"}, "h"},
      {"hexagonal", {"HermannMauguin=P63/mmc", "A=0.41", "C=0.67"}, "l"},
      {"monoclinic C", {"HermannMauguin=C2/c", "A=0.97", "B=0.88", "C=0.53", "BETA=104"}, "f"},
      {"triclinic",
       {"HermannMauguin=P-1", "A=0.52", "B=0.47", "C=0.61", "ALPHA=62", "BETA=118", "GAMMA=71"},
       "i"},
  };
  for (const Case& c : cases) {
    ktest::PhaseList list;
    Structure st(c.header, {{"Si1", "Si", c.general, 0.1031, 0.2243, 0.0377},
                            {"O1", "O", c.general, 0.3127, 0.0711, 0.4489}});
    // The general position is the first block of the group.
    for (AtomRecord* at = st.phase->atoms; at != nullptr; at = at->next)
      ASSERT_TRUE(at->wyckoff->general) << c.what;
    st.phase->theory = 1;
    const double R = 3 * 0.25;

    ASSERT_TRUE(st.pass({std::string(kPotential) + "(Si1,O1))"})) << c.what;
    std::vector<Pair> want;
    AtomRecord* si = st.atom("Si1");
    AtomRecord* o = st.atom("O1");
    bruteforce(st.phase, si, si, R, {{0, 0, 0}}, want);
    bruteforce(st.phase, si, o, R, {}, want);
    bruteforce(st.phase, o, o, R, {{0, 0, 0}}, want);
    std::sort(want.begin(), want.end());
    EXPECT_GT(want.size(), 50u) << c.what;
    EXPECT_EQ(difference(listed(), want), "") << c.what;
    // An atom with itself stands for half of its pairs.
    for (int k = 0; k < nww; ++k) {
      const PairTerm& p = wwarray[k];
      double full = p.atom1->wyckoff->count * st.phase->ncentring;
      EXPECT_EQ(p.factor, p.atom1 == p.atom2 ? full / 2 : full) << c.what;
    }

    // Two lists: every atom of the first with every atom of the second.
    ASSERT_TRUE(st.pass({std::string(kPotential) + "(O1),(Si1))"})) << c.what;
    want.clear();
    bruteforce(st.phase, o, si, R, {}, want);
    std::sort(want.begin(), want.end());
    EXPECT_EQ(difference(listed(), want), "") << c.what;
  }
}

// Bondings leave the bonded translations out: the direct bonds both ways,
// and with BondLevel 2 also the atoms two bonds away.
TEST(Restraints, BondedPairsAreExcluded) {
  Install inst;
  ktest::RunScope scope;
  struct Case {
    std::vector<std::string> keys;
    std::vector<std::array<int, 3>> siO1, siO2, o1O2;  // excluded translations
    std::vector<std::array<int, 3>> siSi = {{0, 0, 0}};
  };
  const Case cases[] = {
      {{"Bondings=Si1,O1(1,0,0)"}, {{1, 0, 0}}, {}, {}},
      // A chain O1 - Si1 - O2: at level 1 only the bonds, at level 2 also O1 - O2.
      {{"Bondings=O1(0,-1,0),Si1,O2"}, {{0, -1, 0}}, {{0, 0, 0}}, {}},
      {{"Bondings=O1(0,-1,0),Si1,O2", "BondLevel=2"}, {{0, -1, 0}}, {{0, 0, 0}}, {{0, 1, 0}}},
      // Two texts.
      {{"Bondings=Si1,O1", "Bondings=Si1,O1(0,0,1),O2(1,1,1)"},
       {{0, 0, 0}, {0, 0, 1}},
       {{1, 1, 1}},
       {}},
      // An atom bonded to its own image along a: both images left out.
      {{"Bondings=Si1,Si1(1,0,0)"}, {}, {}, {}, {{0, 0, 0}, {1, 0, 0}, {-1, 0, 0}}},
  };
  for (const Case& c : cases) {
    ktest::PhaseList list;
    std::vector<std::string> header = {"HermannMauguin=P1", "A=0.43",  "B=0.51",   "C=0.47",
                                       "ALPHA=80",          "BETA=95", "GAMMA=101"};
    header.insert(header.end(), c.keys.begin(), c.keys.end());
    Structure st(header, {{"Si1", "Si", "a", 0.11, 0.21, 0.31},
                          {"O1", "O", "a", 0.41, 0.07, 0.33},
                          {"O2", "O", "a", 0.12, 0.55, 0.81}});
    st.phase->theory = 1;
    ASSERT_TRUE(st.pass({std::string(kPotential) + "(Si1,O1,O2))"})) << c.keys[0];
    AtomRecord* si = st.atom("Si1");
    AtomRecord* o1 = st.atom("O1");
    AtomRecord* o2 = st.atom("O2");
    std::vector<Pair> want;
    bruteforce(st.phase, si, si, 0.75, c.siSi, want);
    bruteforce(st.phase, si, o1, 0.75, c.siO1, want);
    bruteforce(st.phase, si, o2, 0.75, c.siO2, want);
    bruteforce(st.phase, o1, o1, 0.75, {{0, 0, 0}}, want);
    bruteforce(st.phase, o1, o2, 0.75, c.o1O2, want);
    bruteforce(st.phase, o2, o2, 0.75, {{0, 0, 0}}, want);
    std::sort(want.begin(), want.end());
    EXPECT_EQ(difference(listed(), want), "") << c.keys[0];
  }
}

// The residuals: their squares and qplus add up to the weighted energy, pair
// terms beyond three times r0 keep -sqrt(-w Vmin s), penalty terms follow the
// pairs, and element weights choose the occupancies.
TEST(Restraints, ResidualsAddUpToTheEnergy) {
  Install inst;
  ktest::RunScope scope;
  ktest::PhaseList list;
  Structure st({"HermannMauguin=P21/c", "A=0.52", "B=0.61", "C=0.55", "BETA=101", "UNIT=ANGSTROEM"},
               {{"Fe1", "Fe,Co", "e", 0.11, 0.21, 0.31}, {"O1", "O", "e", 0.41, 0.07, 0.33}});
  // Cell edges in nm as getmass keeps them; the potentials in angstrom.
  st.phase->theory = 2.5;
  st.atom("Fe1")->elements[0].occupancy = 0.7;
  st.atom("Fe1")->elements[1].occupancy = 0.3;
  st.atom("O1")->occsum = 0.9;
  const std::vector<std::string> formulas = {"WW(1,-12,-2/power(2.3,6),-6,Fe1(Co),O1)",
                                             "WWalt(4,-9,-6/power(2.9,3),-6,O1,0.6)", "Straf(0.25)",
                                             "Straf(-3)"};
  ASSERT_TRUE(st.pass(formulas));
  ASSERT_EQ(nstraf, 2);
  ASSERT_EQ(mplus, nww + 2);
  EXPECT_EQ(fxplus[nww], std::sqrt(2.5) * 0.25);
  EXPECT_EQ(fxplus[nww + 1], std::sqrt(2.5) * -3);
  double sum = qplus;
  for (int k = 0; k < mplus; ++k) sum += fxplus[k] * fxplus[k];
  EXPECT_NEAR(sum, 2.5 * st.phase->energy, 1e-10 * std::fabs(2.5 * st.phase->energy));

  // Every term by hand: weights, the cut-off factor and the sign.
  double energy = 0.25 * 0.25 + 9;
  for (int k = 0; k < nww; ++k) {
    const PairTerm& p = wwarray[k];
    const PairPotential& P = *p.pot;
    const SiteRecord& s1 = p.atom1->sites[0];
    const SiteRecord& s2 = p.atom2->sites[p.ilage];
    const double d[3] = {p.t[0] + s2.x[0] - s1.x[0], p.t[1] + s2.y[0] - s1.y[0],
                         p.t[2] + s2.z[0] - s1.z[0]};
    const double r = 10 * distance(st.phase, d);  // angstrom
    const double w = P.alt ? 0.6 : 0.3 * 0.9;
    const double V = P.A * std::pow(r, P.a) + P.B * std::pow(r, P.b);
    const double x = r / (10 * P.r0);
    const double f = x <= 1 ? 1 : x > 3 ? 0 : x * (3 - x) * (3 - x) / 4;
    const double s = p.factor * 2.5;
    const double want = (x <= 1 ? 1 : -1) * std::sqrt((f * V * w - w * P.Vmin) * s);
    EXPECT_NEAR(fxplus[k], want, 1e-12 * std::fabs(want) + 1e-15) << k;
    energy += V * w * p.factor * f;
  }
  EXPECT_NEAR(st.phase->energy, energy, 1e-12 * std::fabs(energy));
  EXPECT_EQ(std::string(wwargfirst->next->list1), "O1");

  // Without a rebuild the pairs stay; an atom moved apart goes beyond 3 r0
  // and keeps only its share of the minimum.
  const int before = nww;
  const double q = qplus;
  AtomRecord* o = st.atom("O1");
  for (int j = 0; j < 4; ++j) o->sites[j].x[0] += 50;
  ASSERT_TRUE(st.pass(formulas, false));
  EXPECT_EQ(nww, before);
  EXPECT_EQ(qplus, q);
  for (int k = 0; k < nww; ++k) {
    const PairTerm& p = wwarray[k];
    if (p.atom1 == p.atom2) continue;
    const double w = p.pot->alt ? 0.6 : 0.27;
    EXPECT_NEAR(fxplus[k], -std::sqrt(-w * p.pot->Vmin * p.factor * 2.5), 1e-12) << k;
  }

  // A negative occupancy weighs nothing: no residual becomes undefined.
  st.atom("Fe1")->elements[1].occupancy = -0.2;
  ASSERT_TRUE(st.pass(formulas));
  for (int k = 0; k < mplus; ++k) EXPECT_TRUE(std::isfinite(fxplus[k])) << k;
}

// Declarations persist from pass to pass: the k-th call of a phase updates
// its k-th record, also with two phases whose calls interleave in the list;
// no restraint weight, no pass or a worker thread records nothing.
TEST(Restraints, DeclarationsFromPassToPass) {
  Install inst;
  ktest::RunScope scope;
  ktest::PhaseList list;
  Structure one({"HermannMauguin=P1", "A=0.5", "B=0.5", "C=0.5", "ALPHA=80", "BETA=80", "GAMMA=80"},
                {{"Si1", "Si", "a", 0.1, 0.2, 0.3}});
  Structure two({"HermannMauguin=P1", "A=0.6", "B=0.6", "C=0.6", "ALPHA=80", "BETA=80", "GAMMA=80"},
                {{"Fe1", "Fe", "a", 0.1, 0.2, 0.3}});
  one.phase->theory = 1;
  two.phase->theory = 1;
  auto declare = [&](double v) {
    phasei = one.phase;
    Wert("Straf(1)");
    Wert((std::string(kPotential) + "Si1)").c_str());
    phasei = two.phase;
    Wert(("Straf(" + std::to_string(v) + ")").c_str());
    phasei = one.phase;
    Wert("Straf(3)");
  };
  // Outside a pass nothing is recorded.
  declare(2);
  EXPECT_EQ(straffirst, nullptr);
  EXPECT_EQ(wwargfirst, nullptr);
  ksinit();
  declare(2);
  ksinit();
  declare(5);
  ASSERT_EQ(nstraf, 3);
  const double want[][2] = {{1, 0}, {5, 1}, {3, 0}};
  int k = 0;
  for (PenaltyTerm* t = straffirst; t != nullptr; t = t->next, ++k) {
    EXPECT_EQ(t->value, want[k][0]);
    EXPECT_EQ(t->phase, want[k][1] == 0 ? one.phase : two.phase);
  }
  ASSERT_NE(wwargfirst, nullptr);
  EXPECT_EQ(wwargfirst->next, nullptr);
  ASSERT_TRUE(dataerr_try([] { ksexec(true); }));
  EXPECT_EQ(mplus, nww + 3);
  EXPECT_EQ(fxplus[nww + 1], 5.0);

  // Theory 0 records nothing.
  ksclear();
  one.phase->theory = 0;
  two.phase->theory = 0;
  ksinit();
  declare(2);
  ASSERT_TRUE(dataerr_try([] { ksexec(true); }));
  EXPECT_EQ(mplus, 0);
  EXPECT_EQ(wwargfirst, nullptr);
}

// Declarations on worker threads, in a process of their own with the pool of
// workers that KTEST_KS_THREADS asks for (the pool is made once per process).
TEST(RestraintThreads, Helper) {
  const char* threads = std::getenv("KTEST_KS_THREADS");
  if (threads == nullptr) GTEST_SKIP() << "runs only as the helper of WorkersRecordNothing";
  createmutex(&initmutex, false);
  nthreads = std::atoi(threads);
  Install inst;
  ktest::RunScope scope;
  ktest::PhaseList list;
  Structure st({"HermannMauguin=P1", "A=0.5", "B=0.5", "C=0.5", "ALPHA=80", "BETA=80", "GAMMA=80"},
               {{"Si1", "Si", "a", 0.1, 0.2, 0.3}});
  st.phase->theory = 1;
  ksinit();
  initDATAthreads();
  nspawn(
      [](uint64_t) {
        dataerr_try([] {
          Wert("Straf(2)");
          Wert("WW(1,-12,-2/power(0.25,6),-6,Si1)");
        });
      },
      0, 0);
  nwait();
  exitDATAthreads();
  std::printf("recorded %d %d\n", nstraf, wwargfirst == nullptr ? 0 : 1);
}

TEST(RestraintThreads, WorkersRecordNothing) {
  ktest::RunResult r =
      ktest::run_program("/proc/self/exe", {"--gtest_filter=RestraintThreads.Helper"}, "",
                         {{"KTEST_KS_THREADS", "4"}});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("recorded 0 0\n"), std::string::npos) << r.out;
  EXPECT_TRUE(r.err.empty()) << r.err.substr(0, 3000);
}

// Faulty declarations fail the formula with their message; faulty Bondings
// and atom lists fail the residual computation; two atoms at one place end
// the run.
TEST(Restraints, FailuresAreReported) {
  Install inst;
  struct Case {
    std::vector<std::string> keys;  // more header keys
    std::string formula;
    std::string message;
    int status;  // 0 accepted, 7 failed, or the exit status
  };
  const Case cases[] = {
      {{}, "WW(1,12,-2,-6,Si1)", ktest::message(-139), 7},
      {{}, "WW(1,-12,-2,6,Si1)", ktest::message(-139), 7},
      {{}, "WW(1,-6,-2,-6,Si1)", ktest::message(-139), 7},
      {{}, "WW(-1,-12,-2,-6,Si1)", ktest::message(-139), 7},
      {{}, "WW(1,-12,-2/power(0.25,6),-6,Si1,O1,2)", "", 7},
      {{}, "WWalt(1,-12,-2/power(0.25,6),-6,Si1,O1,2,3)", "", 7},
      // WW(-2,-1,r0,-2,...) has its minimum at r0: 0.09 nm is refused, 0.1
      // and 1 nm are accepted.
      {{}, "WW(-2,-1,0.09,-2,Si1)", ktest::message(-133, "-2", "-1", "0.09", "-2"), 7},
      {{}, "WW(-2,-1,1.0001,-2,Si1)", ktest::message(-133, "-2", "-1", "1.0001", "-2"), 7},
      {{}, "WW(-2,-1,1,-2,Si1)", "", 0},
      {{}, "WW(-2,-1,0.1,-2,Si1)", "", 0},
      {{"UNIT=ANGSTROEM", "A=5"}, "WW(-2,-1,1,-2,Si1)", "", 0},
      {{"UNIT=ANGSTROEM", "A=5"},
       "WW(-2,-1,0.99,-2,Si1)",
       ktest::message(-133, "-2", "-1", "0.99", "-2"),
       7},
      {{"Bondings=Si1,O1(1,0)"}, "WW(-2,-1,0.3,-2,Si1)", ktest::message(-136, "O1(1,0)"), 7},
      {{"Bondings=Si1,O1(1,0,0)x"}, "WW(-2,-1,0.3,-2,Si1)", ktest::message(-136, "O1(1,0,0)x"), 7},
      {{"Bondings=Si1,O1(1,0,0"}, "WW(-2,-1,0.3,-2,Si1)", ktest::message(-136, "O1(1,0,0"), 7},
      {{"Bondings=Si1,O1(1,2*1,(3))"}, "WW(-2,-1,0.3,-2,Si1)", "", 0},
      {{"Bondings=Si1,Ca1"}, "WW(-2,-1,0.3,-2,Si1)", ktest::message(-137, "Ca1"), 7},
      {{"Bondings=Si1,Ti1"}, "WW(-2,-1,0.3,-2,Si1)", ktest::message(-135), 7},
      {{}, "WW(-2,-1,0.3,-2,Si1,Ca1)", ktest::message(-140, "Ca1"), 7},
      {{}, "WW(-2,-1,0.3,-2,Si1(O),O1)", ktest::message(-140, "Si1(O)"), 7},
      {{}, "WW(-2,-1,0.3,-2,(Si1)x(O1))", ktest::message(-140, "Si1)x(O1"), 7},
      {{}, "WW(-2,-1,0.3,-2,Si1(Si)x,O1)", ktest::message(-140, "Si1(Si)x"), 7},
      {{}, "WW(-2,-1,0.3,-2,Si1,O2)", ktest::message(-128, "Si1", "O2"), 128},
  };
  spaceinit();  // once, for every child
  for (const Case& c : cases) {
    auto r = ktest::run_in_child([&] {
      ktest::RunScope scope;
      ktest::PhaseList list;
      std::vector<std::string> header = {"HermannMauguin=P-1", "A=0.5",   "B=0.6",    "C=0.7",
                                         "ALPHA=80",           "BETA=95", "GAMMA=101"};
      header.insert(header.end(), c.keys.begin(), c.keys.end());
      Structure st(header, {{"Si1", "Si", "i", 0.1, 0.2, 0.3},
                            {"O1", "O", "i", 0.3, 0.1, 0.4},
                            {"O2", "O", "i", 0.1, 0.2, 0.3},
                            {"Ti1", "Ti", "a", 0, 0, 0}});
      st.phase->theory = 1;
      bool ok = st.pass({c.formula});
      std::fflush(stdout);
      std::_Exit(ok ? 0 : 7);
    });
    EXPECT_EQ(r.status, c.status) << c.formula << " " << c.keys.size() << ": " << r.out;
    if (!c.message.empty()) {
      EXPECT_NE(r.out.find(c.message), std::string::npos) << c.formula << ": " << r.out;
    } else if (c.status == 0) {
      EXPECT_EQ(r.out, "") << c.formula;
    }
  }
}

}  // namespace
