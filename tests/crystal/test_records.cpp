// The records of the refinement as the driver builds them: creation defaults,
// header keywords, the per-kind Le Bail flags, and the release of everything
// a phase owns.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "core/data.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "crystal_harness.hpp"

namespace {

using namespace core;
using namespace crystal;

using Scope = ktest::RunScope;

TEST(Records, NewPhaseHasTheDriversDefaults) {
  Scope scope;
  ktest::PhaseList list;
  PhaseRecord* p = ktest::make_phase({"HermannMauguin=Fm-3m", "A=0.5431"});
  EXPECT_EQ(phase1, p);
  EXPECT_EQ(p->number, 1);
  EXPECT_EQ(p->unit, UNIT_NM);
  EXPECT_EQ(p->RefMult, 1);
  EXPECT_EQ(p->FMult, 0);
  EXPECT_EQ(p->RP, 4);
  EXPECT_EQ(p->bondlevel, 1);
  EXPECT_EQ(p->theory, 0.0);
  EXPECT_EQ(p->operatorspending, 1);
  EXPECT_EQ(p->metricready, 0);
  EXPECT_EQ(p->lattice, LATTICE_ANY);
  EXPECT_EQ(p->texture, TEXTURE_NONE);
  EXPECT_EQ(p->group, nullptr);
  EXPECT_STREQ(p->selector[SEL_HERMANNMAUGUIN], "Fm-3m");
  EXPECT_STREQ(p->selector[SEL_BASIS], "");
  // Every item is kept for the set-up; only statements are executed there.
  ASSERT_EQ(p->nparams, 2);
  EXPECT_STREQ(p->params[0].statement, "HermannMauguin=Fm-3m");
  EXPECT_EQ(p->params[0].skip, 1);
  EXPECT_STREQ(p->params[1].statement, "A=0.5431");
  EXPECT_EQ(p->params[1].skip, 0);

  // The second phase follows on the list and takes the next six goal slots.
  PhaseRecord* q = ktest::make_phase({"SpacegroupNo=1"});
  EXPECT_EQ(p->next, q);
  EXPECT_EQ(q->number, 2);
  EXPECT_EQ(q->goalindex, p->goalindex + 6);
}

TEST(Records, HeaderCountsAreBounded) {
  Scope scope;
  ktest::PhaseList list;
  PhaseRecord* p = ktest::make_phase({"RP=3.9", "RefMult=0", "FMult=-2", "UNIT=ANGSTROEM",
                                      "Lattice=Rhombohedral", "GEWICHT=SPHAR4", "LIMIT6=12"});
  EXPECT_EQ(p->RP, 3);
  EXPECT_EQ(p->RefMult, 1);
  EXPECT_EQ(p->FMult, 0);
  EXPECT_EQ(p->unit, UNIT_ANGSTROEM);
  EXPECT_EQ(p->lattice, LATTICE_RHOMBOHEDRAL);
  EXPECT_EQ(p->texture, TEXTURE_SPHAR4);
  EXPECT_STREQ(texturname[p->texture], "SPHAR4");
  EXPECT_EQ(p->texturesetup, 1);
  EXPECT_EQ(p->sphar6.limit, 12.0);
  EXPECT_EQ(p->sphar6.limitgiven, 1);
  EXPECT_EQ(p->sphar4.limitgiven, 0);
  SpharView v = spharview(p, 6);
  EXPECT_EQ(v.N, 28);
  EXPECT_EQ(v.limit, &p->sphar6.limit);
  EXPECT_EQ(spharview(p, 3).order, 0);
}

// Le Bail flags: a kind without atoms that scatter in it keeps free
// intensities; an E( item clears the kinds it gives a weight for.
TEST(Records, LeBailFlagsFollowTheAtoms) {
  Scope scope;
  ktest::PhaseList list;
  PhaseRecord* none = ktest::make_phase({"RefMult=3", "LeBail=5"});
  for (int k = 0; k < 3; ++k) EXPECT_EQ(none->lebail[k], 1) << k;

  PhaseRecord* two = ktest::make_phase({"RefMult=2"});
  AtomRecord* at = ktest::make_atom(two, "E(,x)=Si", {"Wyckoff=a"});
  EXPECT_EQ(two->lebail[0], 1);
  EXPECT_EQ(two->lebail[1], 0);
  ASSERT_NE(at->weightformulas, nullptr);
  EXPECT_EQ(at->weightformulas[0], nullptr);
  EXPECT_STREQ(at->weightformulas[1], "x");

  PhaseRecord* forced = ktest::make_phase({"RefMult=2", "LeBail=1"});
  ktest::make_atom(forced, "E=Si", {"Wyckoff=a"});
  EXPECT_EQ(forced->lebail[0], 1);
  EXPECT_EQ(forced->lebail[1], 0);

  // With output components every kind starts without a Le Bail flag.
  PhaseRecord* comp = ktest::make_phase({"RefMult=2", "FMult=3"});
  EXPECT_EQ(comp->lebail[0], 0);
  EXPECT_EQ(comp->lebail[1], 0);
  EXPECT_NE(comp->densities, nullptr);
}

TEST(Records, AtomsAndElements) {
  Scope scope;
  ktest::PhaseList list;
  PhaseRecord* p = ktest::make_phase({"SpacegroupNo=225"});
  AtomRecord* a1 = ktest::make_atom(p, "E=(Fe(0.4),Co)", {"Wyckoff=4a", "x=0"});
  AtomRecord* a2 = ktest::make_atom(p, "E=O", {"Wyckoff=8c", "TDS=ANISO^0.1"});
  EXPECT_EQ(p->atoms, a1);
  EXPECT_EQ(a1->next, a2);
  EXPECT_EQ(a1->number, 1);
  EXPECT_EQ(a2->number, 2);
  EXPECT_EQ(a1->namepending, 1);
  EXPECT_EQ(a1->tdskind, TDS_NONE);
  EXPECT_EQ(a2->tdskind, TDS_ANISO);
  EXPECT_STREQ(a2->limittext, "0.1");
  EXPECT_EQ(p->anisosetup, 1);
  EXPECT_STREQ(a1->wyckoffname, "4a");
  ASSERT_EQ(a1->nelements, 2);
  EXPECT_STREQ(a1->elements[0].name, "Fe");
  EXPECT_STREQ(a1->elements[0].occformula, "0.4");
  EXPECT_STREQ(a1->elements[1].name, "Co");
  EXPECT_EQ(a1->elements[1].occformula, nullptr);
  // Per-thread slots exist for every worker, all empty.
  int workers = nthreads > 0 ? nthreads : 1;
  for (int i = 0; i < workers; ++i) {
    EXPECT_EQ(a1->threadpenalty[i], 0.0);
    EXPECT_EQ(a1->threadscope[i], nullptr);
  }
  ASSERT_EQ(a1->nparams, 3);
  EXPECT_EQ(a1->params[0].skip, 1);  // the E item
  EXPECT_EQ(a1->params[1].skip, 1);  // Wyckoff=
  EXPECT_EQ(a1->params[2].skip, 0);  // x=0
}

// Everything a phase can own at the end of a run is released (the sanitizer
// build reports what is not), detached scopes included.
TEST(Records, FreeReleasesEverythingAPhaseOwns) {
  Scope scope;
  PhaseRecord* p = ktest::make_phase({"RefMult=2", "FMult=2", "Bondings=Si1,O1"});
  AtomRecord* at = ktest::make_atom(p, "E(1,0.5)=Si(0.9),Al", {"Wyckoff=a"});
  static WyckoffRecord pos{};
  pos.count = 2;
  at->wyckoff = &pos;
  at->sites = static_cast<SiteRecord*>(std::calloc(2, sizeof(SiteRecord)));
  at->sites[1].ops = static_cast<int32_t*>(std::calloc(4, sizeof(int32_t)));
  newDATAlist();
  SetVar("x", 0.25);
  at->scope = pushDATAlist();
  newDATAlist();
  at->threadscope[0] = pushDATAlist();
  p->operators = static_cast<double*>(std::calloc(13 * 4, sizeof(double)));
  p->condition = strdup("mod(h,2)");
  p->probes = static_cast<LineProbe*>(std::calloc(2, sizeof(LineProbe)));
  p->tdsprobes = static_cast<TdsProbe*>(std::calloc(2, sizeof(TdsProbe)));
  auto* an = static_cast<AnisotropyRecord*>(std::calloc(1, sizeof(AnisotropyRecord)));
  an->name = strdup("B1");
  p->aniso = an;
  ReflectionRecord* r = newreflection(12.5, 1);
  r->fr1 = newfrecord(3.0, p->FMult);
  r->fr2 = newfrecord(2.0, p->FMult);
  r->count = 2;
  r->fr1->hkl = static_cast<int32_t(*)[3]>(std::calloc(6, sizeof(int32_t[3])));
  EXPECT_EQ(r->fr1->gewicht, -1.0);
  EXPECT_EQ(r->fr1->F, 3.0);
  EXPECT_NE(r->fr1->comp, nullptr);
  EXPECT_EQ(r->sk, 12.5);
  EXPECT_EQ(r->iref, 1);
  p->refl = core::kcalloc<ReflectionRecord*>(1);
  p->refl[0] = r;
  p->nrefl = 1;
  phasei = p;
  pa = at;
  int depth = DATAlistLevel();

  ktest::free_phases();
  EXPECT_EQ(phase1, nullptr);
  EXPECT_EQ(phasei, nullptr);
  EXPECT_EQ(pa, nullptr);
  EXPECT_EQ(DATAlistLevel(), depth);
}

}  // namespace
