// Reflection lists of phases read from structure files, in the test process:
// the lists of six structures against an independent crystallographic
// library (tests/data/crystal_reference.txt, made by
// tools/reference/structure_factors_cctbx.py), and silicon snippets for the
// margin of the window, Le Bail sets, the general reflection conditions and
// several reflection sets.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "structure_fixture.hpp"
#include "tamrel.hpp"
#include "tamrelrun.hpp"

namespace {

using namespace core;
using namespace crystal;

// Structure files read into phases and their reflections generated without
// measured points, over an installation with copper scattering data.
class ReflectionList : public ::testing::Test {
 protected:
  ktest::CrystalInstall install{trun::installfiles()};
  ktest::TempDir dir;
  ktest::RunScope scope;

  void SetUp() override {
    dataerr_newhandler(dataerr_printexit);
    setxray(true);
    afainit("CU");
  }
  void TearDown() override {
    tamrel::freerun();
    tamrel::runstate = tamrel::RunState{};
    dataerr_oldjmp();
  }
  // The phase of the structure file text with its reflections up to
  // 1/d^2 = skmax (nm^-2).
  PhaseRecord* reflections(const std::string& text, double skmax) {
    tamrel::freerun();
    afainit("CU");
    ktest::write_file(dir.file("p.str"), text);
    int one = 1;
    SetIndexStrVar("STRUC", 1, &one, dir.file("p.str").c_str());
    tamrel::readphases();
    tamrel::runstate.skmin = 0.0025;
    tamrel::runstate.skmax = skmax;
    tamrel::phasereflections(phase1);
    return phase1;
  }
};

bool holds(const FRecord* F, int h, int k, int l) {
  for (int i = 0; i < F->nequiv; ++i)
    if (F->hkl[i][0] == h && F->hkl[i][1] == k && F->hkl[i][2] == l) return true;
  return false;
}

// The structure file of a reference structure: selectors, cell, atoms.
std::string structurefile(const ktest::ReferenceStructure& ref) {
  std::string text;
  for (const std::string& s : ref.selectors) text += s + " ";
  char line[512];
  std::snprintf(line, sizeof line, "\nA=%.17g B=%.17g C=%.17g ALPHA=%.17g BETA=%.17g GAMMA=%.17g\n",
                ref.cell[0], ref.cell[1], ref.cell[2], ref.cell[3], ref.cell[4], ref.cell[5]);
  text += line;
  for (const ktest::AtomSpec& a : ref.atoms) {
    std::snprintf(line, sizeof line, "%s Wyckoff=%s x=%.17g y=%.17g z=%.17g TDS=%.17g\n",
                  a.eitem.c_str(), a.wyckoff.c_str(), a.x, a.y, a.z, a.B);
    text += line;
  }
  return text;
}

TEST_F(ReflectionList, SixStructuresAgreeWithTheIndependentEnumeration) {
  const std::vector<ktest::ReferenceStructure> all = ktest::readreference();
  ASSERT_EQ(all.size(), 6u);
  // Without measured points a set without Le Bail mark reaches 0.08 sqrt(skmax)
  // beyond the window; the reference lists go further.
  const double skmax = 100.0, limit = skmax + 0.08 * std::sqrt(skmax);
  for (const ktest::ReferenceStructure& ref : all) {
    SCOPED_TRACE(ref.name);
    ASSERT_GT(ref.skmax, limit);
    PhaseRecord* p = reflections(structurefile(ref), skmax);
    ASSERT_NE(p, nullptr);
    std::vector<int> met(ref.refs.size(), 0);
    for (int i = 0; i < p->nrefl; ++i) {
      const ReflectionRecord* r = p->refl[i];
      if (i > 0) {
        EXPECT_LE(p->refl[i - 1]->sk, r->sk * (1 + 1e-10));
      }
      EXPECT_EQ(r->count, r->fr2 != nullptr ? 2 : 1);
      for (const FRecord* F : {r->fr1, r->fr2}) {
        if (F == nullptr) continue;
        const int32_t* rep = F->hkl[0];
        int found = -1;
        for (size_t j = 0; j < ref.refs.size(); ++j)
          if (holds(F, ref.refs[j].h, ref.refs[j].k, ref.refs[j].l)) found = static_cast<int>(j);
        ASSERT_GE(found, 0) << "not in the reference: " << rep[0] << " " << rep[1] << " " << rep[2];
        ++met[static_cast<size_t>(found)];
        const ktest::RefLine& x = ref.refs[static_cast<size_t>(found)];
        EXPECT_EQ(F->nequiv, x.multiplicity) << rep[0] << " " << rep[1] << " " << rep[2];
        EXPECT_NEAR(r->sk, x.sk, 1e-12 * x.sk);
        EXPECT_GT(F->F, 0.0);
      }
    }
    for (size_t j = 0; j < met.size(); ++j) {
      const ktest::RefLine& x = ref.refs[j];
      EXPECT_EQ(met[j], x.sk <= limit ? 1 : 0) << x.h << " " << x.k << " " << x.l;
    }
  }
}

// The reflections of a phase as "hkl/set" of their representatives, sorted.
std::vector<std::string> labels(const PhaseRecord* p) {
  std::vector<std::string> out;
  for (int i = 0; i < p->nrefl; ++i) {
    const int32_t* h = p->refl[i]->fr1->hkl[0];
    out.push_back(std::to_string(h[0]) + std::to_string(h[1]) + std::to_string(h[2]) + "/" +
                  std::to_string(p->refl[i]->iref));
  }
  return out;
}

TEST_F(ReflectionList, SiliconWindowLeBailSetsAndConditions) {
  // 1/d^2 of silicon: 111 10.17, 200 13.56, 220 27.12, 311 37.30, 222 40.69.
  // 200 is absent by the diamond glide, 222 by the structure alone.
  const std::string atom = "\nE=Si Wyckoff=a TDS=0.0046\n";
  struct Case {
    const char* header;
    double skmax;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      // The margin of 0.08 sqrt(skmax) reaches 311; a Le Bail set has none.
      {"", 37.0, {"111/0", "220/0", "311/0"}},
      {"LeBail=1", 37.0, {"111/0", "220/0"}},
      // A Le Bail set keeps the reflection whose structure factor vanishes.
      {"", 41.0, {"111/0", "220/0", "311/0"}},
      {"LeBail=1", 41.0, {"111/0", "220/0", "311/0", "222/0"}},
      // The structure file's condition and the space group's both hold.
      {"LeBail=1 GeneralCondition=not(mod(h,2))", 41.0, {"220/0", "222/0"}},
      {"GeneralCondition=0", 41.0, {}},
      // A condition that splits an orbit: the first member met decides for
      // all of it (111 is first met as 1-1-1), and the table empties.
      {"LeBail=1 GeneralCondition=k+1", 41.0, {"220/0", "311/0", "222/0"}},
      // Two reflection sets, the second a Le Bail set: sorted by 1/d^2, then set.
      {"RefMult=2 LeBail=2", 41.0, {"111/0", "111/1", "220/0", "220/1", "311/0", "311/1", "222/1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.header) + " skmax " + std::to_string(c.skmax));
    PhaseRecord* p = reflections(
        std::string("HermannMauguin=Fd-3m OriginChoice=2 ") + c.header + "\nA=0.54309" + atom,
        c.skmax);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(labels(p), c.expected);
    for (int i = 0; i < p->nrefl; ++i) {
      const ReflectionRecord* r = p->refl[i];
      ASSERT_NE(r->fr1, nullptr);
      EXPECT_EQ(r->fr2, nullptr);  // centrosymmetric: the inverse is equivalent
      EXPECT_EQ(r->fr1->gewicht, -1.0);
      if (p->lebail[r->iref] != 0) {
        EXPECT_EQ(r->fr1->F, 0.0);
      } else {
        EXPECT_GT(r->fr1->F, 0.0);
      }
    }
  }
}

}  // namespace
