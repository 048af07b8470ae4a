// The instrument function.
//
// Loading (ger1, ger2): the GEQ table "<name>.geq" and the instrument-profile
// file "<name>.ger". The profile file holds, per measured angle, a short list
// of squared-Lorentzian components; the table holds the finished instrument
// function on a fine angle grid.
//
// Evaluation (ger): inside the table's range the nearest grid point is used
// with its weights rescaled; else one record is scaled by cot 2 theta, or two
// records that bracket the angle are blended, folded with the aberration of
// the beam path (penetration into a reflecting sample, a transmitting flat
// sample, a cylindrical capillary), sampled adaptively and refitted with
// squared-Lorentzian components.
#include "model/gerneu.hpp"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/integral.hpp"
#include "core/keycheck.hpp"
#include "core/message.hpp"
#include "core/nspawn.hpp"
#include "core/runfiles.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"
#include "numeric/dreieck.hpp"
#include "numeric/qmin.hpp"
#include "numeric/rg.hpp"
#include "scan/apx63.hpp"

namespace model {
using namespace core;
using namespace numeric;
using namespace scan;

int n = 0;
float* g = nullptr;
float* e = nullptr;
float* q = nullptr;
int gererr = 1;
int32_t zelmarry = 0;

namespace {

constexpr const char* kModule = "obj/gerneu";
constexpr double kPi = 3.141592653589793;
constexpr double kFltMax = 3.4028234663852886e+38;
constexpr int kHeaderSize = 124;

// Bounds of the refit. Real instrument profiles need a handful of components
// and a few grid refinements; beyond these the line shape cannot be
// represented and the call fails (-15) instead of running on.
constexpr int kMaxComponents = 40;
constexpr int kMaxRefinements = 40;
constexpr int kMaxAdditions = 200;
// Additions in a row that did not lower the error measure: the accuracy
// asked for lies below what the samples in single precision can show.
constexpr int kMaxFailedAdditions = 10;
constexpr int kMaxSamples = 100000;
constexpr int kMaxRejections = 200;

// Values of a profile beyond any instrument: a position or width past one
// radian of theta (the line would cover most of the pattern), a weight or
// GSUM past 1e6. Such values and non-finite ones are refused when a file is
// loaded, so that they never reach a table, a plot or a fit.
constexpr double kMaxSpan = 1.0;
constexpr double kMaxWeight = 1e6;

bool sanecomponent(float gi, float ei, float qi) {
  return gi >= 0 && gi <= kMaxWeight && std::fabs(ei) <= kMaxSpan && qi > 0 && qi <= kMaxSpan;
}

// ---------------------------------------------------------------------------
// Loaded state

double eps1 = 0, eps2 = 0, eps3 = 0, eps4 = 0;
unsigned char header[kHeaderSize];
char geqname[8001];
char nofile = 0;
char warnung1 = 0;
char warnung2 = 0;
TableRecord* geqfirst = nullptr;
ProfileRecord* perst = nullptr;

// A failure of ger with its message number (-13, -14, -15).
struct GerFailure {
  int code;
};

float getf32(const unsigned char* p) {
  uint32_t u = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
               static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

int32_t geti32(const unsigned char* p) {
  uint32_t u = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
               static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  int32_t i;
  std::memcpy(&i, &u, 4);
  return i;
}

void setf32(unsigned char* p, float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  for (int k = 0; k < 4; ++k) p[k] = static_cast<unsigned char>(u >> (8 * k));
}

float* zerofloats(int count) {
  void* p = std::calloc(count > 0 ? static_cast<size_t>(count) : 1, sizeof(float));
  if (p == nullptr) outofmemory();
  return static_cast<float*>(p);
}

template <class T>
T* newrecord() {
  void* p = std::calloc(1, sizeof(T));
  if (p == nullptr) outofmemory();
  return static_cast<T*>(p);
}

// The table's records in file order with their keys and summed weights,
// made when the table was read: a point's pair of records is then found by
// bisection when the keys ascend, where walking the list from the first
// record took a step per record below the point.
struct TableIndex {
  std::vector<const TableRecord*> records;
  std::vector<double> keys;
  std::vector<double> weights;
  bool ascending = false;
} geqindex;

void indextable() {
  geqindex = TableIndex{};
  geqindex.ascending = true;
  for (const TableRecord* r = geqfirst; r != nullptr; r = r->next) {
    double w = 0;
    for (int i = 0; i < r->n; ++i) w += r->g[i];
    if (!geqindex.keys.empty() && !(geqindex.keys.back() <= r->key)) geqindex.ascending = false;
    geqindex.records.push_back(r);
    geqindex.keys.push_back(r->key);
    geqindex.weights.push_back(w);
  }
}

bool tableindexed() { return !geqindex.records.empty() && geqindex.records[0] == geqfirst; }

void freetable() {
  geqindex = TableIndex{};
  while (geqfirst != nullptr) {
    TableRecord* next = geqfirst->next;
    std::free(geqfirst->g);
    std::free(geqfirst->e);
    std::free(geqfirst->q);
    std::free(geqfirst);
    geqfirst = next;
  }
}

// Line shape of one set of components at x.
double profile(int count, const float* cg, const float* ce, const float* cq, double x) {
  double sum = 0;
  for (int i = 0; i < count; ++i) {
    double qi = cq[i];
    double d = ce[i] - x;
    double den = d * d + qi * qi;
    sum += 2.0 * cg[i] * qi * qi * qi / (den * den);
  }
  return sum;
}

// ---------------------------------------------------------------------------
// GEQ table

const char* const kMagics[6] = {"GEQ.V1", "GEQ.V2", "GEQ.T1", "GEQ.T2", "GEQ.C1", "GEQ.C2"};

// Reads the table; returns false when it is not valid (the caller reports it
// and ignores the table). Fatal for a record with no component or with a
// value no instrument has (not finite, or past the bounds above).
bool readtable(FILE* f, const char* tname) {
  int records = 0;
  if (std::fseek(f, 0, SEEK_END) != 0) return false;
  long size = std::ftell(f);
  if (size < 0 || std::fseek(f, 0, SEEK_SET) != 0) return false;
  if (std::fread(header, 1, kHeaderSize, f) != static_cast<size_t>(kHeaderSize)) return false;
  int arrangement = 0;
  for (int k = 0; k < 6; ++k) {
    // The magic with its terminating zero, within its 8 bytes.
    if (std::memcmp(header, kMagics[k], 7) == 0) arrangement = 1 + k / 2;
  }
  if (arrangement == 0) return false;
  if (std::memchr(header + 24, 0, 100) == nullptr) return false;
  long pos = kHeaderSize;
  TableRecord* tail = nullptr;
  for (;;) {
    unsigned char b[8];
    size_t got = std::fread(b, 1, 4, f);
    if (got == 0 && std::feof(f)) break;
    if (got != 4 || std::fread(b + 4, 1, 4, f) != 4) return false;
    pos += 8;
    int32_t count = geti32(b + 4);
    if (count < 1) {
      fatal<-12>();
    }
    if (static_cast<int64_t>(count) * 12 > static_cast<int64_t>(size - pos)) return false;
    TableRecord* r = newrecord<TableRecord>();
    ++records;
    r->n = count;
    r->key = getf32(b);
    r->g = zerofloats(count);
    r->e = zerofloats(count);
    r->q = zerofloats(count);
    if (tail == nullptr)
      geqfirst = r;
    else
      tail->next = r;
    tail = r;
    std::vector<unsigned char> buf(static_cast<size_t>(count) * 12);
    if (std::fread(buf.data(), 1, buf.size(), f) != buf.size()) return false;
    pos += static_cast<long>(buf.size());
    for (int i = 0; i < count; ++i) {
      r->g[i] = getf32(&buf[4 * i]);
      r->e[i] = getf32(&buf[4 * (count + i)]);
      r->q[i] = getf32(&buf[4 * (2 * count + i)]);
      if (!sanecomponent(r->g[i], r->e[i], r->q[i])) fatal<-89>(tname, records);
    }
    if (!(r->key > 0 && r->key < 1)) fatal<-89>(tname, records);
  }
  zelmarry = arrangement;
  indextable();
  return true;
}

// ---------------------------------------------------------------------------
// Instrument-profile file

// Integrands of the centroid: x P(x)^3 and P(x)^3 of one record.
struct RecordShape {
  int count;
  const float* g;
  const float* e;
  const float* q;
};

double fkt0(void* p, double x) {
  const RecordShape* r = static_cast<const RecordShape*>(p);
  double v = profile(r->count, r->g, r->e, r->q, x);
  return v * v * v;
}

double fkt1(void* p, double x) { return x * fkt0(p, x); }

double centroidof(int count, const float* cg, const float* ce, const float* cq) {
  RecordShape r{count, cg, ce, cq};
  double lo = kFltMax, hi = -kFltMax;
  for (int i = 0; i < count; ++i) {
    lo = std::fmin(lo, ce[i] - 4.0 * cq[i]);
    hi = std::fmax(hi, ce[i] + 4.0 * cq[i]);
  }
  double num = integral7(fkt1, &r, lo, hi, 2.220446049250313e-15);
  double den = integral7(fkt0, &r, lo, hi, 2.220446049250313e-15);
  return num / den;
}

// Drops the scopes above depth.
void dropscopes(int depth) {
  while (DATAlistLevel() > depth) {
    DelAll();
    freeDATAlist();
  }
}

// Reads an optional numeric key; def when it is undefined. A key that is
// defined but gives no finite number ends the run with a message naming it.
double optional(const char* key, double def) {
  double v = def;
  if (!optnumber(key, &v)) v = def;
  return v;
}

// Reads the blocks of an open .ger file; the caller handles a store error
// (message -11). line counts the lines read so far.
void readblocks(FILE* f, const char* gname, int& line) {
  line = 1;
  GetData(f, "p");

  // Tube tails: must agree with a loaded table.
  double tubetails = 0;
  bool hastails = dataerr_try([&] { tubetails = GetVar("TubeTails"); });
  if (!hastails) {
    if (zelmarry != 0 && iftubetails) fatal<-7>();
    iftubetails = 0;
  } else {
    if (zelmarry != 0 && (tubetails > 0) != (iftubetails != 0)) fatal<-7>();
    iftubetails = tubetails > 0 ? 1 : 0;
  }

  // Arrangement: must agree with a loaded table.
  static char arrangement[8001];
  arrangement[0] = 0;
  bool hasarrangement = dataerr_try([&] { GetStrVar("ZELMARRY", 8000, arrangement); });
  int kind;
  if (!hasarrangement || std::strcmp(arrangement, "REFLEXION") == 0)
    kind = 1;
  else if (std::strcmp(arrangement, "TRANSMISSION") == 0)
    kind = 2;
  else if (std::strcmp(arrangement, "CAPILLARY") == 0)
    kind = 3;
  else {
    fatal<-172>(arrangement, gname);
  }
  if (zelmarry == 0) {
    zelmarry = kind;
    setf32(header + 12, kind == 1 ? 10.0f : 0.0f);
  } else if (zelmarry != kind) {
    fatal<-173>();
  }

  // Blocks to the end of the file.
  for (;;) {
    newDATAlist();
    ++line;
    GetData(f, "p");
    if (std::feof(f)) {
      DelAll();
      freeDATAlist();
      break;
    }
    double theta = 0, deltaomega = 0;
    int count = 0;
    bool valid = dataerr_try([&] {
      theta = GetVar("THETA");
      if (!dataerr_try([&] { deltaomega = GetVar("DeltaOmega"); }))
        deltaomega = 0;
      else
        deltaomega *= kPi / 180;
      count = GetIntVar("N");
      if (count <= 0 || !(theta > 0 && theta < 90)) {
        ClearErr();
        dataerr_jmp();
      }
    });
    if (!valid) {
      DelAll();
      freeDATAlist();
      continue;
    }
    int blockline = line;
    ProfileRecord* r = newrecord<ProfileRecord>();
    r->key = static_cast<float>(1.0 / std::tan(theta * kPi / 90));
    ProfileRecord** at = &perst;
    while (*at != nullptr && (*at)->key > r->key) at = &(*at)->next;
    r->next = *at;
    *at = r;
    r->g = zerofloats(count);
    r->e = zerofloats(count);
    r->q = zerofloats(count);
    r->n = count;
    r->deltaomega = static_cast<float>(deltaomega);
    r->gsum = static_cast<float>(optional("GSUM", 1.0));
    if (!(r->gsum >= 0 && r->gsum <= kMaxWeight) || !std::isfinite(r->deltaomega)) {
      DelAll();
      freeDATAlist();
      dataerr_jmp();
    }
    DelAll();
    freeDATAlist();

    // The data lines, each in a scope of its own, so that a short line
    // cannot pick up values of the line before it.
    for (int i = 0; i < count; ++i) {
      newDATAlist();
      ++line;
      GetData(f, "Positionsparameter");
      float gi = static_cast<float>(GetVar("Positionsparameter[0]"));
      float ei = static_cast<float>(GetVar("Positionsparameter[1]"));
      float qi = static_cast<float>(GetVar("Positionsparameter[2]"));
      DelAll();
      freeDATAlist();
      if (!sanecomponent(gi, ei, qi)) dataerr_jmp();
      r->g[i] = gi;
      r->e[i] = ei;
      r->q[i] = qi;
    }

    // Centroid, then weights normalised to a sum of 1. A block without any
    // weight describes no line shape.
    double sum = 0;
    for (int i = 0; i < count; ++i) sum += r->g[i];
    if (!(sum > 0) || !std::isfinite(sum)) {
      line = blockline;
      dataerr_jmp();
    }
    double centroid = centroidof(count, r->g, r->e, r->q);
    if (!std::isfinite(centroid)) {
      line = blockline;
      dataerr_jmp();
    }
    r->centroid = static_cast<float>(centroid);
    for (int i = 0; i < count; ++i) r->g[i] = static_cast<float>(r->g[i] / sum);
  }
}

// ---------------------------------------------------------------------------
// Evaluation

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
  int64_t work = 0;       // see kWorkBudget
  std::unordered_map<uint64_t, double, BitsHash> pathcache;
  Refit fit;
  // Messages of the current evaluation that a worker leaves to the caller.
  bool warn13 = false, warn14 = false;
  bool lambdaset = false;  // the evaluation computed a penetration length

  Context(int* cn, float** cg, float** ce, float** cq) : n(cn), g(cg), e(ce), q(cq) {}
};

[[noreturn]] void fail(int code) { throw GerFailure{code}; }

// A worker met what only the calling thread may do (use the store, print
// at once, end the process): the point is evaluated again there, in its
// turn.
constexpr int kOnCaller = 1;

// Replaces the context's components by count zero-filled ones.
void newcomponents(Context& cx, int count) {
  std::free(*cx.g);
  std::free(*cx.e);
  std::free(*cx.q);
  *cx.g = zerofloats(count);
  *cx.e = zerofloats(count);
  *cx.q = zerofloats(count);
  *cx.n = count;
}

// Sets the lookup mode for a scope of code and restores the caller's; does
// nothing on a worker, which never uses the store.
struct LookupMode {
  int saved = 0;
  bool active;
  LookupMode(const Context& cx, int mode) : active(cx.keys == nullptr) {
    if (!active) return;
    saved = getrekart();
    setrekart(mode);
  }
  ~LookupMode() {
    if (active) setrekart(saved);
  }
  LookupMode(const LookupMode&) = delete;
  LookupMode& operator=(const LookupMode&) = delete;
};

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

// Samples the blended line shape and fits components to it, starting from
// fit.cg/ce/cq; leaves the accepted components there.
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

// Reads the keys of the two-record path from the store (lookup mode 2, set
// by the caller): each pair in a frame of its own.
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

// The two records that bracket cot 2 theta = k: indices into the list of
// records (a before b); fails -14 beyond the records.
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

// Everything of the refit at one angle but the refit itself: the blend of
// records a and b (indices of bracket), the aberration of the beam path and
// the start components from the near record. Returns the absorption.
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

// Final assembly: total weight of the arrangement, GSUM and centroid
// interpolated between the records, zero shift.
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

void tworecords(Context& cx, double s, double c, double k, double z) {
  LookupMode mode(cx, 2);
  int a = 0, b = 0;
  bracket(cx, s, c, k, a, b);
  const double absorb = prepare(cx, s, c, k, a, b);
  resample(cx, absorb);
  assemble(cx, c, z, absorb);
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

// The calling thread's context: the module's components.
Context maincontext{&n, &g, &e, &q};

// A failure of ger as it ends the process (probing aside).
[[noreturn]] void failure(int code) {
  if (code == -13) fatal<-13>();
  if (code == -14) fatal<-14>();
  fatal<-15>();
}

// ---------------------------------------------------------------------------
// Many angles on the worker pool

// What a worker leaves of one point for the caller.
struct PointResult {
  int status;  // 0 done, a failure number, or kOnCaller
  bool warn13, warn14;
  bool setlambda;  // the evaluation computed a penetration length
  double lambda;
};

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

// Points per item of the work counter: the cost of a point varies with its
// angle (a table look-up, or a refit that takes milliseconds), so items are
// small.
constexpr int kBatchChunk = 4;

// ---------------------------------------------------------------------------
// Refits on a grid of angles
//
// Between two measured records the blended line shape changes smoothly with
// the angle, and so do the components fitted to it when each fit starts from
// the components of the angle next to it. A batch therefore refits the shape
// only at nodes evenly spaced in cot 2 theta (the blend's own variable)
// between the two records, and every point takes its components
// interpolated between the nodes around it (through the three nearest, else
// along the line between two); the weights, the zero shift, the centroid and
// GSUM are still those of the point's own angle. Nodes are refitted in runs
// of a fixed length, the first node of a run from the near record, every
// other from the node before it, so that the nodes, and hence every point,
// depend neither on the number of workers nor on the other points of the
// batch. Where the fit of a node removed or added a component the two nodes
// do not correspond, and the points between them are refitted at their own
// angles, as is every point beside a node that failed.
//
// On the full-range laboratory profile of the tests (5 761 points from
// 2theta = 15 to 159 degrees, about 60 nodes) the interpolated line shapes
// differ from the refits at the points' own angles by at most 0.1 % of the
// peak height (a seventh of the refit's tolerance EPSG; two of those refits
// 0.025 degrees apart differ by up to 0.14 %), and the set-up costs a
// fiftieth of the refits at every point, 1.4 times the set-up from a GEQ
// table.

// Spacing of the nodes: at most two degrees of theta, and at most 3 % of
// the change of the line width from one record to the other (the blended
// shape changes fastest where the records differ most).
constexpr double kNodeStep = 2 * kPi / 180;
constexpr double kNodeChange = 0.03;

// Width of a record's line shape: the weighted mean of the components'
// widths and distances from the centroid.
double spread(const ProfileRecord* r) {
  double sum = 0, weight = 0;
  for (int i = 0; i < r->n; ++i) {
    sum += r->g[i] * (std::fabs(r->q[i]) + std::fabs(r->e[i] - r->centroid));
    weight += r->g[i];
  }
  return weight > 0 && sum > 0 ? sum / weight : 1;
}

// Nodes per run: the first node of a run costs a full refit, the others
// little more than the sampling of the shape.
constexpr int kRunNodes = 8;

// The nodes between two records.
struct Span {
  int a, b;               // indices of the records (bracket)
  double key0;            // cot 2 theta of node 0 (record a)
  double step;            // node spacing in cot 2 theta
  int intervals;          // nodes 0 .. intervals
  std::vector<int> runs;  // index of each run in Grid::runs, -1 not needed
};

// One run of nodes: node first + j for j = 0 .. count.
struct Run {
  int span;
  int first, count;
  std::vector<int> n;                     // components per node, -1 failed
  std::vector<std::vector<float>> comps;  // per node: g[n], e[n], q[n]
  std::vector<uint8_t> valid;             // nodes j and j + 1 correspond
};

// Where a point takes its components from.
struct PointNodes {
  int run;  // -1: refitted at its own angle
  int slot;
  float t;  // between node slot (0) and slot + 1 (1)
};

struct Grid {
  std::vector<Span> spans;
  std::vector<Run> runs;
  std::vector<PointNodes> points;
};

struct Batch {
  alignas(64) std::atomic<int64_t> counter;     // chunks left
  alignas(64) std::atomic<int64_t> runcounter;  // runs of nodes left
  const float* s;
  int count;
  GerTake take;
  void* arg;
  Keys keys;
  double lambda;  // the caller's penetration length when the batch began
  PointResult* results;
  WorkerContext* workers;
  Grid* grid;
  // The components of the last point, which ger leaves behind.
  std::vector<float> lastg, laste, lastq;
};

// The list of records of a context, as bracket leaves it.
void recordlist(Context& cx) {
  std::vector<const ProfileRecord*>& list = cx.fit.list;
  list.clear();
  for (const ProfileRecord* r = perst; r != nullptr; r = r->next) list.push_back(r);
}

// The angle quantities of evaluate at sine s.
void setangle(Context& cx, double s, double& c, double& k) {
  cx.work = 0;
  cx.sinx = s;
  c = std::sqrt(1 - s * s);
  cx.cosx = c;
  k = (2 * c * c - 1) / (2 * s * c);
}

// The refit's components on the line between two nodes' (t from 0 to 1).
void between(Refit& fit, int nc, const float* p0, const float* p1, float t) {
  const float w0 = 1 - t;
  fit.cg.resize(nc);
  fit.ce.resize(nc);
  fit.cq.resize(nc);
  for (int i = 0; i < nc; ++i) {
    fit.cg[i] = w0 * p0[i] + t * p1[i];
    fit.ce[i] = w0 * p0[nc + i] + t * p1[nc + i];
    fit.cq[i] = w0 * p0[2 * nc + i] + t * p1[2 * nc + i];
  }
}

// The refit's error measure of the current components over the current
// samples, relative to the one it accepts (goalreached).
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

// Refits the nodes of one run.
void fitrun(Context& cx, const Span& span, Run& run) {
  recordlist(cx);
  bool previous = false;
  for (int j = 0; j <= run.count; ++j) {
    const int node = run.first + j;
    const double theta = 0.5 * std::atan2(1.0, span.key0 + span.step * node);
    double c = 0, k = 0;
    setangle(cx, std::sin(theta), c, k);
    run.n[j] = -1;
    try {
      const double absorb = prepare(cx, cx.sinx, c, k, span.a, span.b);
      Refit& fit = cx.fit;
      if (previous) {
        const std::vector<float>& p = run.comps[j - 1];
        const int pn = run.n[j - 1];
        fit.cg.assign(p.begin(), p.begin() + pn);
        fit.ce.assign(p.begin() + pn, p.begin() + 2 * pn);
        fit.cq.assign(p.begin() + 2 * pn, p.begin() + 3 * pn);
      }
      resample(cx, absorb);
      const int nc = static_cast<int>(fit.cg.size());
      std::vector<float>& out = run.comps[j];
      out.assign(fit.cg.begin(), fit.cg.end());
      out.insert(out.end(), fit.ce.begin(), fit.ce.end());
      out.insert(out.end(), fit.cq.begin(), fit.cq.end());
      run.n[j] = nc;
      previous = true;
      if (j > 0 && fit.changes == 0 && nc == run.n[j - 1]) {
        // The line between the two nodes must fit the shape halfway as the
        // refit demands, else their points are refitted.
        const double mid = 0.5 * std::atan2(1.0, span.key0 + span.step * (node - 0.5));
        setangle(cx, std::sin(mid), c, k);
        (void)prepare(cx, cx.sinx, c, k, span.a, span.b);
        sampling(cx);
        between(fit, nc, run.comps[j - 1].data(), run.comps[j].data(), 0.5f);
        if (fitmeasure(cx) <= 1) run.valid[j - 1] = 1;
      }
    } catch (const GerFailure&) {
      previous = false;
    }
  }
}

void runparfkt(uint64_t arg) {
  auto* batch = reinterpret_cast<Batch*>(arg);
  Context& cx = batch->workers[threadid()].cx;
  cx.keys = &batch->keys;
  Grid& grid = *batch->grid;
  for (int64_t r; (r = nexttask(batch->runcounter)) >= 0;) {
    cx.lambda = batch->lambda;
    Run& run = grid.runs[static_cast<size_t>(r)];
    fitrun(cx, grid.spans[static_cast<size_t>(run.span)], run);
  }
  cx.keys = nullptr;
}

// A point between two corresponding nodes: the components interpolated
// between them, assembled at the point's own angle.
void interpolated(Context& cx, const Grid& grid, const PointNodes& pn, double s) {
  const Run& run = grid.runs[static_cast<size_t>(pn.run)];
  const Span& span = grid.spans[static_cast<size_t>(run.span)];
  double c = 0, k = 0;
  setangle(cx, s, c, k);
  const double t = zelmarry == 2 ? s : c;
  const double z = eps1 + eps2 * t + eps3 * 2 * s * c + eps4 * std::fmax(k, 0.0);
  recordlist(cx);
  const double absorb = prepare(cx, s, c, k, span.a, span.b);
  const int nc = run.n[pn.slot];
  const float* p0 = run.comps[pn.slot].data();
  const float* p1 = run.comps[pn.slot + 1].data();
  between(cx.fit, nc, p0, p1, pn.t);
  assemble(cx, c, z, absorb);
}

// The nodes the points of a batch need; false when the batch has nothing to
// take from nodes (a table, fewer than two records, no refit).
bool plangrid(Grid& grid, int count, const float* sines) {
  if (geqfirst != nullptr || perst == nullptr || perst->next == nullptr) return false;
  if (zelmarry < 1 || zelmarry > 3) return false;
  Context& cx = maincontext;
  grid.points.assign(static_cast<size_t>(count), PointNodes{-1, 0, 0});
  bool any = false;
  for (int i = 0; i < count; ++i) {
    const double s = sines[i];
    if (!(s > 0 && s < 1)) continue;
    double c = std::sqrt(1 - s * s);
    double k = (2 * c * c - 1) / (2 * s * c);
    int a = 0, b = 0;
    try {
      bracket(cx, s, c, k, a, b);
    } catch (const GerFailure&) {
      continue;
    }
    size_t si = 0;
    while (si < grid.spans.size() && !(grid.spans[si].a == a && grid.spans[si].b == b)) ++si;
    if (si == grid.spans.size()) {
      Span span{a, b, 0, 0, 0, {}};
      const ProfileRecord* ra = cx.fit.list[a];
      const ProfileRecord* rb = cx.fit.list[b];
      span.key0 = ra->key;
      const double theta0 = 0.5 * std::atan2(1.0, static_cast<double>(ra->key));
      const double theta1 = 0.5 * std::atan2(1.0, static_cast<double>(rb->key));
      if (theta1 > theta0) {
        const double change = std::fabs(std::log(spread(rb) / spread(ra)));
        span.intervals = static_cast<int>(
            std::fmax(std::ceil((theta1 - theta0) / kNodeStep), std::ceil(change / kNodeChange)));
        span.step = (static_cast<double>(rb->key) - ra->key) / span.intervals;
        span.runs.assign(static_cast<size_t>((span.intervals + kRunNodes - 1) / kRunNodes), -1);
      }
      grid.spans.push_back(std::move(span));
    }
    Span& span = grid.spans[si];
    if (span.intervals == 0) continue;
    const double x = (k - span.key0) / span.step;
    if (!(x >= -1e-6 && x <= span.intervals + 1e-6)) continue;
    const int node = std::clamp(static_cast<int>(std::floor(x)), 0, span.intervals - 1);
    const int r = node / kRunNodes;
    int& ri = span.runs[static_cast<size_t>(r)];
    if (ri < 0) {
      ri = static_cast<int>(grid.runs.size());
      Run run;
      run.span = static_cast<int>(si);
      run.first = r * kRunNodes;
      run.count = std::min(kRunNodes, span.intervals - run.first);
      run.n.assign(static_cast<size_t>(run.count) + 1, -1);
      run.comps.resize(static_cast<size_t>(run.count) + 1);
      run.valid.assign(static_cast<size_t>(run.count), 0);
      grid.runs.push_back(std::move(run));
    }
    grid.points[static_cast<size_t>(i)] =
        PointNodes{ri, node - r * kRunNodes, static_cast<float>(std::clamp(x - node, 0.0, 1.0))};
    any = true;
  }
  return any;
}

void batchparfkt(uint64_t arg) {
  auto* batch = reinterpret_cast<Batch*>(arg);
  const int id = threadid();
  Context& cx = batch->workers[id].cx;
  cx.keys = &batch->keys;
  for (int64_t chunk; (chunk = nexttask(batch->counter)) >= 0;) {
    const int i0 = static_cast<int>(chunk) * kBatchChunk;
    const int i1 = std::min(batch->count, i0 + kBatchChunk);
    for (int i = i0; i < i1; ++i) {
      PointResult& res = batch->results[i];
      // Every point starts from the state the caller had, so that its
      // result does not depend on the points this worker did before.
      cx.lambda = batch->lambda;
      cx.warn13 = cx.warn14 = cx.lambdaset = false;
      try {
        const PointNodes* pn =
            batch->grid != nullptr ? &batch->grid->points[static_cast<size_t>(i)] : nullptr;
        if (pn != nullptr && pn->run >= 0 &&
            batch->grid->runs[static_cast<size_t>(pn->run)].valid[static_cast<size_t>(pn->slot)])
          interpolated(cx, *batch->grid, *pn, batch->s[i]);
        else
          evaluate(cx, batch->s[i]);
        res.status = 0;
      } catch (const GerFailure& f) {
        res.status = f.code;
      }
      res.warn13 = cx.warn13;
      res.warn14 = cx.warn14;
      res.setlambda = cx.lambdaset;
      res.lambda = cx.lambda;
      if (res.status != 0) continue;
      const int nc = *cx.n;
      batch->take(i, nc, *cx.g, *cx.e, *cx.q, batch->arg);
      if (i == batch->count - 1) {
        batch->lastg.assign(*cx.g, *cx.g + nc);
        batch->laste.assign(*cx.e, *cx.e + nc);
        batch->lastq.assign(*cx.q, *cx.q + nc);
      }
    }
  }
  cx.keys = nullptr;
}

}  // namespace

void ger(double s) {
  try {
    evaluate(maincontext, s);
  } catch (const GerFailure& f) {
    // Outside the table's range without records there is nothing to probe.
    if (f.code != -13 && gererr == 0) {
      gererr = 1;
      return;
    }
    failure(f.code);
  }
}

void gerbatch(int count, const float* s, GerTake take, void* arg) {
  if (count <= 0) return;
  // On the calling thread: without workers; when a failure must leave the
  // components of the call before it (probing); and without records and
  // table, where LINTOR is evaluated in the store at every angle.
  if (nthreads < 1 || gererr != 1 || (perst == nullptr && geqfirst == nullptr)) {
    for (int i = 0; i < count; ++i) {
      ger(s[i]);
      take(i, n, g, e, q, arg);
    }
    return;
  }
  Batch batch;
  batch.s = s;
  batch.count = count;
  batch.take = take;
  batch.arg = arg;
  {
    LookupMode mode(maincontext, 2);
    batch.keys = readkeys();
  }
  batch.lambda = maincontext.lambda;
  std::vector<PointResult> results(static_cast<size_t>(count));
  std::vector<WorkerContext> workers(static_cast<size_t>(nthreads));
  batch.results = results.data();
  batch.workers = workers.data();
  // The nodes first, then the points.
  Grid grid;
  batch.grid = nullptr;
  if (plangrid(grid, count, s)) {
    batch.grid = &grid;
    batch.runcounter.store(static_cast<int64_t>(grid.runs.size()));
    nspawn(runparfkt, 0, reinterpret_cast<uint64_t>(&batch));
    nwait();
  }
  batch.counter.store((count + kBatchChunk - 1) / kBatchChunk);
  nspawn(batchparfkt, 0, reinterpret_cast<uint64_t>(&batch));
  nwait();

  // The messages, failures and carried state in the order of the points, as
  // count calls of ger would leave them.
  bool lastdone = false;
  for (int i = 0; i < count; ++i) {
    const PointResult& res = results[static_cast<size_t>(i)];
    if (res.status == kOnCaller) {
      ger(s[i]);
      take(i, n, g, e, q, arg);
      lastdone = i == count - 1;
      continue;
    }
    if (res.warn13 && !warnung1) {
      message<13>();
      warnung1 = 1;
    }
    if (res.warn14 && !warnung2) {
      message<14>();
      warnung2 = 1;
    }
    if (res.status != 0) failure(res.status);
    if (res.setlambda) maincontext.lambda = res.lambda;
  }
  if (!lastdone) {
    const int nc = static_cast<int>(batch.lastg.size());
    newcomponents(maincontext, nc);
    std::copy(batch.lastg.begin(), batch.lastg.end(), g);
    std::copy(batch.laste.begin(), batch.laste.end(), e);
    std::copy(batch.lastq.begin(), batch.lastq.end(), q);
  }
}

void ger2() {
  while (perst != nullptr) {
    ProfileRecord* next = perst->next;
    std::free(perst->g);
    std::free(perst->e);
    std::free(perst->q);
    std::free(perst);
    perst = next;
  }
  freetable();
  std::free(g);
  std::free(e);
  std::free(q);
  g = e = q = nullptr;
  n = 0;
  zelmarry = 0;
}

void ger1(const char* name) {
  ger2();
  int mode = getrekart();
  setrekart(2);
  eps1 = optional("EPS1", 0);
  eps2 = optional("EPS2", 0);
  eps3 = optional("EPS3", 0);
  eps4 = optional("EPS4", 0);

  // The table.
  static char tname[8001];
  std::snprintf(tname, sizeof tname - 8, "%s", name);
  makeextension(tname, "geq", 1);
  std::snprintf(geqname, sizeof geqname, "%s", tname);
  FILE* tf = std::fopen(tname, "rb");
  if (tf == nullptr) {
    nofile = 1;
    setf32(header + 8, 0.0f);
  } else {
    runinput("the GEQ table of LINTOR", tname);
    std::memset(header, 0, sizeof header);
    if (readtable(tf, tname)) {
      std::snprintf(geqname, sizeof geqname, "%s", reinterpret_cast<const char*>(header + 24));
      iftubetails = header[5] > '1' ? 1 : 0;
    } else {
      // Unknown magic, truncated header or record, unterminated name: the
      // table is ignored as a whole.
      message<12>(tname);
      freetable();
      zelmarry = 0;
      iftubetails = header[5] > '1' ? 1 : 0;
      std::memset(header + 8, 0, sizeof header - 8);
    }
    std::fclose(tf);
  }

  // The instrument-profile file.
  setrekart(1);
  int depth = DATAlistLevel();
  newDATAlist();
  static char gname[8001];
  std::snprintf(gname, sizeof gname - 8, "%s", name);
  makeextension(gname, "ger", 1);
  FILE* f = std::fopen(gname, "r");
  if (f == nullptr) {
    message<120>(gname);
    setrekart(mode);
    dropscopes(depth);
    warnung1 = warnung2 = 0;
    return;
  }
  runinput("LINTOR", gname);
  int line = 0;
  if (!dataerr_try([&] { readblocks(f, gname, line); })) {
    message<-11>(gname, line);
    while (ifErr()) {
      std::printf("+**%s\n%s\n", GetErr(0), GetErr(1));
      NextErr();
    }
    ger2();
    setrekart(mode);
    std::fclose(f);
    dropscopes(depth);
    fatal_exit(11);
  }
  dropscopes(depth);
  std::fclose(f);
  setrekart(mode);
  warnung1 = warnung2 = 0;
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

const ProfileRecord* gerrecords() { return perst; }
const TableRecord* gertable() { return geqfirst; }
const unsigned char* gerheader() { return header; }

}  // namespace model
