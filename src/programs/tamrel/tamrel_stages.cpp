// The refinement stages, the significance analysis before the texture and
// anisotropy stages, and the texture-order and anisotropy checks.
#include "tamrel_stages.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/message.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "crystal/cycle.hpp"
#include "crystal/ks.hpp"
#include "crystal/parmaxfree.hpp"
#include "crystal/texturetab.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"
#include "numeric/chi2wert.hpp"
#include "numeric/ddreieck.hpp"
#include "numeric/packed.hpp"
#include "numeric/qmin8.hpp"
#include "scan/apx63.hpp"
#include "scan/ddm.hpp"
#include "tamrel.hpp"
#include "tamrel_datasets.hpp"
#include "tamrel_export.hpp"
#include "tamrel_final.hpp"
#include "tamrel_listfile.hpp"
#include "tamrel_peakfile.hpp"
#include "tamrel_strucout.hpp"
#include "tamrel_texturefile.hpp"

namespace tamrel {

using namespace core;
using namespace numeric;
using namespace scan;
using namespace model;
using namespace crystal;

const int zaehligkeit[11][6] = {
    {1, 6, 15, 28, 45, 66}, {1, 4, 9, 16, 25, 36}, {1, 3, 6, 10, 15, 21}, {1, 2, 5, 8, 13, 18},
    {1, 2, 4, 6, 9, 12},    {1, 2, 5, 10, 15, 22}, {1, 2, 4, 7, 10, 14},  {1, 2, 3, 6, 9, 12},
    {1, 2, 3, 5, 7, 9},     {1, 1, 2, 4, 5, 7},    {1, 1, 2, 3, 4, 5}};

namespace {

constexpr double kTiny = 2.2250738585072014e-308;
constexpr double kAtBoundStage = 4.4942328371557524e+305;
constexpr double kFactorEps = 2.220446049250313e-14;

// Where the records of the current stage stand, for the significance
// analysis of the next one.
struct PhaseBlock {
  int lo = 0, hi = 0;  // the phase's records [lo, hi)
  int weight = -1;     // its weight record
};
std::unordered_map<const PhaseRecord*, PhaseBlock> blocks;
std::unordered_map<const void*, int> isorecord;  // anisotropy object or atom: its isotropic record
std::unordered_map<const AnisotropyRecord*, double> isosigma;  // sigma of the isotropic value
int globalrecords = 0;                                         // records of global parameters

std::vector<QminParam> records;  // the records being collected

double bound(const char* text, double none) { return text != nullptr ? Wert(text) : none; }

void add(const char* name, void* owner, void* sub, int index, double* value, double lo, double hi) {
  records.push_back({name, owner, sub, index, value, lo, hi});
}

// ---------------------------------------------------------------------------
// Significance analysis

struct Significance {
  std::vector<double> C;  // inverted regularised normal matrix
  std::vector<uint8_t> marks;
  double g = 1;
  bool fewdata = true;
  bool inverted = false;
};

// The sum of squares of the current model and the normal matrix of its
// residuals, with the number of rows that carry information.
void normalmatrix(std::vector<double>& A, double* S, long* informative, int* count) {
  float* r = nullptr;
  int n = 0;
  totalmodell(&n, &r);
  const double sum = sumsquares(r, n, 0.0);
  const int P = rqmin;
  A.assign(static_cast<size_t>(tri(P)), 0.0);
  const long info = normalrows(r, n, P, A.data(), nullptr);
  std::free(r);
  *S = sum;
  *informative = info;
  *count = n;
}

bool significance(Significance& sg, int stage) {
  double S = 0;
  long informative = 0;
  int n = 0;
  std::vector<double> A;
  normalmatrix(A, &S, &informative, &n);
  sg.g = errorscale(S, informative, rqmin);
  sg.marks.assign(static_cast<size_t>(rqmin), MARK_FREE);
  for (int k = 0; k < rqmin; ++k)
    if (A[static_cast<size_t>(tri(k) + k)] == 0.0) {
      A[static_cast<size_t>(tri(k) + k)] = kInsensitiveDiagonal;
      sg.marks[static_cast<size_t>(k)] = MARK_INSENSITIVE;
    } else if (*qminparam[k].value == qminparam[k].min || *qminparam[k].value == qminparam[k].max) {
      sg.marks[static_cast<size_t>(k)] = MARK_ATBOUND;
    }
  const auto diag = [&](int k) { return A[static_cast<size_t>(tri(k) + k)]; };
  if (stage == 1) {
    for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next) {
      const int k = blocks[ph].weight;
      if (ph->texture >= TEXTURE_SPHAR2 && k >= 0) ph->weightsigma = sg.g / std::sqrt(diag(k));
    }
  } else {
    for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next)
      for (AnisotropyRecord* o = ph->aniso; o != nullptr; o = o->next) {
        auto it = isorecord.find(o);
        if (it == isorecord.end()) continue;
        const int k = it->second;
        isosigma[o] = sg.g / std::sqrt(diag(k));
        // The tensor parameters are refined in units of this sigma: the
        // model multiplies the anisotropic form by it.
        o->s = isosigma[o];
        if (o->value == o->limit && sg.marks[static_cast<size_t>(k)] == MARK_ATBOUND)
          sg.marks[static_cast<size_t>(k)] = MARK_FREE;
      }
  }
  for (int k = 0; k < rqmin; ++k) {
    double& d = A[static_cast<size_t>(tri(k) + k)];
    if (sg.marks[static_cast<size_t>(k)] == MARK_FREE)
      d *= kFreeScale;
    else if (sg.marks[static_cast<size_t>(k)] == MARK_ATBOUND)
      d = kAtBoundStage;
  }
  int status = rqmin > 0 ? 0 : -1;
  if (rqmin > 0) dmsin(A.data(), rqmin, &status, kInversionEps);
  if (status != 0) {
    message<225>();
    std::fflush(stdout);
    return false;
  }
  sg.C = std::move(A);
  innen(param);
  sg.fewdata = true;
  if (m > rqmin) sg.fewdata = estimatet0(param, m - rqmin) != 0;
  return true;
}

int lauenumber(const PhaseRecord* ph) {
  return lauegroup(static_cast<int>(std::strtol(ph->selector[SEL_SPACEGROUPNO], nullptr, 10)));
}

// The peak set's in-range flag and re-estimated intensity of a reflection.
bool peakinrange(const PhaseRecord* ph, const ReflectionRecord* r) {
  const uint8_t* in = ph->RP == 2 ? param->in2 : ph->RP == 3 ? param->in3 : param->in4;
  return in == nullptr || in[r->slot] != 0;
}

void lowerphase(PhaseRecord* ph, int kind) {
  if (kind == ph->texture) return;
  if (kind == TEXTURE_SPHAR0)
    for (AnisotropyRecord* o = ph->aniso; o != nullptr; o = o->next)
      if (o->name != nullptr && std::strcmp(o->name, "GEWICHT") == 0) o->value = ph->GEWICHT;
  ph->texture = kind;
}

void texturecheck(PhaseRecord* ph, const Significance& sg) {
  if (ph->texture <= TEXTURE_SPHAR0) return;
  const PhaseBlock& b = blocks[ph];
  if (b.weight < 0 || sg.marks[static_cast<size_t>(b.weight)] == MARK_INSENSITIVE) {
    ph->texture = TEXTURE_SPHAR0;
    return;
  }
  double q = 0.0;
  if (!sg.fewdata && ph->GEWICHT != 0.0) {
    const int lo = b.lo, P = b.hi - b.lo;
    std::vector<double> B(static_cast<size_t>(tri(P)));
    for (int i = 0; i < P; ++i)
      for (int j = 0; j <= i; ++j)
        B[static_cast<size_t>(tri(i) + j)] = sg.C[static_cast<size_t>(tri(lo + i) + lo + j)];
    int status = 0;
    dmsin(B.data(), P, &status, kInversionEps);
    if (status != 0) {
      message<225>();
      std::fflush(stdout);
      return;
    }
    const int k = b.weight - lo;
    q = ph->GEWICHT * std::sqrt(B[static_cast<size_t>(tri(k) + k)]) / sg.g;
  }
  double I = 0.0;
  for (int i = 0; i < ph->nrefl; ++i) {
    const ReflectionRecord* r = ph->refl[i];
    if (ph->lebail != nullptr && ph->lebail[r->iref] != 0) continue;
    if (!peakinrange(ph, r)) continue;
    I += r->intensity > kTiny ? r->intensity : kTiny;
  }
  double N = 0.0;
  if (!sg.fewdata && I >= kTiny) {
    FreeParamTask task{};
    task.cursor = 0;
    task.phase = ph;
    task.peaks = param;
    task.sum = 0.0;
    task.q = q / I;
    if (nthreads > 1) createmutex(&task.mutex, false);
    nspawn(parmaxfree, 0, reinterpret_cast<uint64_t>(&task));
    nwait();
    if (nthreads > 1) closemutex(&task.mutex);
    N = task.sum;
  }
  lowerphase(ph, textureorder(ph, ph->texture, lauenumber(ph), q, N));
}

void anisocheck(PhaseRecord* ph, const Significance& sg) {
  const int laue = lauenumber(ph);
  const int* Z = zaehligkeit[laue];
  const int Z2 = laue <= 8 ? Z[1] : Z[2];
  std::vector<AnisotropyRecord*> objects;
  for (AnisotropyRecord* o = ph->aniso; o != nullptr; o = o->next)
    objects.insert(objects.begin(), o);
  for (AnisotropyRecord* o : objects) {
    auto it = isorecord.find(o);
    if (it == isorecord.end()) continue;
    const int k = it->second;
    if (sg.marks[static_cast<size_t>(k)] == MARK_INSENSITIVE) {
      o->kind = ANISO_CONSTANT;
      continue;
    }
    const double ckk = sg.C[static_cast<size_t>(tri(k) + k)];
    const double q = o->value / (sg.g * std::sqrt(ckk));
    double I = 0.0;
    std::vector<double> inside;
    for (int i = 0; i < ph->nrefl; ++i) {
      const double s = ph->refl[i]->position * 0.5 / l0;
      if (s >= sinxmin && s <= sinxmax) {
        I += ph->refl[i]->intensity;
        inside.push_back(ph->refl[i]->intensity);
      }
    }
    double N = 0.0;
    if (I > 0.0)
      for (double t : inside) N += suite::erf(0.44311346272637897 * t * q / I);
    if (o->kind == ANISO_CONSTANT) continue;
    const bool off = o->anisolimitgiven ? o->anisolimit > q : (Z2 > N || 2.0 * Z2 > q);
    if (off) {
      message<52>(ph->number, o->name != nullptr ? o->name : "");
      std::fflush(stdout);
      o->kind = ANISO_CONSTANT;
      continue;
    }
    if (o->kind == ANISO_FOURTH) {
      const bool lower = o->aniso4limitgiven ? o->aniso4limit > q : (Z[2] > N || 2.0 * Z[2] > q);
      if (lower) {
        message<54>(ph->number, o->name != nullptr ? o->name : "");
        std::fflush(stdout);
        o->kind = ANISO_SQUARE;
      }
    }
  }
  for (AtomRecord* at = ph->atoms; at != nullptr; at = at->next) {
    if (at->tdskind != TDS_ANISO) continue;
    auto it = isorecord.find(at);
    if (it == isorecord.end()) continue;
    const int k = it->second;
    const double q = at->B / (sg.g * std::sqrt(sg.C[static_cast<size_t>(tri(k) + k)]));
    if (at->anisolimit > q) {
      message<53>(ph->number, at->number);
      std::fflush(stdout);
      at->tdskind = TDS_ISO;
    }
  }
}

bool hastexture() {
  for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next)
    if (ph->texture >= TEXTURE_SPHAR2) return true;
  return false;
}

bool hasanisotropy(bool objectsonly) {
  for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next) {
    for (AnisotropyRecord* o = ph->aniso; o != nullptr; o = o->next)
      if (!objectsonly || o->kind != ANISO_CONSTANT) return true;
    for (AtomRecord* at = ph->atoms; at != nullptr; at = at->next)
      if (at->tdskind == TDS_ANISO) return true;
  }
  return false;
}

// Whether stage s has anything to do; runs the significance analysis.
bool decide(int s) {
  if (s == 0 || s == 3) return true;
  const bool needed = s == 1 ? hastexture() : hasanisotropy(false);
  if (m == 0) {
    for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next) {
      if (s == 1 && ph->texture > TEXTURE_SPHAR0) ph->texture = TEXTURE_SPHAR0;
      if (s == 2) {
        for (AnisotropyRecord* o = ph->aniso; o != nullptr; o = o->next) o->kind = ANISO_CONSTANT;
        for (AtomRecord* at = ph->atoms; at != nullptr; at = at->next)
          if (at->tdskind == TDS_ANISO) at->tdskind = TDS_ISO;
      }
    }
    return false;
  }
  if (!needed) return false;
  Significance sg;
  if (significance(sg, s)) {
    for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next) {
      if (s == 1)
        texturecheck(ph, sg);
      else
        anisocheck(ph, sg);
    }
  }
  return s == 1 ? hastexture() : hasanisotropy(true);
}

// ---------------------------------------------------------------------------
// Records of a stage

// The Cholesky factor f11, f21, f22, f31, f32, f33 of the phase's metric.
void metricfactor(const PhaseRecord* ph, double f[6], const char* label) {
  const double* G = ph->rmetric;
  f[0] = G[0];
  f[1] = G[3];
  f[2] = G[1];
  f[3] = G[5];
  f[4] = G[4];
  f[5] = G[2];
  int status = 0;
  dmfsp(f, 3, &status, kFactorEps);
  if (status != 0) internal_error(label, kModule, __LINE__);
}

// Texture coefficients of order n that start isotropic at the mean weight.
void isotropictexture(PhaseRecord* ph) {
  const int order = 2 * (ph->texture - TEXTURE_SPHAR0);
  SpharView v = spharview(ph, order);
  if (v.c == nullptr) return;
  zaehlbau();
  const MonomialTables t = monomialtables(order);
  const double* rm = ph->rmetric;
  const double G[3][3] = {{rm[0], rm[3], rm[5]}, {rm[3], rm[1], rm[4]}, {rm[5], rm[4], rm[2]}};
  std::vector<double> T(static_cast<size_t>(v.N), 0.0);
  const int tuples = tuplecount(order);
  std::vector<int> idx(static_cast<size_t>(order));
  for (int tup = 0; tup < tuples; ++tup) {
    int x = tup;
    for (int j = order - 1; j >= 0; --j) {
      idx[static_cast<size_t>(j)] = x % 3;
      x /= 3;
    }
    double prod = 1.0;
    for (int j = 0; j < order; j += 2)
      prod *= G[idx[static_cast<size_t>(j)]][idx[static_cast<size_t>(j) + 1]];
    T[t.get1aus[tup]] += prod;
  }
  const double lnw = std::log(ph->GEWICHT);
  for (int i = 0; i < v.N; ++i) v.c[i] = lnw * T[static_cast<size_t>(i)] / t.zaehl[i];
}

void weightrecords(PhaseRecord* ph, int stage, PhaseBlock& b) {
  if (ph->texture == TEXTURE_NONE) return;
  if (stage == 0 || ph->texture == TEXTURE_SPHAR0) {
    if (stage == 0) ph->GEWICHT = m == 0 ? 1.0 : 0.0;
    if (ph->texture >= TEXTURE_SPHAR2) b.weight = static_cast<int>(records.size());
    add("GEWICHT", ph, nullptr, -1, &ph->GEWICHT, 0.0, kFloatMax);
    return;
  }
  if (stage == 1) {
    if (ph->GEWICHT < 0.1 * ph->weightsigma) ph->GEWICHT = 0.1 * ph->weightsigma;
    isotropictexture(ph);
  }
  SpharView v = spharview(ph, 2 * (ph->texture - TEXTURE_SPHAR0));
  for (int i = 0; i < v.N; ++i) {
    const double c = v.c[i];
    add("GEWICHT", ph, nullptr, -1, &v.c[i], c < -kFloatMax ? c : -kFloatMax,
        c > kFloatMax ? c : kFloatMax);
  }
}

void anisorecords(PhaseRecord* ph, int stage) {
  std::vector<AnisotropyRecord*> objects;
  for (AnisotropyRecord* o = ph->aniso; o != nullptr; o = o->next)
    objects.insert(objects.begin(), o);
  for (AnisotropyRecord* o : objects) {
    const char* name = o->name;
    if (stage < 2 || o->kind == ANISO_CONSTANT) {
      if (stage == 0) o->value = 0.0;
      isorecord[o] = static_cast<int>(records.size());
      add(name, ph, nullptr, -1, &o->value, 0.0, o->limit);
      continue;
    }
    double f[6];
    metricfactor(ph, f, "danisoERR");
    const double fd[3] = {f[0], f[2], f[5]};
    if (stage == 2) {
      const double sigma = isosigma.count(o) != 0 ? isosigma[o] : 0.0;
      if (!(sigma > 0.0)) internal_error("isosigmaZERO", kModule, __LINE__);
      const double r = o->value / sigma;
      if (o->kind == ANISO_FOURTH) {
        const double* G = ph->rmetric;
        const double first[6] = {G[0], G[1], G[2], 2 * G[3], 2 * G[5], 2 * G[4]};
        for (double& p : o->param) p = 0.0;
        for (int j = 0; j < 6; ++j) o->param[tri(j)] = std::sqrt(r) * first[j];
      } else {
        const double s = r > 0.1 ? r : 0.1;
        for (int i = 0; i < 3; ++i)
          o->param[i] = (o->kind == ANISO_LINEAR ? fd[i] : fd[i] * fd[i]) * s;
        o->param[3] = f[1] / f[2];
        o->param[4] = f[3] / f[5];
        o->param[5] = f[4] / f[5];
      }
    }
    if (o->kind == ANISO_FOURTH) {
      for (int j = 0; j < 6; ++j)
        for (int c = 0; c < (j + 1 < 3 ? j + 1 : 3); ++c)
          add(name, ph, nullptr, -1, &o->param[tri(j) + c], -kFloatMax, kFloatMax);
      continue;
    }
    const bool floor = stage == 2 && m > 0;
    for (int i = 0; i < 3; ++i) {
      const double lo = floor ? 0.1 * (o->kind == ANISO_LINEAR ? fd[i] : fd[i] * fd[i]) : 0.0;
      add(name, ph, nullptr, -1, &o->param[i], lo, kFloatMax);
    }
    for (int i = 3; i < 6; ++i) add(name, ph, nullptr, -1, &o->param[i], -kFloatMax, kFloatMax);
  }
}

void paramrecords(ParamRecord* params, int count, PhaseRecord* ph, AtomRecord* at) {
  for (int i = 0; i < count; ++i) {
    ParamRecord& p = params[i];
    if (p.name == nullptr || p.skip != 0 || p.goal != nullptr) continue;
    add(p.name, ph, at, -1, &p.value, bound(p.mintext, -kFloatMax), bound(p.maxtext, kFloatMax));
  }
}

void atomrecords(PhaseRecord* ph, AtomRecord* at, int stage) {
  paramrecords(at->params, at->nparams, ph, at);
  if (at->tdskind == TDS_ANISO && stage >= 2) {
    double f[6];
    metricfactor(ph, f, "danisoTDS");
    const double fd[3] = {f[0], f[2], f[5]};
    if (stage == 2) {
      const double s = 0.25 * at->B > 3e-5 ? 0.25 * at->B : 3e-5;
      for (int i = 0; i < 3; ++i) at->anisoparam[i] = fd[i] * fd[i] * s;
      at->anisoparam[3] = f[1] / f[2];
      at->anisoparam[4] = f[3] / f[5];
      at->anisoparam[5] = f[4] / f[5];
    }
    const bool floor = stage == 2 && m > 0;
    for (int i = 0; i < 3; ++i)
      add("TDS", ph, at, -1, &at->anisoparam[i], floor ? 3e-5 * fd[i] * fd[i] : 0.0, kFloatMax);
    for (int i = 3; i < 6; ++i) add("TDS", ph, at, -1, &at->anisoparam[i], -kFloatMax, kFloatMax);
    return;
  }
  if (at->tdskind != TDS_ISO && at->tdskind != TDS_ANISO) return;
  if (stage == 0) at->B = 0.0;
  double hi = kFloatMax;
  if (at->limittext != nullptr) {
    // The limit is written in the phase's unit: A^2 = 0.01 nm^2.
    hi = Wert(at->limittext);
    if (ph->unit == UNIT_ANGSTROEM) hi *= 0.01;
  }
  isorecord[at] = static_cast<int>(records.size());
  add("TDS", ph, at, -1, &at->B, 0.0, hi);
}

void collect(int stage) {
  records.clear();
  blocks.clear();
  isorecord.clear();
  const int nglobal = globalgoals + globalparams;
  paramrecords(paramglobal, nglobal, nullptr, nullptr);
  globalrecords = static_cast<int>(records.size());
  for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next) {
    if (!dataerr_try([&] {
          PhaseBlock b;
          b.lo = static_cast<int>(records.size());
          paramrecords(ph->params, ph->nparams, ph, nullptr);
          weightrecords(ph, stage, b);
          anisorecords(ph, stage);
          for (AtomRecord* at = ph->atoms; at != nullptr; at = at->next)
            if (!dataerr_try([&] { atomrecords(ph, at, stage); })) {
              message<261>(at->number);
              passon();
            }
          b.hi = static_cast<int>(records.size());
          blocks[ph] = b;
        })) {
      message<260>(ph->number);
      namephasefile(ph->number);
      passon();
    }
  }
  noequiv = static_cast<int>(records.size());
  const int base[5] = {0, 0, 0, 2 * rp2, 2 * rp2 + 3 * rp3};
  for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next)
    for (int i = 0; i < ph->nrefl; ++i) {
      ReflectionRecord* r = ph->refl[i];
      if (ph->lebail == nullptr || ph->lebail[r->iref] == 0) continue;
      if (stage == 0) r->intensity = 0.0;
      add("peakintensity", ph, nullptr, base[ph->RP] + ph->RP * r->slot, &r->intensity, 0.0,
          kFloatMax);
    }
  const int ru = param != nullptr ? param->ru : 0;
  for (int i = 0; i < ru; ++i)
    add("background", nullptr, nullptr, 2 * rp2 + 3 * rp3 + 4 * rp4 + i, &tu[i], 0.0, kFloatMax);
  std::free(qminparam);
  qminparam = nullptr;
  rqmin = static_cast<int>(records.size());
  if (rqmin > 0) {
    qminparam = kcalloc<QminParam>(static_cast<size_t>(rqmin));
    std::memcpy(qminparam, records.data(), sizeof(QminParam) * static_cast<size_t>(rqmin));
  }
}

// The structural part of the records per phase, for the convergence factor.
double recordsperphase() {
  double x = noequiv - globalrecords;
  if (x == 0) x = 1;
  return nphasen > 0 ? x / nphasen : x;
}

void checkstart() {
  for (int k = 0; k < rqmin; ++k) {
    const QminParam& q = qminparam[k];
    if (*q.value >= q.min && *q.value <= q.max) continue;
    message<-132>(q.name != nullptr ? q.name : "");
    if (q.sub != nullptr) message<261>(static_cast<AtomRecord*>(q.sub)->number);
    if (q.owner != nullptr) {
      message<260>(static_cast<PhaseRecord*>(q.owner)->number);
      namephasefile(static_cast<PhaseRecord*>(q.owner)->number);
    }
    fatal_exit(fatal_status(132));
  }
}

void freebuffers() {
  std::free(kettenregel);
  std::free(matrixmultdim);
  std::free(strafableitung);
  kettenregel = strafableitung = nullptr;
  matrixmultdim = nullptr;
  kettenregeldim = 0;
}

void allocbuffers() {
  const int ru = param != nullptr ? param->ru : 0;
  if (noequiv > 0) {
    kettenregeldim = rpeaks - ru;
    if (kettenregeldim > 0)
      kettenregel =
          kcalloc<float>(static_cast<size_t>(noequiv) * static_cast<size_t>(kettenregeldim));
    matrixmultdim = kcalloc<int32_t>(2 * static_cast<size_t>(noequiv));
    for (int k = 0; k < globalrecords; ++k) {
      matrixmultdim[2 * k] = 0;
      matrixmultdim[2 * k + 1] = kettenregeldim;
    }
    for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next) {
      const PhaseBlock& b = blocks[ph];
      for (int k = b.lo; k < b.hi; ++k) {
        matrixmultdim[2 * k] = ph->peakfirst;
        matrixmultdim[2 * k + 1] = ph->peaklast - ph->peakfirst;
      }
    }
  }
}

bool anyrestraint() {
  for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next)
    if (ph->theory > 0.0) return true;
  return false;
}

// The sum of squares of the start: finite, and the model admissible there.
void startcheck(int stage) {
  float* r = nullptr;
  int n = 0;
  const bool admissible = totalmodell(&n, &r);
  double S = qplus;
  for (int i = 0; i < n; ++i) {
    const float q = r[i] * r[i];
    S += q;
  }
  std::free(r);
  if (!admissible || !std::isfinite(S)) fatal<-36>(stage);
}

void failure(int k) {
  const QminParam& q = qminparam[k - 1];
  const char* name = q.name != nullptr ? q.name : "";
  auto* ph = static_cast<PhaseRecord*>(q.owner);
  auto* at = static_cast<AtomRecord*>(q.sub);
  if (ph != nullptr && at != nullptr) fatal<-34>(ph->number, at->number, name);
  if (ph != nullptr) fatal<-33>(ph->number, name);
  fatal<-32>(name);
}

// What the progress lines of a fit need: its stage, and the sum of the
// squared weighted intensities of the measured points, the denominator of Rwp.
struct Progress {
  int stage = 0;
  int dataset = 0;  // a further data set from 1, or 0 for the stages
  double sumwI2 = 0;
  int headed = -1;  // the parameter count of the heading printed, -1 before it
} progress;

// The denominator of Rwp for the measured points now in place.
void weightedsum() {
  progress.sumwI2 = 0;
  for (int i = 0; i < m; ++i) {
    const double wi = static_cast<double>(w[i]) * intensitaet[i];
    progress.sumwI2 += wi * wi;
  }
}

// One line per point the minimiser stands on: the stage (or the data set),
// the iteration and the Rwp of the measured points there (as in the list
// file), or the sum of squares when there are no measured points (a fit of
// restraints alone).
void showprogress(int iteration, const float* r, int nres, double twos) {
  if (progress.sumwI2 > 0) {
    double sum = 0;
    const int points = nres < m ? nres : m;
    for (int i = 0; i < points; ++i) sum += static_cast<double>(r[i]) * r[i];
    const double rwp = 100.0 * std::sqrt(sum / progress.sumwI2);
    if (progress.dataset > 0) {
      message<372>(progress.dataset, iteration, rwp);
    } else {
      message<360>(progress.stage, iteration, rwp);
    }
  } else {
    message<362>(progress.stage, iteration, twos);
  }
  std::fflush(stdout);
}

// The heading of the refinement, once; a later stage that refines another
// number of parameters says so.
void heading(int stage) {
  if (progress.headed < 0) {
    std::printf("\n");
    message<224>(ddmrange != nullptr ? "DDM" : "Rietveld", m, rqmin);
    progress.headed = rqmin;
  } else if (progress.headed != rqmin) {
    message<361>(stage, rqmin);
    progress.headed = rqmin;
  }
  std::fflush(stdout);
  progress.stage = stage;
  progress.dataset = 0;
  weightedsum();
}

void body(int stage) {
  RunState& rs = runstate;
  freebuffers();
  checklevel("ondatalevel", __LINE__);
  collect(stage);
  checkstart();
  allocbuffers();
  lastphase = localphase = nullptr;
  tabcopy();
  if (istraf > 0 && noequiv > 0)
    strafableitung = kcalloc<float>(static_cast<size_t>(istraf) * static_cast<size_t>(noequiv));
  if (stage > 0 && !rs.allstages) return;
  if (m == 0 && !anyrestraint()) return;
  heading(stage);
  const double x = recordsperphase();
  switch (stage) {
    case 0:
      ermodfaktor = rs.allstages ? 1e-5 / x : static_cast<double>(rs.isofactor);
      break;
    case 1:
      ermodfaktor = 1e-5 / x;
      break;
    default:
      ermodfaktor = 1.1920928955078125e-07;
  }
  int iterations = rs.itmax >= 0 ? rs.itmax : 10 * rqmin;
  linstrafinit = 1;
  checklevel("ondatalevel", __LINE__);
  startcheck(stage);
  const int k = qmin8(qminparam, rqmin, totalmodell, totalableitung, &qplus, &iterations, &ermod,
                      &moderror, rs.protokoll, rs.protokoll ? nullptr : showprogress);
  if (k != 0) failure(k);
  // No iteration means a refused start, unless there is nothing to refine:
  // a fixed model is only evaluated.
  if (iterations == 0 && rqmin > 0) fatal<-36>(stage);
  rs.iterations += iterations;
  checklevel("ondatalevel", __LINE__);
}

}  // namespace

double sumsquares(const float* r, int n, double start) {
  double sum = start;
  for (int i = 0; i < n; ++i) {
    const float q = r[i] * r[i];
    sum += q;
  }
  return sum;
}

long normalrows(const float* r, int n, int P, double* N, double* R) {
  std::vector<float> row(static_cast<size_t>(P > 0 ? P : 1));
  std::vector<double> drow(row.size());
  long informative = 0;
  for (int i = 0; i < n; ++i) {
    totalableitung(row.data(), i);
    bool any = i < m || r[i] != 0.0f;
    for (int k = 0; k < P; ++k) {
      drow[static_cast<size_t>(k)] = row[static_cast<size_t>(k)];
      if (row[static_cast<size_t>(k)] != 0.0f) any = true;
    }
    if (any) ++informative;
    if (P > 0) {
      dbau(drow.data(), N, P);
      if (R != nullptr && i >= m) dbau(drow.data(), R, P);
    }
  }
  return informative;
}

int textureorder(const PhaseRecord* phase, int kind, int laue, double q, double N) {
  auto* ph = const_cast<PhaseRecord*>(phase);
  const int* Z = zaehligkeit[laue];
  auto reduce = [&](int to) {
    message<51>(phase->number, texturname[kind], texturname[to]);
    std::fflush(stdout);
    kind = to;
  };
  if (kind >= TEXTURE_SPHAR2) {
    const SpharView v = spharview(ph, 2);
    const bool lower = *v.limitgiven ? *v.limit > q : (laue <= 8 ? Z[1] > N : Z[2] > N);
    if (lower) reduce(TEXTURE_SPHAR0);
  }
  if (kind >= TEXTURE_SPHAR4) {
    const SpharView v = spharview(ph, 4);
    if (*v.limitgiven ? *v.limit > q : (Z[2] > N || 3.0 * Z[2] > q)) reduce(TEXTURE_SPHAR2);
  }
  for (int order = 6; order <= 10; order += 2) {
    const int half = order / 2;
    const int k = TEXTURE_SPHAR0 + half;
    if (kind < k) break;
    const SpharView v = spharview(ph, order);
    if (*v.limitgiven ? *v.limit > q : Z[half] > N) reduce(k - 1);
  }
  return kind;
}

void stages() {
  checklevel("ondatalevel", __LINE__);
  const int last = 3 + (m > 0 ? 1 : 0);
  for (int s = 0; s < last; ++s) {
    // The significance analysis judges the previous stage's model: the
    // stage number changes only for the body.
    if (!decide(s)) continue;
    durchlauf = s;
    body(s);
  }
}

void writeoutputs(int dataset) {
  setoutputdataset(dataset);
  writelist(dataset);
  writetexturefiles(dataset);
  CellErrors errors;
  errors.covariance = finalmodel.covariance ? finalmodel.C.data() : nullptr;
  writeinstructionfiles(dataset, errors);
  writestructurefiles(dataset);
  writestructurefactorfiles(dataset);
  writecoordinatefiles(dataset);
  writepeakfile(dataset);
}

void refine() {
  // Every cycle writes the diagram again: only the final model's waits for
  // the disk.
  syncdiagram(false);
  stages();
  savestartvalues();
  computefinal();
  writeoutputs(0);
}

void freerefinement() {
  freegoalrows();
  freestages();
}

Qmin8Progress datasetprogress(int dataset) {
  progress.dataset = dataset;
  weightedsum();
  return showprogress;
}

void freestages() {
  freebuffers();
  std::free(qminparam);
  qminparam = nullptr;
  rqmin = 0;
  noequiv = 0;
  records.clear();
  blocks.clear();
  isorecord.clear();
  isosigma.clear();
}

}  // namespace tamrel
