// Reflection line computation and the per-kind plans of the user's quantities.
#include "crystal/line.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/message.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "crystal/fcalc.hpp"
#include "crystal/texturetab.hpp"
#include "model/gerneu.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"

namespace crystal {
using namespace core;
using namespace model;

namespace {

constexpr char kModule[] = "obj/tamrel";
constexpr double kPi = 3.14159265358979323846;
// sin^2 theta from which a line counts as back-scattered (theta = 90 degrees).
constexpr double kSin2Max = 0.9999998807907104;
constexpr double kCosMin = 0.00034526698300124393;
constexpr double kTiny = 2.2250738585072014e-308;
// Largest relative difference of a quantity between a reflection and its inverse.
constexpr double kAgree = 1.1920928955078125e-07;
constexpr double kInvFourPi = 0.079577472;
// Limits of the exponent of a texture weight and the weights they give.
constexpr double kSmin = -29.85276181731228;
constexpr double kSmax = 30.545908968069902;
constexpr double kWmin = 1.0842021724855044e-13;
constexpr double kWmax = 18446743523953.73;

thread_local LineFailure* failslot = nullptr;

// The variables every line sets, in the order it sets them.
constexpr PlainName kSkTheta[] = {"sk", "zweiTheta"};
constexpr PlainName kIref = "iref";
constexpr PlainName kRecordNames[] = {"h", "k", "l", "F", "Finv", "H"};
constexpr PlainName kGewicht = "GEWICHT";

// Leaves the line through the caller's error frame.
[[noreturn]] void raise() {
  dataerr_jmp();
  throw DataJump{};  // every caller of the line computation holds a frame
}

// A fatal message: printed at once, or kept for the main thread.
template <int N, class... A>
[[noreturn]] void linefatal(const A&... args) {
  if (failslot == nullptr) fatal<N>(args...);
  failslot->text = message_text<N>(args...);
  failslot->status = fatal_status(-N);
  ClearErr();
  raise();
}

[[noreturn]] void lineinternal(const char* label, int line) {
  if (failslot == nullptr) internal_error(label, kModule, line);
  char text[300];
  std::snprintf(text, sizeof text, "*** internal error labeled %s in file %s, line %d\n", label,
                kModule, line);
  failslot->text = text;
  failslot->status = 250;
  ClearErr();
  raise();
}

// One user quantity of the plan: its per-kind and plain name with their
// found flags.
struct Quantity {
  const char* iref;
  const char* plain;
  int foundiref;
  int foundplain;
};
constexpr Quantity kDELTAsk = {"DELTAsk[iref]", "DELTAsk", FOUND_DELTASK_IREF, FOUND_DELTASK};
constexpr Quantity kDELTAzweiTheta = {"DELTAzweiTheta[iref]", "DELTAzweiTheta",
                                      FOUND_DELTAZWEITHETA_IREF, FOUND_DELTAZWEITHETA};
constexpr Quantity kB1 = {"B1[iref]", "B1", FOUND_B1_IREF, FOUND_B1};
constexpr Quantity kB2 = {"B2[iref]", "B2", FOUND_B2_IREF, FOUND_B2};
constexpr Quantity kK1 = {"k1[iref]", "k1", FOUND_K1_IREF, FOUND_K1};
constexpr Quantity kK2 = {"k2[iref]", "k2", FOUND_K2_IREF, FOUND_K2};
constexpr Quantity kK3 = {"k3[iref]", "k3", FOUND_K3_IREF, FOUND_K3};

// A variable exists: its text (or number) can be read, into no buffer.
bool exists(const char* name) {
  return dataerr_try([&] { GetStrVar(name, 1 << 30, nullptr); });
}

// The name a planned quantity reads, or null when neither form was found.
const char* foundname(const LineProbe& p, const Quantity& q) {
  if (p.found[q.foundiref]) return q.iref;
  if (p.found[q.foundplain]) return q.plain;
  return nullptr;
}

// Reads a planned value. A failing evaluation of a variable that still
// exists is repeated so that its own error reaches the caller; a variable
// that vanished is message -9.
double readvalue(const char* name, bool formula) {
  double v = 0.0;
  auto eval = [&] { v = formula ? Wert(name) : GetVar(name); };
  // A plain read needs no frame of its own.
  if (formula ? dataerr_try(eval) : TryGetVar(name, &v)) return v;
  if (exists(name)) {
    eval();
    return v;
  }
  message<-9>(name);
  ClearErr();
  raise();
}

// ---------------------------------------------------------------------------
// The probe: which quantities a reflection kind reads, and in which order
// they can be evaluated. Runs at the kind's first line with its first
// F-record's variables set, in a scope of its own.

// Tries the per-kind, then the plain name of q. An existing name whose
// evaluation fails fails the try.
bool tryquantity(LineProbe& p, const Quantity& q) {
  p.found[q.foundiref] = 1;
  if (exists(q.iref)) return dataerr_try([&] { GetVar(q.iref); });
  p.found[q.foundiref] = 0;
  p.found[q.foundplain] = 1;
  if (exists(q.plain)) return dataerr_try([&] { GetVar(q.plain); });
  p.found[q.foundplain] = 0;
  return false;
}

bool tryitem(LineProbe& p, int item, FRecord* f, int iref) {
  switch (item) {
    case ITEM_F:
      return dataerr_try([&] { f->F = GetVar("F"); });
    case ITEM_DELTASK:
      return tryquantity(p, kDELTAsk);
    case ITEM_DELTAZWEITHETA:
      return tryquantity(p, kDELTAzweiTheta);
    case ITEM_B1:
      return tryquantity(p, kB1);
    case ITEM_WIDTH: {
      bool ok = true, any = false;
      auto take = [&](const Quantity& q) {
        const bool r = tryquantity(p, q);
        const bool found = p.found[q.foundiref] || p.found[q.foundplain];
        any = any || found;
        ok = ok && (r || !found);
      };
      take(kB2);
      if (!p.found[FOUND_B2_IREF] && !p.found[FOUND_B2]) take(kK1);
      take(kK2);
      take(kK3);
      return any && ok;
    }
    default: {  // ITEM_GEWICHT
      p.found[FOUND_GEWICHT_IREF] = 1;
      if (exists("GEWICHT[iref]")) return dataerr_try([] { Wert("GEWICHT[iref]"); });
      p.found[FOUND_GEWICHT_IREF] = 0;
      if (dataerr_try([] { Wert("GEWICHT(iref)"); })) {
        p.found[FOUND_GEWICHT_FUNCTION] = 1;
        message<60>(iref + 1);
        return true;
      }
      p.found[FOUND_GEWICHT] = 1;
      if (exists("GEWICHT")) return dataerr_try([] { Wert("GEWICHT"); });
      p.found[FOUND_GEWICHT] = 0;
      return false;
    }
  }
}

// The order in which a pass tries the items.
constexpr int kTryOrder[ITEM_COUNT] = {ITEM_F,  ITEM_DELTASK, ITEM_DELTAZWEITHETA,
                                       ITEM_B1, ITEM_WIDTH,   ITEM_GEWICHT};

void makeplan(PhaseRecord* ph, LineProbe& p, FRecord* f, int iref, bool lebail) {
  std::memset(p.found, 0, sizeof p.found);
  std::memset(p.plan, 0, sizeof p.plan);
  p.nplan = 0;
  for (uint8_t& x : p.pending) x = 1;
  if (ph->RP < 4) p.pending[ITEM_WIDTH] = 0;
  if (ph->RP < 3) p.pending[ITEM_B1] = 0;
  int target = ph->RP >= 4 ? 6 : ph->RP == 3 ? 5 : 4;
  if (ph->FMult == 0 || lebail) {
    --target;
    p.pending[ITEM_F] = 0;
  }
  bool added = true;
  while (p.nplan < target && added) {
    added = false;
    for (int item : kTryOrder) {
      if (!p.pending[item] || !tryitem(p, item, f, iref)) continue;
      p.plan[p.nplan++] = item;
      p.pending[item] = 0;
      added = true;
    }
  }
  const bool checked = dataerr_try([&] {
    if (lebail || !p.pending[ITEM_GEWICHT]) {
      if (ph->RP == 3 && p.pending[ITEM_B1]) {
        message<-142>();
        std::fflush(stdout);
        ClearErr();
        raise();
      }
      if (ph->RP >= 4 && p.pending[ITEM_WIDTH]) {
        message<-141>();
        std::fflush(stdout);
        ClearErr();
        raise();
      }
    } else {
      Wert("GEWICHT");  // raises the store's own error for GEWICHT
      lineinternal("internal error while detecting GEWICHT", 5802);
    }
  });
  if (!checked) raise();
}

// The plan of reflection kind iref, made under initmutex at the kind's first
// line; once a kind has its plan no lock is taken. A failing probe leaves the
// kind unprobed and the line through the caller's frame.
const LineProbe& lineprobe(PhaseRecord* ph, int iref, FRecord* f, bool lebail) {
  std::atomic_ref<LineProbe*> array(ph->probes);
  LineProbe* probes = array.load(std::memory_order_acquire);
  if (probes != nullptr &&
      std::atomic_ref<uint8_t>(probes[iref].notprobed).load(std::memory_order_acquire) == 0)
    return probes[iref];
  requestmutex(&initmutex);
  bool ok = true;
  if (ph->nprobes < ph->RefMult) {
    probes = array.load(std::memory_order_relaxed);
    if (probes == nullptr) {
      // Read by every worker at every line: on lines of its own, away from
      // what the worker that makes it writes while it computes.
      probes = linecalloc<LineProbe>(static_cast<size_t>(ph->RefMult));
      for (int32_t i = 0; i < ph->RefMult; ++i) probes[i].notprobed = 1;
      array.store(probes, std::memory_order_release);
    }
    LineProbe& p = probes[iref];
    if (p.notprobed) {
      newDATAlist();
      ok = dataerr_try([&] { makeplan(ph, p, f, iref, lebail); });
      DelAll();
      freeDATAlist();
      if (ok) {
        ++ph->nprobes;
        std::atomic_ref<uint8_t>(p.notprobed).store(0, std::memory_order_release);
      }
    }
  }
  releasemutex(&initmutex);
  if (!ok) raise();
  return ph->probes[iref];
}

// ---------------------------------------------------------------------------
// The line

// What one line collects over its F-records.
struct Line {
  PhaseRecord* ph;
  ReflectionRecord* refl;
  int32_t iref;
  bool lebail;
  int32_t hkl[3];  // the representative
  double s2;
  double sintheta, costheta;
  double angstroem;  // 10 for a phase in angstrom, else 1
  // Values over the pair, updated after each F-record.
  double deltask = 0.0;
  double b1 = 0.0;
  double b2 = 0.0;
  double intensity = 0.0;
};

double cot2theta(const Line& L) {
  return (2.0 * L.costheta * L.costheta - 1.0) / (2.0 * L.sintheta * L.costheta);
}

// A quantity must be the same for a reflection and its inverse (-221).
void agree(const Line& L, const char* name, double x1, double x2) {
  const double a1 = std::fabs(x1), a2 = std::fabs(x2);
  if (a1 < kTiny && a2 < kTiny) return;
  if (a1 >= kTiny && a2 >= kTiny && std::fabs(x1 - x2) / (a1 + a2) <= kAgree) return;
  message<-221>(name, -L.hkl[0], -L.hkl[1], -L.hkl[2], L.hkl[0], L.hkl[1], L.hkl[2], x2, x1);
  ClearErr();
  raise();
}

template <int N>
[[noreturn]] void rangefatal(const Line& L, const double hkl[3], double v) {
  linefatal<N>(L.ph->number, hkl[0], hkl[1], hkl[2], v);
}

// Reads quantity q for F-record f into *field; with the second record it
// must agree with the first record's value first.
double readquantity(const Line& L, const LineProbe& p, const Quantity& q, double* field,
                    const double* first) {
  const char* name = foundname(p, q);
  const double v = name != nullptr ? readvalue(name, false) : 0.0;
  if (first != nullptr) agree(L, name != nullptr ? name : q.plain, *first, v);
  *field = v;
  return v;
}

// Runs the plan for F-record f (pass 0: the reflection, 1: its inverse).
void runplan(Line& L, const LineProbe& p, FRecord* f, int pass, const double hkl[3]) {
  const FRecord* f1 = L.refl->fr1;
  const bool second = pass == 1;
  bool width = false;
  for (int n = 0; n < p.nplan; ++n) {
    switch (p.plan[n]) {
      case ITEM_F:
        f->F = readvalue("F", false);
        break;
      case ITEM_GEWICHT: {
        double G;
        if (p.found[FOUND_GEWICHT_IREF])
          G = readvalue("GEWICHT[iref]", true);
        else if (p.found[FOUND_GEWICHT_FUNCTION])
          G = readvalue("GEWICHT(iref)", true);
        else
          G = readvalue("GEWICHT", false);
        f->gewicht = G;
        if (G < 0.0) rangefatal<-46>(L, hkl, G);
        break;
      }
      case ITEM_DELTASK: {
        const double x = readquantity(L, p, kDELTAsk, &f->DELTAsk, second ? &f1->DELTAsk : nullptr);
        L.deltask = (second ? 0.5 * (f1->DELTAsk + x) : x) * L.angstroem;
        break;
      }
      case ITEM_DELTAZWEITHETA:
        readquantity(L, p, kDELTAzweiTheta, &f->DELTAzweiTheta,
                     second ? &f1->DELTAzweiTheta : nullptr);
        break;
      case ITEM_B1: {
        const double x = readquantity(L, p, kB1, &f->B1, second ? &f1->B1 : nullptr);
        L.b1 = (second ? 0.5 * (f1->B1 + x) : x) * L.angstroem;
        if (L.b1 < 0.0) rangefatal<-35>(L, hkl, L.b1);
        break;
      }
      default: {  // ITEM_WIDTH
        width = true;
        if (p.found[FOUND_B2_IREF] || p.found[FOUND_B2]) {
          readquantity(L, p, kB2, &f->B2, second ? &f1->B2 : nullptr);
          break;
        }
        const double k1 = readquantity(L, p, kK1, &f->k1, second ? &f1->k1 : nullptr);
        const double k2 = readquantity(L, p, kK2, &f->k2, second ? &f1->k2 : nullptr);
        readquantity(L, p, kK3, &f->k3, second ? &f1->k3 : nullptr);
        if (k2 < 0.0) rangefatal<-37>(L, hkl, k2);
        if (k1 < 0.0) rangefatal<-43>(L, hkl, k1);
        if (k1 > 1.0) rangefatal<-45>(L, hkl, k1);
        break;
      }
    }
  }
  // The fourth peak parameter, from this evaluation's B1 whatever the order
  // of the plan.
  if (!width) return;
  if (p.found[FOUND_B2_IREF] || p.found[FOUND_B2]) {
    L.b2 = (second ? 0.5 * (f1->B2 + f->B2) : f->B2) * L.angstroem * L.angstroem;
  } else {
    const double k1 = second ? 0.5 * (f1->k1 + f->k1) : f->k1;
    const double k2 = second ? 0.5 * (f1->k2 + f->k2) : f->k2;
    const double k3 = second ? 0.5 * (f1->k3 + f->k3) : f->k3;
    L.b2 = k1 * L.b1 * L.b1 + k2 * L.s2;
    if (k3 != 0.0) {
      const double t = 2.0 * l0 * L.costheta * std::max(0.0, cot2theta(L));
      L.b2 += k3 * t * t;
    }
  }
  if (L.b2 < 0.0) rangefatal<-35>(L, hkl, L.b2);
}

void setcomponents(const FRecord* f, int32_t fmult) {
  auto angle = [](double re, double im) {
    if (re * re + im * im <= 1e-24) return 0.0;
    return std::fmod(std::atan2(im, re) * 180.0 / kPi + 360.0, 360.0);
  };
  for (int32_t i = 0; i < fmult; ++i) {
    const int idx = i + 1;
    const double* c = f->comp[i];
    SetIndexVar("F", 1, &idx, mycabs(c[0], c[1]));
    SetIndexVar("phi", 1, &idx, angle(c[0], c[1]));
    SetIndexVar("Finv", 1, &idx, mycabs(c[2], c[3]));
    SetIndexVar("phiinv", 1, &idx, angle(c[2], c[3]));
  }
}

// Sum over the order-n table of the texture coefficients at (h, k, l).
double spharsum(const PhaseRecord* ph, int order, const double hkl[3]) {
  const SpharView v = spharview(const_cast<PhaseRecord*>(ph), order);
  const MonomialTables t = monomialtables(order);
  double S = 0.0;
  for (int j = 0; j < t.count; ++j) S += v.s[j] * t.zaehl[j] * t.fak(j, hkl[0], hkl[1], hkl[2]);
  return S;
}

// Texture weight of F-record f; sets "GEWICHT" when the phase has a texture.
void texture(const Line& L, FRecord* f, const double hkl[3]) {
  const PhaseRecord* ph = L.ph;
  const int32_t T = ph->texture;
  if (T == TEXTURE_NONE) return;
  const int32_t status = std::atomic_ref<int32_t>(L.ph->gewichtstatus).load();
  if ((durchlauf == 0 && T >= TEXTURE_SPHAR2) || (T == TEXTURE_SPHAR0 && status == 1)) {
    f->gewichtcalc = ph->GEWICHT;
    SetVars(&kGewicht, &ph->GEWICHT, 1);
  } else if (T >= TEXTURE_SPHAR2) {
    const int order = 2 * (T - TEXTURE_SPHAR0);
    double S = spharsum(ph, order, hkl);
    for (int i = 0; i < order / 2; ++i) S /= L.s2;
    const double weight = S < kSmin ? kWmin : S > kSmax ? kWmax : std::exp(S);
    f->gewichtcalc = weight;
    SetVars(&kGewicht, &weight, 1);
  }
}

// Steps of one F-record: its variables, its plan, its share of the intensity.
void frecord(Line& L, FRecord* f, int pass) {
  PhaseRecord* ph = L.ph;
  const double sign = pass == 0 ? 1.0 : -1.0;
  const double hkl[3] = {sign * L.hkl[0], sign * L.hkl[1], sign * L.hkl[2]};
  const double H = f->nequiv;
  if (ph->FMult == 0) {
    const double v[6] = {hkl[0], hkl[1], hkl[2], f->F, f->Finv, H};
    if (pass == 1)
      SetVars(kRecordNames, v, 6);
    else
      SetVars(kRecordNames + 3, v + 3, 3);
  } else {
    if (pass == 1) SetVars(kRecordNames, hkl, 3);
    setcomponents(f, ph->FMult);
    SetVars(kRecordNames + 5, &H, 1);
  }
  if (durchlauf > 1) {
    const double s4 = L.s2 * L.s2;
    for (AnisotropyRecord* o = ph->aniso; o != nullptr; o = o->next) {
      if (o->kind != ANISO_FOURTH) continue;
      double v = 0.0;
      for (int j = 0; j < 15; ++j) v += o->c[j] * zaehl4[j] * fak4(j, hkl[0], hkl[1], hkl[2]);
      v /= s4;
      SetVar(o->name, v >= 0.0 ? o->s * v : 0.0);
      if (std::strcmp(o->name, "GEWICHT") == 0) f->gewichtcalc = o->s * v;
    }
  }
  texture(L, f, hkl);
  if (model::m == 0 && phase1 != nullptr && phase1->next == nullptr) {
    const double one = 1.0;
    SetVars(&kGewicht, &one, 1);
  }
  const LineProbe& p = lineprobe(ph, L.iref, f, L.lebail);
  runplan(L, p, f, pass, hkl);
  if (p.pending[ITEM_DELTASK]) L.deltask = 0.0;
  if (p.pending[ITEM_DELTAZWEITHETA]) f->DELTAzweiTheta = 0.0;
  if (ph->RP > 2 && p.pending[ITEM_B1]) L.b1 = 0.0;
  if (ph->RP > 3 && p.pending[ITEM_WIDTH]) L.b2 = 0.0;
  if (!L.lebail) {
    const double rho = ph->density != 0.0 ? ph->density : 1.0;
    L.intensity += f->F * f->F * f->gewicht * f->nequiv * kInvFourPi / (L.s2 * ph->volume2 * rho);
  }
}

// The structure factors of the representative and of its inverse.
void structurefactor(const Line& L) {
  FRecord* f1 = L.refl->fr1;
  FRecord* f2 = L.refl->fr2;
  const int32_t fmult = L.ph->FMult;
  if (L.lebail) {
    f1->F = f1->Finv = 0.0;
    for (int32_t i = 0; i < fmult && f1->comp != nullptr; ++i)
      for (int j = 0; j < 4; ++j) f1->comp[i][j] = 0.0;
  } else if (fmult == 0) {
    double out[4];
    fcalc(out, 1, L.iref, nullptr, f1, 0, L.s2);
    f1->F = mycabs(out[0], out[1]);
    f1->Finv = mycabs(out[2], out[3]);
  } else {
    double out[4];
    fcalc(out, 1, L.iref, f1->comp, f1, 0, L.s2);
    double sum[4] = {0.0, 0.0, 0.0, 0.0};
    for (int32_t i = 0; i < fmult; ++i)
      for (int j = 0; j < 4; ++j) sum[j] += f1->comp[i][j];
    f1->F = mycabs(sum[0], sum[1]);
    f1->Finv = mycabs(sum[2], sum[3]);
  }
  if (f2 == nullptr) return;
  f2->F = f1->Finv;
  f2->Finv = f1->F;
  if (f1->comp != nullptr && f2->comp != nullptr) {
    for (int32_t i = 0; i < fmult; ++i) {
      const double* c = f1->comp[i];
      double* d = f2->comp[i];
      d[0] = c[2], d[1] = c[3], d[2] = c[0], d[3] = c[1];
    }
  }
}

// The anisotropy objects' variables of the line (fourth-order objects come
// per F-record, from stage 2 on).
void anisotropy(const Line& L) {
  const double h = L.hkl[0], k = L.hkl[1], l = L.hkl[2];
  for (AnisotropyRecord* o = L.ph->aniso; o != nullptr; o = o->next) {
    if (durchlauf > 1 && (o->kind == ANISO_LINEAR || o->kind == ANISO_SQUARE)) {
      const double* t = o->t;  // t11, t22, t33, t12, t13, t23
      const double Q = (t[0] * h * h + t[1] * k * k + t[2] * l * l + 2.0 * t[3] * h * k +
                        2.0 * t[5] * k * l + 2.0 * t[4] * h * l) /
                       L.s2;
      double v = std::max(0.0, Q);
      if (o->kind == ANISO_LINEAR) v = std::sqrt(v);
      SetVar(o->name, v * o->s);
      if (std::strcmp(o->name, "GEWICHT") == 0) {
        L.refl->fr1->gewichtcalc = v * o->s;
        if (L.refl->fr2 != nullptr) L.refl->fr2->gewichtcalc = v * o->s;
      }
    } else if (durchlauf <= 1 || o->kind == ANISO_CONSTANT) {
      SetVar(o->name, o->value);
    }
  }
}

// Whether the phase defines GEWICHT at all, found once without a lock
// (concurrent finds write the same value).
void findgewicht(PhaseRecord* ph) {
  std::atomic_ref<int32_t> status(ph->gewichtstatus);
  if (status.load(std::memory_order_relaxed) != 0) return;
  newDATAlist();
  const bool defined = dataerr_try([] { GetVar("GEWICHT"); });
  DelAll();
  freeDATAlist();
  ClearErr();
  status.store(defined ? 2 : 1, std::memory_order_relaxed);
}

// The line's position from the shifted 1/d; 2theta out of range is fatal.
void position(const Line& L) {
  ReflectionRecord* r = L.refl;
  double sk = L.s2 > 0.0 ? std::sqrt(L.s2) : 0.0;
  double d2t = r->fr1->DELTAzweiTheta;
  if (r->fr2 != nullptr) d2t = 0.5 * (d2t + r->fr2->DELTAzweiTheta);
  if (std::fabs(d2t) >= kTiny) {
    const double s = sk / (2.0 * l0);
    if (!(s > 0.0 && s <= 1.0)) linefatal<-62>();
    const double tt = std::asin(s) * 360.0 / kPi + d2t;
    if (!(tt >= 0.0 && tt <= 180.0)) linefatal<-62>();
    sk = 2.0 * l0 * std::sin(tt * kPi / 360.0);
  }
  sk += L.deltask;
  r->skshift = sk;
  const double st = L.sintheta, ct = L.costheta;
  const double X = zelmarry == 2 ? st : ct;
  double zero = (eps1 - eps10) + (eps2 - eps20) * X + (eps3 - eps30) * (2.0 * st * ct);
  // The cotangent grows without bound towards 2theta = 0: only a shift that
  // is there multiplies it.
  if (eps4 != eps40) zero += (eps4 - eps40) * std::max(0.0, cot2theta(L));
  r->position = sk - zero * std::sqrt(std::max(0.0, 4.0 * l0 * l0 - L.s2));
}

// The line as one peak of the phase's kind in its slot of param.
void peak(const Line& L) {
  ReflectionRecord* r = L.refl;
  const int32_t s = r->slot;
  const int32_t column = L.ph->number - 1;
  const float I = static_cast<float>(r->intensity), P = static_cast<float>(r->position);
  if (L.ph->RP <= 2) {
    float* b = param->par2 + 2 * s;
    b[0] = I, b[1] = P;
    if (param->ix2 != nullptr) param->ix2[s] = column;
  } else if (L.ph->RP == 3) {
    r->B1 = L.b1;
    float* b = param->par3 + 3 * s;
    b[0] = I, b[1] = P, b[2] = static_cast<float>(L.b1);
    if (param->ix3 != nullptr) param->ix3[s] = column;
  } else {
    r->B1 = L.b1;
    r->B2 = L.b2;
    float* b = param->par4 + 4 * s;
    b[0] = I, b[1] = P, b[2] = static_cast<float>(L.b1), b[3] = static_cast<float>(L.b2);
    if (param->ix4 != nullptr) param->ix4[s] = column;
  }
}

}  // namespace

void setlinefailure(LineFailure* slot) { failslot = slot; }

void linefailureexit(const LineFailure& failure) {
  std::fputs(failure.text.c_str(), stdout);
  fatal_exit(failure.status);
}

void computeline(ReflectionRecord* refl) {
  Line L;
  L.ph = phasei;
  L.refl = refl;
  L.iref = refl->iref;
  L.lebail = L.ph->lebail != nullptr && L.ph->lebail[refl->iref] != 0;
  L.angstroem = L.ph->unit == UNIT_ANGSTROEM ? 10.0 : 1.0;
  for (int i = 0; i < 3; ++i) L.hkl[i] = refl->fr1->hkl[0][i];
  const double h = L.hkl[0], k = L.hkl[1], l = L.hkl[2];
  const double* g = L.ph->rmetric;  // g11, g22, g33, g12, g23, g13
  L.s2 = g[0] * h * h + g[1] * k * k + g[2] * l * l + 2.0 * g[3] * h * k + 2.0 * g[4] * k * l +
         2.0 * g[5] * h * l;
  refl->sk = L.s2;
  if (l0 <= 0.0) lineinternal("l0", 5247);
  const double sin2 = L.s2 / (4.0 * l0 * l0);
  const double sk = L.s2 > 0.0 ? std::sqrt(L.s2) : 0.0;
  double v[3] = {L.ph->unit == UNIT_ANGSTROEM ? 0.1 * sk : sk, 0.0, 0.0};
  if (sin2 < kSin2Max) {
    L.sintheta = std::sqrt(sin2);
    L.costheta = std::sqrt(1.0 - sin2);
    v[1] = std::asin(L.sintheta) * 360.0 / kPi;
    SetVars(kSkTheta, v, 2);
  } else {
    L.sintheta = 1.0;
    L.costheta = kCosMin;
    SetVars(kSkTheta, v, 1);
  }
  anisotropy(L);
  v[0] = L.iref + 1;
  SetVars(&kIref, v, 1);
  findgewicht(L.ph);
  v[0] = h, v[1] = k, v[2] = l;
  SetVars(kRecordNames, v, 3);
  structurefactor(L);
  frecord(L, refl->fr1, 0);
  if (refl->fr2 != nullptr) frecord(L, refl->fr2, 1);
  DelAll();
  if (!L.lebail) refl->intensity = L.intensity;
  position(L);
  peak(L);
}

}  // namespace crystal
