// The refined and the simplified structure file of each phase.
#include "tamrel_strucout.hpp"

#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/message.hpp"
#include "core/outfile.hpp"
#include "core/runfiles.hpp"
#include "core/string.hpp"
#include "tamrel.hpp"
#include "tamrel_datasets.hpp"

namespace tamrel {

using namespace core;
using namespace crystal;

namespace {

// Longest line of the header items, and of the atom items.
constexpr int kHeaderLimit = 78;
constexpr int kAtomLimit = 77;

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  // copy was started by va_copy.
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
  const int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  std::vsnprintf(out.data(), out.size() + 1, fmt, args);
  va_end(args);
  return out;
}

int decimalsof(const ParamRecord& r) { return r.decimals > 0 ? r.decimals : 0; }

// The refined value sits on a bound: both exactly 0, or equal to 20 units of
// the last place.
bool onbound(double value, const char* bound) {
  const double limit = Wert(bound);
  if (value == 0.0 && limit == 0.0) return true;
  return std::fabs(value - limit) / (std::fabs(value) + std::fabs(limit)) < 4.440892098500626e-15;
}

// Items written one after the other, folded at blanks: an item goes to the
// next line when the characters on the line and its own length exceed the
// limit; an item that ended its line in the structure file ends it again.
struct Lines {
  FILE* file;
  int column = 0;
  bool open = false;  // the last item did not end its line

  void put(const ParamRecord& r, bool header) {
    const std::string text = recordtext(r, header);
    const int limit = header ? kHeaderLimit : kAtomLimit;
    const int len = static_cast<int>(text.size());
    if (column > 0) {
      if (len + column > limit) {
        std::fputc('\n', file);
        column = 0;
      } else {
        std::fputc(' ', file);
        ++column;
      }
    }
    std::fputs(text.c_str(), file);
    if (r.endsline) {
      std::fputc('\n', file);
      column = 0;
      open = false;
    } else {
      column += len;
      open = true;
    }
  }
  // A new section (the header, an atom) starts at column 0 on a new line.
  void section() {
    if (open) std::fputc('\n', file);
    open = false;
    column = 0;
  }
};

void header(Lines& lines, const PhaseRecord* phase) {
  lines.section();
  for (int i = 0; i < phase->nparams; ++i) lines.put(phase->params[i], true);
}

// ---------------------------------------------------------------------------
// The per-set line quantities of the simplified file

enum Quantity { Q_DELTASK, Q_DELTAZWEITHETA, Q_B1, Q_K1, Q_K2, Q_K3, Q_B2 };

struct Family {
  Quantity q;
  const char* setline;     // set s + 1, value
  const char* choiceline;  // set s + 1, s, s
  const char* reflline;    // s, h, k, l, value
  bool decimals;           // written with the five-significant-digit decimals
  int found;               // the per-set marks of the model
  int foundiref;
};

const Family kFamilies[] = {
    {Q_DELTASK, "DELTAsk[%d]=%.8f\n",
     "DELTAsk[%d]=ifthenelse(ifdef(DELTAsk%d[h,k,l]),DELTAsk%d[h,k,l],0)\n",
     "DELTAsk%d[%d,%d,%d]=%.8f\n", false, FOUND_DELTASK, FOUND_DELTASK_IREF},
    {Q_DELTAZWEITHETA, "DELTAzweiTheta[%d]=%.5f\n",
     "DELTAzweiTheta[%d]=ifthenelse(ifdef(DELTAzweiTheta%d[h,k,l]),DELTAzweiTheta%d[h,k,l],0)\n",
     "DELTAzweiTheta%d[%d,%d,%d]=%.5f\n", false, FOUND_DELTAZWEITHETA, FOUND_DELTAZWEITHETA_IREF},
    {Q_B1, "B1[%d]=%.*f\n", "B1[%d]=ifthenelse(ifdef(B1%d[h,k,l]),B1%d[h,k,l],0)\n",
     "B1%d[%d,%d,%d]=%.*f\n", true, FOUND_B1, FOUND_B1_IREF},
    {Q_K1, "k1[%d]=%.*f\n", "k1[%d]=ifthenelse(ifdef(k1%d[h,k,l]),k1%d[h,k,l],0)\n",
     "k1%d[%d,%d,%d]=%.*f\n", true, FOUND_K1, FOUND_K1_IREF},
    {Q_K2, "k2[%d]=%.*f\n", "k2[%d]=ifthenelse(ifdef(k2%d[h,k,l]),k2%d[h,k,l],0)\n",
     "k2%d[%d,%d,%d]=%.*f\n", true, FOUND_K2, FOUND_K2_IREF},
    {Q_K3, "k3[%d]=%.*f\n", "k3[%d]=ifthenelse(ifdef(k3%d[h,k,l]),k3%d[h,k,l],0)\n",
     "k3%d[%d,%d,%d]=%.*f\n", true, FOUND_K3, FOUND_K3_IREF},
    {Q_B2, "B2[%d]=%.*f\n", "B2[%d]=ifthenelse(ifdef(B2%d[h,k,l]),B2%d[h,k,l],0)\n",
     "B2%d[%d,%d,%d]=%.*f\n", true, FOUND_B2, FOUND_B2_IREF},
};

double valueof(const FRecord* f, Quantity q) {
  switch (q) {
    case Q_DELTASK:
      return f->DELTAsk;
    case Q_DELTAZWEITHETA:
      return f->DELTAzweiTheta;
    case Q_B1:
      return f->B1;
    case Q_K1:
      return f->k1;
    case Q_K2:
      return f->k2;
    case Q_K3:
      return f->k3;
    default:
      return f->B2;
  }
}

// Two values of a set count as equal (to single precision).
bool same(Quantity q, double a, double b) {
  constexpr double m = DBL_MIN;
  constexpr double eps = 1.1920928955078125e-07;
  switch (q) {
    case Q_DELTASK:
    case Q_DELTAZWEITHETA:
      if (std::fabs(a) < m && std::fabs(b) < m) return true;
      return std::fabs(a) >= m && std::fabs(b) >= m && std::fabs(a - b) < eps * std::fabs(a + b);
    case Q_K3:
      if (std::fabs(a) < m && std::fabs(b) < m) return true;
      return std::fabs(a) >= m && std::fabs(b) >= m &&
             std::fabs(a - b) < eps * (std::fabs(a) + std::fabs(b));
    default:
      if (a < m && b < m) return true;
      return a >= m && b >= m && std::fabs(a - b) < eps * (a + b);
  }
}

// Five significant digits of v (of |v| for k3); no decimals below DBL_MIN.
int fivedigits(Quantity q, double v) {
  const double x = q == Q_K3 ? std::fabs(v) : v;
  if (!(x >= DBL_MIN)) return 0;
  const int d = 4 - static_cast<int>(std::floor(std::log10(x)));
  return d > 0 ? d : 0;
}

// The value as written: broadenings not below 0, k1 within 0..1.
double written(Quantity q, double v) {
  switch (q) {
    case Q_B1:
    case Q_K2:
    case Q_B2:
      return v > 0 ? v : 0.0;
    case Q_K1:
      return v < 0 ? 0.0 : v > 1 ? 1.0 : v;
    default:
      return v;
  }
}

int decimalsfor(Quantity q, double v) { return q == Q_K1 && v >= 1 ? 0 : fivedigits(q, v); }

bool given(const PhaseRecord* phase, int set, const Family& f) {
  if (phase->probes == nullptr || set >= phase->nprobes) return false;
  const LineProbe& p = phase->probes[set];
  return p.found[f.found] != 0 || p.found[f.foundiref] != 0;
}

void family(FILE* file, const PhaseRecord* phase, const Family& f) {
  const int sets = phase->RefMult;
  const Family& b2 = kFamilies[Q_B2];
  std::vector<char> part(static_cast<size_t>(sets)), seen(static_cast<size_t>(sets)),
      consistent(static_cast<size_t>(sets));
  std::vector<double> value(static_cast<size_t>(sets));
  for (int s = 0; s < sets; ++s) {
    const bool k = f.q == Q_K1 || f.q == Q_K2 || f.q == Q_K3;
    part[static_cast<size_t>(s)] = given(phase, s, f) && !(k && given(phase, s, b2));
  }
  for (int i = 0; i < phase->nrefl; ++i) {
    const ReflectionRecord* r = phase->refl[i];
    const size_t s = static_cast<size_t>(r->iref);
    if (!part[s]) continue;
    for (const FRecord* fr : {r->fr1, r->fr2}) {
      if (fr == nullptr) continue;
      const double v = valueof(fr, f.q);
      if (!seen[s]) {
        value[s] = v;
        seen[s] = consistent[s] = 1;
      } else if (!same(f.q, value[s], v)) {
        consistent[s] = 0;
      }
    }
  }
  for (int s = 0; s < sets; ++s) {
    const size_t u = static_cast<size_t>(s);
    if (!part[u] || !seen[u]) continue;
    if (!consistent[u]) {
      std::fprintf(file, f.choiceline, s + 1, s, s);
    } else if (f.decimals) {
      std::fprintf(file, f.setline, s + 1, decimalsfor(f.q, value[u]), written(f.q, value[u]));
    } else {
      std::fprintf(file, f.setline, s + 1, value[u]);
    }
  }
  for (int i = 0; i < phase->nrefl; ++i) {
    const ReflectionRecord* r = phase->refl[i];
    const int s = r->iref;
    const size_t u = static_cast<size_t>(s);
    if (!part[u] || !seen[u] || consistent[u]) continue;
    const int32_t* hkl = r->fr1->hkl[0];
    int sign = 1;
    for (const FRecord* fr : {r->fr1, r->fr2}) {
      if (fr == nullptr) continue;
      const double v = valueof(fr, f.q);
      const int h = sign * hkl[0], k = sign * hkl[1], l = sign * hkl[2];
      if (f.decimals)
        std::fprintf(file, f.reflline, s, h, k, l, decimalsfor(f.q, v), written(f.q, v));
      else
        std::fprintf(file, f.reflline, s, h, k, l, v);
      sign = -1;
    }
  }
}

// The structure-factor value of a reflection: |F|, or for a reflection of
// freely refined intensity the |F| its intensity stands for.
double fvalue(const PhaseRecord* phase, const ReflectionRecord* r) {
  if (!phase->lebail[r->iref]) return r->fr1->F;
  const double hg = r->fr1->nequiv * r->fr1->gewicht +
                    (r->fr2 != nullptr ? r->fr2->nequiv * r->fr2->gewicht : 0.0);
  return std::sqrt(r->intensity * phase->volume2 * r->sk * phase->density / (0.079577472 * hg));
}

// Warnings 65 and 66, each once: false when the file is to stay empty.
bool checkable(const PhaseRecord* phase) {
  bool weightless = false, nodensity = false;
  for (int i = 0; i < phase->nrefl; ++i) {
    const ReflectionRecord* r = phase->refl[i];
    if (phase->lebail[r->iref]) {
      if (r->fr1->gewicht < DBL_MIN || (r->fr2 != nullptr && r->fr2->gewicht < DBL_MIN))
        weightless = true;
    } else if (phase->density < DBL_MIN) {
      nodensity = true;
    }
  }
  if (weightless) message<65>();
  if (nodensity) message<66>();
  std::fflush(stdout);
  return !weightless && !nodensity;
}

void simplified(FILE* file, const PhaseRecord* phase) {
  Lines lines{file};
  header(lines, phase);
  lines.section();
  std::fprintf(file, "FMult=1 density=%.4f my=%.6f\n", phase->density, phase->my);
  bool alllebail = true;
  for (int i = 0; i < phase->nrefl; ++i)
    alllebail = alllebail && phase->lebail[phase->refl[i]->iref];
  if (alllebail) std::fputs("PARAM=GEWICHT=0_0\n\n", file);
  std::fputs("F=ifthenelse(ifdef(F[iref,h,k,l]),F[iref,h,k,l],0)\n", file);
  for (int i = 0; i < phase->nrefl; ++i) {
    const ReflectionRecord* r = phase->refl[i];
    const int32_t* hkl = r->fr1->hkl[0];
    const double F = fvalue(phase, r);
    std::fprintf(file, "F[%d,%d,%d,%d]=%.4f\n", r->iref + 1, hkl[0], hkl[1], hkl[2], F);
    if (r->fr2 != nullptr)
      std::fprintf(file, "F[%d,%d,%d,%d]=%.4f\n", r->iref + 1, -hkl[0], -hkl[1], -hkl[2], F);
  }
  std::fputs("// You may want to remove parts or all of the below lines\n", file);
  family(file, phase, kFamilies[Q_DELTASK]);
  family(file, phase, kFamilies[Q_DELTAZWEITHETA]);
  if (phase->RP >= 3) family(file, phase, kFamilies[Q_B1]);
  if (phase->RP == 4)
    for (Quantity q : {Q_K1, Q_K2, Q_K3, Q_B2}) family(file, phase, kFamilies[q]);
}

}  // namespace

std::string withextension(const char* path, const char* extension) {
  std::vector<char> name(std::strlen(path) + std::strlen(extension) + 2);
  std::memcpy(name.data(), path, std::strlen(path) + 1);
  makeextension(name.data(), extension, 0);
  return name.data();
}

bool outputname(const char* key, int dataset, int p, std::string& name) {
  std::vector<char> buffer(kNameLen + 1);
  const int idx[2] = {dataset, p};
  const bool defined = dataerr_try([&] {
    if (dataset == 0)
      GetIndexStrVar(key, 1, &idx[1], kNameLen, buffer.data());
    else
      GetIndexStrVar(key, 2, idx, kNameLen, buffer.data());
  });
  if (defined) name = buffer.data();
  return defined;
}

std::string recordtext(const ParamRecord& r, bool header) {
  std::string text;
  if (r.goal != nullptr) {
    text = std::string("GOAL=") + r.goal;
    const double v = goalwert != nullptr ? goalwert[r.goalindex] : 0.0;
    if (header) {
      text += r.errorstate == 2 ? std::string("=UNDEF") : format("=%.*f", decimalsof(r), v);
    } else if (r.errorestimate > 0) {
      text += format("=%.*f", decimalsof(r), v);
    }
    // The goal's second formula (its "+-" part) is not written.
  }
  if (r.name != nullptr) {
    text = std::string("PARAM=") + r.name + "=";
    if (r.errorstate == 0 && r.mintext != nullptr && onbound(r.value, r.mintext))
      text += r.mintext;
    else if (r.errorstate == 0 && r.maxtext != nullptr && onbound(r.value, r.maxtext))
      text += r.maxtext;
    else
      text += format("%.14E", r.value);
    if (r.mintext != nullptr) text += std::string("_") + r.mintext;
    if (r.maxtext != nullptr) text += std::string("^") + r.maxtext;
  }
  if (r.statement != nullptr) {
    if (r.goaldef) text = "GOAL:";
    text += r.statement;
  }
  return text;
}

bool writerefined(const PhaseRecord* phase, const char* path) {
  const std::string target = withextension(path, "str");
  if (!ownoutput(target)) return false;
  OutFile out;
  if (!out.open(target)) {
    message<232>();
    outputfailed(232);
    std::fflush(stdout);
    return false;
  }
  Lines lines{out.file()};
  header(lines, phase);
  for (const AtomRecord* at = phase->atoms; at != nullptr; at = at->next) {
    try {
      lines.section();
      for (int i = 0; i < at->nparams; ++i) lines.put(at->params[i], false);
    } catch (const DataJump&) {
      message<261>(at->number);
      std::fflush(stdout);
      throw;
    }
  }
  if (!out.commit()) {
    message<232>();
    outputfailed(232);
    std::fflush(stdout);
    return false;
  }
  return true;
}

bool writesimplified(const PhaseRecord* phase, const char* path) {
  const std::string target = withextension(path, "str");
  if (!ownoutput(target)) return false;
  OutFile out;
  if (!out.open(target)) {
    message<235>();
    outputfailed(235);
    std::fflush(stdout);
    return false;
  }
  if (checkable(phase)) simplified(out.file(), phase);
  if (!out.commit()) {
    message<235>();
    outputfailed(235);
    std::fflush(stdout);
    return false;
  }
  return true;
}

void writestructurefiles(int dataset) {
  for (PhaseRecord* phase = phase1; phase != nullptr; phase = phase->next) {
    phasei = phase;
    const bool written = dataerr_try([&] {
      std::string name;
      if (outputname("STRUCOUT", dataset, phase->number, name)) writerefined(phase, name.c_str());
      if (outputname("SimpleSTRUCOUT", dataset, phase->number, name))
        writesimplified(phase, name.c_str());
    });
    if (!written) {
      message<260>(phase->number);
      namephasefile(phase->number);
      passon();
    }
  }
}

}  // namespace tamrel
