// The peak kernels and the pattern model with its exact derivatives, in
// ordinary and derivative mode, on the worker pool.
//
// The hot loops run four values side by side (four points through the peaks
// for the model, four peaks at one point for a derivative row) with the same
// operations per value as the one-value code, so both give the same bits.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/fatal.hpp"
#include "core/nspawn.hpp"
#include "model/modell.hpp"
#include "model/modell_internal.hpp"
#include "model/modell_shape.hpp"
#include "model/unt.hpp"
#include "scan/ddm.hpp"

namespace model {
using namespace core;
using namespace scan;

namespace pattern {

namespace {

template <int K>
Partials peakpartials(const float* summary, const float* rows, int nrows, double pos, double lw,
                      double beta) {
  const double sw = static_cast<double>(summary[1]) + static_cast<double>(summary[2]);
  const double x = (pos - summary[3]) / (15.0 * sw);
  Partials far;
  if (x <= -1.0 || x >= 1.0) {
    dshape<K>(summary[0], summary[1], summary[2], summary[3] - pos, lw, beta, far);
    return far;
  }
  Partials sum;
  for (int k = 0; k < nrows; ++k) {
    const float* row = rows + 4 * k;
    dshape<K>(row[0], row[1], row[2], row[3] - pos, lw, beta, sum);
  }
  if (std::fabs(x) > 0.01) {
    dshape<K>(summary[0], summary[1], summary[2], summary[3] - pos, lw, beta, far);
    const double x2 = x * x;
    const double x4 = x2 * x2;
    const double t9 = x4 * x4 * x;
    const double g1 = 1.0 - x * t9;
    const double f = g1 * g1;
    const double fp = -20.0 * t9 * g1 / (15.0 * sw);  // df/dP
    Partials out;
    out.v = f * sum.v + (1.0 - f) * far.v;
    out.dp = f * sum.dp + (1.0 - f) * far.dp + fp * (sum.v - far.v);
    out.dl = f * sum.dl + (1.0 - f) * far.dl;
    out.db = f * sum.db + (1.0 - f) * far.db;
    out.ds = f * sum.ds + (1.0 - f) * far.ds;
    return out;
  }
  return sum;
}

// Own widths of a parameter block of kind K: (Lorentzian width, beta). A

template <int K>
float kernel(const float* summary, const float* rows, int nrows, const float* peaks, int npeaks,
             const int32_t* ix, float* yrow) {
  double total = 0.0;
  for (int k = 0; k < npeaks; ++k) {
    const float* block = peaks + K * k;
    double lw, beta;
    ownwidths<K>(block, lw, beta);
    const double v = block[0] * peakvalue<K>(summary, rows, nrows, block[1], lw, beta);
    total += v;
    if (yrow != nullptr) yrow[ix[k]] += static_cast<float>(v);
  }
  return static_cast<float>(total);
}

// modell0 of point i, filling its row of the per-phase sums phases (yphasen,
// or null for none).
float pointvalue(int i, const PeakSet* set, float* phases) {
  float* yrow = nullptr;
  if (phases != nullptr) {
    yrow = phases + static_cast<size_t>(i) * nphasen;
    for (int k = 0; k < nphasen; ++k) yrow[k] = 0.0f;
  }
  const float* summary = h0 + 4 * i;
  const float* rows = h[i];
  const int nrows = hdim[i];
  float v = kernel<2>(summary, rows, nrows, set->par2, set->count2, set->ix2, yrow) +
            kernel<3>(summary, rows, nrows, set->par3, set->count3, set->ix3, yrow) +
            kernel<4>(summary, rows, nrows, set->par4, set->count4, set->ix4, yrow);
  // The polarisation factor is the one the tables were built with.
  if (polk != nullptr) {
    const float pk = polk[i];
    v *= pk;
    if (yrow != nullptr)
      for (int k = 0; k < nphasen; ++k) yrow[k] *= pk;
  }
  return v;
}

// Unit-intensity response of point i to a peak of kind K with the parameter

// Factors a derivative entry is taken with: the polarisation factor of the
// point and the weight of the row, each applied as a float product in that
// order, where present.
struct RowScale {
  bool pol = false;
  float pk = 0.0f;
  bool weighted = false;
  float weight = 0.0f;
};

inline float scaled(float e, const RowScale& s) {
  if (s.pol) e *= s.pk;
  if (s.weighted) e *= s.weight;
  return e;
}

// The K derivative entries of one peak (intensity inten, own width beta) at a
// point of summary width sw from the peak's partials.
template <int K>
inline void writeentries(float* out, const Partials& p, double inten, double beta, double sw,
                         const RowScale& s) {
  out[0] = scaled(static_cast<float>(p.v), s);
  out[1] = scaled(static_cast<float>(inten * p.dp), s);
  if constexpr (K >= 3) out[2] = scaled(static_cast<float>(inten * p.dl), s);
  if constexpr (K == 4) {
    // d/ds = d/dbeta / (2 beta); below a thousandth of the point's own
    // width, where that quotient loses its digits and is 0/0 at beta = 0,
    // the same derivative in the form without the division.
    const bool quotient = beta >= 1e-3 * sw && beta > 0.0;
    const double e = quotient ? inten * p.db / (2.0 * beta) : inten * p.ds;
    out[3] = scaled(static_cast<float>(e), s);
  }
}

// Derivative entries of the peaks of kind K at point i, unweighted and
// without the polarisation factor, one peak after the other; returns the
// entries written.
template <int K>
int kindpartials(int i, const float* peaks, int npeaks, float* row) {
  const float* summary = h0 + 4 * i;
  const double sw = static_cast<double>(summary[1]) + static_cast<double>(summary[2]);
  for (int k = 0; k < npeaks; ++k) {
    const float* block = peaks + K * k;
    double lw, beta;
    ownwidths<K>(block, lw, beta);
    const Partials p = peakpartials<K>(summary, h[i], hdim[i], block[1], lw, beta);
    writeentries<K>(row + K * k, p, block[0], beta, sw, RowScale{});
  }
  return K * npeaks;
}

int peakentries(const PeakSet* set) { return 2 * set->count2 + 3 * set->count3 + 4 * set->count4; }

void checktables(int needed, int line) {
  if (needed > m_h || h0 == nullptr) internal_error("tables", kModule, line);
}

// ---------------------------------------------------------------------------
// Lane kernels
//
// The pattern model runs four points side by side through the peaks of a
// kind, so that each point still sums its peaks in order; a derivative row
// runs four peaks side by side at its point. The far form is computed in
// every lane; a lane whose peak is near its point takes the exact component
// sum from the one-value code above instead. The far test of peakvalue,
// x = (P - centroid) / den outside (-1, 1) with den = 15 (mean b1 + effective
// b2), is decided without the division: for den > 0 the rounded quotient
// reaches 1 exactly when P - centroid reaches den (and -1 when it reaches
// -den). Points whose den is not positive take the one-value code.

// The per-point summary as doubles, one array per quantity, with room for
// a whole group of lanes past the last point.
double* lanedata = nullptr;
const double* lane_a = nullptr;    // S
const double* lane_b1 = nullptr;   // mean b1
const double* lane_b2 = nullptr;   // effective b2
const double* lane_c = nullptr;    // centroid
const double* lane_den = nullptr;  // 15 (mean b1 + effective b2)

// The component rows of each group of four points (the group starting at a
// multiple of four), row by row as four lanes each of a, b1, b2 and e; lanes
// past the last point repeat it. A group whose points differ in their number
// of rows has none (lanecount -1) and takes the one-value code.
double* lanerows = nullptr;
size_t* laneoffset = nullptr;
int* lanecount = nullptr;

// Groups of four points per item of the filling of the lane tables.
constexpr int kLaneChunk = 16;

struct LaneTask {
  std::atomic<int64_t> counter;
  int npoints;
  size_t padded;
};

// The lane rows and the summary of the groups of one item after the other.
void laneparfkt(uint64_t arg) {
  auto* task = reinterpret_cast<LaneTask*>(arg);
  const int npoints = task->npoints;
  const int groups = (npoints + kLanes - 1) / kLanes;
  const size_t padded = task->padded;
  double* a = lanedata;
  double* b1 = a + padded;
  double* b2 = b1 + padded;
  double* c = b2 + padded;
  double* den = c + padded;
  for (int64_t item; (item = nexttask(task->counter)) >= 0;) {
    const int g0 = static_cast<int>(item) * kLaneChunk;
    const int g1 = std::min(g0 + kLaneChunk, groups);
    for (int g = g0; g < g1; ++g) {
      double* out = lanerows + laneoffset[g];
      for (int r = 0; r < lanecount[g]; ++r)
        for (int q = 0; q < 4; ++q)
          for (int l = 0; l < kLanes; ++l) {
            const int i = std::min(g * kLanes + l, npoints - 1);
            out[(4 * r + q) * kLanes + l] = h[i][4 * r + q];
          }
    }
    const int last = std::min(g1 * kLanes, npoints);
    for (int i = g0 * kLanes; i < last; ++i) {
      const float* summary = h0 + 4 * i;
      a[i] = summary[0];
      b1[i] = summary[1];
      b2[i] = summary[2];
      c[i] = summary[3];
      den[i] = 15.0 * (static_cast<double>(summary[1]) + static_cast<double>(summary[2]));
    }
  }
}

// The number of rows and the place of each group's rows; the rows and the
// summary are filled on the worker pool.
void lanerowsinit(int npoints) {
  const int groups = (npoints + kLanes - 1) / kLanes;
  laneoffset = zalloc<size_t>(static_cast<size_t>(groups));
  lanecount = zalloc<int>(static_cast<size_t>(groups));
  size_t total = 0;
  for (int g = 0; g < groups; ++g) {
    const int i0 = g * kLanes;
    int count = hdim[i0];
    for (int l = 1; l < kLanes && i0 + l < npoints; ++l)
      if (hdim[i0 + l] != count) count = -1;
    lanecount[g] = count;
    laneoffset[g] = total;
    if (count > 0) total += 4 * kLanes * static_cast<size_t>(count);
  }
  lanerows = zalloc<double>(total);
}

}  // namespace

void lanesinit(int npoints) {
  lanerowsinit(npoints);
  const size_t padded = static_cast<size_t>(npoints) + kLanes;
  lanedata = zalloc<double>(5 * padded);
  LaneTask task;
  const int groups = (npoints + kLanes - 1) / kLanes;
  task.counter.store((groups + kLaneChunk - 1) / kLaneChunk);
  task.npoints = npoints;
  task.padded = padded;
  nshare(laneparfkt, reinterpret_cast<uint64_t>(&task));
  nwait();
  double* a = lanedata;
  double* b1 = a + padded;
  double* b2 = b1 + padded;
  double* c = b2 + padded;
  double* den = c + padded;
  lane_a = a, lane_b1 = b1, lane_b2 = b2, lane_c = c, lane_den = den;
}

void lanesfree() {
  std::free(lanerows);
  std::free(laneoffset);
  std::free(lanecount);
  lanerows = nullptr;
  laneoffset = nullptr;
  lanecount = nullptr;
  std::free(lanedata);
  lanedata = nullptr;
  lane_a = lane_b1 = lane_b2 = lane_c = lane_den = nullptr;
}

// A pass's peaks of one kind with the values every point needs of them,

namespace {

// worked out once: position, own widths and intensity.
struct KindPeaks {
  int count = 0;
  const double* pos = nullptr;
  const double* lw = nullptr;
  const double* beta = nullptr;
  const double* inten = nullptr;
  const int32_t* ix = nullptr;
};

struct PassPeaks {
  KindPeaks kind2, kind3, kind4;
};

template <int K>
void hoistkind(const float* par, int count, const int32_t* ix, double* store, KindPeaks& out) {
  double* pos = store;
  double* lw = pos + count;
  double* beta = lw + count;
  double* inten = beta + count;
  for (int k = 0; k < count; ++k) {
    const float* block = par + K * k;
    ownwidths<K>(block, lw[k], beta[k]);
    pos[k] = block[1];
    inten[k] = block[0];
  }
  out.count = count;
  out.pos = pos, out.lw = lw, out.beta = beta, out.inten = inten, out.ix = ix;
}

PassPeaks hoistinto(const PeakSet* set, std::vector<double>& store) {
  const size_t need = 4 * (static_cast<size_t>(set->count2) + set->count3 + set->count4);
  if (store.size() < need) store.resize(need);
  PassPeaks p;
  double* at = store.data();
  hoistkind<2>(set->par2, set->count2, set->ix2, at, p.kind2);
  at += 4 * static_cast<size_t>(set->count2);
  hoistkind<3>(set->par3, set->count3, set->ix3, at, p.kind3);
  at += 4 * static_cast<size_t>(set->count3);
  hoistkind<4>(set->par4, set->count4, set->ix4, at, p.kind4);
  return p;
}

// The storage belongs to the calling thread and grows only: a pass
// allocates nothing once it has run at its size.
PassPeaks hoist(const PeakSet* set) {
  thread_local std::vector<double> store;
  return hoistinto(set, store);
}

// Derivative rows come one at a time, from any thread, for a set that stays
// the same over many rows: each thread keeps the worked-out peak values with
// a copy of the parameters they came from, and works them out again only
// when the set's parameters differ from that copy.
struct RowPeaks {
  int count2 = -1, count3 = -1, count4 = -1;
  std::vector<float> par;
  std::vector<double> store;
  PassPeaks peaks;
};

bool sameparameters(const float* copy, const float* par, size_t count) {
  return count == 0 || std::memcmp(copy, par, count * sizeof(float)) == 0;
}

const PassPeaks& rowpeaks(const PeakSet* set) {
  thread_local RowPeaks cache;
  const size_t n2 = 2 * static_cast<size_t>(set->count2);
  const size_t n3 = 3 * static_cast<size_t>(set->count3);
  const size_t n4 = 4 * static_cast<size_t>(set->count4);
  if (cache.count2 == set->count2 && cache.count3 == set->count3 && cache.count4 == set->count4 &&
      sameparameters(cache.par.data(), set->par2, n2) &&
      sameparameters(cache.par.data() + n2, set->par3, n3) &&
      sameparameters(cache.par.data() + n2 + n3, set->par4, n4))
    return cache.peaks;
  cache.par.resize(n2 + n3 + n4);
  if (n2 > 0) std::memcpy(cache.par.data(), set->par2, n2 * sizeof(float));
  if (n3 > 0) std::memcpy(cache.par.data() + n2, set->par3, n3 * sizeof(float));
  if (n4 > 0) std::memcpy(cache.par.data() + n2 + n3, set->par4, n4 * sizeof(float));
  cache.count2 = set->count2, cache.count3 = set->count3, cache.count4 = set->count4;
  cache.peaks = hoistinto(set, cache.store);
  // The columns are the set's own; rows do not use them.
  cache.peaks.kind2.ix = cache.peaks.kind3.ix = cache.peaks.kind4.ix = nullptr;
  return cache.peaks;
}

// The peaks of kind K summed at the points i0 .. i0+3 (the first nvalid of
// them real) into out, each peak's value also added to its column of the
// point's row of yphasen when yrows is given.
template <int K>
[[gnu::always_inline]] inline void pointlanes(int i0, int nvalid, const KindPeaks& kp,
                                              float* const* yrows, float* out) {
  Lanes a, b1, b2, c, den;
  loadlanes(a, lane_a + i0);
  loadlanes(b1, lane_b1 + i0);
  loadlanes(b2, lane_b2 + i0);
  loadlanes(c, lane_c + i0);
  loadlanes(den, lane_den + i0);
  Lanes total = {0.0, 0.0, 0.0, 0.0};
  // With one phase every peak adds to the same column: its sums run in a
  // register, lane by lane in the same order of single-precision additions
  // as into the rows, and go back to the rows at the end.
  const bool onecolumn = yrows != nullptr && nphasen == 1;
  Floats column = {0.0f, 0.0f, 0.0f, 0.0f};
  if (onecolumn)
    for (int l = 0; l < nvalid; ++l) column[l] = yrows[l][0];
  for (int k = 0; k < kp.count; ++k) {
    const double pos = kp.pos[k];
    Lanes lw, beta;
    broadcast(lw, kp.lw[k]);
    broadcast(beta, kp.beta[k]);
    const Lanes num = pos - c;
    const LaneMask far = (num >= den) | (num <= -den);
    Lanes val;
    shape<K, Lanes>(val, a, b1, b2, c - pos, lw, beta);
    if (!allset(far)) {
      const int nrows = lanecount[i0 / kLanes];
      if (nrows < 0) {
        for (int l = 0; l < nvalid; ++l) {
          if (far[l]) continue;
          const int i = i0 + l;
          val[l] = peakvalue<K>(h0 + 4 * i, h[i], hdim[i], pos, kp.lw[k], kp.beta[k]);
        }
      } else {
        // The near form in every lane: the component sum, blended with the
        // far form where |x| > 0.01.
        const double* rows = lanerows + laneoffset[i0 / kLanes];
        Lanes sum = {0.0, 0.0, 0.0, 0.0};
        for (int r = 0; r < nrows; ++r) {
          Lanes ra, rb1, rb2, re, one;
          loadlanes(ra, rows + (4 * r) * kLanes);
          loadlanes(rb1, rows + (4 * r + 1) * kLanes);
          loadlanes(rb2, rows + (4 * r + 2) * kLanes);
          loadlanes(re, rows + (4 * r + 3) * kLanes);
          shape<K, Lanes>(one, ra, rb1, rb2, re - pos, lw, beta);
          sum += one;
        }
        const Lanes x = num / den;
        Lanes f, t9, g1;
        blendfactor(x, f, t9, g1);
        const Lanes mix = f * sum + (1.0 - f) * val;
        LaneMask wide;
        blended(wide, x);
        Lanes near;
        choose(near, wide, mix, sum);
        choose(val, far, val, near);
      }
    }
    const Lanes v = kp.inten[k] * val;
    total += v;
    if (onecolumn)
      column += __builtin_convertvector(v, Floats);
    else if (yrows != nullptr)
      for (int l = 0; l < nvalid; ++l) yrows[l][kp.ix[k]] += static_cast<float>(v[l]);
  }
  if (onecolumn)
    for (int l = 0; l < nvalid; ++l) yrows[l][0] = column[l];
  for (int l = 0; l < kLanes; ++l) out[l] = static_cast<float>(total[l]);
}

// modell0 of the points i0 .. i1-1 into v[0 .. i1-i0-1], with their rows of
// the per-phase sums phases (yphasen, or null for none); i0 is a multiple of
// the lane count.
KALVO_LANE_TARGETS void modellpoints(int i0, int i1, const PeakSet* set, const PassPeaks& peaks,
                                     float* v, float* phases) {
  for (int b = i0; b < i1; b += kLanes) {
    const int nvalid = std::min(kLanes, i1 - b);
    bool lanes = true;
    for (int l = 0; l < nvalid; ++l)
      if (!(lane_den[b + l] > 0.0)) lanes = false;
    if (!lanes) {
      for (int l = 0; l < nvalid; ++l) v[b - i0 + l] = pointvalue(b + l, set, phases);
      continue;
    }
    float* rows[kLanes] = {};
    float* const* yrows = nullptr;
    if (phases != nullptr) {
      for (int l = 0; l < nvalid; ++l) {
        rows[l] = phases + static_cast<size_t>(b + l) * nphasen;
        for (int k = 0; k < nphasen; ++k) rows[l][k] = 0.0f;
      }
      yrows = rows;
    }
    float v2[kLanes], v3[kLanes], v4[kLanes];
    pointlanes<2>(b, nvalid, peaks.kind2, yrows, v2);
    pointlanes<3>(b, nvalid, peaks.kind3, yrows, v3);
    pointlanes<4>(b, nvalid, peaks.kind4, yrows, v4);
    for (int l = 0; l < nvalid; ++l) {
      float x = v2[l] + v3[l] + v4[l];
      // The polarisation factor is the one the tables were built with.
      if (polk != nullptr) {
        const float pk = polk[b + l];
        x *= pk;
        if (yrows != nullptr)
          for (int k = 0; k < nphasen; ++k) rows[l][k] *= pk;
      }
      v[b - i0 + l] = x;
    }
  }
}

// Stores the entries of four peaks, e[j] holding entry j of each, peak by
// peak (K entries each).
template <int K>
[[gnu::always_inline]] inline void interleave(float* out, const Floats* e) {
  Floats o[K];
  if constexpr (K == 2) {
    o[0] = __builtin_shufflevector(e[0], e[1], 0, 4, 1, 5);
    o[1] = __builtin_shufflevector(e[0], e[1], 2, 6, 3, 7);
  } else if constexpr (K == 3) {
    const Floats ab = __builtin_shufflevector(e[0], e[1], 0, 4, 1, 5);
    const Floats ab2 = __builtin_shufflevector(e[0], e[1], 2, 6, 3, 7);
    const Floats bc = __builtin_shufflevector(e[1], e[2], 1, 5, 2, 6);
    o[0] = __builtin_shufflevector(ab, e[2], 0, 1, 4, 2);
    o[1] = __builtin_shufflevector(bc, ab2, 0, 1, 4, 5);
    o[2] = __builtin_shufflevector(ab2, e[2], 6, 2, 3, 7);
  } else {
    const Floats t0 = __builtin_shufflevector(e[0], e[1], 0, 4, 1, 5);
    const Floats t1 = __builtin_shufflevector(e[2], e[3], 0, 4, 1, 5);
    const Floats t2 = __builtin_shufflevector(e[0], e[1], 2, 6, 3, 7);
    const Floats t3 = __builtin_shufflevector(e[2], e[3], 2, 6, 3, 7);
    o[0] = __builtin_shufflevector(t0, t1, 0, 1, 4, 5);
    o[1] = __builtin_shufflevector(t0, t1, 2, 3, 6, 7);
    o[2] = __builtin_shufflevector(t2, t3, 0, 1, 4, 5);
    o[3] = __builtin_shufflevector(t2, t3, 2, 3, 6, 7);
  }
  std::memcpy(out, o, sizeof o);
}

// Derivative entries of the peaks of kind K at point i, four peaks side by
// side, the rest one by one.
template <int K>
[[gnu::always_inline]] inline void peaklanes(int i, const float* peaks, const KindPeaks& kp,
                                             float* row, const RowScale& s) {
  const int npeaks = kp.count;
  const float* summary = h0 + 4 * i;
  const double sw = static_cast<double>(summary[1]) + static_cast<double>(summary[2]);
  int k = 0;
  if (lane_den[i] > 0.0) {
    Lanes a, b1, b2, c, den;
    broadcast(a, summary[0]);
    broadcast(b1, summary[1]);
    broadcast(b2, summary[2]);
    broadcast(c, summary[3]);
    broadcast(den, lane_den[i]);
    // The row's scale, read once for all its peaks.
    const bool pol = s.pol, weighted = s.weighted;
    const Floats pk = {s.pk, s.pk, s.pk, s.pk};
    const Floats weight = {s.weight, s.weight, s.weight, s.weight};
    for (; k + kLanes <= npeaks; k += kLanes) {
      Lanes pos, lw, beta, inten;
      loadlanes(pos, kp.pos + k);
      loadlanes(lw, kp.lw + k);
      loadlanes(beta, kp.beta + k);
      loadlanes(inten, kp.inten + k);
      const Lanes num = pos - c;
      const LaneMask far = (num >= den) | (num <= -den);
      PartialsOf<Lanes> acc;
      dshape<K, Lanes>(a, b1, b2, c - pos, lw, beta, acc);
      if (!allset(far)) {
        // The near form in every lane, as peakpartials forms it.
        PartialsOf<Lanes> sum;
        const float* rows = h[i];
        for (int r = 0; r < hdim[i]; ++r) {
          const float* row = rows + 4 * r;
          Lanes ra, rb1, rb2, re;
          broadcast(ra, row[0]);
          broadcast(rb1, row[1]);
          broadcast(rb2, row[2]);
          broadcast(re, row[3]);
          dshape<K, Lanes>(ra, rb1, rb2, re - pos, lw, beta, sum);
        }
        const Lanes x = num / den;
        Lanes f, t9, g1;
        blendfactor(x, f, t9, g1);
        const Lanes fp = -20.0 * t9 * g1 / den;
        PartialsOf<Lanes> mix;
        mix.v = f * sum.v + (1.0 - f) * acc.v;
        mix.dp = f * sum.dp + (1.0 - f) * acc.dp + fp * (sum.v - acc.v);
        mix.dl = f * sum.dl + (1.0 - f) * acc.dl;
        mix.db = f * sum.db + (1.0 - f) * acc.db;
        mix.ds = f * sum.ds + (1.0 - f) * acc.ds;
        LaneMask wide;
        blended(wide, x);
        choose(sum.v, wide, mix.v, sum.v);
        choose(sum.dp, wide, mix.dp, sum.dp);
        choose(sum.dl, wide, mix.dl, sum.dl);
        choose(sum.db, wide, mix.db, sum.db);
        choose(sum.ds, wide, mix.ds, sum.ds);
        choose(acc.v, far, acc.v, sum.v);
        choose(acc.dp, far, acc.dp, sum.dp);
        choose(acc.dl, far, acc.dl, sum.dl);
        choose(acc.db, far, acc.db, sum.db);
        choose(acc.ds, far, acc.ds, sum.ds);
      }
      Floats e[K];
      e[0] = __builtin_convertvector(acc.v, Floats);
      e[1] = __builtin_convertvector(inten * acc.dp, Floats);
      if constexpr (K >= 3) e[2] = __builtin_convertvector(inten * acc.dl, Floats);
      if constexpr (K == 4) {
        // As in writeentries: the quotient db / (2 beta) from a thousandth
        // of the point's width up, ds below (the divisor of those lanes is
        // held at 1 so that no lane divides by 0).
        Lanes floor, one;
        broadcast(floor, 1e-3 * sw);
        broadcast(one, 1.0);
        const LaneMask quotient = (beta >= floor) & (beta > 0.0);
        Lanes held, ds;
        choose(held, quotient, beta, one);
        choose(ds, quotient, inten * acc.db / (2.0 * held), inten * acc.ds);
        e[3] = __builtin_convertvector(ds, Floats);
      }
      if (pol)
        for (int j = 0; j < K; ++j) e[j] *= pk;
      if (weighted)
        for (int j = 0; j < K; ++j) e[j] *= weight;
      interleave<K>(row + K * k, e);
    }
  }
  for (; k < npeaks; ++k) {
    const float* block = peaks + K * k;
    double lw, beta;
    ownwidths<K>(block, lw, beta);
    const Partials p = peakpartials<K>(summary, h[i], hdim[i], block[1], lw, beta);
    writeentries<K>(row + K * k, p, block[0], beta, sw, s);
  }
}

// The peak entries of a derivative row at point i, taken with s, from the
// peak values of the set worked out before (rowpeaks).
KALVO_LANE_TARGETS void peakrowof(float* row, int i, const PeakSet* set, const PassPeaks& peaks,
                                  const RowScale& s) {
  float* at = row;
  peaklanes<2>(i, set->par2, peaks.kind2, at, s);
  at += 2 * set->count2;
  peaklanes<3>(i, set->par3, peaks.kind3, at, s);
  at += 3 * set->count3;
  peaklanes<4>(i, set->par4, peaks.kind4, at, s);
}

void peakrow(float* row, int i, const PeakSet* set, const RowScale& s) {
  peakrowof(row, i, set, rowpeaks(set), s);
}

RowScale pointscale(int i) {
  RowScale s;
  if (polk != nullptr) s.pol = true, s.pk = polk[i];
  return s;
}

// ---------------------------------------------------------------------------
// Pool work
//
// Points are handed out in chunks of consecutive points, each starting at a
// multiple of the lane count (so that every point is computed exactly as in
// a pass on one thread). A point near a peak costs many times one far from
// all peaks, so equal chunks are unequal work: the chunks shrink towards the
// end of the pass, so that the workers finish together. The position of the
// next chunk sits on a cache line of its own, away from what every worker
// reads.

constexpr int kChunk = 64;      // points per chunk while much is left
constexpr int kChunkMin = 16;   // points per chunk at the end of a pass
constexpr int kChunkShare = 2;  // a chunk is at most 1/(kChunkShare * workers) of what is left

struct ModellTask {
  alignas(64) std::atomic<int> next;  // first point not yet handed out
  alignas(64) float* r;               // residuals, or null
  float* values;                      // else modell0 of each point
  float* phases;                      // the per-phase sums filled, or null
  int points;
  int workers;
  const PeakSet* set;
  PassPeaks peaks;
};

// Takes the next chunk [i0, i1); false when every point is handed out.
bool takechunk(ModellTask& task, int& i0, int& i1) {
  int at = task.next.load(std::memory_order_relaxed);
  for (;;) {
    const int left = task.points - at;
    if (left <= 0) return false;
    int size = left / (kChunkShare * task.workers);
    size = std::clamp((size + kLanes - 1) / kLanes * kLanes, kChunkMin, kChunk);
    const int end = std::min(task.points, at + size);
    if (task.next.compare_exchange_weak(at, end, std::memory_order_relaxed)) {
      i0 = at;
      i1 = end;
      return true;
    }
  }
}

void modellparfkt(uint64_t arg) {
  auto* task = reinterpret_cast<ModellTask*>(arg);
  const PeakSet* set = task->set;
  float v[kChunk];
  for (int i0, i1; takechunk(*task, i0, i1);) {
    if (task->r == nullptr) {
      modellpoints(i0, i1, set, task->peaks, task->values + i0, task->phases);
      continue;
    }
    modellpoints(i0, i1, set, task->peaks, v, task->phases);
    for (int i = i0; i < i1; ++i) {
      const float b = unt(set->bg, sinx[i]);
      if (u != nullptr) u[i] = b;
      const double total = static_cast<double>(b) + static_cast<double>(v[i - i0]);
      if (y != nullptr) y[i] = static_cast<float>(total);
      task->r[i] = static_cast<float>((total - intensitaet[i]) * w[i]);
    }
  }
}

// Residuals (r given) or modell0 values of the points 0 .. points-1 on the
// pool, filling the rows of the per-phase sums phases when given.
void modellpass(float* r, float* values, int points, const PeakSet* set, float* phases) {
  ModellTask task;
  task.r = r;
  task.values = values;
  task.phases = phases;
  task.points = points;
  task.set = set;
  task.peaks = hoist(set);
  task.workers = std::max(1, nthreads);
  task.next.store(0);
  // Any worker takes chunks from the shared position: one that comes late
  // finds none left and holds up nobody.
  nshare(modellparfkt, reinterpret_cast<uint64_t>(&task));
  nwait();
}

// Derivative mode: the model values of the points the windows take in,
}  // namespace

// evaluated beforehand on the pool; a window outside the points takes 0.
float* ddmvalues = nullptr;
int ddmvaluessize = 0;

namespace {

// The residuals of the derivative rows t0 .. t1-1: the windows over the
// model values of the points 0 .. needed-1 (a point outside them counts 0).
// The slope and the curvature row of a centre are summed in one loop, as two
// sums each in its own order, so that the additions of one do not wait for
// those of the other.
void ddmresiduals(float* r, int t0, int t1, int needed, DdmWeights& slope, DdmWeights& curvature) {
  for (int t = t0; t < t1;) {
    const int c = t / 2;
    const int rc = ddmrange[c];
    const float* at = ddmvalues + c + 2;
    const bool inside = c + 2 - rc >= 0 && c + 2 + rc < needed;
    // Two centres side by side: four sums, each over its window in order.
    if (inside && t % 2 == 0 && t + 3 < t1) {
      const int r1 = ddmrange[c + 1];
      if (c + 3 - r1 >= 0 && c + 3 + r1 < needed && rc <= DdmWeights::kTabulated &&
          r1 <= DdmWeights::kTabulated) {
        // The tables grown first, so that the weights taken below stay put.
        slope.of(std::max(rc, r1));
        curvature.of(std::max(rc, r1));
        const double* ws0 = slope.of(rc) - rc;
        const double* wc0 = curvature.of(rc) - rc;
        const double* ws1 = slope.of(r1) - r1;
        const double* wc1 = curvature.of(r1) - r1;
        const float* at0 = at - rc;
        const float* at1 = at + 1 - r1;
        const int n0 = 2 * rc + 1, n1 = 2 * r1 + 1, n = std::min(n0, n1);
        double a0 = 0.0, a1 = 0.0, b0 = 0.0, b1 = 0.0;
        for (int k = 0; k < n; ++k) {
          const auto v0 = static_cast<double>(at0[k]);
          const auto v1 = static_cast<double>(at1[k]);
          a0 += ws0[k] * v0;
          a1 += wc0[k] * v0;
          b0 += ws1[k] * v1;
          b1 += wc1[k] * v1;
        }
        for (int k = n; k < n0; ++k) {
          const auto v0 = static_cast<double>(at0[k]);
          a0 += ws0[k] * v0;
          a1 += wc0[k] * v0;
        }
        for (int k = n; k < n1; ++k) {
          const auto v1 = static_cast<double>(at1[k]);
          b0 += ws1[k] * v1;
          b1 += wc1[k] * v1;
        }
        const double sums[4] = {a0, a1, b0, b1};
        for (int k = 0; k < 4; ++k)
          r[t + k] = static_cast<float>((sums[k] - intensitaet[t + k]) * w[t + k]);
        t += 4;
        continue;
      }
    }
    if (inside && t % 2 == 0 && t + 1 < t1) {
      const double* ws = slope.of(rc);
      const double* wc = curvature.of(rc);
      double s0 = 0.0, s1 = 0.0;
      for (int j = -rc; j <= rc; ++j) {
        const auto v = static_cast<double>(at[j]);
        s0 += ws[j] * v;
        s1 += wc[j] * v;
      }
      r[t] = static_cast<float>((s0 - intensitaet[t]) * w[t]);
      r[t + 1] = static_cast<float>((s1 - intensitaet[t + 1]) * w[t + 1]);
      t += 2;
      continue;
    }
    const double* weight = t % 2 == 0 ? slope.of(rc) : curvature.of(rc);
    double sum = 0.0;
    if (inside) {
      for (int j = -rc; j <= rc; ++j) sum += weight[j] * static_cast<double>(at[j]);
    } else {
      for (int j = -rc; j <= rc; ++j) {
        const int point = c + 2 + j;
        const double v = point >= 0 && point < needed ? at[j] : 0.0f;
        sum += weight[j] * v;
      }
    }
    r[t] = static_cast<float>((sum - intensitaet[t]) * w[t]);
    ++t;
  }
}

// The rows of the window pass are taken in groups from a shared countdown;
// a pass with few rows runs on the calling thread, where a hand-off to the
// pool would cost more than it saves.
constexpr int kDdmRowGroup = 64;
constexpr int kDdmPooledRows = 2048;

struct DdmResidualTask {
  alignas(64) std::atomic<int64_t> left;  // groups not yet taken
  alignas(64) float* r;
  int needed;
};

void ddmresidualfkt(uint64_t arg) {
  auto* task = reinterpret_cast<DdmResidualTask*>(arg);
  thread_local DdmWeights slope(0), curvature(1);
  for (int64_t g; (g = nexttask(task->left)) >= 0;) {
    const int t0 = static_cast<int>(g) * kDdmRowGroup;
    ddmresiduals(task->r, t0, std::min(m, t0 + kDdmRowGroup), task->needed, slope, curvature);
  }
}

void modellddm(float* r, const PeakSet* set) {
  const int mm = ddm_mmax;
  const int npoints = m_h;
  // The windows take in the points 0 .. mm+1 and then c+2+mm for every
  // centre c, as far as there are points.
  int needed = std::min(npoints, mm + 2);
  if (m > 0) needed = std::max(needed, std::min(npoints, (m - 1) / 2 + mm + 3));
  if (needed > ddmvaluessize) {
    std::free(ddmvalues);
    ddmvalues = zalloc<float>(static_cast<size_t>(needed));
    ddmvaluessize = needed;
  }
  modellpass(nullptr, ddmvalues, needed, set, yphasen);
  for (int point = 0; point < needed; ++point) {
    if (y != nullptr) y[point] = ddmvalues[point];
    if (u != nullptr) u[point] = 0.0f;
  }
  // Each row's window is summed in the same order whichever thread takes it.
  if (nthreads <= 1 || m < kDdmPooledRows) {
    thread_local DdmWeights slope(0), curvature(1);
    ddmresiduals(r, 0, m, needed, slope, curvature);
    return;
  }
  DdmResidualTask task;
  task.left.store((m + kDdmRowGroup - 1) / kDdmRowGroup);
  task.r = r;
  task.needed = needed;
  nshare(ddmresidualfkt, reinterpret_cast<uint64_t>(&task));
  nwait();
}

// Derivative mode rows: a window of 2M+1 unweighted point rows kept between
// the calls of one pass (rows 0 .. m-1 in order from one thread), as a ring.
float* ablwindow = nullptr;
double* ablsum = nullptr;
int ablsize = 0;    // rows in the window (2M+1)
int abllength = 0;  // entries per row
int ablfirst = 0;   // ring position of window row 0
int ablnext = 0;    // the row the pass expects next

float* ablrow(int k) {
  return ablwindow + static_cast<size_t>((ablfirst + k) % ablsize) * abllength;
}

void ablpoint(int point, float* dst, const PeakSet* set) {
  if (point < m_h)
    peakrow(dst, point, set, pointscale(point));
  else
    for (int p = 0; p < abllength; ++p) dst[p] = 0.0f;
}

}  // namespace

void ablfree() {
  std::free(ablwindow);
  std::free(ablsum);
  ablwindow = nullptr;
  ablsum = nullptr;
  ablsize = abllength = 0;
  ablnext = 0;
}

namespace {

void ableitungddm(float* row, int t, const PeakSet* set) {
  const int np = peakentries(set);
  const int mm = ddm_mmax;
  if (t == 0) {
    ablfree();
    ablsize = 2 * mm + 1;
    abllength = np;
    ablwindow = zalloc<float>(static_cast<size_t>(ablsize) * (np > 0 ? np : 1));
    ablsum = zalloc<double>(np > 0 ? static_cast<size_t>(np) : 1);
    ablfirst = 0;
    for (int k = mm - 1; k <= 2 * mm; ++k) ablpoint(k - mm + 1, ablrow(k), set);
  } else if (t != ablnext || np != abllength || ablwindow == nullptr) {
    internal_error("ableitung order", kModule, __LINE__);
  }
  const int c = t / 2;
  if (t % 2 == 0) {
    ablfirst = (ablfirst + 1) % ablsize;
    ablpoint(c + 2 + mm, ablrow(2 * mm), set);
  }
  const int rc = ddmrange[c];
  double* acc = ablsum;
  for (int p = 0; p < np; ++p) acc[p] = 0.0;
  for (int j = -rc; j <= rc; ++j) {
    const double coef = ddmpolynome(j, t % 2, rc);
    const float* src = ablrow(mm + j);
    for (int p = 0; p < np; ++p) acc[p] += coef * src[p];
  }
  const double weight = w[t];
  for (int p = 0; p < np; ++p) row[p] = static_cast<float>(weight * acc[p]);
  for (int k = 0; k < set->ru; ++k) row[np + k] = 0.0f;
  ablnext = t + 1;
  if (t >= m - 1) ablfree();
}

}  // namespace

}  // namespace pattern

using namespace pattern;

// ---------------------------------------------------------------------------
// Kernels

float p2(const float* summary, const float* table, int ncomp, const float* peaks, int npeaks,
         const int32_t* ix, float* yrow) {
  return kernel<2>(summary, table, ncomp, peaks, npeaks, ix, yrow);
}

float p3(const float* summary, const float* table, int ncomp, const float* peaks, int npeaks,
         const int32_t* ix, float* yrow) {
  return kernel<3>(summary, table, ncomp, peaks, npeaks, ix, yrow);
}

float p4(const float* summary, const float* table, int ncomp, const float* peaks, int npeaks,
         const int32_t* ix, float* yrow) {
  return kernel<4>(summary, table, ncomp, peaks, npeaks, ix, yrow);
}

// ---------------------------------------------------------------------------
// Pattern model

float modell0(int i, const PeakSet* set) { return pointvalue(i, set, yphasen); }

void modell(float* r, const PeakSet* set) {
  if (m <= 0) return;
  if (ddmmode()) {
    checktables(m / 2 + 4, __LINE__);
    modellddm(r, set);
    return;
  }
  checktables(m, __LINE__);
  modellpass(r, nullptr, m, set, yphasen);
}

void modellpunkte(float* values, int points, const PeakSet* set) {
  if (points <= 0) return;
  checktables(points, __LINE__);
  modellpass(nullptr, values, points, set, nullptr);
}

void ableitung0(float* row, int i, const PeakSet* set) {
  int at = 0;
  at += kindpartials<2>(i, set->par2, set->count2, row + at);
  at += kindpartials<3>(i, set->par3, set->count3, row + at);
  at += kindpartials<4>(i, set->par4, set->count4, row + at);
  if (polk != nullptr) {
    const float pk = polk[i];
    for (int k = 0; k < at; ++k) row[k] *= pk;
  }
}

void ableitungpunkt(float* row, int i, const PeakSet* set) {
  if (i < 0 || i >= m_h) internal_error("ableitungpunkt point", kModule, __LINE__);
  peakrow(row, i, set, pointscale(i));
}

namespace {

// The ordinary-mode row of residual t from the set's peak values.
void ordinaryrow(float* row, int t, const PeakSet* set, const PassPeaks& peaks) {
  checktables(t + 1, __LINE__);
  const float weight = w[t];
  RowScale s = pointscale(t);
  s.weighted = true;
  s.weight = weight;
  peakrowof(row, t, set, peaks, s);
  const int np = peakentries(set);
  // The background entries are cleared first: a background set up with
  // fewer functions than the set has coefficients leaves the rest at 0.
  float* bg = row + np;
  for (int k = 0; k < set->ru; ++k) bg[k] = 0.0f;
  unta(set->bg, bg, sinx[t]);
  for (int k = 0; k < set->ru; ++k) bg[k] *= weight;
}

}  // namespace

void ableitung(float* row, int t, const PeakSet* set) {
  if (t < 0 || t >= m) internal_error("ableitung row", kModule, __LINE__);
  if (ddmmode()) {
    checktables(m / 2 + 4, __LINE__);
    ableitungddm(row, t, set);
    return;
  }
  ordinaryrow(row, t, set, rowpeaks(set));
}

void ableitungen(float* rows, size_t stride, int t0, int n, const PeakSet* set) {
  if (n <= 0) return;
  if (t0 < 0 || t0 + n > m) internal_error("ableitung row", kModule, __LINE__);
  if (ddmmode()) {
    for (int k = 0; k < n; ++k) ableitung(rows + static_cast<size_t>(k) * stride, t0 + k, set);
    return;
  }
  // The set stays the same over the rows: its peak values are looked up once.
  const PassPeaks& peaks = rowpeaks(set);
  for (int k = 0; k < n; ++k)
    ordinaryrow(rows + static_cast<size_t>(k) * stride, t0 + k, set, peaks);
}

}  // namespace model
