// The instrument function's private header, shared by its files and by
// nothing outside them:
//   gerneu_files.cpp  loading: the GEQ table and the instrument-profile file
//                     (ger1, ger2), the loaded state and its views;
//   gerneu_eval.cpp   the evaluation at one angle (ger, gergsum,
//                     gerfitmeasure): the table, the LINTOR formula, one
//                     record, or two records blended and refitted;
//   gerneu_refit.cpp  the line shape of the beam path's arrangement, its
//                     adaptive sampling and the refit with squared-Lorentzian
//                     components;
//   gerneu_batch.cpp  many angles on the worker pool (gerbatch), with the
//                     refits on a grid of angles between two records.
// An evaluation that fails throws a GerFailure; the public calls turn it into
// the failure of ger (a message and the end of the process, or a probe's
// gererr).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <unordered_map>
#include <vector>

#include "core/data.hpp"
#include "model/gerneu.hpp"

namespace model::gerneu {

inline constexpr const char* kModule = "obj/gerneu";
inline constexpr double kPi = 3.141592653589793;
inline constexpr double kFltMax = 3.4028234663852886e+38;
inline constexpr int kHeaderSize = 124;

// Bounds of the refit. Real instrument profiles need a handful of components
// and a few grid refinements; beyond these the line shape cannot be
// represented and the call fails (-15) instead of running on.
inline constexpr int kMaxComponents = 40;
// The most blocks of angles of an instrument-profile file, and the most
// components of one block.
inline constexpr int kMostBlocks = 100000;
inline constexpr int kMostBlockComponents = 1000;
inline constexpr int kMaxRefinements = 40;
inline constexpr int kMaxAdditions = 200;
// Additions in a row that did not lower the error measure: the accuracy
// asked for lies below what the samples in single precision can show.
inline constexpr int kMaxFailedAdditions = 10;
inline constexpr int kMaxSamples = 100000;
inline constexpr int kMaxRejections = 200;

// ---------------------------------------------------------------------------
// Loaded state (gerneu_files.cpp)

extern double eps1, eps2, eps3, eps4;      // EPS1 .. EPS4 of the zero shift
extern unsigned char header[kHeaderSize];  // header of the GEQ table
extern char geqname[8001];                 // the table's name, or its file's
extern char gerfilename[8001];             // the instrument-profile file loaded, for messages
extern char nofile;                        // no table file was found
extern char warnung1;                      // message 13 printed since ger1
extern char warnung2;                      // message 14 printed since ger1
extern TableRecord* geqfirst;

// The table's records in file order with their keys and summed weights,
// made when the table was read: a point's pair of records is then found by
// bisection when the keys ascend, where walking the list from the first
// record took a step per record below the point.
struct TableIndex {
  std::vector<const TableRecord*> records;
  std::vector<double> keys;
  std::vector<double> weights;
  bool ascending = false;
};
extern TableIndex geqindex;
// Whether geqindex holds the table loaded now.
bool tableindexed();
extern ProfileRecord* perst;

// A failure of ger with its message number (-13, -14, -15).
struct GerFailure {
  int code;
};

// The single-precision value stored little-endian at p.
float getf32(const unsigned char* p);
// count zero-filled floats (one at least), each array a separate allocation.
float* zerofloats(int count);
// Line shape of one set of components at x.
double profile(int count, const float* cg, const float* ce, const float* cq, double x);
// Reads an optional numeric key; def when it is undefined. A key that is
// defined but gives no finite number ends the run with a message naming it.
double optional(const char* key, double def);

// ---------------------------------------------------------------------------
// Evaluation at one angle (gerneu_eval.cpp)

// The keys an evaluation on the two-record path reads (lookup mode 2): the
// pairs (D, R), (T, D) and (T, R), each either fully defined or not, and
// EPSG. ger reads them from the store at every call; a batch on the worker
// pool, whose workers cannot use the store, reads them once beforehand on
// the calling thread (nothing an evaluation does changes them).
struct Keys {
  bool hasdr = false, hastd = false, hastr = false;
  double dr_d = 0, dr_r = 0;
  double td_t = 0, td_d = 0;
  double tr_t = 0, tr_r = 0;
  double epsg = 0.007;
};

// The absorption along the paths at v depends on neither the record nor the
// abscissa, so within one ger call each v is integrated once. Keyed by the
// bits of v (the quadrature's abscissae recur exactly).
struct BitsHash {
  size_t operator()(uint64_t bits) const {
    return static_cast<size_t>((bits ^ (bits >> 31)) * 0x9E3779B97F4A7C15ull >> 16);
  }
};

struct Sample {
  float t;
  float y;
  float h;
  uint8_t eligible;
  uint8_t refine;
};

// The sampled line shape and the components fitted to it.
struct Refit {
  const ProfileRecord* nearr;
  const ProfileRecord* farr;
  double u;
  double ymax;
  double total;  // sum of the planned steps
  std::vector<Sample> samples;
  std::vector<float> xi, yi, wi;
  std::vector<float> cg, ce, cq;  // components relative to the centroid
  std::vector<float> sg, se, sq;  // saved copy
  int m = 0;                      // samples in xi, yi, wi
  int n = 0;                      // components of the current fit
  int changes = 0;                // components removed or added since prepare
  // Work arrays of the refit, kept for the next evaluation.
  std::vector<float*> par;
  std::vector<uint8_t> flags;
  std::vector<float> r, rows, mat, b, ub, x, c;
  std::vector<const ProfileRecord*> list;
};

// Everything one evaluation of ger works with, and where its components go.
// The calling thread's context writes the module's components n, g, e, q,
// reads the store and prints its messages at once. A worker's context of a
// batch keeps its components to itself, reads the keys from the batch's
// snapshot and records its messages for the caller, which prints them in
// the order of the points.
struct Context {
  int* n;
  float** g;
  float** e;
  float** q;
  const Keys* keys = nullptr;  // set: a worker of a batch
  double sinx = 0, cosx = 0;
  double lambda = 0;  // penetration length of a reflecting sample; kept between calls
  double tdivd = 0, tdivr = 0;
  double epsg = 0.007;
  double absorption = 1;  // A of a reflecting sample
  int64_t work = 0;       // see kWorkBudget (gerneu_refit.cpp)
  std::unordered_map<uint64_t, double, BitsHash> pathcache;
  Refit fit;
  // Messages of the current evaluation that a worker leaves to the caller.
  bool warn13 = false, warn14 = false;
  bool lambdaset = false;  // the evaluation computed a penetration length

  Context(int* cn, float** cg, float** ce, float** cq) : n(cn), g(cg), e(ce), q(cq) {}
};

// Ends the current evaluation with that failure (a message number, or
// kOnCaller).
[[noreturn]] void fail(int code);

// A worker met what only the calling thread may do (use the store, print
// at once, end the process): the point is evaluated again there, in its
// turn.
inline constexpr int kOnCaller = 1;

// Replaces the context's components by count zero-filled ones.
void newcomponents(Context& cx, int count);

// Sets the lookup mode for a scope of code and restores the caller's; does
// nothing on a worker, which never uses the store.
struct LookupMode {
  int saved = 0;
  bool active;
  LookupMode(const Context& cx, int mode) : active(cx.keys == nullptr) {
    if (!active) return;
    saved = core::getrekart();
    core::setrekart(mode);
  }
  ~LookupMode() {
    if (active) core::setrekart(saved);
  }
  LookupMode(const LookupMode&) = delete;
  LookupMode& operator=(const LookupMode&) = delete;
};

// Reads the keys of the two-record path from the store (lookup mode 2, set
// by the caller): each pair in a frame of its own.
Keys readkeys();

// The two records that bracket cot 2 theta = k: indices into the list of
// records (a before b); fails -14 beyond the records.
void bracket(Context& cx, double s, double c, double k, int& a, int& b);

// Everything of the refit at one angle but the refit itself: the blend of
// records a and b (indices of bracket), the aberration of the beam path and
// the start components from the near record. Returns the absorption.
double prepare(Context& cx, double s, double c, double k, int a, int b);

// Final assembly: total weight of the arrangement, GSUM and centroid
// interpolated between the records, zero shift.
void assemble(Context& cx, double c, double z, double absorb);

// The angle quantities of evaluate at sine s.
void setangle(Context& cx, double s, double& c, double& k);

// The instrument function at sine s into the context's components.
void evaluate(Context& cx, double s);

// The calling thread's context: the module's components.
extern Context maincontext;

// A failure of ger as it ends the process (probing aside), at sin theta s.
[[noreturn]] void failure(int code, double s);

// A worker's context with components of its own.
struct WorkerContext {
  int n = 0;
  float* g = nullptr;
  float* e = nullptr;
  float* q = nullptr;
  Context cx{&n, &g, &e, &q};
  WorkerContext() = default;
  WorkerContext(const WorkerContext&) = delete;
  WorkerContext& operator=(const WorkerContext&) = delete;
  ~WorkerContext() {
    std::free(g);
    std::free(e);
    std::free(q);
  }
};

// ---------------------------------------------------------------------------
// Sampling and refit (gerneu_refit.cpp)

// Samples the blended line shape of the context's refit (fit.samples and the
// arrays xi, yi, wi).
void sampling(Context& cx);

// Samples the blended line shape and fits components to it, starting from
// fit.cg/ce/cq; leaves the accepted components there.
void resample(Context& cx, double absorb);

// The refit's error measure of the current components over the current
// samples, relative to the one it accepts (goalreached).
double fitmeasure(Context& cx);

}  // namespace model::gerneu
