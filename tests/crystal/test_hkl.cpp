// Reflection lists and equivalent reflections: the heap sort through its two
// callbacks, the order of a phase's reflections, the equivalent sets of a
// triple and the table of equivalents still to be met.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <tuple>
#include <vector>

#include "core/data.hpp"
#include "core/velmora.hpp"
#include "crystal_harness.hpp"

namespace {

using namespace crystal;

std::vector<int> sortitems;
bool intless(int32_t i, int32_t j) { return sortitems[i] < sortitems[j]; }
void intswap(int32_t i, int32_t j) { std::swap(sortitems[i], sortitems[j]); }

TEST(HeapSort, SortsThroughTheCallbacks) {
  const std::vector<std::vector<int>> cases = {{},
                                               {7},
                                               {2, 1},
                                               {1, 2},
                                               {5, 5, 5},
                                               {1, 2, 3, 4, 5, 6, 7},
                                               {9, 8, 7, 6, 5, 4, 3, 2, 1},
                                               {3, -1, 4, 1, -5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3,
                                                2, 3,  8, 4, 6,  2, 6, 4, 3, 3, 8, 3, 2, 7, 9}};
  for (const auto& c : cases) {
    sortitems = c;
    vergleich = intless;
    austausch = intswap;
    heapsort(static_cast<int32_t>(c.size()));
    std::vector<int> want = c;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(sortitems, want);
  }
}

// A phase with the named group of the shipped database, its general-position
// rotations in the operator table as the structure set-up copies them, and
// an empty table of equivalents.
class Equivalents : public ::testing::Test {
 protected:
  ktest::CrystalInstall inst{{"ordanix.dat"}};
  ktest::RunScope scope;
  ktest::PhaseList phases;
  ktest::HklTable table;

  PhaseRecord* phase(int kind, const char* hm) {
    phasei = ktest::make_phase({std::string("HermannMauguin=") + hm});
    phasei->group = findordanix(kind, "", phasei->selector);
    EXPECT_NE(phasei->group, nullptr) << hm;
    const WyckoffRecord* g = phasei->group->general;
    phasei->operators =
        static_cast<double*>(std::calloc(13 * static_cast<size_t>(g->count), sizeof(double)));
    for (int i = 0; i < g->count; ++i)
      for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
          phasei->operators[13 * i + 3 + 3 * r + c] = g->op[i].comp[r].coef[c];
    return phasei;
  }

  static size_t tablesize() {
    size_t n = 0;
    for (int b = 0; b < hklprime; ++b)
      for (HklNode* p = hkltable[b]; p != nullptr; p = p->next) ++n;
    return n;
  }

  using Triple = std::tuple<int, int, int>;
  static std::vector<Triple> triples(const FRecord* F) {
    std::vector<Triple> out;
    for (int i = 0; i < F->nequiv; ++i) out.emplace_back(F->hkl[i][0], F->hkl[i][1], F->hkl[i][2]);
    return out;
  }
};

TEST_F(Equivalents, AxisOfACubicGroupWithTheInversion) {
  phase(8, "Pm-3m");
  FRecord* F = newfrecord(-1.0, 0);
  hklbau(F, 0, 0, 3);
  const std::vector<Triple> want = {{3, 0, 0},  {-3, 0, 0}, {0, 3, 0},
                                    {0, -3, 0}, {0, 0, 3},  {0, 0, -3}};
  EXPECT_EQ(triples(F), want);
  EXPECT_EQ(hklsort, F->hkl[0]);
  // Every equivalent but the input itself waits in the table, once.
  EXPECT_EQ(tablesize(), 5u);
  EXPECT_EQ(isintable(0, 0, 3), 0);
  for (const Triple& t : want) {
    if (t == Triple{0, 0, 3}) continue;
    EXPECT_EQ(isintable(std::get<0>(t), std::get<1>(t), std::get<2>(t)), 1);
    EXPECT_EQ(isintable(std::get<0>(t), std::get<1>(t), std::get<2>(t)), 0);
  }
  EXPECT_EQ(tablesize(), 0u);
  std::free(F->hkl);
  std::free(F);
}

TEST_F(Equivalents, CountsAreTheDistinctImages) {
  struct Case {
    int kind;
    const char* hm;
    int h, k, l;
    int count;
    Triple first;
  };
  const Case cases[] = {
      {8, "Pm-3m", 1, 2, 3, 48, {3, 2, 1}},  {8, "Pm-3m", 1, 1, 1, 8, {1, 1, 1}},
      {8, "Pm-3m", -2, 0, 0, 6, {2, 0, 0}},  {8, "P23", 1, 2, 3, 12, {3, 1, 2}},
      {5, "P63mc", 1, 0, 1, 6, {1, -1, 1}},  {5, "P63mc", -1, 0, -1, 6, {1, -1, -1}},
      {5, "P63mc", 1, 2, 3, 12, {3, -2, 3}}, {1, "P1", -1, 2, -3, 1, {-1, 2, -3}},
  };
  for (const Case& c : cases) {
    phase(c.kind, c.hm);
    FRecord* F = newfrecord(-1.0, 0);
    hklbau(F, c.h, c.k, c.l);
    EXPECT_EQ(F->nequiv, c.count) << c.hm << " " << c.h << c.k << c.l;
    EXPECT_EQ(triples(F)[0], c.first) << c.hm << " " << c.h << c.k << c.l;
    const std::vector<Triple> set = triples(F);
    const std::set<Triple> distinct(set.begin(), set.end());
    EXPECT_EQ(distinct.size(), static_cast<size_t>(c.count));
    EXPECT_EQ(tablesize(), static_cast<size_t>(c.count - 1));
    for (const Triple& t : distinct) isintable(std::get<0>(t), std::get<1>(t), std::get<2>(t));
    EXPECT_EQ(tablesize(), 0u);
    std::free(F->hkl);
    std::free(F);
    ktest::free_phases();
  }
}

TEST_F(Equivalents, TableOnlyAndRepeatedEntries) {
  phase(8, "Pm-3m");
  int32_t marker[3] = {7, 7, 7};
  hklsort = marker;
  hklbau(nullptr, 1, 0, 0);
  EXPECT_EQ(hklsort, marker);
  EXPECT_EQ(tablesize(), 5u);
  // The same equivalents entered again from a second generating reflection:
  // each query removes one of them.
  hklbau(nullptr, 0, 1, 0);
  EXPECT_EQ(tablesize(), 10u);
  EXPECT_EQ(isintable(0, 0, -1), 1);
  EXPECT_EQ(isintable(0, 0, -1), 1);
  EXPECT_EQ(isintable(0, 0, -1), 0);
  // Triples that share their low 8 bits fall in one bucket but stay apart.
  EXPECT_EQ(hklbucket(1, 0, 0), hklbucket(257, 0, 0));
  EXPECT_EQ(hklbucket(-1, 0, 0), hklbucket(255, 0, 0));
  EXPECT_EQ(isintable(257, 0, 0), 0);
  EXPECT_EQ(isintable(-1, 0, 0), 1);
}

TEST_F(Equivalents, ReflectionOrder) {
  PhaseRecord* p = phase(8, "Pm-3m");
  struct Entry {
    double sk;
    int iref;
    Triple hkl;
  };
  // Listed in the order they must end up in: keys within a relative 1e-10
  // count as equal and are ordered by kind, then by descending h, k and l.
  const Entry order[] = {
      {10.0, 0, {2, 0, 0}},
      {10.0 * (1 + 0.3e-10), 1, {5, 0, 0}},
      {10.0 * (1 - 0.3e-10), 1, {1, 1, 1}},
      {10.0, 1, {1, 1, 0}},
      {10.0, 1, {1, 1, -2}},
      {10.0, 1, {1, 0, 0}},
      {10.0 * (1 + 2e-10), 0, {9, 9, 9}},  // beyond the tolerance: later
      {11.0, 0, {0, 0, 1}},
  };
  const int n = sizeof order / sizeof order[0];
  p->refl = core::kcalloc<ReflectionRecord*>(static_cast<size_t>(n));
  p->nrefl = n;
  const int shuffled[n] = {5, 2, 7, 0, 6, 3, 1, 4};
  for (int i = 0; i < n; ++i) {
    const Entry& e = order[shuffled[i]];
    ReflectionRecord* r = newreflection(e.sk, e.iref);
    r->fr1 = newfrecord(-1.0, 0);
    r->fr1->hkl = static_cast<int32_t(*)[3]>(std::calloc(1, sizeof(int32_t[3])));
    r->fr1->nequiv = 1;
    r->fr1->hkl[0][0] = std::get<0>(e.hkl);
    r->fr1->hkl[0][1] = std::get<1>(e.hkl);
    r->fr1->hkl[0][2] = std::get<2>(e.hkl);
    p->refl[i] = r;
  }
  vergleich = refvergleich;
  austausch = reftausch;
  heapsort(n);
  for (int i = 0; i < n; ++i) {
    const int32_t* h = p->refl[i]->fr1->hkl[0];
    EXPECT_EQ((Triple{h[0], h[1], h[2]}), order[i].hkl) << i;
  }
}

}  // namespace
