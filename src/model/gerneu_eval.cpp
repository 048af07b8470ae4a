// The instrument function at one angle (ger).
//
// Inside the table's range the nearest grid point is used with its weights
// rescaled; else one record is scaled by cot 2 theta, or two records that
// bracket the angle are blended, folded with the aberration of the beam path
// (penetration into a reflecting sample, a transmitting flat sample, a
// cylindrical capillary), sampled adaptively and refitted with
// squared-Lorentzian components (gerneu_refit.cpp). Without records and table
// the store's formula LINTOR gives the width.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/data.hpp"
#include "core/message.hpp"
#include "model/gerneu.hpp"
#include "model/gerneu_internal.hpp"

namespace model {
using namespace core;

namespace gerneu {

[[noreturn]] void fail(int code) { throw GerFailure{code}; }

void newcomponents(Context& cx, int count) {
  std::free(*cx.g);
  std::free(*cx.e);
  std::free(*cx.q);
  *cx.g = zerofloats(count);
  *cx.e = zerofloats(count);
  *cx.q = zerofloats(count);
  *cx.n = count;
}

namespace {

void warnpenetration(Context& cx) {
  if (zelmarry != 1 || cx.lambda == 0) return;
  if (cx.keys != nullptr) {
    cx.warn14 = true;
  } else if (!warnung2) {
    message<14>();
    warnung2 = 1;
  }
}

void geqpath(Context& cx, double s, double z) {
  const TableRecord* r = geqfirst;
  double scale = 1.0;
  if (r->next != nullptr) {
    // The first pair of neighbouring records whose keys enclose s, else the
    // last pair.
    const TableRecord* prev = geqfirst;
    const TableRecord* cur = prev->next;
    double wprev = 0, wcur = 0;
    if (tableindexed()) {
      const std::vector<double>& key = geqindex.keys;
      const size_t n = key.size();
      size_t j = 0;
      // With ascending keys every pair below the first key at or above s
      // has both keys below s.
      if (geqindex.ascending) {
        const auto t =
            static_cast<size_t>(std::lower_bound(key.begin() + 1, key.end(), s) - key.begin());
        j = std::min(t, n - 1) - 1;
      }
      while (!((s - key[j]) * (s - key[j + 1]) <= 0) && j + 2 < n) ++j;
      prev = geqindex.records[j];
      cur = geqindex.records[j + 1];
      wprev = geqindex.weights[j];
      wcur = geqindex.weights[j + 1];
    } else {
      while (!((s - prev->key) * (s - cur->key) <= 0) && cur->next != nullptr) {
        prev = cur;
        cur = cur->next;
      }
      for (int i = 0; i < prev->n; ++i) wprev += prev->g[i];
      for (int i = 0; i < cur->n; ++i) wcur += cur->g[i];
    }
    double kp = prev->key, kc = cur->key;
    // Two grid points at the same angle: the first one stands for both.
    double w = kc != kp ? ((s - kp) * wcur + (kc - s) * wprev) / (kc - kp) : wprev;
    bool takecur = std::fabs(kc - s) < std::fabs(kp - s);
    r = takecur ? cur : prev;
    double wr = takecur ? wcur : wprev;
    if (wr != 0) scale = w / wr;
  }
  newcomponents(cx, r->n);
  float* cg = *cx.g;
  float* ce = *cx.e;
  float* cq = *cx.q;
  for (int i = 0; i < r->n; ++i) {
    cg[i] = static_cast<float>(r->g[i] * scale);
    ce[i] = static_cast<float>(r->e[i] + z);
    cq[i] = r->q[i];
  }
}

void nodatapath(Context& cx, double s, double z) {
  // LINTOR is a formula of the store, in THETA.
  if (cx.keys != nullptr) fail(kOnCaller);
  warnpenetration(cx);
  double width = 0;
  {
    LookupMode mode(cx, 2);
    // THETA and zweiTheta live in a scope of their own for the evaluation, so
    // that a key of the same name in the caller's scope is left alone.
    newDATAlist();
    SetVar("THETA", std::asin(s) * 180 / kPi);
    SetVar("zweiTheta", std::asin(s) * 360 / kPi);
    bool defined = dataerr_try([&] { GetStrVar("LINTOR", 1 << 24, nullptr); });
    if (defined) {
      if (!dataerr_try([&] { width = GetVar("LINTOR"); })) {
        // The evaluation error belongs to the caller's frame; the records
        // stay pending for it.
        DelAll();
        freeDATAlist();
        dataerr_jmp();
        width = 1.0;
        newDATAlist();
      }
    } else {
      width = 0;
      if (nofile) message<120>(geqname);
      nofile = 0;
    }
    DelAll();
    freeDATAlist();
  }
  newcomponents(cx, 1);
  (*cx.g)[0] = 1;
  (*cx.e)[0] = static_cast<float>(z);
  (*cx.q)[0] = static_cast<float>(width);
}

void onerecord(Context& cx, double k, double z) {
  warnpenetration(cx);
  const ProfileRecord* r = perst;
  // A record measured at 2 theta = 90 degrees (cot 2 theta zero within the
  // resolution of the angle) carries no scale for other angles. Across 90 degrees the shape is
  // mirrored (cot 2 theta changes sign), and the widths keep their magnitude, never below the floor
  // of the refit.
  double key = r->key;
  double sr = std::sin(0.5 * std::atan2(1.0, key)), cr = std::sqrt(1 - sr * sr);
  if (std::fabs(key) <= (2 * key * key + 2) * sr * 3.5762786865234375e-07 / cr) fail(-14);
  double ratio = k / key;
  newcomponents(cx, r->n);
  float* cg = *cx.g;
  float* ce = *cx.e;
  float* cq = *cx.q;
  for (int i = 0; i < r->n; ++i) {
    cg[i] = static_cast<float>(r->g[i] * static_cast<double>(r->gsum));
    ce[i] = static_cast<float>(r->e[i] * ratio + z);
    float width = static_cast<float>(r->q[i] * std::fabs(ratio));
    cq[i] = width > 1e-06f ? width : 1e-06f;
  }
}

void tworecords(Context& cx, double s, double c, double k, double z) {
  LookupMode mode(cx, 2);
  int a = 0, b = 0;
  bracket(cx, s, c, k, a, b);
  const double absorb = prepare(cx, s, c, k, a, b);
  resample(cx, absorb);
  assemble(cx, c, z, absorb);
}

}  // namespace

Keys readkeys() {
  Keys k;
  k.hasdr = dataerr_try([&] {
    k.dr_d = GetVar("D");
    k.dr_r = GetVar("R");
  });
  k.hastd = dataerr_try([&] {
    k.td_t = GetVar("T");
    k.td_d = GetVar("D");
  });
  k.hastr = dataerr_try([&] {
    k.tr_t = GetVar("T");
    k.tr_r = GetVar("R");
  });
  k.epsg = optional("EPSG", 0.007);
  return k;
}

void bracket(Context& cx, double s, double c, double k, int& a, int& b) {
  double tol = (2 * k * k + 2) * s * 3.5762786865234375e-07 / c;
  std::vector<const ProfileRecord*>& list = cx.fit.list;
  list.clear();
  for (const ProfileRecord* r = perst; r != nullptr; r = r->next) list.push_back(r);
  int count = static_cast<int>(list.size());
  if (k > list[0]->key + tol) fail(-14);
  int i = 1;
  while (i < count - 1 && !(list[i]->key <= k)) ++i;
  if (i == count - 1 && k < list[i]->key - tol) fail(-14);

  // Records measured at the same angle bracket nothing: take the next
  // distinct angle beyond the pair, or before it at the end of the list.
  a = i - 1;
  b = i;
  if (list[a]->key == list[b]->key) {
    int bb = b;
    while (bb < count && list[bb]->key == list[a]->key) ++bb;
    if (bb < count) {
      b = bb;
    } else {
      int aa = a;
      while (aa >= 0 && list[aa]->key == list[b]->key) --aa;
      a = aa >= 0 ? aa : b;
    }
  }
}
double prepare(Context& cx, double s, double c, double k, int a, int b) {
  const std::vector<const ProfileRecord*>& list = cx.fit.list;
  const ProfileRecord* nearr;
  const ProfileRecord* farr;
  if (std::fabs(list[a]->key - k) < std::fabs(list[b]->key - k)) {
    nearr = list[a];
    farr = list[b];
  } else {
    nearr = list[b];
    farr = list[a];
  }
  double u = farr->key == nearr->key ? 0 : (k - nearr->key) / (farr->key - nearr->key);

  // DeltaOmega at theta.
  double theta = std::asin(s);
  double thnear = 0.5 * std::atan2(1.0, static_cast<double>(nearr->key));
  double thfar = 0.5 * std::atan2(1.0, static_cast<double>(farr->key));
  double omega = thnear != thfar
                     ? ((theta - thfar) * nearr->deltaomega + (thnear - theta) * farr->deltaomega) /
                           (thnear - thfar)
                     : nearr->deltaomega;

  double off8 = getf32(header + 8), off12 = getf32(header + 12);
  double absorb = 0;
  const Keys keys = cx.keys != nullptr ? *cx.keys : readkeys();
  if (zelmarry == 1) {
    // A reflecting sample turned by at least theta sees no beam.
    if (!(std::fabs(omega) < theta)) fail(-14);
    double sfac = 1 / std::sin(theta - omega) + 1 / std::sin(theta + omega);
    if (keys.hasdr)
      cx.lambda = keys.dr_d * c / (keys.dr_r * sfac);
    else
      cx.lambda = off8 * c / sfac;
    cx.lambdaset = true;
    double tdd = keys.hastd ? keys.td_t / keys.td_d : off12;
    absorb = std::exp(std::fmax(-tdd * sfac, -15.942385152878742));
  } else {
    if (keys.hastd)
      cx.tdivd = keys.td_t / keys.td_d;
    else
      cx.tdivd = off8 > 0 ? off12 / off8 : 0;
    cx.tdivr = keys.hastr ? keys.tr_t / keys.tr_r : off12;
  }
  cx.epsg = keys.epsg;
  cx.absorption = absorb;
  cx.pathcache.clear();

  // Start components from the near record, relative to its centroid.
  Refit& fit = cx.fit;
  fit.nearr = nearr;
  fit.farr = farr;
  fit.u = u;
  int nn = nearr->n;
  fit.cg.assign(nearr->g, nearr->g + nn);
  fit.ce.resize(nn);
  fit.cq.resize(nn);
  for (int j = 0; j < nn; ++j) {
    double d = static_cast<double>(nearr->e[j]) - nearr->centroid;
    double qj = nearr->q[j];
    switch (zelmarry) {
      case 1: {
        double mlnA = -std::log(absorb);
        d += std::fmin(mlnA, 1) * cx.lambda;
        double extra = std::fmin(mlnA / 3.4641016151377544, 1) * cx.lambda;
        qj = std::sqrt(qj * qj + extra * extra);
        break;
      }
      case 3:
        if (cx.tdivd != 0) d += (cx.tdivr * 0.5) / (1 / cx.tdivd + 1);
        qj = std::fabs(qj);
        break;
      default:
        qj = std::fabs(qj);
    }
    fit.ce[j] = static_cast<float>(d);
    fit.cq[j] = qj <= 1e-06 ? 1e-06f : static_cast<float>(qj);
  }
  fit.cg.reserve(kMaxComponents + 1);
  fit.ce.reserve(kMaxComponents + 1);
  fit.cq.reserve(kMaxComponents + 1);

  fit.changes = 0;
  return absorb;
}

void assemble(Context& cx, double c, double z, double absorb) {
  Refit& fit = cx.fit;
  const ProfileRecord* nearr = fit.nearr;
  const ProfileRecord* farr = fit.farr;
  const double u = fit.u;
  int nc = static_cast<int>(fit.cg.size());
  double total = 0;
  for (float v : fit.cg) total += v;
  double scale = 1;
  if (zelmarry == 1)
    scale = (1 - absorb) / total;
  else if (zelmarry == 2)
    scale = std::exp(-cx.tdivd / c) / c / total;
  double gs = u * farr->gsum + (1 - u) * nearr->gsum;
  double shift = z + u * farr->centroid + (1 - u) * nearr->centroid;
  newcomponents(cx, nc);
  float* cg = *cx.g;
  float* ce = *cx.e;
  float* cq = *cx.q;
  for (int j = 0; j < nc; ++j) {
    cg[j] = static_cast<float>(scale * gs * fit.cg[j]);
    ce[j] = static_cast<float>(fit.ce[j] + shift);
    cq[j] = fit.cq[j];
  }
}

void setangle(Context& cx, double s, double& c, double& k) {
  cx.work = 0;
  cx.sinx = s;
  c = std::sqrt(1 - s * s);
  cx.cosx = c;
  k = (2 * c * c - 1) / (2 * s * c);
}

void evaluate(Context& cx, double s) {
  cx.work = 0;
  cx.sinx = s;
  if (!(s > 0 && s < 1)) fail(-14);
  double c = std::sqrt(1 - s * s);
  cx.cosx = c;
  double k = (2 * c * c - 1) / (2 * s * c);
  double t = zelmarry == 2 ? s : c;
  double z = eps1 + eps2 * t + eps3 * 2 * s * c + eps4 * std::fmax(k, 0.0);
  if (geqfirst != nullptr) {
    if (getf32(header + 16) <= s && s <= getf32(header + 20)) {
      geqpath(cx, s, z);
      return;
    }
    if (cx.keys != nullptr) {
      cx.warn13 = true;
    } else if (!warnung1) {
      message<13>();
      warnung1 = 1;
    }
    if (perst == nullptr) fail(-13);
  }
  if (perst == nullptr)
    nodatapath(cx, s, z);
  else if (perst->next == nullptr)
    onerecord(cx, k, z);
  else
    tworecords(cx, s, c, k, z);
}

namespace {

// What message -14 leaves unsaid: the angle asked for, and the range of
// angles the records of the instrument-profile file cover (their keys are
// cot 2theta, largest first).
void angleoutside(double s) {
  if (!(s > 0 && s < 1)) {
    message<369>(s);
    return;
  }
  if (perst == nullptr) return;
  const double deg = 180 / 3.141592653589793;
  double lo = 180, hi = 0;
  for (const ProfileRecord* r = perst; r != nullptr; r = r->next) {
    const double twotheta = std::atan2(1.0, static_cast<double>(r->key)) * deg;
    lo = std::min(lo, twotheta);
    hi = std::max(hi, twotheta);
  }
  message<368>(2 * std::asin(s) * deg, gerfilename, lo, hi);
}

}  // namespace

Context maincontext{&n, &g, &e, &q};

[[noreturn]] void failure(int code, double s) {
  if (code == -13) fatal<-13>();
  if (code == -14) {
    angleoutside(s);
    fatal<-14>();
  }
  fatal<-15>();
}

}  // namespace gerneu

using namespace gerneu;

void ger(double s) {
  try {
    evaluate(maincontext, s);
  } catch (const GerFailure& f) {
    // Outside the table's range without records there is nothing to probe.
    if (f.code != -13 && gererr == 0) {
      gererr = 1;
      return;
    }
    failure(f.code, s);
  }
}

bool gergsum(double s, double* sum) {
  // Blended from two records without a table, a reflecting or transmitting
  // sample: the refit's weights are scaled to the arrangement's total
  // weight, so the sum needs no refit.
  if (geqfirst == nullptr && perst != nullptr && perst->next != nullptr &&
      (zelmarry == 1 || zelmarry == 2) && s > 0 && s < 1) {
    Context& cx = maincontext;
    try {
      LookupMode mode(cx, 2);
      double c = 0, k = 0;
      setangle(cx, s, c, k);
      int a = 0, b = 0;
      bracket(cx, s, c, k, a, b);
      const double absorb = prepare(cx, s, c, k, a, b);
      const Refit& fit = cx.fit;
      const double gs = fit.u * fit.farr->gsum + (1 - fit.u) * fit.nearr->gsum;
      *sum = (zelmarry == 1 ? 1 - absorb : std::exp(-cx.tdivd / c) / c) * gs;
      return true;
    } catch (const GerFailure&) {
      return false;
    }
  }
  const int saved = gererr;
  gererr = 0;
  ger(s);
  const bool failed = gererr != 0;
  gererr = saved;
  if (failed) return false;
  double total = 0;
  for (int i = 0; i < n; ++i) total += g[i];
  *sum = total;
  return true;
}

double gerfitmeasure(double s, int count, const float* cg, const float* ce, const float* cq) {
  if (perst == nullptr || perst->next == nullptr || !(s > 0 && s < 1) || count < 1) return -1;
  WorkerContext wc;
  Context& cx = wc.cx;
  try {
    LookupMode mode(cx, 2);
    double c = 0, k = 0;
    setangle(cx, s, c, k);
    const double t = zelmarry == 2 ? s : c;
    const double z = eps1 + eps2 * t + eps3 * 2 * s * c + eps4 * std::fmax(k, 0.0);
    int a = 0, b = 0;
    bracket(cx, s, c, k, a, b);
    (void)prepare(cx, s, c, k, a, b);
    Refit& fit = cx.fit;
    sampling(cx);
    // Back into the refit's frame: relative to the blended centroid, the
    // weights without GSUM.
    const double gs = fit.u * fit.farr->gsum + (1 - fit.u) * fit.nearr->gsum;
    const double shift = z + fit.u * fit.farr->centroid + (1 - fit.u) * fit.nearr->centroid;
    fit.cg.resize(count);
    fit.ce.resize(count);
    fit.cq.resize(count);
    for (int i = 0; i < count; ++i) {
      fit.cg[i] = static_cast<float>(cg[i] / gs);
      fit.ce[i] = static_cast<float>(ce[i] - shift);
      fit.cq[i] = cq[i];
    }
    return fitmeasure(cx);
  } catch (const GerFailure&) {
    return -1;
  }
}

}  // namespace model
