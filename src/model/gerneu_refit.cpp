// The instrument function between two measured records: the line shape of
// the beam path's arrangement (the blend of the two records, each folded with
// the aberration of the sample), sampled adaptively, and the least-squares
// refit with squared-Lorentzian components that adds, removes and refines
// until the shape is represented within EPSG.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "core/fatal.hpp"
#include "core/integral.hpp"
#include "core/message.hpp"
#include "model/gerneu.hpp"
#include "model/gerneu_internal.hpp"
#include "numeric/dreieck.hpp"
#include "numeric/qmin.hpp"
#include "numeric/rg.hpp"

namespace model {
using namespace core;
using namespace numeric;

namespace gerneu {

namespace {

// ---------------------------------------------------------------------------
// Line shape of the arrangement (the blend of two records, each folded with
// the aberration of the sample)

struct ShapePoint {
  Context* cx;
  const ProfileRecord* rec;
  double x;  // centroid + t
  double v;  // capillary: the outer variable
};

// Work of the current evaluation, in evaluations of one profile component
// (a few nanoseconds each). The caps on samples, components and refinements
// bound the counts; this bounds their product, which for absurd but finite
// set-ups (a penetration depth far beyond the line widths, hundreds of
// components per record, a capillary whose T is several times D) would
// otherwise run for minutes at one angle. The budget ends an evaluation
// within about half a second; measured profiles of reflecting and
// transmitting samples need a few percent of it, a capillary with T = D half.
// Counted per evaluation, so that an angle's result never depends on the
// angles evaluated before it.
constexpr int64_t kWorkBudget = 250000000;

bool overbudget(const Context& cx) { return cx.work > kWorkBudget; }

void spend(Context& cx, int64_t units) {
  cx.work += units;
  if (overbudget(cx)) fail(-15);
}

double recordprofile(Context& cx, const ProfileRecord* r, double x) {
  spend(cx, r->n);
  return profile(r->n, r->g, r->e, r->q, x);
}

// Reflecting sample: penetration to depth -lambda ln v.
double modell2(void* p, double v) {
  if (v == 0) return 0;
  const ShapePoint* sp = static_cast<const ShapePoint*>(p);
  return recordprofile(*sp->cx, sp->rec, sp->x + sp->cx->lambda * std::log(v));
}

// Transmitting flat sample: the record's profile itself.
double modell1(void* p, double x) {
  const ShapePoint* sp = static_cast<const ShapePoint*>(p);
  return recordprofile(*sp->cx, sp->rec, x);
}

// Capillary: absorption along the paths through the cross-section.
double inner(void* p, double w) {
  const ShapePoint* sp = static_cast<const ShapePoint*>(p);
  Context& cx = *sp->cx;
  double v = sp->v;
  spend(cx, 1);
  double a1 = v * cx.cosx + w * cx.sinx;
  double a2 = v * cx.cosx - w * cx.sinx;
  // Rounding may carry |a| a hair above 1 at the rim of the cross-section.
  double b1 = 1 - a1 * a1, b2 = 1 - a2 * a2;
  return std::exp(-0.5 * cx.tdivd *
                  (2 * v * cx.sinx + std::sqrt(b1 > 0 ? b1 : 0.0) + std::sqrt(b2 > 0 ? b2 : 0.0)));
}

double ausser(void* p, double v) {
  const ShapePoint* sp = static_cast<const ShapePoint*>(p);
  Context& cx = *sp->cx;
  uint64_t bits;
  double key = v == 0 ? 0.0 : v;
  std::memcpy(&bits, &key, sizeof bits);
  auto it = cx.pathcache.find(bits);
  double path;
  if (it != cx.pathcache.end()) {
    path = it->second;
  } else {
    ShapePoint in{&cx, sp->rec, sp->x, v};
    double top = 1 - v * v;
    path = integral7(inner, &in, 0, std::sqrt(top > 0 ? top : 0.0), 1.4901161193847656e-08);
    cx.pathcache.emplace(bits, path);
  }
  return path * recordprofile(cx, sp->rec, sp->x - 0.5 * v * cx.tdivr * cx.cosx);
}

double capillaryintegral(Context& cx, const ProfileRecord* r, double x) {
  ShapePoint sp{&cx, r, x, 0};
  return integral7(ausser, &sp, -1, 1, 1.4901161193847656e-07);
}

double recordshape(Context& cx, const ProfileRecord* r, double t, bool nearrecord) {
  ShapePoint sp{&cx, r, r->centroid + t, 0};
  switch (zelmarry) {
    case 1:
      return integral7(modell2, &sp, cx.absorption, 1, 2.220446049250313e-15);
    case 2: {
      double atten = std::exp(-cx.tdivd / cx.cosx);
      if (cx.tdivr == 0) return recordprofile(cx, r, sp.x) * atten / cx.cosx;
      double a = cx.sinx * cx.tdivr / 2;
      return integral7(modell1, &sp, sp.x - a, sp.x + a, 2.220446049250313e-15) * atten /
             (cx.tdivr * cx.sinx * cx.cosx);
    }
    case 3:
      return 2 / kPi * capillaryintegral(cx, r, sp.x);
    default:
      if (cx.keys != nullptr) fail(kOnCaller);
      if (nearrecord) internal_error("wrongZELMARRY", kModule, 1166);
      fatal<-171>();
  }
}

// ---------------------------------------------------------------------------
// Sampling and refit

// The context whose components the minimiser is fitting on this thread (its
// callbacks take no argument of their own).
thread_local Context* fitting = nullptr;

float lineshape(Context& cx, float t) {
  const Refit& fit = cx.fit;
  double v = recordshape(cx, fit.nearr, t, true);
  double y = fit.u == 0 ? v : (1 - fit.u) * v + fit.u * recordshape(cx, fit.farr, t, false);
  return static_cast<float>(y);
}

bool residuals(Context& cx, float* r) {
  const Refit& fit = cx.fit;
  const int fitm = fit.m, fitn = fit.n;
  // Over the budget the model cannot be evaluated any more: the minimiser
  // stops, and its caller ends the evaluation.
  cx.work += static_cast<int64_t>(fitm) * fitn;
  if (overbudget(cx)) return false;
  const float* xi = fit.xi.data();
  for (int i = 0; i < fitn; ++i)
    if (fit.cq[i] == 0) return false;
  for (int j = 0; j < fitm; ++j) {
    float sum = 0;
    for (int i = 0; i < fitn; ++i) {
      double qi = fit.cq[i];
      double d = fit.ce[i] - xi[j];
      double den = d * d + qi * qi;
      sum += static_cast<float>(2 * fit.cg[i] * qi * qi * qi / (den * den));
    }
    r[j] = (sum - fit.yi[j]) * fit.wi[j];
  }
  for (int j = fitm; j < fitm + 2 * fitn; ++j) r[j] = 0;
  return true;
}

void derivatives(Context& cx, float* row, int j) {
  const Refit& fit = cx.fit;
  const int fitm = fit.m, fitn = fit.n;
  // The row and its share of the normal matrix.
  cx.work += fitn + 5 * static_cast<int64_t>(fitn) * fitn;
  if (j >= fitm) {
    for (int k = 0; k < 3 * fitn; ++k) row[k] = 0;
    return;
  }
  double x = fit.xi[j], w = fit.wi[j];
  for (int i = 0; i < fitn; ++i) {
    double gi = fit.cg[i], qi = fit.cq[i];
    double d = fit.ce[i] - x;
    double qq = d * d + qi * qi;
    double q3 = qi * qi * qi;
    row[3 * i] = static_cast<float>(2 * q3 / (qq * qq) * w);
    row[3 * i + 1] = static_cast<float>(-8 * gi * q3 * d / (qq * qq * qq) * w);
    row[3 * i + 2] =
        static_cast<float>(2 * gi * (3 * qi * qi / (qq * qq) - 4 * qi * q3 / (qq * qq * qq)) * w);
  }
}

bool modell(float* r) { return residuals(*fitting, r); }
void ableitung(float* row, int j) { derivatives(*fitting, row, j); }

void buildarrays(Refit& fit) {
  int m = static_cast<int>(fit.samples.size());
  fit.xi.resize(m);
  fit.yi.resize(m);
  fit.wi.resize(m);
  for (int j = 0; j < m; ++j) {
    const Sample& sm = fit.samples[j];
    fit.xi[j] = sm.t;
    fit.yi[j] = sm.y;
    fit.wi[j] = static_cast<float>(std::pow(fit.ymax / sm.y, 0.16) * std::sqrt(sm.h / fit.total));
  }
  fit.m = m;
}

// Support of the blended line shape and its height scale.
void support(Context& cx, double& lo, double& hi, double& height) {
  const Refit& fit = cx.fit;
  const double lambda = cx.lambda, absorption = cx.absorption;
  const double sinx = cx.sinx, cosx = cx.cosx, tdivd = cx.tdivd, tdivr = cx.tdivr;
  lo = kFltMax;
  hi = -kFltMax;
  height = 0;
  const ProfileRecord* recs[2] = {fit.nearr, fit.farr};
  for (const ProfileRecord* r : recs) {
    for (int i = 0; i < r->n; ++i) {
      double d = r->e[i] - r->centroid;
      double qi = r->q[i];
      switch (zelmarry) {
        case 1: {
          double l = std::fmin(-std::log(absorption), 6);
          lo = std::fmin(lo, d - std::sqrt(std::pow(l * std::fmin(lambda, 0), 2) + 16 * qi * qi));
          hi = std::fmax(hi, d + std::sqrt(std::pow(l * std::fmax(lambda, 0), 2) + 16 * qi * qi));
          double a = qi / (1 - absorption);
          height = std::fmax(height, r->g[i] / std::sqrt(a * a / 4 + lambda * lambda));
          break;
        }
        case 2: {
          double rr = std::sqrt(16 * qi * qi + std::pow(tdivr * sinx / 2, 2));
          lo = std::fmin(lo, d - rr);
          hi = std::fmax(hi, d + rr);
          double atten = std::exp(-tdivd / cosx) / cosx;
          height = std::fmax(
              height, r->g[i] / (atten * std::sqrt(qi * qi / 4 + std::pow(tdivr * sinx, 2) / 12)));
          break;
        }
        case 3: {
          double rr = std::sqrt(16 * qi * qi + std::pow(tdivr * cosx / 2, 2));
          lo = std::fmin(lo, d - rr);
          hi = std::fmax(hi, d + rr);
          break;
        }
        default:
          if (cx.keys != nullptr) fail(kOnCaller);
          internal_error("wrongZELMARRY", kModule, 1337);
      }
    }
  }
  if (zelmarry == 3) {
    double shift = tdivd == 0 ? 0 : -tdivr * cosx * (cosx + 2) / (6 * sinx / tdivd + 6);
    double inear = capillaryintegral(cx, fit.nearr, fit.nearr->centroid + shift);
    double ifar = fit.u == 0 ? 0 : capillaryintegral(cx, fit.farr, fit.farr->centroid + shift);
    height = 2 / kPi * (fit.u * ifar + (1 - fit.u) * inear);
  }
}

// Planned step at t.
double steprule(const Context& cx, double t, double factor) {
  const Refit& fit = cx.fit;
  const double lambda = cx.lambda, absorption = cx.absorption, epsg = cx.epsg;
  const double sinx = cx.sinx, cosx = cx.cosx, tdivd = cx.tdivd, tdivr = cx.tdivr;
  double sq = std::sqrt(epsg) * factor;
  double best = kFltMax;
  const ProfileRecord* recs[2] = {fit.nearr, fit.farr};
  for (const ProfileRecord* r : recs) {
    for (int i = 0; i < r->n; ++i) {
      double d = r->e[i] - r->centroid;
      double qi = r->q[i];
      if (zelmarry == 3) {
        double a1 = std::fabs(cosx * tdivr / (2 * sinx / tdivd + 2));
        if (d - t == tdivd) a1 = 0;
        double a2 = std::fabs(cosx * tdivr);
        if (d - t == -tdivd) a2 = 0;
        best = std::fmin(best, sq * std::fmin(qi + a1, qi + a2));
        continue;
      }
      best = std::fmin(best, sq * (std::fabs(d - t) + qi));
      if (zelmarry == 1) {
        double lnA = std::log(absorption);
        if (epsg <= absorption) best = std::fmin(best, sq * (std::fabs(d - lambda * lnA - t) + qi));
        double l = std::fmax(std::log(epsg), lnA);
        double end = d - l * lambda;
        if ((t > d && t < end) || (t < d && t > end))
          best = std::fmin(best, sq * std::fabs(lambda));
      }
    }
  }
  return best;
}

float sampleat(Context& cx, float t) {
  float y = lineshape(cx, t);
  if (y > cx.fit.ymax) cx.fit.ymax = y;
  return y;
}

// Halves the intervals of the marked samples.
void refine(Context& cx) {
  Refit& fit = cx.fit;
  std::vector<Sample> old;
  old.swap(fit.samples);
  fit.samples.reserve(old.size() * 2);
  for (size_t j = 0; j < old.size(); ++j) {
    Sample sm = old[j];
    if (!sm.refine) {
      fit.samples.push_back(sm);
      continue;
    }
    // The new sample lies half a planned step on, or in the middle of the
    // interval when a rejected step made it shorter than planned.
    double span = sm.h;
    if (j + 1 < old.size()) span = std::fmin(span, static_cast<double>(old[j + 1].t) - sm.t);
    float half = sm.h / 2;
    sm.h = half;
    fit.samples.push_back(sm);
    float t = static_cast<float>(sm.t + span / 2);
    float y = sampleat(cx, t);
    if (!(y > 0)) fail(-14);
    fit.samples.push_back({t, y, half, 1, 0});
  }
  if (static_cast<int>(fit.samples.size()) > kMaxSamples) fail(-15);
  for (Sample& sm : fit.samples) {
    sm.eligible = 1;
    sm.refine = 0;
  }
  buildarrays(fit);
}

// Least-squares refit of the current components; returns the error measure
// (the sum of the squared weighted residuals).
double runqmin(Context& cx) {
  Refit& fit = cx.fit;
  const int fitn = fit.n = static_cast<int>(fit.cg.size());
  const int fitm = fit.m;
  if (fitn == 0) {
    double sum = 0;
    for (int j = 0; j < fitm; ++j) {
      double r = static_cast<double>(fit.yi[j]) * fit.wi[j];
      sum += r * r;
    }
    return sum;
  }
  std::vector<float*>& par = fit.par;
  std::vector<uint8_t>& flags = fit.flags;
  par.resize(3 * fitn);
  flags.resize(3 * fitn);
  for (int i = 0; i < fitn; ++i) {
    par[3 * i] = &fit.cg[i];
    par[3 * i + 1] = &fit.ce[i];
    par[3 * i + 2] = &fit.cq[i];
    flags[3 * i] = 1;
    flags[3 * i + 1] = 0;
    flags[3 * i + 2] = 1;
  }
  int iterations = 1000 * fitn;
  float ermod = 1e-05f;
  if (cx.keys != nullptr) {
    // The minimiser reports a start it refuses on standard output: such a
    // fit is left to the calling thread. Its checks at the start, which
    // depend on nothing but the components and the work done so far.
    bool refused = cx.work + static_cast<int64_t>(fitm) * fitn > kWorkBudget;
    for (int k = 0; k < 3 * fitn; ++k)
      if ((flags[k] && *par[k] < 0) || (k % 3 == 2 && *par[k] == 0)) refused = true;
    if (refused) fail(kOnCaller);
  }
  Context* outer = fitting;
  fitting = &cx;
  qmin(par.data(), flags.data(), 3 * fitn, fitm + 2 * fitn, modell, ableitung, &iterations, &ermod,
       false);
  fitting = outer;
  if (overbudget(cx)) fail(-15);
  if (iterations == 0) {
    // Start refused: measure the components as they are.
    std::vector<float>& r = fit.r;
    r.assign(fitm + 2 * fitn, 0.0f);
    if (!residuals(cx, r.data())) return kFltMax;
    double sum = 0;
    for (float v : r) sum += static_cast<double>(v) * v;
    return sum;
  }
  return ermod;
}

void removecomponent(Refit& fit, int i) {
  ++fit.changes;
  fit.cg.erase(fit.cg.begin() + i);
  fit.ce.erase(fit.ce.begin() + i);
  fit.cq.erase(fit.cq.begin() + i);
}

// Refit, removal of what the samples cannot support and grid refinement,
// until nothing changes. Returns the error measure of the last refit.
double refitloop(Context& cx, int& refinements) {
  Refit& fit = cx.fit;
  for (;;) {
    double s = runqmin(cx);
    bool again = false, marked = false;
    int m = fit.m;
    for (int i = 0; i < static_cast<int>(fit.cg.size());) {
      float p = fit.ce[i];
      if (m == 0 || p <= fit.xi[0] || p >= fit.xi[m - 1] || fit.cg[i] == 0) {
        if (fit.cg[i] > 0) again = true;
        removecomponent(fit, i);
        continue;
      }
      int j = m - 1;
      for (int k = 0; k + 1 < m; ++k) {
        if (fit.xi[k] <= p && p <= fit.xi[k + 1]) {
          j = k;
          break;
        }
      }
      if (fit.cq[i] < 1.5f * fit.samples[j].h) {
        removecomponent(fit, i);
        for (int k = std::max(0, j - 2); k <= std::min(m - 1, j + 2); ++k)
          fit.samples[k].refine = 1;
        marked = true;
        continue;
      }
      ++i;
    }
    if (marked) {
      if (++refinements > kMaxRefinements) fail(-15);
      refine(cx);
      again = true;
    }
    if (!again) return s;
  }
}

bool goalreached(const Context& cx, double s, double absorb) {
  const Refit& fit = cx.fit;
  const double epsg = cx.epsg;
  double target = epsg * epsg * fit.ymax * fit.ymax;
  if (!(s <= target)) return false;
  double total = 0;
  for (float v : fit.cg) total += v;
  switch (zelmarry) {
    case 1:
      return (1 - absorb) * (1 - epsg) <= total && total <= (1 - absorb) * (1 + epsg);
    case 2: {
      double atten = std::exp(-cx.tdivd / cx.cosx) / cx.cosx;
      return atten * (1 - epsg) <= total && total <= atten * (1 + epsg);
    }
    default:
      return true;
  }
}

// Greedy search for one more component: the eligible sample and width that
// promise the largest decrease of the error measure. Returns false when no
// candidate gains.
bool addcomponent(Context& cx, double s) {
  Refit& fit = cx.fit;
  int nc = static_cast<int>(fit.cg.size());
  int m = fit.m;
  int p = 3 * nc + 1;
  fit.n = nc;
  std::vector<float>& r = fit.r;
  std::vector<float>& rows = fit.rows;
  std::vector<float>& mat = fit.mat;
  std::vector<float>& b = fit.b;
  std::vector<float>& ub = fit.ub;
  std::vector<float>& x = fit.x;
  std::vector<float>& c = fit.c;
  r.assign(m + 2 * nc, 0.0f);
  if (!residuals(cx, r.data())) return false;
  // The derivative rows, kept by parameter (column l of every row together)
  // for the candidates' products below.
  rows.assign(static_cast<size_t>(m) * (3 * nc), 0.0f);
  mat.assign(static_cast<size_t>(p) * (p + 1) / 2, 0.0f);
  std::vector<double> bsum(3 * nc, 0.0);
  std::vector<float> row(3 * nc + 1, 0.0f);
  for (int j = 0; j < m; ++j) {
    derivatives(cx, row.data(), j);
    bau(row.data(), mat.data(), 3 * nc);
    for (int l = 0; l < 3 * nc; ++l) {
      bsum[l] += static_cast<double>(row[l]) * r[j];
      rows[static_cast<size_t>(l) * m + j] = row[l];
    }
  }
  b.assign(p, 0.0f);
  ub.assign(p, 0.0f);
  x.assign(p, 0.0f);
  for (int l = 0; l < 3 * nc; ++l) {
    size_t diag = static_cast<size_t>(l) * (l + 1) / 2 + l;
    mat[diag] = static_cast<float>(mat[diag] * 1.0000119);
    b[l] = static_cast<float>(bsum[l]);
  }
  for (int i = 0; i < nc; ++i) {
    ub[3 * i] = fit.cg[i];
    ub[3 * i + 1] = static_cast<float>(kFltMax);
    ub[3 * i + 2] = fit.cq[i];
  }
  ub[p - 1] = 0;
  float* last = mat.data() + static_cast<size_t>(p - 1) * p / 2;
  c.assign(m, 0.0f);
  double bestgain = 0;
  int bestj = -1;
  float bestwidth = 0;
  static const double factors[3] = {8, 4, 2};
  for (double factor : factors) {
    for (int j = 0; j < m; ++j) {
      if (!fit.samples[j].eligible) continue;
      spend(cx, static_cast<int64_t>(m) * (1 + 3 * nc));
      double w = fit.samples[j].h * factor;
      double w3 = w * w * w;
      double bl = 0, cc = 0;
      for (int k = 0; k < m; ++k) {
        double d = static_cast<double>(fit.xi[k]) - fit.xi[j];
        double den = d * d + w * w;
        c[k] = static_cast<float>(2 * w3 / (den * den) * fit.wi[k]);
        bl += static_cast<double>(r[k]) * c[k];
        cc += static_cast<double>(c[k]) * c[k];
      }
      for (int l = 0; l < 3 * nc; ++l) {
        const float* column = rows.data() + static_cast<size_t>(l) * m;
        double sum = 0;
        for (int k = 0; k < m; ++k) sum += static_cast<double>(c[k]) * column[k];
        last[l] = static_cast<float>(sum);
      }
      last[p - 1] = static_cast<float>(cc * 1.0000119);
      b[p - 1] = static_cast<float>(bl);
      if (!rg(mat.data(), b.data(), x.data(), ub.data(), p, nullptr, s * 1.1920928955078125e-07,
              0.0))
        continue;
      if (x[p - 1] == 0) continue;
      double bx = 0;
      for (int l = 0; l < p; ++l) bx += static_cast<double>(b[l]) * x[l];
      double gain = bx - 0.5 * atma(x.data(), mat.data(), p);
      if (gain > bestgain) {
        bestgain = gain;
        bestj = j;
        bestwidth = static_cast<float>(w);
      }
    }
  }
  if (bestj < 0) return false;
  ++fit.changes;
  fit.cg.push_back(0);
  fit.ce.push_back(fit.xi[bestj]);
  fit.cq.push_back(bestwidth);
  fit.samples[bestj].eligible = 0;
  return true;
}

}  // namespace

void sampling(Context& cx) {
  Refit& fit = cx.fit;
  fit.samples.clear();
  fit.ymax = 0;
  fit.total = 0;
  double lo, hi, height;
  support(cx, lo, hi, height);
  double a = lo - 0.15 * (hi - lo), b = hi + 0.15 * (hi - lo);
  if (b > a) {
    double root = std::sqrt(cx.epsg);
    double factor = 1.0;
    float t = static_cast<float>(a);
    float tprev = t;
    double yprev = 0, step = 0;
    int rejections = 0;
    for (;;) {
      float y = sampleat(cx, t);
      if (!fit.samples.empty()) {
        double dy = std::fabs(y - yprev);
        if (dy >= root * height) {
          // Too coarse: go back and take a shorter step.
          factor *= 0.8;
          step = step * 0.9 * root * height / dy;
          float next = static_cast<float>(tprev + step);
          if (++rejections > kMaxRejections || !(next > tprev)) fail(-15);
          t = next;
          continue;
        }
      }
      rejections = 0;
      float h = static_cast<float>(steprule(cx, t, factor));
      if (!(y > 0)) fail(-14);
      fit.samples.push_back({t, y, h, 1, 0});
      fit.total += h;
      if (t >= b) break;
      if (static_cast<int>(fit.samples.size()) >= kMaxSamples) fail(-15);
      tprev = t;
      yprev = y;
      step = h;
      t = static_cast<float>(t + step);
      if (!(t > tprev)) fail(-15);
    }
  }
  buildarrays(fit);
}

void resample(Context& cx, double absorb) {
  Refit& fit = cx.fit;
  sampling(cx);
  fit.sg = fit.cg;
  fit.se = fit.ce;
  fit.sq = fit.cq;
  double sbest = kFltMax;
  int mref = fit.m, mfit = 0;
  int largest = 0, refinements = 0, additions = 0, failed = 0;
  for (;;) {
    double s = refitloop(cx, refinements);
    if (s < 0.9999 * sbest || mref < fit.m) {
      mfit = fit.m;
      failed = 0;
    } else {
      // The last addition did not pay: back to the components before it.
      fit.cg = fit.sg;
      fit.ce = fit.se;
      fit.cq = fit.sq;
      s = sbest;
      mfit = mref;
      if (++failed > kMaxFailedAdditions) fail(-15);
    }
    if (goalreached(cx, s, absorb)) return;
    fit.sg = fit.cg;
    fit.se = fit.ce;
    fit.sq = fit.cq;
    int nc = static_cast<int>(fit.cg.size());
    if (nc > largest) {
      for (Sample& sm : fit.samples) sm.eligible = 1;
      largest = nc;
    }
    if (nc >= kMaxComponents || ++additions > kMaxAdditions) fail(-15);
    if (!addcomponent(cx, s)) fail(-15);
    sbest = s;
    mref = mfit;
  }
}

double fitmeasure(Context& cx) {
  Refit& fit = cx.fit;
  fit.n = static_cast<int>(fit.cg.size());
  std::vector<float>& r = fit.r;
  r.assign(static_cast<size_t>(fit.m + 2 * fit.n), 0.0f);
  if (!residuals(cx, r.data())) return kFltMax;
  double sum = 0;
  for (float v : r) sum += static_cast<double>(v) * v;
  return std::sqrt(sum) / (cx.epsg * fit.ymax);
}

}  // namespace gerneu

}  // namespace model
