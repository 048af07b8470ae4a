// The list file of a data set: head with the figures of merit, global goals
// and parameters, then every phase with its parameters, texture, anisotropy
// objects and atoms.
#include "tamrel_listfile.hpp"

#include <climits>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "core/data.hpp"
#include "core/frame.hpp"
#include "core/outfile.hpp"
#include "core/runfiles.hpp"
#include "core/string.hpp"
#include "crystal/aniso.hpp"
#include "model/modell.hpp"
#include "numeric/ddreieck.hpp"
#include "scan/apx63.hpp"
#include "scan/ddm.hpp"
#include "tamrel.hpp"
#include "tamrel_datasets.hpp"
#include "tamrel_final.hpp"

namespace tamrel {

using namespace core;
using namespace numeric;
using namespace scan;
using namespace model;
using namespace crystal;

PlanTargets plantargets;

int sixdigits(double v) {
  if (v == 0.0 || !std::isfinite(v)) return 0;
  const int d = 5 - static_cast<int>(std::floor(std::log10(std::fabs(v))));
  return d < 0 ? 0 : d;
}

std::string numbertext(const char* name, double value, int state, bool witherrors, double sigma,
                       bool failed, int32_t* decimals) {
  char buf[512];
  std::string text = name != nullptr ? name : "";
  int d = -1;
  if (failed) {
    text += "=ERROR\n";
  } else if (witherrors && state == MARK_INSENSITIVE) {
    text += "=UNDEF\n";
  } else if (witherrors && state == MARK_FREE && sigma > 0.0 && std::isfinite(sigma)) {
    d = 1 - static_cast<int>(std::floor(std::log10(sigma)));
    if (d < 0) d = 0;
    std::snprintf(buf, sizeof buf, "=%.*f+-%.*f\n", d, value, d, sigma);
    text += buf;
  } else {
    d = sixdigits(value);
    std::snprintf(buf, sizeof buf, "=%.*f\n", d, value);
    text += buf;
  }
  if (decimals != nullptr) *decimals = d;
  return text;
}

namespace {

constexpr double kPi = 3.141592653589793;

// Which refined parameter (position in qminparam) stands for a double.
std::unordered_map<const double*, int> refined;

int position(const double* value) {
  auto it = refined.find(value);
  return it == refined.end() ? -1 : it->second;
}

bool witherrors() { return finalmodel.n > 0 && finalmodel.covariance; }

// One parameter record by the number rule; its error state and decimals are
// kept in the record.
void writeparam(FILE* f, ParamRecord& rec) {
  const int k = position(&rec.value);
  int state = MARK_ATBOUND;
  double sigma = 0.0;
  if (k >= 0) {
    state = finalmodel.marks.empty() ? int{MARK_ATBOUND} : finalmodel.marks[static_cast<size_t>(k)];
    sigma = finalmodel.sigma(k);
  }
  rec.errorstate = state;
  std::fputs(
      numbertext(rec.name, rec.value, state, witherrors(), sigma, false, &rec.decimals).c_str(), f);
}

// One goal: its value, and the error of its derivative row through the
// covariance; its state is the largest of the parameters it depends on.
void writegoal(FILE* f, ParamRecord& rec) {
  const double value = goalwert != nullptr ? goalwert[rec.goalindex] : rec.value;
  const double* row = a != nullptr ? a[rec.goalindex] : nullptr;
  int state = MARK_ATBOUND;
  double sigma = 0.0;
  if (row != nullptr && !finalmodel.marks.empty()) {
    for (int k = 0; k < rqmin; ++k)
      if (row[k] != 0.0 && finalmodel.marks[static_cast<size_t>(k)] > state)
        state = finalmodel.marks[static_cast<size_t>(k)];
    if (finalmodel.covariance) {
      const double q = datma(row, finalmodel.C.data(), rqmin);
      sigma = q > 0.0 ? std::sqrt(q) * finalmodel.g : 0.0;
    }
    if (rec.second != nullptr) {
      plantargets.rows.emplace_back(row, row + rqmin);
      plantargets.goals.push_back(&rec);
    }
  }
  rec.errorstate = state;
  // The error as listed: the refined structure file gives an atom goal its
  // value only when the list shows that value with an error.
  const bool listed =
      witherrors() && state == MARK_FREE && sigma > 0.0 && std::isfinite(sigma) && rec.failed == 0;
  rec.errorestimate = listed ? sigma : 0.0;
  const char* name = rec.name != nullptr ? rec.name : rec.goal;
  std::fputs(
      numbertext(name, value, state, witherrors(), sigma, rec.failed != 0, &rec.decimals).c_str(),
      f);
}

// The items of a parameter array that the list shows: parameters with a
// name and goals.
void writeparams(FILE* f, ParamRecord* params, int count) {
  for (int i = 0; i < count; ++i) {
    ParamRecord& rec = params[i];
    if (rec.goal != nullptr && !rec.goaldef)
      writegoal(f, rec);
    else if (rec.name != nullptr && rec.skip == 0)
      writeparam(f, rec);
  }
}

// The names of the scans of the data set, each after a blank.
std::string scannames(int dataset) {
  std::string names;
  static char buf[kNameLen + 1];
  if (dataset > 0) {
    if (dataerr_try([&] { GetIndexStrVar("STANDALONEVAL", 1, &dataset, kNameLen, buf); }))
      names = std::string(" ") + buf;
    return names;
  }
  for (int k = 1; dataerr_try([&] { GetIndexStrVar("VAL", 1, &k, kNameLen, buf); }); ++k)
    names += std::string(" ") + buf;
  return names;
}

double ratio(double x, double y) { return y > 0.0 ? x / y : 0.0; }

void figuresofmerit(FILE* f) {
  const FinalModel& fm = finalmodel;
  const double Rp = 100.0 * ratio(fm.sumdiff, fm.sumI);
  const double R = 100.0 * std::sqrt(ratio(fm.sumdiff2, fm.sumI2));
  const double Rwp = 100.0 * std::sqrt(ratio(fm.sumr2, fm.sumwI2));
  const bool rexp = m > rqmin;
  const double Rexp = rexp ? 100.0 * std::sqrt(ratio(m - rqmin, fm.sumwI2)) : 0.0;
  if (ddmrange != nullptr) {
    std::fprintf(f, "Rp=%.2f%c  R=%.2f%c  Rwp=%.2f%c", Rp, '%', R, '%', Rwp, '%');
  } else {
    const double Rpb = 100.0 * ratio(fm.sumdiff, fm.sumIb);
    std::fprintf(f, "Rp=%.2f%c  Rpb=%.2f%c  R=%.2f%c  Rwp=%.2f%c", Rp, '%', Rpb, '%', R, '%', Rwp,
                 '%');
  }
  if (rexp) std::fprintf(f, " Rexp=%.2f%c", Rexp, '%');
  std::fputc('\n', f);
  if (ddmrange != nullptr) return;
  if (m > 1)
    std::fprintf(f, "Durbin-Watson d=%.2f\n", ratio(fm.durbinwatson / (m - 1), fm.sumr2 / m));
  if (fm.hasrho) printrho(f, fm.rho);
}

void writetexture(FILE* f, PhaseRecord* ph) {
  if (ph->texture >= TEXTURE_SPHAR2) {
    ifmaxgewicht = 1;
    ph->gewichtmax = 0.0;
    ph->GEWICHT = gewicht(nullptr);
    ifmaxgewicht = 0;
    std::fprintf(f, "GEWICHT=%s, MeanValue(GEWICHT)=%.*f\n", texturname[ph->texture],
                 sixdigits(ph->GEWICHT), ph->GEWICHT);
  } else if (ph->texture == TEXTURE_SPHAR0) {
    const int k = position(&ph->GEWICHT);
    const int state = k >= 0 && !finalmodel.marks.empty() ? finalmodel.marks[static_cast<size_t>(k)]
                                                          : int{MARK_ATBOUND};
    std::fputs(
        numbertext("GEWICHT", ph->GEWICHT, state, witherrors(), k >= 0 ? finalmodel.sigma(k) : 0.0)
            .c_str(),
        f);
  }
}

void writeaniso(FILE* f, PhaseRecord* ph) {
  // The list runs from the newest object to the oldest: write in declaration order.
  std::vector<AnisotropyRecord*> objects;
  for (AnisotropyRecord* o = ph->aniso; o != nullptr; o = o->next)
    objects.insert(objects.begin(), o);
  const double V = std::sqrt(ph->volume2);
  for (AnisotropyRecord* o : objects) {
    const char* name = o->name != nullptr ? o->name : "";
    switch (o->kind) {
      case ANISO_CONSTANT: {
        const int k = position(&o->value);
        if (witherrors() && k >= 0 && finalmodel.marks[static_cast<size_t>(k)] == MARK_INSENSITIVE)
          std::fprintf(f, "%s=UNDEF\n", name);
        else
          std::fprintf(f, "%s=ISOTROPIC=%.*f\n", name, sixdigits(o->value), o->value);
        break;
      }
      case ANISO_LINEAR:
      case ANISO_SQUARE: {
        o->mean = gewicht(o);
        std::fprintf(f, "%s=ANISO%s, MeanValue(%s)=%.*f,", name,
                     o->kind == ANISO_LINEAR ? "LIN" : "SQR", name, sixdigits(o->mean), o->mean);
        double x = o->param[0] * o->param[1] * o->param[2] * o->s * o->s * o->s *
                   (o->kind == ANISO_SQUARE ? V * V : V);
        if (x == 0.0) {
          std::fprintf(f, " sqrt3(det(%s))=0\n", name);
        } else {
          int d = 5 - static_cast<int>(std::floor(std::log10(std::fabs(x)) / 3));
          if (d < 0) d = 0;
          std::fprintf(f, " sqrt3(det(%s))=%.*f\n", name, d, std::cbrt(x));
        }
        break;
      }
      case ANISO_FOURTH:
        o->mean = gewicht(o);
        std::fprintf(f, "%s=ANISO4, MeanValue(%s)=%.*f\n", name, name, sixdigits(o->mean), o->mean);
        break;
      default:
        break;
    }
  }
}

// The element text of an atom: E=(name(occupancy),...), or
// E(text,...)=(name(occupancy),...) with the atom's texts of the structure-
// factor sets (of the reflection sets without FMult), an empty one where a
// set has none.
std::string elementtext(const PhaseRecord* ph, const AtomRecord* at) {
  std::string text = "E=(";
  if (at->weightformulas != nullptr) {
    text = "E(";
    const int sets = ph->FMult > 0 ? ph->FMult : ph->RefMult;
    for (int j = 0; j < sets; ++j) {
      if (j > 0) text += ",";
      if (at->weightformulas[j] != nullptr) text += at->weightformulas[j];
    }
    text += ")=(";
  }
  char buf[64];
  for (int e = 0; e < at->nelements; ++e) {
    std::snprintf(buf, sizeof buf, "%s%s(%.4f)", e > 0 ? "," : "", at->elements[e].name,
                  at->elements[e].occupancy);
    text += buf;
  }
  return text + ")";
}

void writetemperature(FILE* f, const PhaseRecord* ph, AtomRecord* at) {
  const bool angstroem = ph->unit == UNIT_ANGSTROEM;
  if (at->tdskind == TDS_ISO) {
    int d = sixdigits(at->B);
    double v = at->B;
    if (angstroem) {
      v *= 100.0;
      d = d >= 2 ? d - 2 : 0;
    }
    std::fprintf(f, "TDS=ISOTROPIC=%.*f\n\n", d, v);
    return;
  }
  if (at->tdskind != TDS_ANISO) return;
  message_to<231>(f, angstroem ? "Angstroem" : "nm");
  double p[6];
  std::memcpy(p, at->anisoparam, sizeof p);
  anisoinit(p, false);
  double beta[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) beta[i][j] = crystal::d[3 * i + j];
  const double astar[3] = {std::sqrt(ph->rmetric[0]), std::sqrt(ph->rmetric[1]),
                           std::sqrt(ph->rmetric[2])};
  const double divisor = angstroem ? 2 * kPi * kPi / 100 : 2 * kPi * kPi;
  double U[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) U[i][j] = beta[i][j] / (divisor * astar[i] * astar[j]);
  const int w0 = angstroem ? 7 : 9, w1 = angstroem ? 8 : 10, pr = angstroem ? 5 : 7;
  const char* lead[3] = {" beta[i,j]=(%7.5f,%8.5f,%8.5f U[i,j]=(",
                         "           %8.5f,%8.5f,%8.5f        ",
                         "           %8.5f,%8.5f,%8.5f)       "};
  for (int i = 0; i < 3; ++i) {
    std::fprintf(f, lead[i], beta[i][0], beta[i][1], beta[i][2]);
    std::fprintf(f, "%*.*f,%*.*f,%*.*f%s\n", w0, pr, U[i][0], w1, pr, U[i][1], w1, pr, U[i][2],
                 i == 2 ? ")" : "");
  }
  std::fputc('\n', f);
}

void writeatoms(FILE* f, PhaseRecord* ph) {
  message_to<230>(f, ph->name != nullptr ? ph->name : "");
  for (AtomRecord* at = ph->atoms; at != nullptr; at = at->next) {
    pa = at;
    if (!dataerr_try([&] {
          const int count = at->wyckoff != nullptr ? at->wyckoff->count * ph->ncentring : 0;
          const char* label = at->wyckoff != nullptr ? at->wyckoff->name : at->wyckoffname;
          double x = 0, yy = 0, z = 0;
          if (at->sites != nullptr) {
            x = at->sites[0].x[0];
            yy = at->sites[0].y[0];
            z = at->sites[0].z[0];
          }
          std::fprintf(f, "%3d %s   %7.4f %7.4f %7.4f     %s\n", count, label, x, yy, z,
                       elementtext(ph, at).c_str());
          writeparams(f, at->params, at->nparams);
          writetemperature(f, ph, at);
        })) {
      message<261>(at->number);
      passon();
    }
  }
}

void writephase(FILE* f, PhaseRecord* ph) {
  phasei = ph;
  message_to<229>(f, ph->name != nullptr ? ph->name : "");
  std::fprintf(f, "SpacegroupNo=%s\n", ph->selector[SEL_SPACEGROUPNO]);
  std::fprintf(f, "HermannMauguin=%s\n", ph->selector[SEL_HERMANNMAUGUIN]);
  std::fprintf(f, "XrayDensity=%.3f\n", ph->density);
  if (ph->FMult != 0 || ph->RefMult > 1) {
    const int sets = ph->FMult != 0 ? ph->FMult : ph->RefMult;
    for (int s = 0; ph->densities != nullptr && s < sets; ++s)
      if (ph->densities[s] > 0.0)
        std::fprintf(f, "XrayDensity[%d]=%.3f\n", s + 1, ph->densities[s]);
  }
  if (ddmrange == nullptr && m > 0) std::fprintf(f, "Rphase=%.2f%c\n", 100.0 * ph->rvalue, '%');
  if (ph->theory > 0.0) std::fprintf(f, "Echem=%e\n", ph->energy);
  std::fprintf(f, "UNIT=%s\n", ph->unit == UNIT_ANGSTROEM ? "ANGSTROEM" : "NM");
  writeparams(f, ph->params, ph->nparams);
  writetexture(f, ph);
  writeaniso(f, ph);
  writeatoms(f, ph);
}

bool writebody(FILE* f, int dataset) {
  const int points = ddmrange != nullptr ? m / 2 + 4 : m;
  message_to<227>(f, ddmrange != nullptr ? "DDM" : "Rietveld", scannames(dataset).c_str(), VERSION,
                  points, finalmodel.peakzahl, rqmin);
  if (tubetails > 0.0f) message_to<20>(f, '%', 100.0 * static_cast<double>(tubetails));
  if (iftubetails) message_to<30>(f);
  if (dataset == 0)
    std::fprintf(f, "Start: %s; End: %s\n%d iteration steps\n\n", runstate.starttime,
                 finalmodel.endtime, runstate.iterations);
  else
    fitnote(f, dataset);
  if (m > 0) figuresofmerit(f);
  if (globalgoals + globalparams > 0) {
    message_to<228>(f);
    writeparams(f, paramglobal, globalgoals + globalparams);
  }
  for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next)
    if (!dataerr_try([&] { writephase(f, ph); })) {
      message<260>(ph->number);
      namephasefile(ph->number);
      passon();
    }
  return true;
}

}  // namespace

void writelist(int dataset) {
  refined.clear();
  for (int k = 0; k < rqmin; ++k) refined.emplace(qminparam[k].value, k);
  plantargets.rows.clear();
  plantargets.goals.clear();
  static char name[kNameLen + 1];
  const bool named = dataerr_try([&] {
    if (dataset == 0)
      GetStrVar("LIST", kNameLen, name);
    else
      GetIndexStrVar("LIST", 1, &dataset, kNameLen, name);
  });
  bool written = false;
  if (named) {
    makeextension(name, "lst", 0);
    if (ownoutput(name)) {
      OutFile out;
      if (out.open(name)) {
        // A report to be read: the statistics of a fit that could not start
        // are undefined and stand in it as such.
        out.keepnonfinite();
        writebody(out.file(), dataset);
        written = out.commit();
      }
      if (!written) {
        message<226>();
        outputfailed(226);
        std::fflush(stdout);
      }
    }
  }
  if (!written) {
    writebody(stdout, dataset);
    std::fflush(stdout);
  }
  checklevel("ondataLevel", __LINE__);
}

}  // namespace tamrel
