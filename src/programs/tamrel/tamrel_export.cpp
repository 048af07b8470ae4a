// The instruction file (.res) and the coordinate file (.pdb) of each phase.
#include "tamrel_export.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/message.hpp"
#include "core/outfile.hpp"
#include "core/runfiles.hpp"
#include "crystal/fcalc.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"
#include "model/unt.hpp"
#include "numeric/ddreieck.hpp"
#include "scan/ddm.hpp"
#include "tamrel.hpp"
#include "tamrel_datasets.hpp"
#include "tamrel_strucout.hpp"

namespace tamrel {

using namespace core;
using namespace numeric;
using namespace model;
using namespace crystal;

namespace {

constexpr double kDegPerRad = 180.0 / 3.14159265358979323846;

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;
// 2 pi^2 / 100: the factor between beta (nm) and U (angstrom^2).
constexpr double kBetaToU = 0.19739208802178718;
// 8 pi^2 / 100: the factor between B (nm^2) and U (angstrom^2).
constexpr double kBToU = 0.7895683520871487;

int gcd(int a, int b) {
  while (b != 0) {
    const int t = a % b;
    a = b;
    b = t;
  }
  return a;
}

int generalcount(const PhaseRecord* ph) {
  return ph->group != nullptr && ph->group->general != nullptr ? ph->group->general->count : 0;
}

// The six U_ij (angstrom^2) of the first site's beta tensor, in the order of
// the instruction file: U11, U22, U33, U23, U13, U12.
void utensor(const PhaseRecord* ph, const AtomRecord* at, double U[6]) {
  const double ca = std::cos(ph->alpha * kDeg), cb = std::cos(ph->beta * kDeg),
               cg = std::cos(ph->gamma * kDeg);
  const double sa = std::sin(ph->alpha * kDeg), sb = std::sin(ph->beta * kDeg),
               sg = std::sin(ph->gamma * kDeg);
  const double D = 1 + 2 * ca * cb * cg - ca * ca - cb * cb - cg * cg;
  const double* b = at->sites[0].b;  // b11, b22, b33, b12, b13, b23
  const double A = ph->a, B = ph->b, C = ph->c;
  U[0] = b[0] * A * A * D / (sa * sa * kBetaToU);
  U[1] = b[1] * B * B * D / (sb * sb * kBetaToU);
  U[2] = b[2] * C * C * D / (sg * sg * kBetaToU);
  U[3] = b[5] * B * C * D / (sb * sg * kBetaToU);
  U[4] = b[4] * A * C * D / (sa * sg * kBetaToU);
  U[5] = b[3] * A * B * D / (sa * sb * kBetaToU);
}

// The equivalent isotropic B (angstrom^2) of a site's beta tensor.
double bequivalent(const PhaseRecord* ph, const double* b) {
  const double A = ph->a, B = ph->b, C = ph->c;
  return 100 * (4.0 / 3.0) *
         (b[0] * A * A + b[1] * B * B + b[2] * C * C +
          2 * b[3] * A * B * std::cos(ph->gamma * kDeg) +
          2 * b[4] * A * C * std::cos(ph->beta * kDeg) +
          2 * b[5] * B * C * std::cos(ph->alpha * kDeg));
}

// The isotropic displacement (nm^2) of an atom as its structure factors take
// it, also when it is a formula or a shared parameter. Reading a formula in
// the atom's scope takes that scope off the chain and puts it back: the
// records themselves are left as they were.
double isotropic(const PhaseRecord* ph, const AtomRecord* at) {
  return isotropicdisplacement(const_cast<PhaseRecord*>(ph), const_cast<AtomRecord*>(at));
}

// Runs body for each atom, with message 261 and the atom's number when a
// store error leaves it.
template <class F>
void eachatom(const PhaseRecord* ph, F&& body) {
  for (const AtomRecord* at = ph->atoms; at != nullptr; at = at->next) {
    try {
      body(at);
    } catch (const DataJump&) {
      message<261>(at->number);
      std::fflush(stdout);
      throw;
    }
  }
}

// Runs write for every phase whose key names a file, with message 260 and the
// phase's number when a store error leaves it. The loop leaves no error frame
// behind.
template <class F>
void eachphase(const char* key, int dataset, F&& write) {
  const int level = ondataLevel();
  for (PhaseRecord* phase = phase1; phase != nullptr; phase = phase->next) {
    phasei = phase;
    const bool written = dataerr_try([&] {
      std::string name;
      if (outputname(key, dataset, phase->number, name)) write(phase, name.c_str());
    });
    if (!written) {
      message<260>(phase->number);
      namephasefile(phase->number);
      passon();
    }
  }
  if (ondataLevel() != level) internal_error("ondataLevel", kModule, __LINE__);
}

// The standard uncertainty of cell goal k (0..5: A, B, C, ALPHA, BETA,
// GAMMA) of the phase: sqrt(a^T C a), without the error scale factor.
double celluncertainty(const PhaseRecord* ph, int k, const CellErrors& errors) {
  if (errors.covariance == nullptr || a == nullptr || rqmin <= 0) return 0.0;
  const double* row = a[ph->goalindex + k];
  if (row == nullptr) return 0.0;
  const double v = datma(row, errors.covariance, rqmin);
  return v > 0 ? std::sqrt(v) : 0.0;
}

void instruction(FILE* f, const PhaseRecord* ph, const CellErrors& errors) {
  const char* hm = ph->selector[SEL_HERMANNMAUGUIN];
  const char* number = ph->selector[SEL_SPACEGROUPNO];
  std::fprintf(f, "TITL %s %s%s %s\n", hm, number[0] != 0 ? "No." : "", number,
               ph->name != nullptr ? ph->name : "");
  const double lengths[3] = {ph->a, ph->b, ph->c};
  int dec[3];
  for (int i = 0; i < 3; ++i) dec[i] = lengths[i] < 1 ? 5 : 4;
  std::fprintf(f, "CELL %7.5f %7.*f %7.*f %7.*f %7.3f %7.3f %7.3f\n", 10 / model::l0, dec[0],
               10 * ph->a, dec[1], 10 * ph->b, dec[2], 10 * ph->c, ph->alpha, ph->beta, ph->gamma);

  // Z: the formula units of the cell, centring translations included.
  char z[32] = "";
  int common = 0;
  for (const AtomRecord* at = ph->atoms; at != nullptr; at = at->next)
    common = gcd(at->wyckoff != nullptr ? at->wyckoff->count : 0, common);
  if (ph->atoms != nullptr) std::snprintf(z, sizeof z, "%7.2f", double(common) * ph->ncentring);
  double s[6];
  for (int k = 0; k < 6; ++k) s[k] = celluncertainty(ph, k, errors);
  std::fprintf(f, "ZERR %7s %7.*f %7.*f %7.*f %7.3f %7.3f %7.3f\n", z, dec[0], 10 * s[0], dec[1],
               10 * s[1], dec[2], 10 * s[2], s[3], s[4], s[5]);

  int latt = -1;
  switch (ph->selector[SEL_BASIS][0]) {
    case 'I':
      latt = -2;
      break;
    case 'R':
      latt = -3;
      break;
    case 'F':
      latt = -4;
      break;
    case 'A':
      latt = -5;
      break;
    case 'B':
      latt = -6;
      break;
    case 'C':
      latt = -7;
      break;
    default:
      latt = -1;
  }
  std::fprintf(f, "LATT %d\n", latt);
  const WyckoffRecord* general = ph->group != nullptr ? ph->group->general : nullptr;
  for (int r = 1; general != nullptr && r < general->count; ++r) {
    char text[3][64];
    for (int i = 0; i < 3; ++i) symmout(general->op[r].comp[i].text, text[i]);
    std::fprintf(f, "SYMM %s, %s, %s\n", text[0], text[1], text[2]);
  }

  // The scattering species in order of first appearance, with their content
  // of the cell.
  std::vector<std::string> species;
  std::vector<double> content;
  auto index = [&](const char* name) {
    for (size_t i = 0; i < species.size(); ++i)
      if (species[i] == name) return static_cast<int>(i);
    return -1;
  };
  for (const AtomRecord* at = ph->atoms; at != nullptr; at = at->next)
    for (int e = 0; e < at->nelements; ++e) {
      const ElementRecord& el = at->elements[e];
      int i = index(el.name);
      if (i < 0) {
        species.push_back(el.name);
        content.push_back(0.0);
        i = static_cast<int>(species.size()) - 1;
      }
      content[static_cast<size_t>(i)] += el.occupancy * at->wyckoff->count * ph->ncentring;
    }
  std::fputs("SFAC", f);
  for (const std::string& name : species) std::fprintf(f, " %s", name.c_str());
  std::fputs("\nUNIT", f);
  for (double v : content) {
    if (std::fabs(v - std::rint(v)) <= 1e-9 * std::fmax(1.0, std::fabs(v)))
      std::fprintf(f, " %d", static_cast<int>(std::rint(v)));
    else
      std::fprintf(f, " %.2f", v);
  }
  std::fputc('\n', f);

  const int ngeneral = generalcount(ph);
  eachatom(ph, [&](const AtomRecord* at) {
    const SiteRecord& site = at->sites[0];
    for (int e = 0; e < at->nelements; ++e) {
      const ElementRecord& el = at->elements[e];
      const int sfac = index(el.name) + 1;
      if (sfac == 0) internal_error("RESOUTSFAC", kModule, __LINE__);
      char sof[32] = "";
      if (ngeneral != 0)
        std::snprintf(
            sof, sizeof sof, "%10.5f",
            el.occupancy * at->wyckoff->count / ngeneral + (el.occformula == nullptr ? 10 : 0));
      std::fprintf(f, "%-4s%5d%10.5f%10.5f%10.5f%10s", el.label, sfac, site.x[0], site.y[0],
                   site.z[0], sof);
      if (at->tdskind == TDS_ANISO) {
        double U[6];
        utensor(ph, at, U);
        std::fprintf(f, "%10.5f%10.5f =\n     %10.5f%10.5f%10.5f%10.5f\n", U[0], U[1], U[2], U[3],
                     U[4], U[5]);
      } else {
        std::fprintf(f, "%10.5f\n", isotropic(ph, at) / kBToU);
      }
    }
  });
  std::fputs("END\n", f);
}

void coordinates(FILE* f, const PhaseRecord* ph) {
  const int ngeneral = generalcount(ph);
  const char* hm = ph->selector[SEL_HERMANNMAUGUIN];
  // The space group as the record layout has it (columns 56 to 66): the
  // centring letter, a blank and the rest of the symbol; Z in columns 67 to 70.
  std::string group = std::string(ph->selector[SEL_BASIS]).substr(0, 1) + " " +
                      (hm[0] != 0 ? std::string(hm + 1) : std::string());
  std::fprintf(f, "CRYST1%9.3f%9.3f%9.3f%7.2f%7.2f%7.2f %-11s%4d\n", 10 * ph->a, 10 * ph->b,
               10 * ph->c, ph->alpha, ph->beta, ph->gamma, group.c_str(),
               (ngeneral > 1 ? ngeneral : 1) * ph->ncentring);
  for (int i = 0; i < 3; ++i)
    std::fprintf(f, "ORIGX%d     %9.6f %9.6f %9.6f       %8.5f\n", i + 1, i == 0 ? 1.0 : 0.0,
                 i == 1 ? 1.0 : 0.0, i == 2 ? 1.0 : 0.0, 0.0);
  const double* S = ph->tri;  // S11, S12, S13, S22, S23, S33: Cartesian nm to fractional
  std::fprintf(f, "SCALE1     %9.6f %9.6f %9.6f       %8.5f\n", 0.1 * S[0], 0.1 * S[1], 0.1 * S[2],
               0.0);
  std::fprintf(f, "SCALE2     %9.6f %9.6f %9.6f       %8.5f\n", 0.0, 0.1 * S[3], 0.1 * S[4], 0.0);
  std::fprintf(f, "SCALE3     %9.6f %9.6f %9.6f       %8.5f\n", 0.0, 0.0, 0.1 * S[5], 0.0);

  int serial = 0;
  eachatom(ph, [&](const AtomRecord* at) {
    const int nsites = at->wyckoff->count;
    const double Biso = at->tdskind == TDS_ANISO ? 0.0 : 100 * isotropic(ph, at);
    for (int c = 0; c < ph->ncentring; ++c)
      for (int j = 0; j < nsites; ++j) {
        const SiteRecord& site = at->sites[j];
        double v[3] = {site.x[c], site.y[c], site.z[c]};
        if (ph->pack)
          for (double& t : v) {
            t = std::fmod(t, 1.0);
            if (t < 0) t += 1;
          }
        const double Z = v[2] / S[5];
        const double Y = (v[1] - S[4] * Z) / S[3];
        const double X = (v[0] - S[1] * Y - S[2] * Z) / S[0];
        // The generating operator: the site's own of the general position,
        // the first general one that maps the reference site here, or the
        // site's place in its Wyckoff position.
        int op;
        if (at->wyckoff->general)
          op = ngeneral * c + j + 1;
        else if (site.ops != nullptr)
          op = ngeneral * c + site.ops[0] + 1;
        else
          op = nsites * c + j + 1;
        const double B = at->tdskind == TDS_ANISO ? bequivalent(ph, site.b) : Biso;
        for (int e = 0; e < at->nelements; ++e) {
          const ElementRecord& el = at->elements[e];
          std::fprintf(f, "ATOM  %5d %-4s %3d  %4d    %8.3f%8.3f%8.3f%6.2f%6.2f\n", ++serial,
                       el.label, op, op, 10 * X, 10 * Y, 10 * Z, el.occupancy, B);
        }
      }
  });
}

void structurefactors(FILE* f, const PhaseRecord* ph, int set,
                      double (*ratio)(const ReflectionRecord*)) {
  for (int i = 0; i < ph->nrefl; ++i) {
    const ReflectionRecord* r = ph->refl[i];
    if (r->iref != set || !r->used) continue;
    const double q = ratio(r);
    for (const FRecord* fr : {r->fr1, r->fr2}) {
      if (fr == nullptr) continue;
      for (int k = 0; k < fr->nequiv; ++k) {
        double F[4];
        fcalc(F, 1, set, nullptr, fr, k, r->sk);
        char angle[32];
        std::snprintf(angle, sizeof angle, "%7.2f",
                      std::fmod(std::atan2(F[1], F[0]) * kDegPerRad + 360, 360));
        if (std::strcmp(angle, " 360.00") == 0) std::strcpy(angle, "   0.00");
        std::fprintf(f, "%4d%4d%4d%10.2f%10.2f%s\n", fr->hkl[k][0], fr->hkl[k][1], fr->hkl[k][2],
                     q * fr->F, fr->F, angle);
      }
    }
  }
}

// The observed-to-computed ratio of every point of the final model, and the
// one-peak set that gives each reflection's own share of the pattern.
struct Observed {
  std::vector<float> y, u, r, ratio;
  PeakSet* peak = nullptr;
  int kind = 2;
};
Observed observed;

double peakratio(const ReflectionRecord* r) {
  float* p = observed.kind == 2   ? observed.peak->par2
             : observed.kind == 3 ? observed.peak->par3
                                  : observed.peak->par4;
  const float values[4] = {static_cast<float>(r->intensity), static_cast<float>(r->position),
                           static_cast<float>(r->B1), static_cast<float>(r->B2)};
  for (int i = 0; i < observed.kind; ++i) p[i] = values[i];
  modell(observed.r.data(), observed.peak);
  double S = 0, P = 0;
  for (int i = 0; i < m; ++i) {
    S += observed.y[static_cast<size_t>(i)];
    P += static_cast<double>(observed.y[static_cast<size_t>(i)]) *
         observed.ratio[static_cast<size_t>(i)];
  }
  // No share of the pattern, or a negative one: no observed value.
  return S > 0 && P > 0 ? std::sqrt(P / S) : 0.0;
}

// The file name of set s (1-based) of phase p.
bool fcfname(int dataset, int p, int s, std::string& name) {
  std::vector<char> buffer(kNameLen + 1);
  auto read = [&](const char* key, std::vector<int> idx) {
    return dataerr_try([&] {
      GetIndexStrVar(key, static_cast<int>(idx.size()), idx.data(), kNameLen, buffer.data());
    });
  };
  bool found = dataset == 0 ? read("FCFOUT", {p, s}) : read("STANDALONEFCFOUT", {dataset, p, s});
  if (!found && s == 1)
    found = dataset == 0 ? read("FCFOUT", {p}) : read("STANDALONEFCFOUT", {dataset, p});
  if (found) name = buffer.data();
  return found;
}

// Writes a file through fill; warning N with its name when it cannot be
// written. A store error inside fill leaves the old file as it was.
template <int N, class F>
bool writewith(const std::string& name, F&& fill) {
  if (!ownoutput(name)) return false;
  OutFile out;
  if (out.open(name)) {
    fill(out.file());
    if (out.commit()) return true;
  }
  message<N>(name);
  outputfailed(N);
  std::fflush(stdout);
  return false;
}

}  // namespace

bool writeinstruction(const PhaseRecord* phase, const char* path, const CellErrors& errors) {
  return writewith<259>(withextension(path, "res"),
                        [&](FILE* f) { instruction(f, phase, errors); });
}

bool writecoordinates(const PhaseRecord* phase, const char* path) {
  return writewith<263>(withextension(path, "pdb"), [&](FILE* f) { coordinates(f, phase); });
}

bool writestructurefactors(const PhaseRecord* phase, int set, const char* path,
                           double (*ratio)(const ReflectionRecord*)) {
  return writewith<266>(withextension(path, "fcf"),
                        [&](FILE* f) { structurefactors(f, phase, set, ratio); });
}

void writestructurefactorfiles(int dataset) {
  if (m <= 0 || scan::ifddm || scan::ddmrange != nullptr) return;
  // Without a file to write, the final model below is not needed: only the
  // phase the loop would have left current is set.
  bool anyfile = false;
  PhaseRecord* last = nullptr;
  for (PhaseRecord* phase = phase1; phase != nullptr; phase = phase->next) {
    if (phase->FMult != 0) continue;
    last = phase;
    std::string name;
    for (int s = 0; s < phase->RefMult && !anyfile; ++s)
      anyfile = fcfname(dataset, phase->number, s + 1, name);
  }
  if (!anyfile) {
    if (last != nullptr) phasei = last;
    return;
  }
  const int level = ondataLevel();
  // The final model with y and u of its own; the per-phase sums are left
  // alone.
  const size_t n = static_cast<size_t>(m);
  float* const savedy = y;
  float* const savedu = u;
  float* const savedphases = yphasen;
  observed.y.assign(n, 0.0f);
  observed.u.assign(n, 0.0f);
  observed.r.assign(n, 0.0f);
  observed.ratio.assign(n, 0.0f);
  y = observed.y.data();
  u = observed.u.data();
  yphasen = nullptr;
  modell(observed.r.data(), param);
  for (size_t i = 0; i < n; ++i) {
    const float d = observed.y[i] - observed.u[i];
    observed.ratio[i] = d != 0 ? (intensitaet[i] - observed.u[i]) / d : 0.0f;
  }
  // Each peak alone, without background.
  unt1(0, sinx, runstate.npoints, nullptr, nullptr);
  auto restore = [&] {
    peakfree(&observed.peak);
    unt2();
    unt1(runstate.ru, sinx, runstate.npoints, runstate.unt.empty() ? nullptr : runstate.unt.c_str(),
         runstate.untc.empty() ? nullptr : runstate.untc.c_str());
    y = savedy;
    u = savedu;
    yphasen = savedphases;
    for (std::vector<float>* v : {&observed.y, &observed.u, &observed.r, &observed.ratio}) {
      v->clear();
      v->shrink_to_fit();
    }
  };
  try {
    for (PhaseRecord* phase = phase1; phase != nullptr; phase = phase->next) {
      if (phase->FMult != 0) continue;
      phasei = phase;
      const bool written = dataerr_try([&] {
        observed.kind = phase->RP;
        peakalloc(nullptr, &observed.peak, 0, 0, 0, phase->RP == 2 ? 1 : 0, phase->RP == 3 ? 1 : 0,
                  phase->RP == 4 ? 1 : 0);
        for (int s = 0; s < phase->RefMult; ++s) {
          std::string name;
          if (!fcfname(dataset, phase->number, s + 1, name)) continue;
          if (phase->lebail[s]) {
            message<32>(phase->number, withextension(name.c_str(), "fcf"));
            std::fflush(stdout);
          }
          newDATAlist();
          newDATAlist();
          try {
            xyzinit();
            registerstructurefunctions();
            writestructurefactors(phase, s, name.c_str(), peakratio);
          } catch (const DataJump&) {
            DelAll();
            freeDATAlist();
            DelAll();
            freeDATAlist();
            throw;
          }
          DelAll();
          freeDATAlist();
          DelAll();
          freeDATAlist();
        }
        peakfree(&observed.peak);
      });
      if (!written) {
        message<260>(phase->number);
        namephasefile(phase->number);
        passon();
      }
    }
  } catch (const DataJump&) {
    restore();
    throw;
  }
  restore();
  if (ondataLevel() != level) internal_error("ondataLevel", kModule, __LINE__);
}

namespace {

// Runs body with the phase's structure set up in two scopes of their own,
// as the structure factors see it, when one of its atoms takes its
// displacement from a formula or from the phase: the formula may name the
// phase's parameters. The scopes are discarded afterwards.
template <class F>
void withstructure(const PhaseRecord* phase, F&& body) {
  bool formulas = false;
  for (const AtomRecord* at = phase->atoms; at != nullptr && !formulas; at = at->next)
    formulas = at->tdskind == TDS_PERREFLECTION || at->tdskind == TDS_NONE;
  if (!formulas) {
    body();
    return;
  }
  auto discard = [] {
    DelAll();
    freeDATAlist();
    DelAll();
    freeDATAlist();
  };
  newDATAlist();
  newDATAlist();
  try {
    xyzinit();
    body();
  } catch (const DataJump&) {
    discard();
    throw;
  }
  discard();
}

}  // namespace

void writeinstructionfiles(int dataset, const CellErrors& errors) {
  eachphase("RESOUT", dataset, [&](const PhaseRecord* phase, const char* name) {
    withstructure(phase, [&] { writeinstruction(phase, name, errors); });
  });
}

void writecoordinatefiles(int dataset) {
  eachphase("PDBOUT", dataset, [](const PhaseRecord* phase, const char* name) {
    withstructure(phase, [&] { writecoordinates(phase, name); });
  });
}

}  // namespace tamrel
