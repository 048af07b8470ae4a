// The instruction (.res) and coordinate (.pdb) files of refined phases: the
// files of four structures as committed (tests/data/export), and what an
// independent library (gemmi) read from them (tests/data/export_reference.txt,
// made once by tools/reference/exports_gemmi.py) against the phases' own
// records: the cell, the full symmetry of the group from SYMM and LATT, the
// fractional coordinates that SCALE and ATOM give for every site, and the
// equivalent B of the displacement tensors. Besides: the cell uncertainties,
// the keys of the data sets and the warnings.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "crystal_harness.hpp"
#include "model/lam.hpp"
#include "structure_files.hpp"
#include "tamrel.hpp"
#include "tamrel_export.hpp"
#include "tamrelrun.hpp"

namespace {

using namespace core;
using namespace crystal;
using ktest::message;
using model::nphasen;

struct Structure {
  const char* name;
  const char* text;
  double aniso[6];  // anisotropy parameters of the first atom (TDS=ANISO), or zeros
};

// Rutile with an anisotropic Ti on a special position (angstrom); corundum in
// hexagonal axes (R centring); disordered Cu3Au (F centring, two species on
// one site); a triclinic cell with a free occupancy and a coordinate outside
// the cell that packing folds in.
const Structure kStructures[] = {
    {"rutile",
     "PHASE=rutile SpacegroupNo=136 HermannMauguin=P42/mnm UNIT=ANGSTROEM\n"
     "A=4.5937 C=2.9587\n"
     "E=Ti Wyckoff=a TDS=ANISO\n"
     "E=O Wyckoff=f x=0.30479 TDS=0.6\n",
     {0.004, 0.003, 0.002, 0.3, -0.2, 0.1}},
    {"corundum",
     "PHASE=corundum HermannMauguin=R-3c SpacegroupNo=167\n"
     "A=0.47589 C=1.2991 GAMMA=120\n"
     "E=Al Wyckoff=c z=0.35216 TDS=0.003\n"
     "E=O Wyckoff=e x=0.30624 TDS=0.004\n",
     {0, 0, 0, 0, 0, 0}},
    {"cu3au",
     "PHASE=Cu3Au HermannMauguin=Fm-3m\n"
     "A=0.3749\n"
     "E=Cu,Au(0.25) Wyckoff=a TDS=0.007\n",
     {0, 0, 0, 0, 0, 0}},
    {"triclinic",
     "PHASE=tric HermannMauguin=P-1 Pack=Y\n"
     "A=0.52 B=0.61 C=0.73 ALPHA=81.5 BETA=96 GAMMA=103.25\n"
     "E=Fe(0.5) Wyckoff=i x=-0.25 y=0.1 z=0.3 TDS=ANISO\n"
     "E=O Wyckoff=i x=0.4 y=-0.35 z=0.05 TDS=0.01\n",
     {0.006, 0.005, 0.004, 0.2, 0.1, -0.3}},
};

class Export : public trun::StructureFiles {
 protected:
  void SetUp() override {
    StructureFiles::SetUp();
    model::l0 = 1 / 0.154056;
  }
  void TearDown() override {
    StructureFiles::TearDown();
    durchlauf = 0;
  }
  // The phases of structure files STRUC[1], STRUC[2], ..., set up by the
  // structure model as at the end of a refinement (stage 2: anisotropic
  // sites).
  std::vector<PhaseRecord*> phases(const std::vector<const Structure*>& list) {
    int number = 1;
    for (const Structure* s : list) file(number++, std::string(s->name) + ".str", s->text);
    tamrel::readphases();
    std::vector<PhaseRecord*> out;
    size_t i = 0;
    for (PhaseRecord* p = phase1; p != nullptr; p = p->next, ++i) {
      std::memcpy(p->atoms->anisoparam, list[i]->aniso, sizeof list[i]->aniso);
      phasei = p;
      durchlauf = 2;
      testing::internal::CaptureStdout();
      EXPECT_TRUE(dataerr_try([] { xyzinit(); })) << list[i]->name;
      testing::internal::GetCapturedStdout();
      out.push_back(p);
    }
    return out;
  }
  PhaseRecord* phase(const Structure& s) { return phases({&s})[0]; }
};

std::string fixture(const std::string& name) {
  return ktest::read_file(std::string(KALVO_TEST_DATA) + "/export/" + name);
}

// The general operators with every centring translation, as x,y,z triplets
// of the group's own records, translations reduced to 0..1.
std::vector<std::string> fullgroup(const PhaseRecord* p) {
  std::vector<std::string> out;
  const WyckoffRecord* g = p->group->general;
  for (int c = 0; c < p->ncentring; ++c)
    for (int r = 0; r < g->count; ++r) {
      std::string t;
      for (int i = 0; i < 3; ++i) {
        const SymOperator& op = g->op[r];
        int tr = (op.trans[i] + p->icentring[c][i]) % SYM_DENOM;
        if (tr < 0) tr += SYM_DENOM;
        char part[64];
        std::snprintf(part, sizeof part, "%d %d %d %d/%d", op.rot[i][0], op.rot[i][1], op.rot[i][2],
                      tr, SYM_DENOM);
        t += std::string(i > 0 ? ";" : "") + part;
      }
      out.push_back(t);
    }
  std::sort(out.begin(), out.end());
  return out;
}

// What gemmi read from the committed files: per structure, lines
// "cell a b c alpha beta gamma" (from CRYST1), "rescell ..." (from CELL),
// "group <number> <symbol>", "op <rows>" for every operation, "atom <label> x
// y z occupancy B" from the coordinate file, "ueq <label> <8 pi^2 Ueq>" from
// the instruction file.
struct Reference {
  std::array<double, 6> cell{}, rescell{};
  int groupnumber = 0;
  std::vector<std::string> ops;
  struct Atom {
    std::string label;
    double x, y, z, occ, B;
  };
  std::vector<Atom> atoms;
  std::map<std::string, double> beq;
};

std::map<std::string, Reference> readreference() {
  std::ifstream in(std::string(KALVO_TEST_DATA) + "/export_reference.txt");
  std::map<std::string, Reference> out;
  std::string line;
  Reference* cur = nullptr;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '%') continue;
    std::istringstream is(line);
    std::string key;
    is >> key;
    if (key == "structure") {
      std::string name;
      is >> name;
      cur = &out[name];
    } else if (key == "cell") {
      for (double& v : cur->cell) is >> v;
    } else if (key == "rescell") {
      for (double& v : cur->rescell) is >> v;
    } else if (key == "group") {
      is >> cur->groupnumber;
    } else if (key == "op") {
      std::string rest;
      std::getline(is, rest);
      cur->ops.push_back(rest.substr(1));
    } else if (key == "atom") {
      Reference::Atom a;
      is >> a.label >> a.x >> a.y >> a.z >> a.occ >> a.B;
      cur->atoms.push_back(a);
    } else if (key == "beq") {
      std::string label;
      double b;
      is >> label >> b;
      cur->beq[label] = b;
    }
  }
  return out;
}

// Distance of two fractional positions modulo lattice translations, in nm.
double apart(const PhaseRecord* p, double dx, double dy, double dz) {
  dx -= std::rint(dx);
  dy -= std::rint(dy);
  dz -= std::rint(dz);
  const double* g = p->metric;
  return std::sqrt(g[0] * dx * dx + g[1] * dy * dy + g[2] * dz * dz +
                   2 * (g[3] * dx * dy + g[4] * dx * dz + g[5] * dy * dz));
}

TEST_F(Export, FilesReadBackByAnIndependentLibrary) {
  const std::map<std::string, Reference> reference = readreference();
  const char* keep = std::getenv("KTEST_KEEP_EXPORTS");
  for (const Structure& s : kStructures) {
    // Each structure's statements in a scope of its own, as in a run.
    newDATAlist();
    PhaseRecord* p = phase(s);
    ASSERT_NE(p, nullptr);
    const std::string res = dir.file(std::string(s.name) + ".res");
    const std::string pdb = dir.file(std::string(s.name) + ".pdb");
    ASSERT_TRUE(tamrel::writeinstruction(p, dir.file(s.name).c_str(), {}));
    ASSERT_TRUE(tamrel::writecoordinates(p, dir.file(s.name).c_str()));
    if (keep != nullptr) {
      ktest::write_file(std::string(keep) + "/" + s.name + ".res", ktest::read_file(res));
      ktest::write_file(std::string(keep) + "/" + s.name + ".pdb", ktest::read_file(pdb));
    }
    EXPECT_EQ(ktest::read_file(res), fixture(std::string(s.name) + ".res")) << s.name;
    EXPECT_EQ(ktest::read_file(pdb), fixture(std::string(s.name) + ".pdb")) << s.name;

    if (reference.count(s.name) != 1) {
      ADD_FAILURE() << "no reference values of " << s.name;
      freephases();
      goalzahl = 0;
      DelAll();
      freeDATAlist();
      continue;
    }
    const Reference& ref = reference.at(s.name);
    const double cell[6] = {10 * p->a, 10 * p->b, 10 * p->c, p->alpha, p->beta, p->gamma};
    for (int i = 0; i < 6; ++i) {
      EXPECT_NEAR(ref.cell[static_cast<size_t>(i)], cell[i], 1e-3) << s.name << " " << i;
      EXPECT_NEAR(ref.rescell[static_cast<size_t>(i)], cell[i], 1e-3) << s.name << " " << i;
    }
    // SYMM and LATT give the whole group, centring included.
    EXPECT_EQ(ref.ops, fullgroup(p)) << s.name;
    const char* number = std::strstr(p->group->header, "SpacegroupNo=");
    ASSERT_NE(number, nullptr) << s.name;
    EXPECT_EQ(ref.groupnumber, std::atoi(number + 13)) << s.name;

    // The ATOM records, through SCALE, are the sites of the atoms, every site
    // with every centring translation once, with the occupancy of its species
    // and the B of the model.
    std::vector<char> met(ref.atoms.size());
    size_t sites = 0;
    for (const AtomRecord* at = p->atoms; at != nullptr; at = at->next)
      for (int c = 0; c < p->ncentring; ++c)
        for (int j = 0; j < at->wyckoff->count; ++j)
          for (int e = 0; e < at->nelements; ++e, ++sites) {
            const SiteRecord& site = at->sites[j];
            const ElementRecord& el = at->elements[e];
            size_t found = ref.atoms.size();
            for (size_t k = 0; k < ref.atoms.size() && found == ref.atoms.size(); ++k) {
              const Reference::Atom& r = ref.atoms[k];
              if (!met[k] && r.label == el.label &&
                  apart(p, r.x - site.x[c], r.y - site.y[c], r.z - site.z[c]) < 2e-4)
                found = k;
            }
            ASSERT_LT(found, ref.atoms.size())
                << s.name << " " << el.label << " site " << j << " centring " << c;
            met[found] = 1;
            const Reference::Atom& r = ref.atoms[found];
            if (p->pack) {
              for (double v : {r.x, r.y, r.z}) {
                EXPECT_GE(v, -1e-4) << s.name;
                EXPECT_LT(v, 1 + 1e-4) << s.name;
              }
            }
            EXPECT_NEAR(r.occ, el.occupancy, 0.006) << s.name;
            if (at->tdskind != TDS_ANISO) {
              EXPECT_NEAR(r.B, 100 * at->B, 0.006) << s.name;
            }
          }
    EXPECT_EQ(sites, ref.atoms.size()) << s.name;
    // The U of the instruction file, turned into an equivalent B by gemmi,
    // is the B of the coordinate file (isotropic atoms: 8 pi^2 U = B).
    for (const Reference::Atom& r : ref.atoms) {
      auto found = ref.beq.find(r.label);
      ASSERT_NE(found, ref.beq.end()) << s.name << " " << r.label;
      EXPECT_NEAR(found->second, r.B, 0.006 + 1e-4 * r.B) << s.name << " " << r.label;
    }
    freephases();
    goalzahl = 0;
    DelAll();
    freeDATAlist();
  }
}

// Details of the layout: the cell edges' decimals, Z with the centring, LATT
// by centring letter, the site occupation factors, UNIT contents, an empty
// phase; the uncertainties of the cell from the covariance of the goals.
TEST_F(Export, InstructionFileDetails) {
  PhaseRecord* p = phase(kStructures[2]);  // Cu3Au, F centring
  const std::string res = dir.file("x.res");
  ASSERT_TRUE(tamrel::writeinstruction(p, dir.file("x").c_str(), {}));
  const std::string text = ktest::read_file(res);
  EXPECT_NE(text.find("\nCELL 1.54056 3.74900 3.74900 3.74900  90.000  90.000  90.000\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\nZERR    4.00 0.00000 0.00000 0.00000   0.000   0.000   0.000\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\nLATT -4\n"), std::string::npos);
  EXPECT_NE(text.find("\nSFAC Cu Au\nUNIT 3 1\n"), std::string::npos) << text;
  // Cu takes the rest (free: +10), Au its formula; 4a has 1 of 48 general sites.
  EXPECT_NE(text.find("\nCu1     1   0.00000   0.00000   0.00000  10.01562"), std::string::npos)
      << text;
  EXPECT_NE(text.find("\nAu1     2   0.00000   0.00000   0.00000   0.00521"), std::string::npos)
      << text;

  // Uncertainties: sqrt(a^T C a) of the six cell goals, without the error
  // scale factor; edges in angstrom.
  const int n = 2;
  rqmin = n;
  std::vector<double*> rows(static_cast<size_t>(goalzahl));
  std::vector<std::array<double, 2>> store(static_cast<size_t>(goalzahl), {0, 0});
  for (int k = 0; k < goalzahl; ++k)
    rows[static_cast<size_t>(k)] = store[static_cast<size_t>(k)].data();
  store[static_cast<size_t>(p->goalindex)] = {1, 0};      // A
  store[static_cast<size_t>(p->goalindex + 3)] = {0, 2};  // ALPHA
  a = rows.data();
  const double C[3] = {4e-8, 0, 2.5e-5};  // packed 2 x 2
  ASSERT_TRUE(tamrel::writeinstruction(p, dir.file("x").c_str(), {C}));
  a = nullptr;
  rqmin = 0;
  const std::string zerr = ktest::read_file(res);
  // sigma(A) = sqrt(4e-8) nm = 0.002 angstrom; sigma(ALPHA) = 2 * 0.005.
  EXPECT_NE(zerr.find("\nZERR    4.00 0.00200 0.00000 0.00000   0.010   0.000   0.000\n"),
            std::string::npos)
      << zerr;
}

// Keys per data set, files that cannot be written, and the phases without a
// key.
TEST_F(Export, KeysAndWarnings) {
  phases({&kStructures[2], &kStructures[0]});
  int idx[2] = {1, 2};
  SetIndexStrVar("RESOUT", 1, &idx[1], dir.file("second").c_str());
  SetIndexStrVar("PDBOUT", 2, idx, dir.file("extra.pdb").c_str());
  testing::internal::CaptureStdout();
  EXPECT_TRUE(dataerr_try([] {
    tamrel::writeinstructionfiles(0, {});
    tamrel::writecoordinatefiles(0);
    tamrel::writecoordinatefiles(1);
  }));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(ktest::read_file(dir.file("second.res")).rfind("TITL P42/mnm No.136 rutile\n", 0) ==
              0);
  EXPECT_TRUE(
      ktest::read_file(dir.file("extra.pdb")).rfind("CRYST1    4.594    4.594    2.959", 0) == 0);
  const std::string missing = dir.file("none/x");
  SetIndexStrVar("RESOUT", 1, &idx[0], missing.c_str());
  SetIndexStrVar("PDBOUT", 1, &idx[0], missing.c_str());
  testing::internal::CaptureStdout();
  EXPECT_TRUE(dataerr_try([] {
    tamrel::writeinstructionfiles(0, {});
    tamrel::writecoordinatefiles(0);
  }));
  const std::string resname = missing + ".res", pdbname = missing + ".pdb";
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            message(259, resname.c_str()) + message(263, pdbname.c_str()));
}

}  // namespace

namespace {

double half(const ReflectionRecord*) { return 0.5; }

// The structure-factor file: every equivalent triple of every F-record of
// the set's reflections in use, F_obs = q |F|, F_calc = |F| and the phase of
// the triple's structure factor; without measured points no file at all.
TEST_F(Export, StructureFactorFile) {
  PhaseRecord* p = phase(kStructures[0]);
  auto reflection = [&](std::vector<std::array<int, 3>> hkl, bool used) {
    auto* r = newreflection(0, 0);
    r->fr1 = newfrecord(10.0 * (p->nrefl + 1), 0);
    r->fr1->nequiv = static_cast<int32_t>(hkl.size());
    r->fr1->hkl = static_cast<int32_t(*)[3]>(std::calloc(hkl.size(), sizeof(int32_t[3])));
    for (size_t k = 0; k < hkl.size(); ++k)
      for (int i = 0; i < 3; ++i) r->fr1->hkl[k][i] = hkl[k][static_cast<size_t>(i)];
    r->sk = hklQ(p, hkl[0][0], hkl[0][1], hkl[0][2]);
    r->used = used ? 1 : 0;
    p->refl = static_cast<ReflectionRecord**>(
        // An array of pointers to the reflections.
        // NOLINTNEXTLINE(bugprone-sizeof-expression)
        std::realloc(p->refl, sizeof(ReflectionRecord*) * static_cast<size_t>(p->nrefl + 1)));
    p->refl[p->nrefl++] = r;
  };
  reflection({{1, 1, 0}, {-1, 1, 0}}, true);
  reflection({{1, 0, 1}}, false);
  reflection({{1, 0, 0}, {0, 1, 0}}, true);  // absent: F = 0 by symmetry
  reflection({{1, 1, 1}}, true);
  ASSERT_TRUE(tamrel::writestructurefactors(p, 0, dir.file("f").c_str(), half));
  const std::string text = ktest::read_file(dir.file("f.fcf"));
  std::istringstream in(text);
  std::string line;
  std::vector<std::string> lines;
  while (std::getline(in, line)) lines.push_back(line);
  ASSERT_EQ(lines.size(), 5u) << text;
  const double want[5][2] = {{5, 10}, {5, 10}, {15, 30}, {15, 30}, {20, 40}};
  for (size_t i = 0; i < lines.size(); ++i) {
    ASSERT_EQ(lines[i].size(), 39u) << lines[i];
    EXPECT_EQ(std::stod(lines[i].substr(12, 10)), want[i][0]) << lines[i];
    EXPECT_EQ(std::stod(lines[i].substr(22, 10)), want[i][1]) << lines[i];
  }
  // The phase of each triple's own structure factor (anomalous scattering
  // included), in 0 .. 360.
  const ReflectionRecord* r = p->refl[2];
  for (int k = 0; k < 2; ++k) {
    double F[4];
    fcalc(F, 1, 0, nullptr, r->fr1, k, r->sk);
    double phi = std::fmod(std::atan2(F[1], F[0]) * 180 / 3.14159265358979323846 + 360, 360);
    EXPECT_NEAR(std::stod(lines[2 + static_cast<size_t>(k)].substr(32)), phi, 0.006);
  }
  EXPECT_EQ(lines[0].substr(0, 12), "   1   1   0");
  EXPECT_EQ(lines[1].substr(0, 12), "  -1   1   0");

  // No measured points: nothing, whatever the keys say.
  int idx[2] = {1, 1};
  SetIndexStrVar("FCFOUT", 2, idx, dir.file("g").c_str());
  model::m = 0;
  EXPECT_TRUE(dataerr_try([] { tamrel::writestructurefactorfiles(0); }));
  EXPECT_FALSE(ktest::file_exists(dir.file("g.fcf")));
}

}  // namespace

namespace {

// The observed structure factors from the final pattern: where the measured
// pattern above the background is four times the model, every reflection's
// share of it gives F_obs = 2 F_calc; the caller's model arrays and the
// background come back as they were.
TEST(ExportPattern, ObservedFromTheFinalPattern) {
  ktest::CrystalInstall install{trun::installfiles()};
  ktest::TempDir dir;
  ktest::RunScope scope;
  dataerr_newhandler(dataerr_printexit);
  ktest::write_file(dir.file("inst.ger"), trun::kInstrument);
  ktest::write_file(dir.file("si.xy"), trun::siliconscan());
  ktest::write_file(dir.file("si.str"),
                    "PHASE=Si SpacegroupNo=227 RP=2\nA=0.5431\nE=Si Wyckoff=a\n");
  for (const char* s : {"LAMBDA=CU", "RU=0"}) ergibt(s);
  ergibt(("LINTOR=" + dir.file("inst")).c_str());
  ergibt(("VAL[1]=" + dir.file("si.xy")).c_str());
  ergibt(("STRUC[1]=" + dir.file("si.str")).c_str());
  ergibt(("FCFOUT[1]=" + dir.file("si")).c_str());
  tamrel::readsettings();
  tamrel::readpattern();
  tamrel::readphases();
  ASSERT_GT(model::m, 0);
  PhaseRecord* p = phase1;
  phasei = p;
  ASSERT_TRUE(dataerr_try([] { xyzinit(); }));
  tamrel::runstate.ru = 0;
  // Two reflections, 111 and 220, at their positions 1/d.
  const int hkl[2][3] = {{1, 1, 1}, {2, 2, 0}};
  peakalloc(nullptr, &param, 0, 0, 0, 2, 0, 0);
  for (int i = 0; i < 2; ++i) {
    auto* r = newreflection(hklQ(p, hkl[i][0], hkl[i][1], hkl[i][2]), 0);
    r->fr1 = newfrecord(10.0 + i, 0);
    r->fr1->nequiv = 1;
    r->fr1->hkl = static_cast<int32_t(*)[3]>(std::calloc(1, sizeof(int32_t[3])));
    for (int k = 0; k < 3; ++k) r->fr1->hkl[0][k] = hkl[i][k];
    r->intensity = 1000.0 * (i + 1);
    r->position = std::sqrt(r->sk);
    r->used = 1;
    p->refl = static_cast<ReflectionRecord**>(
        // An array of pointers to the reflections.
        // NOLINTNEXTLINE(bugprone-sizeof-expression)
        std::realloc(p->refl, sizeof(ReflectionRecord*) * static_cast<size_t>(p->nrefl + 1)));
    p->refl[p->nrefl++] = r;
    param->par2[2 * i] = static_cast<float>(r->intensity);
    param->par2[2 * i + 1] = static_cast<float>(r->position);
  }
  const size_t n = static_cast<size_t>(model::m);
  std::vector<float> residual(n), ymodel(n), umodel(n);
  float* const y0 = model::y;
  float* const u0 = model::u;
  model::y = ymodel.data();
  model::u = umodel.data();
  modell(residual.data(), param);
  model::y = y0;
  model::u = u0;
  float top = 0;
  for (size_t i = 0; i < n; ++i) {
    model::intensitaet[i] = umodel[i] + 4 * (ymodel[i] - umodel[i]);
    top = std::max(top, ymodel[i]);
  }
  ASSERT_GT(top, 0) << "the reflections lie in the measured range";
  testing::internal::CaptureStdout();
  EXPECT_TRUE(dataerr_try([] { tamrel::writestructurefactorfiles(0); }));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(model::y, y0);
  EXPECT_EQ(model::u, u0);
  const std::string text = ktest::read_file(dir.file("si.fcf"));
  std::istringstream in(text);
  std::string line;
  int lines = 0;
  for (; std::getline(in, line); ++lines) {
    ASSERT_EQ(line.size(), 39u) << line;
    const double fobs = std::stod(line.substr(12, 10)), fcalc = std::stod(line.substr(22, 10));
    EXPECT_EQ(fcalc, 10.0 + lines) << line;
    EXPECT_NEAR(fobs, 2 * fcalc, 0.011) << line;
  }
  EXPECT_EQ(lines, 2) << text;
  peakfree(&param);
  tamrel::freerun();
  tamrel::runstate = tamrel::RunState{};
  dataerr_oldjmp();
}

}  // namespace
