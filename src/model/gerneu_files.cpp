// The instrument function: loading the instrument description (ger1, ger2).
//
// The profile file "<name>.ger" holds, per measured angle, a short list of
// squared-Lorentzian components; the GEQ table "<name>.geq" holds the
// finished instrument function on a fine angle grid. Both are checked as
// they are read, so that no value beyond an instrument reaches an
// evaluation.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/infile.hpp"
#include "core/integral.hpp"
#include "core/keycheck.hpp"
#include "core/message.hpp"
#include "core/runfiles.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"
#include "model/gerneu.hpp"
#include "model/gerneu_internal.hpp"
#include "scan/apx63.hpp"

namespace model {
using namespace core;
using namespace scan;

int n = 0;
float* g = nullptr;
float* e = nullptr;
float* q = nullptr;
int gererr = 1;
int32_t zelmarry = 0;

namespace gerneu {

// ---------------------------------------------------------------------------
// Loaded state

double eps1 = 0, eps2 = 0, eps3 = 0, eps4 = 0;
unsigned char header[kHeaderSize];
char geqname[8001];
char gerfilename[8001];
char nofile = 0;
char warnung1 = 0;
char warnung2 = 0;
TableRecord* geqfirst = nullptr;
ProfileRecord* perst = nullptr;

float getf32(const unsigned char* p) {
  uint32_t u = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
               static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

float* zerofloats(int count) {
  void* p = std::calloc(count > 0 ? static_cast<size_t>(count) : 1, sizeof(float));
  if (p == nullptr) outofmemory();
  return static_cast<float*>(p);
}

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

double optional(const char* key, double def) {
  double v = def;
  if (!optnumber(key, &v)) v = def;
  return v;
}

namespace {

// Values of a profile beyond any instrument: a position or width past one
// radian of theta (the line would cover most of the pattern), a weight or
// GSUM past 1e6. Such values and non-finite ones are refused when a file is
// loaded, so that they never reach a table, a plot or a fit.
constexpr double kMaxSpan = 1.0;
constexpr double kMaxWeight = 1e6;

bool sanecomponent(float gi, float ei, float qi) {
  return gi >= 0 && gi <= kMaxWeight && std::fabs(ei) <= kMaxSpan && qi > 0 && qi <= kMaxSpan;
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

template <class T>
T* newrecord() {
  void* p = std::calloc(1, sizeof(T));
  if (p == nullptr) outofmemory();
  return static_cast<T*>(p);
}

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

void freetable() {
  geqindex = TableIndex{};
  while (geqfirst != nullptr) {
    TableRecord* next = geqfirst->next;
    // e and q lie in the block of g.
    std::free(geqfirst->g);
    std::free(geqfirst);
    geqfirst = next;
  }
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
  // The whole file in one read; the records are taken from memory, the
  // components of each in one block (g, then e, then q).
  std::vector<unsigned char> data(static_cast<size_t>(size));
  data.resize(std::fread(data.data(), 1, data.size(), f));
  const size_t have = data.size();
  // A short header is kept as far as it goes, as its read would have left it.
  if (have > 0) std::memcpy(header, data.data(), std::min(have, static_cast<size_t>(kHeaderSize)));
  if (have < static_cast<size_t>(kHeaderSize)) return false;
  int arrangement = 0;
  for (int k = 0; k < 6; ++k) {
    // The magic with its terminating zero, within its 8 bytes.
    if (std::memcmp(header, kMagics[k], 7) == 0) arrangement = 1 + k / 2;
  }
  if (arrangement == 0) return false;
  if (std::memchr(header + 24, 0, 100) == nullptr) return false;
  long pos = kHeaderSize;
  size_t at = kHeaderSize;
  TableRecord* tail = nullptr;
  for (;;) {
    if (at == have) break;
    if (have - at < 8) return false;
    const unsigned char* b = data.data() + at;
    at += 8;
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
    r->g = zerofloats(3 * count);
    r->e = r->g + count;
    r->q = r->e + count;
    if (tail == nullptr)
      geqfirst = r;
    else
      tail->next = r;
    tail = r;
    const size_t bytes = static_cast<size_t>(count) * 12;
    if (have - at < bytes) return false;
    const unsigned char* buf = data.data() + at;
    at += bytes;
    pos += static_cast<long>(bytes);
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

  // Blocks to the end of the file: each is put in its place in the sorted
  // list, and each component costs every evaluation of the profile, so
  // that both are bounded.
  int blocks = 0;
  for (;;) {
    newDATAlist();
    ++line;
    GetData(f, "p");
    // A read error ends the blocks as the end of the file does; the caller
    // reports it.
    if (std::feof(f) || std::ferror(f)) {
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
    if (++blocks > kMostBlocks || count > kMostBlockComponents)
      fatal<-126>(gname, kMostBlocks, kMostBlockComponents, line);
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

}  // namespace

TableIndex geqindex;

bool tableindexed() { return !geqindex.records.empty() && geqindex.records[0] == geqfirst; }

}  // namespace gerneu

using namespace gerneu;

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
  FILE* tf = openread(tname, "GEQ table of LINTOR", true);
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
    checkread(tf, tname, "GEQ table of LINTOR");
    std::fclose(tf);
  }

  // The instrument-profile file.
  setrekart(1);
  int depth = DATAlistLevel();
  newDATAlist();
  static char gname[8001];
  std::snprintf(gname, sizeof gname - 8, "%s", name);
  makeextension(gname, "ger", 1);
  std::snprintf(gerfilename, sizeof gerfilename, "%s", gname);
  FILE* f = openread(gname, "LINTOR");
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
  checkread(f, gname, "LINTOR");
  std::fclose(f);
  setrekart(mode);
  warnung1 = warnung2 = 0;
}

const ProfileRecord* gerrecords() { return perst; }
const TableRecord* gertable() { return geqfirst; }
const unsigned char* gerheader() { return header; }

}  // namespace model
