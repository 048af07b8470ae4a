// Texture and anisotropy functions, the symmetrisation of their coefficients
// and the mean of the texture function over all directions.
#include "crystal/aniso.hpp"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/integral.hpp"
#include "core/message.hpp"
#include "core/velmora.hpp"
#include "crystal/goal.hpp"
#include "crystal/texturetab.hpp"
#include "model/lam.hpp"
#include "numeric/ddreieck.hpp"

namespace core {}
namespace numeric {}
namespace model {}
namespace crystal {
using namespace core;
using namespace numeric;
using namespace model;

double d[9];

namespace {

constexpr const char* kModule = "obj/tamrel";
constexpr double kPi = 3.14159265358979323846;

const double* rotation(const PhaseRecord* ph, int r) {
  return ph->operators + 13 * static_cast<size_t>(r) + 3;
}

int operatorcount(const PhaseRecord* ph) { return ph->group->general->count; }

// The symmetric tensor entries of the fourth-order form (q^T M q with q = (x^2,
// y^2, z^2, xy, xz, yz) and M = L L^T from the packed factor L), one per
// monomial of degree 4.
void quartic(const double L[21], double e[15]) {
  double M[21];
  std::memcpy(M, L, sizeof M);
  ddquad(M, 6);
  auto m = [&](int i, int j) { return M[i * (i + 1) / 2 + j]; };
  const double coef[15] = {m(0, 0),
                           2 * m(3, 0),
                           2 * m(4, 0),
                           2 * m(1, 0) + m(3, 3),
                           2 * (m(5, 0) + m(4, 3)),
                           2 * m(2, 0) + m(4, 4),
                           2 * m(3, 1),
                           2 * (m(4, 1) + m(5, 3)),
                           2 * (m(3, 2) + m(5, 4)),
                           2 * m(4, 2),
                           m(1, 1),
                           2 * m(5, 1),
                           2 * m(2, 1) + m(5, 5),
                           2 * m(5, 2),
                           m(2, 2)};
  for (int k = 0; k < 15; ++k) e[k] = coef[k] / zaehl4[k];
}

// The expansion of a texture order: sum over the monomials of coefficient x
// multiplicity x monomial at (h, k, l).
double spharsum(int order, const double* s, double h, double k, double l) {
  const MonomialTables t = monomialtables(order);
  double x = 0;
  for (int i = 0; i < t.count; ++i) x += s[i] * t.zaehl[i] * t.fak(i, h, k, l);
  return x;
}

double fourthsum(const double* c, double h, double k, double l) {
  double x = 0;
  for (int i = 0; i < 15; ++i) x += zaehl4[i] * c[i] * fak4(i, h, k, l);
  return x;
}

// h^T t h for the six components t11, t22, t33, t12, t13, t23.
double quadratic(const double t[6], double h, double k, double l) {
  return h * (h * t[0] + 2 * k * t[3]) + k * (k * t[1] + 2 * l * t[5]) +
         l * (2 * h * t[4] + l * t[2]);
}

double clampexp(double x) {
  if (x < -29.85276181731228) return 1.0842021724855044e-13;
  if (x > 30.545908968069902) return 18446743523953.73;
  return std::exp(x);
}

int spharorder(int kind) {
  return kind >= TEXTURE_SPHAR2 && kind <= TEXTURE_SPHAR10 ? 2 * (kind - 1) : 0;
}

// Evaluates a formula text in the given lookup mode; the mode is restored and
// the failing records stay pending. False when it failed.
bool evaluate(int mode, const std::string& text, double& value) {
  const int saved = getrekart();
  setrekart(mode);
  const bool ok = dataerr_try([&] { value = Wert(text.c_str()); });
  setrekart(saved);
  return ok;
}

// head followed by the three argument texts and ")": call("B1(", args) is
// "B1(h,k,l)".
std::string call(const std::string& head, const char* const* args) {
  return head + args[0] + "," + args[1] + "," + args[2] + ")";
}

// ANISO of a fixed name in lookup mode 2, 0 when it fails.
double anisoorzero(const char* name, const char* const* args) {
  double v = 0;
  if (evaluate(2, call(std::string("ANISO(") + name + ",", args), v)) return v;
  ClearErr();
  return 0.0;
}

void triple(const char* const* args, double& h, double& k, double& l) {
  h = Wert(args[0]);
  k = Wert(args[1]);
  l = Wert(args[2]);
}

// ---------------------------------------------------------------------------
// Mean over the directions

// What the integrands read: the Cholesky factor of the direct metric, the
// object or none, the phase.
struct MeanContext {
  double L[6];  // g11, g12, g22, g13, g23, g33 of G = L L^T
  const AnisotropyRecord* object;
  PhaseRecord* phase;
  bool trackmax;
};
MeanContext mean;

// The largest value met, kept in the phase; the integrand runs on several
// workers at once.
void raisemax(double v) {
  std::atomic_ref<double> max(mean.phase->gewichtmax);
  double old = max.load(std::memory_order_relaxed);
  while (v > old && !max.compare_exchange_weak(old, v, std::memory_order_relaxed)) {
  }
}

double inner(void* pointer, double theta) {
  const double phi = *static_cast<const double*>(pointer);
  const double u[3] = {std::cos(phi) * std::cos(theta), std::cos(phi) * std::sin(theta),
                       std::sin(phi)};
  const double* L = mean.L;
  const double h = L[0] * u[0];
  const double k = L[1] * u[0] + L[2] * u[1];
  const double l = L[3] * u[0] + L[4] * u[1] + L[5] * u[2];
  double v = 0;
  if (mean.object != nullptr) {
    const AnisotropyRecord* o = mean.object;
    switch (o->kind) {
      case ANISO_LINEAR: {
        const double q = quadratic(o->t, h, k, l);
        v = o->s * std::sqrt(q > 0 ? q : 0.0);
        break;
      }
      case ANISO_SQUARE:
        v = o->s * quadratic(o->t, h, k, l);
        break;
      case ANISO_FOURTH:
        v = o->s * fourthsum(o->c, h, k, l);
        break;
      default:
        internal_error("GEWICHTAnisoIso", kModule, 6710);
    }
  } else {
    const int kind = mean.phase->texture;
    if (kind == TEXTURE_NONE) internal_error("innernone", kModule, 6755);
    const int order = spharorder(kind);
    if (order == 0) internal_error("innerdefault", kModule, 6757);
    v = clampexp(spharsum(order, spharview(mean.phase, order).s, h, k, l));
  }
  if (mean.trackmax) raisemax(v);
  return v;
}

double ausser(void* /*pointer*/, double phi) {
  return std::cos(phi) * integral7(inner, &phi, 0.0, kPi, 1e-12);
}

}  // namespace

// ---------------------------------------------------------------------------
// Tensors

void anisoinit(double p[6], bool flag) {
  double s[3];
  for (int i = 0; i < 3; ++i) s[i] = flag ? p[i] : std::sqrt(p[i]);
  switch (anisochange) {
    case 0:
      d[0] = s[0] * s[0];
      d[1] = s[0] * s[1] * p[3];
      d[2] = s[0] * s[2] * p[4];
      d[4] = (p[3] * p[3] + 1) * s[1] * s[1];
      d[5] = (p[3] * p[4] + p[5]) * s[1] * s[2];
      d[8] = (p[4] * p[4] + p[5] * p[5] + 1) * s[2] * s[2];
      break;
    case 1:
      p[3] *= s[1];
      p[4] *= s[2];
      p[5] *= s[2];
      return;
    default:
      d[0] = s[0] * s[0];
      d[1] = s[0] * p[3];
      d[2] = s[0] * p[4];
      d[4] = p[3] * p[3] + s[1] * s[1];
      d[5] = p[3] * p[4] + s[1] * p[5];
      d[8] = p[4] * p[4] + p[5] * p[5] + s[2] * s[2];
      break;
  }
  d[3] = d[1];
  d[6] = d[2];
  d[7] = d[5];
}

void tensorcomponents(const double t[9], double out[6]) {
  out[0] = t[0];
  out[1] = t[4];
  out[2] = t[8];
  out[3] = 0.5 * (t[1] + t[3]);
  out[4] = 0.5 * (t[2] + t[6]);
  out[5] = 0.5 * (t[5] + t[7]);
}

void transformtensor(const double R[9], const double t[9], double out[9]) {
  double Rt[9];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      Rt[3 * i + j] = R[3 * i] * t[j] + R[3 * i + 1] * t[3 + j] + R[3 * i + 2] * t[6 + j];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      out[3 * i + j] =
          Rt[3 * i] * R[3 * j] + Rt[3 * i + 1] * R[3 * j + 1] + Rt[3 * i + 2] * R[3 * j + 2];
}

double hklQ(const PhaseRecord* ph, double h, double k, double l) {
  const double* g = ph->rmetric;  // g11, g22, g33, g12, g23, g13
  return h * (h * g[0] + 2 * k * g[3]) + k * (k * g[1] + 2 * l * g[4]) +
         l * (2 * h * g[5] + l * g[2]);
}

double anisovalue(const AnisotropyRecord* o, double h, double k, double l, double Q) {
  switch (o->kind) {
    case ANISO_CONSTANT:
      return o->value;
    case ANISO_LINEAR: {
      const double q = quadratic(o->t, h, k, l);
      return o->s * std::sqrt((q > 0 ? q : 0.0) / Q);
    }
    case ANISO_SQUARE:
      return o->s * quadratic(o->t, h, k, l) / Q;
    default:
      return o->s * fourthsum(o->c, h, k, l) / (Q * Q);
  }
}

double spharvalue(const PhaseRecord* ph, double h, double k, double l, double Q) {
  const int order = spharorder(ph->texture);
  const SpharView v = spharview(const_cast<PhaseRecord*>(ph), order);
  double Qn = 1;
  for (int i = 0; i < order / 2; ++i) Qn *= Q;
  return clampexp(spharsum(order, v.s, h, k, l) / Qn);
}

// ---------------------------------------------------------------------------
// Symmetrisation

void anisosymmetrie(PhaseRecord* ph) {
  const int nops = operatorcount(ph);
  const double ra = std::sqrt(ph->rmetric[0]), rb = std::sqrt(ph->rmetric[1]),
               rc = std::sqrt(ph->rmetric[2]);
  const double scale[6] = {ra * ra, rb * rb, rc * rc, ra * rb, ra * rc, rb * rc};
  for (AnisotropyRecord* o = ph->aniso; o != nullptr; o = o->next) {
    if (o->kind == ANISO_LINEAR || o->kind == ANISO_SQUARE) {
      if (ph->anisosetup && nops > 1)
        for (int i = 0; i < 6; ++i) strafinit(&o->penalty[i], 0);
      anisoinit(o->param, o->kind == ANISO_LINEAR);
      double sum[9] = {0}, image[9];
      for (int r = 0; r < nops; ++r) {
        transformtensor(rotation(ph, r), d, image);
        if (r == 0) tensorcomponents(image, o->first);
        for (int i = 0; i < 9; ++i) sum[i] += image[i];
      }
      for (int i = 0; i < 9; ++i) sum[i] /= nops;
      tensorcomponents(sum, o->t);
      if (nops > 1)
        for (int i = 0; i < 6; ++i) o->penalty[i] = (o->first[i] - o->t[i]) / scale[i];
    } else if (o->kind == ANISO_FOURTH) {
      if (ph->anisosetup && nops > 1)
        for (int i = 0; i < 15; ++i) strafinit(&o->penalty[i], 0);
      zaehlbau();
      double e[15], P[15 * 15], I[15 * 15];
      quartic(o->param, e);
      texturprojektor(4, ph->operators, nops, P, I);
      for (int k = 0; k < 15; ++k) {
        double first = 0, meanvalue = 0;
        for (int j = 0; j < 15; ++j) {
          first += e[j] * I[15 * j + k];
          meanvalue += e[j] * P[15 * j + k];
        }
        o->first[k] = first;
        o->c[k] = meanvalue;
      }
      if (nops > 1)
        for (int k = 0; k < 15; ++k) o->penalty[k] = (o->first[k] - o->c[k]) / fak4(k, ra, rb, rc);
    }
  }
}

void textursymmetrie(PhaseRecord* ph) {
  const int order = spharorder(ph->texture);
  if (order == 0) return;
  zaehlbau();
  const SpharView v = spharview(ph, order);
  const MonomialTables t = monomialtables(order);
  const int N = v.N;
  const int nops = operatorcount(ph);
  if (ph->texturesetup) {
    message<49>(ph->number, texturname[ph->texture]);
    if (nops > 1)
      for (int k = 0; k < N; ++k) strafinit(&v.q[k], 1);
    texturprojektor(order, ph->operators, nops, v.proj, v.ident);
    message<50>();
  }
  for (int k = 0; k < N; ++k) {
    double s = 0;
    for (int j = 0; j < N; ++j) s += v.c[j] * v.proj[N * j + k];
    v.s[k] = s;
  }
  if (linstrafinit && nops > 1) {
    const double ra = std::sqrt(ph->rmetric[0]), rb = std::sqrt(ph->rmetric[1]),
                 rc = std::sqrt(ph->rmetric[2]);
    for (int k = 0; k < N; ++k) {
      double first = 0;
      for (int j = 0; j < N; ++j) first += v.c[j] * v.ident[N * j + k];
      v.q[k] = (first - v.s[k]) / t.fak(k, ra, rb, rc);
    }
  }
}

// ---------------------------------------------------------------------------
// Formula functions

double sk(const char* /*name*/, const char* const* args, int /*nargs*/) {
  double h, k, l;
  triple(args, h, k, l);
  const double v = std::sqrt(hklQ(phasei, h, k, l));
  return phasei->unit == UNIT_ANGSTROEM ? 0.1 * v : v;
}

double aniso(const char* /*name*/, const char* const* args, int /*nargs*/) {
  double h, k, l;
  triple(args + 1, h, k, l);
  const double Q = hklQ(phasei, h, k, l);
  const AnisotropyRecord* found = nullptr;
  for (const AnisotropyRecord* o = phasei->aniso; o != nullptr; o = o->next)
    if (o->name != nullptr && std::strcmp(o->name, args[0]) == 0) found = o;
  if (found != nullptr) return anisovalue(found, h, k, l, Q);

  // A variable: evaluated with the direction's values in a scope of its own.
  const double s = std::sqrt(Q);
  const int mode = getrekart();
  newDATAlist();
  setrekart(2);
  SetVar("sk", phasei->unit == UNIT_ANGSTROEM ? 0.1 * s : s);
  if (2 * l0 > s) SetVar("zweiTheta", std::asin(0.5 * s / l0) * 360 / kPi);
  SetVar("h", h);
  SetVar("k", k);
  SetVar("l", l);
  const double v = GetVar(args[0]);
  DelAll();
  freeDATAlist();
  setrekart(mode);
  return v;
}

double hklgewicht(const char* /*name*/, const char* const* args, int /*nargs*/) {
  switch (phasei->texture) {
    case TEXTURE_NONE: {
      double v = 0;
      if (!evaluate(2, call("ANISO(GEWICHT,", args), v)) dataerr_jmp();
      return v;
    }
    case TEXTURE_SPHAR0:
      return phasei->GEWICHT;
    default: {
      double h, k, l;
      triple(args, h, k, l);
      return spharvalue(phasei, h, k, l, hklQ(phasei, h, k, l));
    }
  }
}

double globaltds(const char* /*name*/, const char* const* args, int /*nargs*/) {
  return anisoorzero("TDS", args);
}
double b1(const char* /*name*/, const char* const* args, int /*nargs*/) {
  return anisoorzero("B1", args);
}
double k2(const char* /*name*/, const char* const* args, int /*nargs*/) {
  return anisoorzero("k2", args);
}

double tds(const char* /*name*/, const char* const* args, int /*nargs*/) {
  switch (pa->tdskind) {
    case TDS_ANISO: {
      double h, k, l;
      triple(args, h, k, l);
      const double* b = pa->sites[0].b;
      const double B = 4 * quadratic(b, h, k, l) / hklQ(phasei, h, k, l);
      return phasei->unit == UNIT_ANGSTROEM ? 100 * B : B;
    }
    case TDS_ONCE:
    case TDS_PERREFLECTION: {
      const int mode = getrekart();
      setrekart(1);
      const double v = GetVar("TDS");
      setrekart(mode);
      return v;
    }
    default:
      internal_error("TDSART", kModule, 4220);
  }
}

double graindiameter(const char* /*name*/, const char* const* args, int /*nargs*/) {
  char pi[32];
  std::snprintf(pi, sizeof pi, "%17.15f", kPi);
  const std::string b1call = call("B1(", args);
  double v = 0;
  if (phasei->RP >= 4 &&
      evaluate(2, std::string("4*(1+2*sqrt(k1))/(3*") + pi + "*" + b1call + "*sqr(1+sqrt(k1)))", v))
    return v;
  if (phasei->RP < 3) dataerr_jmp();
  if (!evaluate(2, std::string("4/(3*") + pi + "*" + b1call + ")", v)) dataerr_jmp();
  return v;
}

double gewicht(AnisotropyRecord* object) {
  PhaseRecord* ph = phasei;
  const double* g = ph->metric;  // a^2, b^2, c^2, ab cos gamma, ac cos beta, bc cos alpha
  double L[6] = {g[0], g[3], g[1], g[4], g[5], g[2]};
  int status = 0;
  dmfsp(L, 3, &status, 2.220446049250313e-15);
  if (status != 0) internal_error("dmfspgewicht", kModule, 6791);
  if (object == nullptr && ph->texture < TEXTURE_SPHAR2)
    internal_error("gewichtdefault", kModule, 6811);
  // The integrands test these too, but on the workers; a broken call is
  // reported here, on the calling thread, before any worker starts.
  if (object != nullptr && (object->kind < ANISO_LINEAR || object->kind > ANISO_FOURTH))
    internal_error("GEWICHTAnisoIso", kModule, 6710);
  if (object == nullptr && ph->texture > TEXTURE_SPHAR10)
    internal_error("innerdefault", kModule, 6757);
  std::memcpy(mean.L, L, sizeof L);
  mean.object = object;
  mean.phase = ph;
  mean.trackmax = ifmaxgewicht != 0;
  return parallelintegral7(ausser, nullptr, -kPi / 2, kPi / 2, 3e-11) / (2 * kPi);
}

}  // namespace crystal
