// Structure files read into phases, atoms, elements, anisotropy objects and
// parameter records, in the test process: snippets with the records they
// give, and snippets that are refused with their chain of messages and the
// run's status.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>

#include "core/data.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "crystal_harness.hpp"
#include "structure_files.hpp"
#include "tamrel.hpp"
#include "tamrelrun.hpp"

namespace {

using namespace core;
using namespace model;

using namespace crystal;
using ktest::message;
using trun::inorder;

// Control keys and structure files in a run scope over an installation with
// copper scattering data; readphases as the run calls it.
class StrucFile : public trun::StructureFiles {
 protected:
  void TearDown() override {
    StructureFiles::TearDown();
    while (straferst != nullptr) {
      PenaltyRow* next = straferst->next;
      std::free(straferst);
      straferst = next;
    }
    istraf = 0;
    nthreads = 1;
  }
  void set(const std::string& statement) { ASSERT_EQ(ergibt(statement.c_str()), 1) << statement; }
  PhaseRecord* read(const std::string& text) {
    file(1, "p.str", text);
    tamrel::readphases();
    return phase1;
  }
};

int lebailsets(const PhaseRecord* p) {
  int n = 0;
  for (int i = 0; i < p->RefMult; ++i) n = n * 10 + p->lebail[i];
  return n;
}

TEST_F(StrucFile, HeaderSnippets) {
  set("RP=2.6");  // control-file default, rounded
  set("Theory=7");
  struct Case {
    const char* text;
    std::function<void(const PhaseRecord*)> check;
  };
  const std::vector<Case> cases = {
      {"SpacegroupNo=227",
       [](const PhaseRecord* p) {
         EXPECT_EQ(p->RP, 3);
         EXPECT_EQ(p->theory, 7.0);
         EXPECT_EQ(p->bondlevel, 1);
         EXPECT_EQ(p->unit, UNIT_NM);
         EXPECT_STREQ(p->name, "p");
       }},
      {"SpacegroupNo=227 RP=3.9 RefMult=0 FMult=-2 BondLevel=2.9 Theory=0.5 UNIT=ANGSTROEM",
       [](const PhaseRecord* p) {
         EXPECT_EQ(p->RP, 3);
         EXPECT_EQ(p->RefMult, 1);
         EXPECT_EQ(p->FMult, 0);
         EXPECT_EQ(p->bondlevel, 2);
         EXPECT_EQ(p->theory, 0.5);
         EXPECT_EQ(p->unit, UNIT_ANGSTROEM);
       }},
      {"SpacegroupNo=227 RP=2.6", [](const PhaseRecord* p) { EXPECT_EQ(p->RP, 2); }},
      // Items apply in file order: B1=ANISO raises RP 2 to 3, a later RP=2 sets 2 again.
      {"SpacegroupNo=227 RP=2 B1=ANISO k2=ANISO^0.25",
       [](const PhaseRecord* p) {
         EXPECT_EQ(p->RP, 4);
         ASSERT_NE(p->aniso, nullptr);
         EXPECT_STREQ(p->aniso->name, "k2");
         EXPECT_EQ(p->aniso->kind, ANISO_SQUARE);
         EXPECT_EQ(p->aniso->limit, 0.25);
         ASSERT_NE(p->aniso->next, nullptr);
         EXPECT_STREQ(p->aniso->next->name, "B1");
         EXPECT_EQ(p->aniso->next->kind, ANISO_LINEAR);
         EXPECT_EQ(p->aniso->next->limit, 3.4028234663852886e38);
         EXPECT_EQ(p->anisosetup, 1);
       }},
      {"SpacegroupNo=227 B1=ANISO RP=2", [](const PhaseRecord* p) { EXPECT_EQ(p->RP, 2); }},
      // ANISOLIMIT after TDS=ANISO does not reach the TDS object.
      {"SpacegroupNo=227 ANISO4LIMIT=9 TDS=ANISO ANISOLIMIT=0.3 x=ANISOLINEAR D=ANISOLIN^0.5 "
       "F4=ANISO4 GEWICHT=ANISO",
       [](const PhaseRecord* p) {
         std::vector<const AnisotropyRecord*> list;
         for (const AnisotropyRecord* a = p->aniso; a != nullptr; a = a->next) list.push_back(a);
         ASSERT_EQ(list.size(), 4u);
         EXPECT_STREQ(list[0]->name, "GEWICHT");
         EXPECT_EQ(list[0]->kind, ANISO_SQUARE);
         EXPECT_STREQ(list[1]->name, "F4");
         EXPECT_EQ(list[1]->kind, ANISO_FOURTH);
         EXPECT_STREQ(list[2]->name, "D");
         EXPECT_EQ(list[2]->kind, ANISO_LINEAR);
         EXPECT_EQ(list[2]->limit, 0.5);
         EXPECT_EQ(list[2]->anisolimit, 0.3);
         EXPECT_EQ(list[2]->anisolimitgiven, 1);
         EXPECT_STREQ(list[3]->name, "TDS");
         EXPECT_EQ(list[3]->anisolimitgiven, 0);
         EXPECT_EQ(list[3]->aniso4limit, 9.0);
         EXPECT_EQ(list[3]->aniso4limitgiven, 1);
         // x=ANISOLINEAR is a statement.
         EXPECT_EQ(p->params[4].skip, 0);
         EXPECT_STREQ(p->params[4].statement, "x=ANISOLINEAR");
       }},
      {"SpacegroupNo=227 GEWICHT=SPHAR4",
       [](const PhaseRecord* p) {
         EXPECT_EQ(p->texture, TEXTURE_SPHAR4);
         EXPECT_EQ(p->texturesetup, 1);
       }},
      {"SpacegroupNo=227 GEWICHT=SPHAR4 GEWICHT=SPHAR0",
       [](const PhaseRecord* p) {
         EXPECT_EQ(p->texture, TEXTURE_SPHAR0);
         EXPECT_EQ(p->texturesetup, 0);
       }},
      {"SpacegroupNo=227 GEWICHT=ANISO2 GEWICHT=SPHAR",
       [](const PhaseRecord* p) {
         EXPECT_EQ(p->texture, TEXTURE_SPHAR6);
         EXPECT_EQ(p->texturesetup, 1);
         EXPECT_EQ(p->params[2].skip, 0);  // no texture kind: a statement
       }},
      {"HermannMauguin=Pnma Setting=abc Lattice=Orthorhombic BASIS=P UniqueAxis=c OriginChoice=1 "
       "CellChoice=2 "
       "PHASE=lead_sulfate Pack=yes LIMIT4=0.2 LIMIT10=1 LIMIT1=3 Bondings=S-O Bondings=Pb-O "
       "GeneralCondition=mod(h,2) GeneralCondition=1",
       [](const PhaseRecord* p) {
         EXPECT_STREQ(p->selector[SEL_HERMANNMAUGUIN], "Pnma");
         EXPECT_STREQ(p->selector[SEL_SETTING], "abc");
         EXPECT_STREQ(p->selector[SEL_LATTICE], "Orthorhombic");
         EXPECT_EQ(p->lattice, LATTICE_ORTHORHOMBIC);
         EXPECT_STREQ(p->selector[SEL_BASIS], "P");
         EXPECT_STREQ(p->selector[SEL_UNIQUEAXIS], "c");
         EXPECT_STREQ(p->selector[SEL_ORIGINCHOICE], "1");
         EXPECT_STREQ(p->selector[SEL_CELLCHOICE], "2");
         EXPECT_STREQ(p->selector[SEL_SPACEGROUPNO], "");
         EXPECT_STREQ(p->name, "lead_sulfate");
         EXPECT_EQ(p->pack, 1);
         EXPECT_EQ(p->sphar4.limit, 0.2);
         EXPECT_EQ(p->sphar4.limitgiven, 1);
         EXPECT_EQ(p->sphar10.limitgiven, 1);
         EXPECT_EQ(p->sphar2.limitgiven, 0);
         EXPECT_EQ(p->params[11].skip, 0);  // LIMIT1= is a statement
         ASSERT_EQ(p->nbondings, 2);
         EXPECT_STREQ(p->bondings[1], "Pb-O");
         EXPECT_STREQ(p->usercondition, "1");
       }},
      // Le Bail sets: all sets of a phase without atoms; LeBail=5 is out of range.
      {"SpacegroupNo=227 RefMult=3 LeBail=5",
       [](const PhaseRecord* p) {
         EXPECT_EQ(p->RefMult, 3);
         EXPECT_EQ(lebailsets(p), 111);
       }},
      {"SpacegroupNo=227 RefMult=2 LeBail=2.4\nE(,x)=Si Wyckoff=a",
       [](const PhaseRecord* p) {
         EXPECT_EQ(lebailsets(p), 11);  // set 2 lost its mark to the atom, LeBail=2 gives it back
         ASSERT_NE(p->atoms, nullptr);
         ASSERT_NE(p->atoms->weightformulas, nullptr);
         EXPECT_EQ(p->atoms->weightformulas[0], nullptr);
         EXPECT_STREQ(p->atoms->weightformulas[1], "x");
       }},
      {"SpacegroupNo=227 RefMult=2\nE(,x)=Si Wyckoff=a",
       [](const PhaseRecord* p) { EXPECT_EQ(lebailsets(p), 10); }},
      {"SpacegroupNo=227 RefMult=2\nE=Si Wyckoff=a",
       [](const PhaseRecord* p) { EXPECT_EQ(lebailsets(p), 0); }},
      {"SpacegroupNo=227 RefMult=2 FMult=3\nE(a,(b,c),[d,e])=Si Wyckoff=a",
       [](const PhaseRecord* p) {
         EXPECT_EQ(lebailsets(p), 0);  // with structure-factor sets no set is a Le Bail set
         EXPECT_STREQ(p->atoms->weightformulas[1], "(b,c)");
         EXPECT_STREQ(p->atoms->weightformulas[2], "[d,e]");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    PhaseRecord* p = read(c.text);
    ASSERT_NE(p, nullptr);
    c.check(p);
    freephases();
    goalzahl = 0;
  }
}

TEST_F(StrucFile, AtomSnippets) {
  struct Case {
    const char* text;
    std::function<void(const AtomRecord*)> check;
  };
  const std::vector<Case> cases = {
      {"E=(Si,O) Wyckoff=a",
       [](const AtomRecord* a) {
         ASSERT_EQ(a->nelements, 2);
         EXPECT_STREQ(a->elements[0].name, "Si");
         EXPECT_STREQ(a->elements[1].name, "O");
         EXPECT_EQ(a->elements[0].occformula, nullptr);
         EXPECT_GT(a->elements[0].scat[SD_MASS], 28.0);
       }},
      {"E=Si,O Wyckoff=a", [](const AtomRecord* a) { ASSERT_EQ(a->nelements, 2); }},
      {"E=Si(0.5),Al(x*(1-y)) Wyckoff=a",
       [](const AtomRecord* a) {
         ASSERT_EQ(a->nelements, 2);
         EXPECT_STREQ(a->elements[0].occformula, "0.5");
         EXPECT_STREQ(a->elements[1].name, "Al");
         EXPECT_STREQ(a->elements[1].occformula, "x*(1-y)");
       }},
      {"E=O2- Wyckoff=a Eta=0.5 Ex=1 TDS=ANISO^0.02 ANISOLIMIT=0.7",
       [](const AtomRecord* a) {
         EXPECT_STREQ(a->elements[0].name, "O2-");
         EXPECT_STREQ(a->wyckoffname, "a");
         EXPECT_EQ(a->tdskind, TDS_ANISO);
         EXPECT_STREQ(a->limittext, "0.02");
         EXPECT_EQ(a->anisolimit, 0.7);
         ASSERT_EQ(a->nparams, 6);
         EXPECT_STREQ(a->params[0].statement, "E=O2-");
         EXPECT_EQ(a->params[0].skip, 1);
         EXPECT_EQ(a->params[1].skip, 1);  // Wyckoff=
         EXPECT_STREQ(a->params[2].statement, "Eta=0.5");
         EXPECT_EQ(a->params[2].skip, 0);
         EXPECT_STREQ(a->params[3].statement, "Ex=1");  // E, but not E= or E(
         EXPECT_EQ(a->params[3].skip, 0);
         EXPECT_EQ(a->params[4].skip, 1);
       }},
      {"E=Si Wyckoff=a TDS=ANISO",
       [](const AtomRecord* a) {
         EXPECT_EQ(a->tdskind, TDS_ANISO);
         EXPECT_EQ(a->limittext, nullptr);
         EXPECT_EQ(a->anisolimit, 0.4);  // the header's ANISOLIMIT
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    PhaseRecord* p = read(std::string("SpacegroupNo=227 ANISOLIMIT=0.4\n") + c.text);
    ASSERT_NE(p, nullptr);
    ASSERT_NE(p->atoms, nullptr);
    c.check(p->atoms);
    EXPECT_EQ(p->anisosetup, p->atoms->tdskind == TDS_ANISO ? 1 : 0);
    freephases();
    goalzahl = 0;
  }
}

// Items, comment marks, continued lines and the ends-line marks a writer uses
// to reproduce the file line by line.
TEST_F(StrucFile, ItemsAndLineEnds) {
  set("q=2.5");
  PhaseRecord* p = read(
      "// a comment line\n"
      "SpacegroupNo=227   A=f(1,\n"
      "2) // the rest is skipped B=9\n"
      "//x=1 GOAL=a+b=1.5+-0.1 GOAL=f(1+-2)\r\n"
      "\n"
      "   \n"
      "PARAM=A=5.43_5.4^5.5 PARAM=q GOAL:w=1\n"
      "E=Si Wyckoff=a\n"
      "x=1/8 PARAM=y=0.125 GOAL=x*2\n"
      "E=O Wyckoff=b");
  ASSERT_NE(p, nullptr);
  struct Expect {
    const char* statement;
    int skip, goaldef, endsline;
  };
  const std::vector<Expect> header = {{"SpacegroupNo=227", 1, 0, 0},
                                      {"A=f(1,2)", 0, 0, 1},
                                      {"//x=1", 0, 0, 0},
                                      {nullptr, 0, 0, 0},
                                      {nullptr, 0, 0, 1},
                                      {nullptr, 0, 0, 0},
                                      {nullptr, 0, 0, 0},
                                      {"w=1", 0, 1, 1}};
  ASSERT_EQ(p->nparams, static_cast<int>(header.size()));
  for (size_t i = 0; i < header.size(); ++i) {
    SCOPED_TRACE(i);
    const ParamRecord& r = p->params[i];
    if (header[i].statement != nullptr)
      EXPECT_STREQ(r.statement, header[i].statement);
    else
      EXPECT_EQ(r.statement, nullptr);
    EXPECT_EQ(r.skip, header[i].skip);
    EXPECT_EQ(r.goaldef, header[i].goaldef);
    EXPECT_EQ(r.endsline, header[i].endsline);
  }
  // The tab-free CR before the line feed belongs to the line end.
  EXPECT_STREQ(p->params[3].goal, "a+b");
  EXPECT_STREQ(p->params[3].second, "0.1");
  EXPECT_EQ(p->params[3].goalindex, 6);  // the phase took 0..5
  EXPECT_STREQ(p->params[4].goal, "f(1+-2)");
  EXPECT_EQ(p->params[4].second, nullptr);
  EXPECT_EQ(p->params[4].goalindex, 7);
  EXPECT_STREQ(p->params[5].name, "A");
  EXPECT_EQ(p->params[5].value, 5.43);
  EXPECT_STREQ(p->params[5].mintext, "5.4");
  EXPECT_STREQ(p->params[5].maxtext, "5.5");
  EXPECT_STREQ(p->params[6].name, "q");
  EXPECT_EQ(p->params[6].value, 2.5);
  EXPECT_EQ(p->params[6].mintext, nullptr);

  ASSERT_NE(p->atoms, nullptr);
  const AtomRecord* a = p->atoms;
  EXPECT_EQ(a->number, 1);
  ASSERT_EQ(a->nparams, 5);
  EXPECT_EQ(a->params[1].endsline, 1);  // Wyckoff=a ends its line
  EXPECT_STREQ(a->params[3].name, "y");
  EXPECT_EQ(a->params[3].value, 0.125);
  EXPECT_STREQ(a->params[4].goal, "x*2");
  EXPECT_EQ(a->params[4].goalindex, 8);
  EXPECT_EQ(a->params[4].endsline, 1);
  ASSERT_NE(a->next, nullptr);
  EXPECT_EQ(a->next->number, 2);
  EXPECT_EQ(a->next->params[1].endsline, 1);  // the last item of the file
  EXPECT_EQ(goalzahl, 9);
}

TEST_F(StrucFile, PhaseListAndDefaults) {
  set("RP=3");
  set("BondLevel=2.5");
  set("ANISOLIMIT=0.1");
  set("LIMIT6=0.25");
  file(1, "my phase.str", "SpacegroupNo=227\nE=Si Wyckoff=a");
  file(2, "second.v2.str", "HermannMauguin=P1 RP=4 BondLevel=1.9\n");
  int four = 4;
  SetIndexStrVar("STRUC", 1, &four, dir.file("never.str").c_str());  // STRUC[3] is missing
  tamrel::readphases();
  EXPECT_EQ(nphasen, 2);
  ASSERT_NE(phase1, nullptr);
  EXPECT_STREQ(phase1->name, "my_phase");
  EXPECT_EQ(phase1->number, 1);
  EXPECT_EQ(phase1->RP, 3);
  EXPECT_EQ(phase1->bondlevel, 3);
  EXPECT_EQ(phase1->sphar6.limit, 0.25);
  EXPECT_EQ(phase1->sphar6.limitgiven, 1);
  EXPECT_EQ(phase1->atoms->anisolimit, 0.1);
  EXPECT_EQ(phase1->goalindex, 0);
  ASSERT_NE(phase1->next, nullptr);
  EXPECT_STREQ(phase1->next->name, "second");
  EXPECT_EQ(phase1->next->number, 2);
  EXPECT_EQ(phase1->next->goalindex, 6);
  EXPECT_EQ(phase1->next->RP, 4);
  EXPECT_EQ(phase1->next->bondlevel, 1);
  EXPECT_EQ(phase1->next->next, nullptr);
  EXPECT_EQ(bufferfile, nullptr);
  EXPECT_EQ(backbuffer, nullptr);
}

// Each atom registers its penalty rows: one for its temperature factor (the
// workers' own slots are combined into it, so they get no row of their own
// and the rows do not depend on the number of threads), one per element, one
// for an overfilled site; with four workers an atom of two elements has four.
TEST_F(StrucFile, PenaltyRowsOfTheAtoms) {
  nthreads = 4;
  PhaseRecord* p = read("SpacegroupNo=227\nE=Si(0.5),Al Wyckoff=a\nE=O Wyckoff=b");
  ASSERT_NE(p, nullptr);
  const AtomRecord* si = p->atoms;
  const AtomRecord* o = si->next;
  // Newest first: the second atom's rows, then the first atom's.
  const std::vector<const double*> expected = {
      &o->overfill,  &o->elements[0].penalty,  &o->penalty,
      &si->overfill, &si->elements[1].penalty, &si->elements[0].penalty,
      &si->penalty};
  std::vector<const double*> rows;
  for (const PenaltyRow* r = straferst; r != nullptr; r = r->next) {
    EXPECT_EQ(r->kind, 0);
    rows.push_back(r->value);
  }
  EXPECT_EQ(istraf, 7);
  EXPECT_EQ(rows, expected);
}

TEST_F(StrucFile, NameWithoutExtensionOpensTheStrFile) {
  ktest::write_file(dir.file("quartz.str"), "SpacegroupNo=154\n");
  int one = 1;
  SetIndexStrVar("STRUC", 1, &one, dir.file("quartz").c_str());
  tamrel::readphases();
  ASSERT_EQ(nphasen, 1);
  EXPECT_STREQ(phase1->name, "quartz");
}

// Refused snippets: the message chain up to the outermost handler and the
// status of the run, in a child process. After the phase's message the file
// is named with the line and the item at fault (line 0: the file alone, for
// a header that lacks a key).
TEST_F(StrucFile, RefusedSnippets) {
  struct Case {
    const char* text;
    std::vector<std::string> messages;
    int status;
    int line;
    const char* item;
  };
  const std::string item192 = message(-192, "E(a,b)=Si");
  const std::vector<Case> cases = {
      {"SpacegroupNo=227 UNIT=nm", {message(-127, "UNIT=nm"), message(260, 1)}, 1, 1, "UNIT=nm"},
      {"A=5.431", {message(-18), message(260, 1)}, 1, 0, ""},
      {"SpacegroupNo=227 Lattice=cubic", {message(-242), message(260, 1)}, 1, 1, "Lattice=cubic"},
      {"SpacegroupNo=227\nRP=5 A=5.431", {message(-219, "p", 5), message(260, 1)}, 1, 2, "RP=5"},
      {"SpacegroupNo=227 RP=foo", {message(260, 1), "(E) "}, 1, 1, "RP=foo"},
      {"SpacegroupNo=227 GOAL==1", {message(-228), message(260, 1)}, 1, 1, "GOAL==1"},
      {"SpacegroupNo=227 GOAL=a=", {message(-229), message(260, 1)}, 1, 1, "GOAL=a="},
      {"SpacegroupNo=227 GOAL=a+-", {message(-230), message(260, 1)}, 1, 1, "GOAL=a+-"},
      {"SpacegroupNo=227 PARAM==1", {message(-231), message(260, 1)}, 1, 1, "PARAM==1"},
      {"SpacegroupNo=227 PARAM=a=", {message(-232), message(260, 1)}, 1, 1, "PARAM=a="},
      {"SpacegroupNo=227 PARAM=a=1_", {message(-233), message(260, 1)}, 1, 1, "PARAM=a=1_"},
      {"SpacegroupNo=227 PARAM=a=1^", {message(-234), message(260, 1)}, 1, 1, "PARAM=a=1^"},
      {"SpacegroupNo=227 PARAM=zz_0", {message(-235, "zz"), message(260, 1)}, 1, 1, "PARAM=zz_0"},
      // An atom without its position is named at the item that begins it.
      {"SpacegroupNo=227\nE=Si\nE=O Wyckoff=a",
       {message(-145), message(261, 1), message(260, 1)},
       1,
       2,
       "E=Si"},
      {"SpacegroupNo=227\nE=Si Wyckoff=a\nE=O",
       {message(-145), message(261, 2), message(260, 1)},
       1,
       3,
       "E=O"},
      {"SpacegroupNo=227\nE=Si Wyckoff=a E=",
       {message(-192, "E="), message(261, 2), message(260, 1)},
       1,
       2,
       "E="},
      {"SpacegroupNo=227\r\n// a comment line\r\n\r\nE=Si,,O Wyckoff=a",
       {message(-192, ""), message(261, 1), message(260, 1)},
       1,
       4,
       "E=Si,,O"},
      {"SpacegroupNo=227\nE=Xx Wyckoff=a",
       {message(34, "Xx"), message(-192, "Xx"), message(261, 1)},
       1,
       2,
       "E=Xx"},
      {"SpacegroupNo=227\nE=Abcdefgh Wyckoff=a",
       {message(-3, "Abcdefgh"), message(261, 1)},
       1,
       2,
       "E=Abcdefgh"},
      {"SpacegroupNo=227\nE=Si(0.5)x Wyckoff=a",
       {message(-192, "E=Si(0.5)x"), message(261, 1)},
       1,
       2,
       "E=Si(0.5)x"},
      {"SpacegroupNo=227\nE=(Si(1,2)) Wyckoff=a",
       {message(-192, "E=(Si(1,2))"), message(261, 1)},
       1,
       2,
       "E=(Si(1,2))"},
      {"SpacegroupNo=227\nE=(Si,O Wyckoff=a",
       {message(-192, "E=(Si,O"), message(261, 1)},
       1,
       2,
       "E=(Si,O"},
      {"SpacegroupNo=227\nE(a=Si Wyckoff=a",
       {message(-192, "E(a=Si"), message(261, 1), message(260, 1)},
       1,
       2,
       "E(a=Si"},
      {"SpacegroupNo=227\nE(a)Si Wyckoff=a",
       {message(-192, "E(a)Si"), message(261, 1)},
       1,
       2,
       "E(a)Si"},
      {"SpacegroupNo=227\nE(a,b)=Si Wyckoff=a", {item192}, 192, -1, ""},
      {"SpacegroupNo=227\nE=Si Wyckoff=a\n  PARAM=",
       {message(-231), message(261, 1), message(260, 1)},
       1,
       3,
       "PARAM="},
  };
  const std::string path = dir.file("p.str");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    file(1, "p.str", c.text);
    ktest::RunResult r = ktest::run_in_child([] { tamrel::readphases(); });
    EXPECT_EQ(r.status, c.status);
    // The place stands before the store's own errors, which the outermost
    // handler prints last.
    std::vector<std::string> messages = c.messages;
    auto at = messages.end();
    if (!messages.empty() && messages.back() == "(E) ") --at;
    if (c.line > 0) messages.insert(at, message(365, path.c_str(), c.line, c.item));
    if (c.line == 0) messages.insert(at, message(366, path.c_str()));
    EXPECT_TRUE(inorder(r.out, messages)) << r.out;
    if (c.status == 192) {
      EXPECT_EQ(r.out.find(message(261, 1)), std::string::npos);
    }
  }
}

TEST_F(StrucFile, ErrorInTheThirdAtomOfTheSecondPhase) {
  file(1, "a.str", "SpacegroupNo=227\nE=Si Wyckoff=a");
  file(2, "b.str", "SpacegroupNo=227\nE=Si Wyckoff=a\nE=O Wyckoff=b\nE=Zz Wyckoff=c");
  ktest::RunResult r = ktest::run_in_child([] { tamrel::readphases(); });
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(inorder(r.out, {message(-192, "Zz"), message(261, 3), message(260, 2)}));
}

TEST_F(StrucFile, MissingFileAndOverlongItem) {
  int one = 1;
  SetIndexStrVar("STRUC", 1, &one, dir.file("nothere.str").c_str());
  ktest::RunResult r = ktest::run_in_child([] { tamrel::readphases(); });
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(inorder(
      r.out, {message(-227), message(260, 1), message(366, dir.file("nothere.str").c_str())}));

  file(1, "long.str", "SpacegroupNo=227 x=" + std::string(8000, '1'));
  r = ktest::run_in_child([] { tamrel::readphases(); });
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(inorder(r.out, {message(260, 1), "(E) GetItem"}));
}

}  // namespace
