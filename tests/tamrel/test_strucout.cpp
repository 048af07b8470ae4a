// The refined and the simplified structure file: record texts with refined
// values, bounds, goals and their accuracy parts; the line layout of the
// structure file kept and long runs folded; the refined file read again by
// the structure-file reader gives the same records; a failure while writing
// leaves a structure file named as its own output untouched; the simplified
// file's structure factors and per-set line quantities.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/velmora.hpp"
#include "crystal_harness.hpp"
#include "structure_files.hpp"
#include "tamrel.hpp"
#include "tamrel_strucout.hpp"
#include "tamrelrun.hpp"

namespace {

using namespace core;
using namespace crystal;
using ktest::message;
using model::nphasen;

class StrucOut : public trun::StructureFiles {
 protected:
  void TearDown() override {
    reset();
    StructureFiles::TearDown();
  }
  void reset() {
    freestructures();
    std::free(goalwert);
    goalwert = nullptr;
  }
  // Reads the structure file at path as STRUC[1]; goal values for every goal.
  PhaseRecord* read(const std::string& path) {
    int one = 1;
    SetIndexStrVar("STRUC", 1, &one, path.c_str());
    tamrel::readphases();
    goalwert = static_cast<double*>(std::calloc(static_cast<size_t>(goalzahl) + 1, sizeof(double)));
    return phase1;
  }
  PhaseRecord* readtext(const std::string& text) {
    ktest::write_file(dir.file("in.str"), text);
    return read(dir.file("in.str"));
  }
  std::string refined(const PhaseRecord* p) {
    EXPECT_TRUE(tamrel::writerefined(p, dir.file("out").c_str()));
    return ktest::read_file(dir.file("out.str"));
  }
};

ParamRecord* named(ParamRecord* params, int n, const char* name) {
  for (int i = 0; i < n; ++i)
    if (params[i].name != nullptr && std::strcmp(params[i].name, name) == 0) return params + i;
  return nullptr;
}
ParamRecord* goalrecord(ParamRecord* params, int n, const char* goal) {
  for (int i = 0; i < n; ++i)
    if (params[i].goal != nullptr && std::strcmp(params[i].goal, goal) == 0) return params + i;
  return nullptr;
}

const char* const kRutile =
    "// rutile\n"
    "PHASE=Rutile SpacegroupNo=136 HermannMauguin=P42/mnm RP=4\n"
    "PARAM=A=0.459_0.45^0.47 PARAM=C=0.2959_0.29^0.30 PARAM=free=1\n"
    "PARAM=half=0.2_h/2 h=0.4\n"
    "GOAL=A+C=1.5+-0.1 GOAL=A*2 GOAL:ab=A*C\n"
    "E=Ti Wyckoff=a TDS=0.005\n"
    "E=O Wyckoff=f PARAM=x=0.3 GOAL=x*2 GOAL=x+1+-0.01\n";

// Refined values in place of the start values, values on a bound written as
// the bound's text, goals with their final values and accuracy parts, every
// line of the input again.
TEST_F(StrucOut, RefinedRecordsKeepTheFileLayout) {
  PhaseRecord* p = readtext(kRutile);
  ASSERT_NE(p, nullptr);
  // What the refinement and the list file leave in the records.
  auto refine = [](PhaseRecord* ph) {
    ParamRecord* hp = ph->params;
    const int hn = ph->nparams;
    named(hp, hn, "A")->value = 0.45937;
    named(hp, hn, "A")->errorstate = 1;
    named(hp, hn, "C")->value = 0.29;  // at its minimum, without error
    named(hp, hn, "free")->value = 2.5;
    named(hp, hn, "free")->errorstate = 0;
    named(hp, hn, "half")->value = 0.2;  // the text h/2 evaluates to it
    ParamRecord* g1 = goalrecord(hp, hn, "A+C");
    g1->errorstate = 1;
    g1->decimals = 3;
    goalwert[g1->goalindex] = 1.52347;
    goalrecord(hp, hn, "A*2")->errorstate = 2;
    AtomRecord* o = ph->atoms->next;
    named(o->params, o->nparams, "x")->value = 0.30479;
    ParamRecord* g3 = goalrecord(o->params, o->nparams, "x+1");
    g3->errorestimate = 0.002;
    g3->decimals = 4;
    goalwert[g3->goalindex] = 1.30479;
  };
  refine(p);
  ergibt("h==0.4");
  EXPECT_EQ(refined(p),
            "PHASE=Rutile SpacegroupNo=136 HermannMauguin=P42/mnm RP=4\n"
            "PARAM=A=4.59370000000000E-01_0.45^0.47 PARAM=C=0.29_0.29^0.30\n"
            "PARAM=free=2.50000000000000E+00\n"
            "PARAM=half=h/2_h/2 h=0.4\n"
            "GOAL=A+C=1.523 GOAL=A*2=UNDEF GOAL:ab=A*C\n"
            "E=Ti Wyckoff=a TDS=0.005\n"
            "E=O Wyckoff=f PARAM=x=3.04790000000000E-01 GOAL=x*2 GOAL=x+1=1.3048\n");

  // The refined file read again gives the same records but the goals'
  // second formulas, the values as written (only the line ends moved where longer numbers folded a
  // line); written again it is the same file.
  const std::string first = refined(p);
  struct Rec {
    std::string name, statement, mintext, maxtext, goal, second;
    int skip, goaldef, endsline;
  };
  auto text = [](const char* t) { return std::string(t != nullptr ? t : "(none)"); };
  auto records = [&](const PhaseRecord* ph) {
    std::vector<Rec> out;
    auto add = [&](const ParamRecord* r, int n) {
      for (int i = 0; i < n; ++i)
        out.push_back({text(r[i].name), text(r[i].statement), text(r[i].mintext),
                       text(r[i].maxtext), text(r[i].goal), text(r[i].second), r[i].skip,
                       r[i].goaldef, r[i].endsline});
    };
    add(ph->params, ph->nparams);
    for (const AtomRecord* at = ph->atoms; at != nullptr; at = at->next)
      add(at->params, at->nparams);
    return out;
  };
  const std::vector<Rec> before = records(p);
  const std::vector<double> values = {0.45937, 0.29, 2.5, 0.2, 0.30479};
  reset();
  PhaseRecord* again = read(dir.file("out.str"));
  ASSERT_NE(again, nullptr);
  const std::vector<Rec> after = records(again);
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < before.size(); ++i) {
    const Rec &b = before[i], &a = after[i];
    EXPECT_EQ(a.name, b.name) << i;
    EXPECT_EQ(a.statement, b.statement) << i;
    EXPECT_EQ(a.mintext, b.mintext) << i;
    EXPECT_EQ(a.maxtext, b.maxtext) << i;
    EXPECT_EQ(a.goal, b.goal) << i;
    // A goal's second formula ("+-" part) is not written.
    EXPECT_EQ(a.second, "(none)") << i;
    EXPECT_EQ(a.skip, b.skip) << i;
    EXPECT_EQ(a.goaldef, b.goaldef) << i;
  }
  std::vector<double> got;
  for (int i = 0; i < again->nparams; ++i)
    if (again->params[i].name != nullptr) got.push_back(again->params[i].value);
  for (const AtomRecord* at = again->atoms; at != nullptr; at = at->next)
    for (int i = 0; i < at->nparams; ++i)
      if (at->params[i].name != nullptr) got.push_back(at->params[i].value);
  ASSERT_EQ(got.size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) EXPECT_NEAR(got[i], values[i], 1e-15) << i;
  EXPECT_STREQ(again->name, "Rutile");
  refine(again);
  EXPECT_EQ(refined(again), first);
  EXPECT_EQ(again->atoms->next->nelements, 1);
}

// Items run together on one line are folded where the line would pass 78
// characters (77 among the atoms); the blank in front of an item is not
// counted.
TEST_F(StrucOut, LongLinesAreFolded) {
  const std::string a(40, 'a'), b(37, 'b'), c(36, 'c');
  // 40 + 37 = 77 fits the header; 40 + 38 = 78 fits, 79 does not.
  const std::string text = "SpacegroupNo=225 x" + a.substr(1) + "=1 y" + b.substr(1) +
                           "=1 z1=1\n"
                           "E=Cu Wyckoff=a u" +
                           c.substr(1) + "=1 v" + b.substr(1) + "=1 w" + c.substr(1) + "=1\n";
  PhaseRecord* p = readtext(text);
  ASSERT_NE(p, nullptr);
  const std::string out = refined(p);
  const std::string x = "x" + a.substr(1) + "=1", y = "y" + b.substr(1) + "=1";
  const std::string u = "u" + c.substr(1) + "=1", v = "v" + b.substr(1) + "=1",
                    w = "w" + c.substr(1) + "=1";
  // Header: "SpacegroupNo=225" (16) + x (42) = 58; + y (39) = 97 > 78: folded;
  // y + z1=1 (4) = 43. Atom: "E=Cu Wyckoff=a" = 14 + u (38) = 53; + v = 92:
  // folded; v (39) + w (38) = 77: kept.
  EXPECT_EQ(out, "SpacegroupNo=225 " + x + "\n" + y + " z1=1\n" + "E=Cu Wyckoff=a " + u + "\n" + v +
                     " " + w + "\n");
}

// A failure while the file is written (a bound that cannot be evaluated)
// leaves the structure file that was to be replaced as it was, with the
// atom's and the phase's messages and the name of the phase's file; an
// undefined key writes nothing.
TEST_F(StrucOut, FailedWriteLeavesTheFileUntouched) {
  const std::string path = dir.file("in.str");
  const std::string original =
      "SpacegroupNo=225 A=0.36\nE=Cu Wyckoff=a PARAM=b=0.005_lower TDS=b\n";
  ktest::write_file(path, original);
  ergibt("lower==0");
  PhaseRecord* p = read(path);
  ASSERT_NE(p, nullptr);
  named(p->atoms->params, p->atoms->nparams, "b")->value = 0.004;
  ergibt("lower=");
  int one = 1;
  SetIndexStrVar("STRUCOUT", 1, &one, path.c_str());
  testing::internal::CaptureStdout();
  const bool ok = dataerr_try([] { tamrel::writestructurefiles(0); });
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(ok);
  EXPECT_EQ(out, message(261, 1) + message(260, 1) + message(366, path.c_str()));
  EXPECT_EQ(ktest::read_file(path), original);
  ClearErr();

  // Data set 2 has keys of its own: none here, so nothing is written.
  testing::internal::CaptureStdout();
  EXPECT_TRUE(dataerr_try([] { tamrel::writestructurefiles(2); }));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  // A directory that does not exist: warning 232, the run goes on.
  DelIndexVar("STRUCOUT", 1, &one);
  const int idx[2] = {2, 1};
  SetIndexStrVar("STRUCOUT", 2, idx, dir.file("missing/out").c_str());
  ergibt("lower==0");
  testing::internal::CaptureStdout();
  EXPECT_TRUE(dataerr_try([] { tamrel::writestructurefiles(2); }));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), message(232));
}

// The simplified file: the header, the density, the structure factors of
// every reflection (with the opposite indices for a second F-record, and the
// |F| that a freely refined intensity stands for), and per set either one
// value of a line quantity or a table per reflection.
class Simplified : public StrucOut {
 protected:
  PhaseRecord* p = nullptr;
  void build(int rp, int sets) {
    p = readtext("SpacegroupNo=221 A=0.4 RefMult=" + std::to_string(sets) +
                 " RP=" + std::to_string(rp) + "\nE=Cu Wyckoff=a\n");
    ASSERT_NE(p, nullptr);
    p->density = 8.9321;
    p->my = 475.25;
    p->volume2 = 0.064 * 0.064;
    p->probes = static_cast<LineProbe*>(std::calloc(static_cast<size_t>(sets), sizeof(LineProbe)));
    p->nprobes = sets;
  }
  // A reflection of set s (0-based) with |F|, and optionally a second
  // F-record.
  ReflectionRecord* reflection(int s, int h, int k, int l, double F, bool second) {
    auto* r = newreflection((h * h + k * k + l * l) / 0.16, s);
    r->fr1 = newfrecord(F, 0);
    r->fr1->hkl = static_cast<int32_t(*)[3]>(std::calloc(1, sizeof(int32_t[3])));
    r->fr1->hkl[0][0] = h;
    r->fr1->hkl[0][1] = k;
    r->fr1->hkl[0][2] = l;
    r->fr1->nequiv = 6;
    r->fr1->gewicht = 1;
    if (second) {
      r->fr2 = newfrecord(F, 0);
      r->fr2->nequiv = 6;
      r->fr2->gewicht = 1;
      r->count = 2;
    }
    p->refl = static_cast<ReflectionRecord**>(
        // An array of pointers to the reflections.
        // NOLINTNEXTLINE(bugprone-sizeof-expression)
        std::realloc(p->refl, sizeof(ReflectionRecord*) * static_cast<size_t>(p->nrefl + 1)));
    p->refl[p->nrefl++] = r;
    return r;
  }
  std::string write() {
    testing::internal::CaptureStdout();
    EXPECT_TRUE(tamrel::writesimplified(p, dir.file("simple").c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    return ktest::read_file(dir.file("simple.str"));
  }
};

const char* const kHead =
    "FMult=1 density=8.9321 my=475.250000\n"
    "F=ifthenelse(ifdef(F[iref,h,k,l]),F[iref,h,k,l],0)\n";
const char* const kComment = "// You may want to remove parts or all of the below lines\n";

TEST_F(Simplified, StructureFactorsAndOneValuePerSet) {
  build(4, 2);
  ReflectionRecord* a = reflection(0, 1, 0, 0, 12.34567, false);
  ReflectionRecord* b = reflection(0, 1, 1, 0, 23.5, true);
  ReflectionRecord* c = reflection(1, 2, 0, 0, 7.25, false);
  for (ReflectionRecord* r : {a, b, c})
    for (FRecord* f : {r->fr1, r->fr2})
      if (f != nullptr) {
        f->B1 = 0.0123456;
        f->DELTAsk = -0.00125;
        f->k1 = 1.3;
        f->k3 = -0.000123456;
      }
  // Set 1 gives B1, DELTAsk, k1 and k3; set 2 gives B2 (so no k1..k3) and B1.
  p->probes[0].found[FOUND_B1] = 1;
  p->probes[0].found[FOUND_DELTASK_IREF] = 1;
  p->probes[0].found[FOUND_K1] = 1;
  p->probes[0].found[FOUND_K3] = 1;
  p->probes[1].found[FOUND_B1_IREF] = 1;
  p->probes[1].found[FOUND_B2] = 1;
  p->probes[1].found[FOUND_K1] = 1;
  c->fr1->B2 = -0.5;
  EXPECT_EQ(write(), std::string("SpacegroupNo=221 A=0.4 RefMult=2 RP=4\n") + kHead +
                         "F[1,1,0,0]=12.3457\n"
                         "F[1,1,1,0]=23.5000\n"
                         "F[1,-1,-1,0]=23.5000\n"
                         "F[2,2,0,0]=7.2500\n" +
                         kComment +
                         "DELTAsk[1]=-0.00125000\n"
                         "B1[1]=0.012346\n"
                         "B1[2]=0.012346\n"
                         "k1[1]=1\n"
                         "k3[1]=-0.00012346\n"
                         "B2[2]=0\n");

  // RP 2: the shifts alone; RP 3 adds B1.
  p->RP = 2;
  EXPECT_EQ(write().substr(write().find(kComment) + std::strlen(kComment)),
            "DELTAsk[1]=-0.00125000\n");
  p->RP = 3;
  EXPECT_EQ(write().substr(write().find(kComment) + std::strlen(kComment)),
            "DELTAsk[1]=-0.00125000\nB1[1]=0.012346\nB1[2]=0.012346\n");
}

// Values of a set that differ in the eighth digit: the set gets a choice line
// and one line per reflection and F-record; below DBL_MIN values are equal.
TEST_F(Simplified, DifferingValuesGiveATablePerReflection) {
  build(3, 1);
  ReflectionRecord* a = reflection(0, 1, 0, 0, 10, true);
  ReflectionRecord* b = reflection(0, 1, 1, 1, 20, false);
  a->fr1->B1 = 0.0123456;
  a->fr2->B1 = 0.0123457;
  b->fr1->B1 = -1;
  a->fr1->DELTAzweiTheta = a->fr2->DELTAzweiTheta = b->fr1->DELTAzweiTheta = 1e-310;
  p->probes[0].found[FOUND_B1] = 1;
  p->probes[0].found[FOUND_DELTAZWEITHETA] = 1;
  const std::string out = write();
  EXPECT_EQ(out.substr(out.find(kComment) + std::strlen(kComment)),
            "DELTAzweiTheta[1]=0.00000\n"
            "B1[1]=ifthenelse(ifdef(B10[h,k,l]),B10[h,k,l],0)\n"
            "B10[1,0,0]=0.012346\n"
            "B10[-1,0,0]=0.012346\n"
            "B10[1,1,1]=0\n");
}

// Freely refined intensities: the |F| they stand for; with every set so, the
// texture weight is fixed at 0. An empty reflection list writes the frame.
TEST_F(Simplified, FreelyRefinedIntensities) {
  build(2, 1);
  p->lebail[0] = 1;
  ReflectionRecord* a = reflection(0, 1, 1, 0, 0, true);
  a->intensity = 3.5;
  a->fr1->gewicht = 0.8;
  a->fr2->gewicht = 1.2;
  const double F =
      std::sqrt(3.5 * p->volume2 * a->sk * p->density / (0.079577472 * (6 * 0.8 + 6 * 1.2)));
  char line[80];
  std::snprintf(line, sizeof line, "F[1,1,1,0]=%.4f\nF[1,-1,-1,0]=%.4f\n", F, F);
  EXPECT_EQ(write(), std::string("SpacegroupNo=221 A=0.4 RefMult=1 RP=2\n") +
                         "FMult=1 density=8.9321 my=475.250000\n"
                         "PARAM=GEWICHT=0_0\n\n"
                         "F=ifthenelse(ifdef(F[iref,h,k,l]),F[iref,h,k,l],0)\n" +
                         line + kComment);

  // Without a texture weight or without a density the file stays empty.
  a->fr2->gewicht = 0;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(tamrel::writesimplified(p, dir.file("simple").c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), message(65));
  EXPECT_EQ(ktest::read_file(dir.file("simple.str")), "");
  p->lebail[0] = 0;
  p->density = 0;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(tamrel::writesimplified(p, dir.file("simple").c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), message(66));
  EXPECT_EQ(ktest::read_file(dir.file("simple.str")), "");

  reset();
  build(2, 1);
  EXPECT_EQ(write(), std::string("SpacegroupNo=221 A=0.4 RefMult=1 RP=2\n") +
                         "FMult=1 density=8.9321 my=475.250000\n"
                         "PARAM=GEWICHT=0_0\n\n"
                         "F=ifthenelse(ifdef(F[iref,h,k,l]),F[iref,h,k,l],0)\n" +
                         kComment);
}

}  // namespace
