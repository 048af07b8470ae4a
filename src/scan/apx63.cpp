// The scan reader: every scan-file format, the reading pipeline (angle
// window, excluded ranges, sorting, sigma correction, derivative mode) and
// the tube-tail table.
#include "scan/apx63.hpp"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/infile.hpp"
#include "core/keycheck.hpp"
#include "core/message.hpp"
#include "core/nspawn.hpp"
#include "core/runfiles.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"
#include "numeric/chi2wert.hpp"
#include "scan/ddm.hpp"

namespace scan {
using namespace core;
using namespace numeric;

float sinxmin = 0.0f;
float sinxmax = 1.0f;
CutInterval* cut = nullptr;
bool iflintor = false;
// Set by the instrument function when it loads a profile with tube tails;
// korrw reads it. Defined in this lower layer so that both layers share one
// flag without the scan layer depending on the models.
char iftubetails = 0;

float tubetails = 0.0f;
float* tubetailarray = nullptr;
int tubetailm = 0;
float tubetailmax = 0.0f;
float tubetailstep = 0.0f;

namespace {

// The wavelength came from the key LAMBDA (set by getval; it also steers
// getscans when the tube-tail table calls it).
bool iflambda = false;

// The result arrays of getval while they are sorted.
float* sinx1 = nullptr;
float* intensitaet1 = nullptr;
float* w1 = nullptr;

constexpr double kPi = 3.14159265358979323846;
// Ten single-precision epsilons: the tolerance of the angle window.
constexpr double kWindowTol = 1.1920928955078125e-6;

void* kalloc(size_t bytes) {
  void* p = std::malloc(bytes > 0 ? bytes : 1);
  if (p == nullptr) outofmemory();
  return p;
}

template <class T>
T* kalloc_array(size_t n) {
  return static_cast<T*>(kalloc(n * sizeof(T)));
}

// A closed-on-exit stream, so that no path out of a reader leaves a file open.
struct File {
  FILE* f = nullptr;
  explicit File(FILE* stream) : f(stream) {}
  ~File() {
    if (f != nullptr) std::fclose(f);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
};

// Neither SYNCHROTRON, NEUTRONS nor LAMBDA fixed the radiation: the scans'
// anodes settle the wavelength name.
bool noradiationkey() { return !ifsynchrotron() && !ifneutrons() && !iflambda; }

// ---------------------------------------------------------------------------
// Records

// The points read so far by the scans of one reading, and the file being
// read: all the scans of a run together hold at most kMostScanPoints.
int64_t pointsread = 0;
const char* readingpath = "";

// Counts n more points of the file being read (before they are stored);
// past the limit the run ends with message -116.
void countpoints(int64_t n) {
  if (n > kMostScanPoints - pointsread) fatal<-116>(kMostScanPoints, readingpath);
  pointsread += n;
}

// A new record of n points (zero-filled), not yet on any list.
ScanRecord* newrecord(int n, double start, double step) {
  countpoints(n > 0 ? n : 0);
  ScanRecord* r = kalloc_array<ScanRecord>(1);
  r->next = nullptr;
  r->n = n > 0 ? n : 0;
  r->start = start;
  r->step = step;
  r->points = nullptr;
  if (r->n > 0) {
    r->points = static_cast<ScanPoint*>(std::calloc(static_cast<size_t>(r->n), sizeof(ScanPoint)));
    if (r->points == nullptr) outofmemory();
  }
  return r;
}

ScanRecord* recordof(const std::vector<ScanPoint>& pts, double start, double step) {
  ScanRecord* r = newrecord(static_cast<int>(pts.size()), start, step);
  if (r->points != nullptr) std::memcpy(r->points, pts.data(), pts.size() * sizeof(ScanPoint));
  return r;
}

void push(ScanRecord* r, ScanRecord** records) {
  r->next = *records;
  *records = r;
}

// The counting rule: c counts collected in the time t give the intensity
// (c + 1)/t (c/t for c <= 0.5) and the weight t/sqrt(c + 1). Counts of -1 or
// less, or a time that is not positive, give no usable weight: weight 0, and
// the intensity `fallback` when there is no time to divide by.
ScanPoint countingrule(double c, double t, double fallback) {
  ScanPoint p{};
  if (!(t > 0.0)) {
    p.intensity = static_cast<float>(fallback);
    p.weight = 0.0f;
    return p;
  }
  double cc = c > 0.5 ? c + 1.0 : c;
  p.intensity = static_cast<float>(cc / t);
  p.weight = c + 1.0 > 0.0 ? static_cast<float>(t / std::sqrt(c + 1.0)) : 0.0f;
  return p;
}

// Adopts the anode name of a file into lambda, or compares it with the name
// already adopted (message 36 with the listed name on a difference). Only
// without a radiation key.
bool anode(const char* name, int lamlen, char* lambda, const char* listed) {
  if (!noradiationkey()) return true;
  if (lambda[0] == '\0') {
    if (length(name) > lamlen) internal_error("lamlen", "obj/apx63", 382);
    assign(name, lambda);
    setxray(true);
    return true;
  }
  if (compare(lambda, name) != 0) {
    message<36>(listed);
    inputfailed(36);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Line and number readers of the text formats

// One line of at most size - 1 characters into buf, without its line end; the
// rest of a longer line is dropped. False at end of file before any character.
bool getline(char* buf, int size, FILE* f) {
  int n = 0;
  int ch = std::fgetc(f);
  if (ch == EOF) {
    buf[0] = '\0';
    return false;
  }
  while (ch != EOF && ch != '\n') {
    if (n < size - 1) buf[n++] = static_cast<char>(ch);
    ch = std::fgetc(f);
  }
  buf[n] = '\0';
  return true;
}

// Skips blanks; true when the next character is other text on the line
// (neither a line end nor the end of the file); that character is consumed.
bool ifmuell(FILE* f) {
  int ch;
  do ch = std::fgetc(f);
  while (ch == ' ');
  return ch != '\n' && ch != EOF;
}

bool isnumber(int c) { return c >= '0' && c <= '9'; }

// False exactly when line begins with key followed at once by a decimal digit
// run whose value is i + 1.
bool apx63hdrerr(const char* line, const char* key, int i) {
  int k = length(key);
  if (length(line) <= k) return true;
  if (std::strncmp(line, key, static_cast<size_t>(k)) != 0) return true;
  const char* p = line + k;
  if (!isnumber(static_cast<unsigned char>(*p))) return true;
  long long v = 0;
  while (isnumber(static_cast<unsigned char>(*p))) {
    if (v < 1000000000000LL) v = v * 10 + (*p - '0');
    ++p;
  }
  return v != static_cast<long long>(i) + 1;
}

// ---------------------------------------------------------------------------
// Binary formats: the whole file in memory, every field read through a
// bounds check.

struct Bytes {
  std::vector<unsigned char> data;
  size_t size() const { return data.size(); }
  bool has(uint64_t off, uint64_t len) const { return off <= size() && len <= size() - off; }
};

// Reads the stream to its end in blocks, so that the size the stream claims
// is never trusted: a directory reports an end position far beyond any
// memory (and then fails to read), a pipe none at all.
bool readall(FILE* f, Bytes* b) {
  b->data.clear();
  unsigned char block[65536];
  for (;;) {
    size_t got = std::fread(block, 1, sizeof block, f);
    b->data.insert(b->data.end(), block, block + got);
    if (got < sizeof block) break;
  }
  return std::ferror(f) == 0;
}

// Little-endian fields, decoded byte by byte so that the host's byte order
// does not matter.
uint64_t le(const Bytes& b, uint64_t off, int len) {
  uint64_t v = 0;
  for (int k = len - 1; k >= 0; --k) v = (v << 8) | b.data[off + static_cast<uint64_t>(k)];
  return v;
}

bool getshort(const Bytes& b, uint64_t off, int* v) {
  if (!b.has(off, 2)) return false;
  *v = static_cast<int16_t>(static_cast<uint16_t>(le(b, off, 2)));
  return true;
}

bool getint(const Bytes& b, uint64_t off, int* v) {
  if (!b.has(off, 4)) return false;
  *v = static_cast<int32_t>(static_cast<uint32_t>(le(b, off, 4)));
  return true;
}

bool getfloat(const Bytes& b, uint64_t off, float* v) {
  if (!b.has(off, 4)) return false;
  uint32_t u = static_cast<uint32_t>(le(b, off, 4));
  std::memcpy(v, &u, 4);
  return true;
}

bool getdouble(const Bytes& b, uint64_t off, double* v) {
  if (!b.has(off, 8)) return false;
  uint64_t u = le(b, off, 8);
  std::memcpy(v, &u, 8);
  return true;
}

// One range of a "raw" file as found in its header.
struct RawRange {
  int n;
  double start;
  double step;
  double time;
  uint64_t counts;  // offset of the first count
};

// The ranges of a "RAW1.01" file; false when the file is damaged.
bool raw1ranges(const Bytes& b, std::vector<RawRange>* ranges) {
  int nranges = 0;
  if (b.size() < 712 || !getint(b, 12, &nranges) || nranges < 0) return false;
  if (static_cast<uint64_t>(nranges) > (b.size() - 712) / 304) return false;
  uint64_t o = 712;
  for (int k = 0; k < nranges; ++k) {
    RawRange r{};
    int e = 0;
    float t = 0.0f;
    if (!b.has(o, 304) || !getint(b, o + 4, &r.n) || !getdouble(b, o + 16, &r.start) ||
        !getdouble(b, o + 176, &r.step) || !getfloat(b, o + 192, &t) || !getint(b, o + 256, &e))
      return false;
    r.time = t;
    if (r.n < 0 || e < 0 || !(t > 0.0f) || !std::isfinite(t) || !std::isfinite(r.start) ||
        !std::isfinite(r.step))
      return false;
    r.counts = o + 304 + static_cast<uint64_t>(e);
    if (!b.has(r.counts, 4 * static_cast<uint64_t>(r.n))) return false;
    ranges->push_back(r);
    o = r.counts + 4 * static_cast<uint64_t>(r.n);
  }
  return true;
}

// The ranges of a "RAW2" file; false when the file is damaged.
bool raw2ranges(const Bytes& b, std::vector<RawRange>* ranges) {
  int nranges = 0;
  if (b.size() < 256 || !getshort(b, 4, &nranges) || nranges < 0) return false;
  if (static_cast<uint64_t>(nranges) > (b.size() - 256) / 20) return false;
  uint64_t o = 256;
  for (int k = 0; k < nranges; ++k) {
    RawRange r{};
    int h = 0;
    float t = 0.0f, step = 0.0f, start = 0.0f;
    if (!getshort(b, o, &h) || !getshort(b, o + 2, &r.n) || !getfloat(b, o + 8, &t) ||
        !getfloat(b, o + 12, &step) || !getfloat(b, o + 16, &start))
      return false;
    if (h < 20 || r.n < 0 || !(t > 0.0f) || !std::isfinite(t) || !std::isfinite(step) ||
        !std::isfinite(start))
      return false;
    r.time = t;
    r.step = step;
    r.start = start;
    r.counts = o + static_cast<uint64_t>(h);
    if (!b.has(r.counts, 4 * static_cast<uint64_t>(r.n))) return false;
    ranges->push_back(r);
    o = r.counts + 4 * static_cast<uint64_t>(r.n);
  }
  return true;
}

void readraw(FILE* f, const char* path, const char* listed, int lamlen, char* lambda,
             ScanRecord** records) {
  Bytes b;
  bool ok = readall(f, &b);
  char magic[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  for (size_t k = 0; k < 7 && k < b.size(); ++k) magic[k] = static_cast<char>(b.data[k]);
  std::vector<RawRange> ranges;
  char name[5] = {0, 0, 0, 0, 0};
  bool known = false;
  if (ok && std::memcmp(magic, "RAW1.01", 7) == 0) {
    known = true;
    ok = raw1ranges(b, &ranges);
    if (ok) {
      std::memcpy(name, b.data.data() + 608, 4);
      int blank = charindex(name, ' ');
      if (blank >= 0) name[blank] = '\0';
    }
  } else if (ok && std::memcmp(magic, "RAW2", 4) == 0) {
    known = true;
    ok = raw2ranges(b, &ranges);
    if (ok) std::memcpy(name, b.data.data() + 188, 2);
  }
  if (!known || !ok) {
    message<265>(path, magic);
    inputfailed(265);
    return;
  }
  if (!anode(name, lamlen, lambda, listed)) return;
  for (const RawRange& r : ranges) {
    ScanRecord* rec = newrecord(r.n, r.start, r.step);
    for (int i = 0; i < r.n; ++i) {
      float c = 0.0f;
      getfloat(b, r.counts + 4 * static_cast<uint64_t>(i), &c);
      rec->points[i] = countingrule(c, r.time, 0.0);
    }
    push(rec, records);
  }
}

void readrd(FILE* f, const char* path, const char* listed, int lamlen, char* lambda,
            ScanRecord** records) {
  Bytes b;
  // Header through the counting time at byte 134; the data begin at 138 at
  // the earliest.
  if (!readall(f, &b) || b.size() < 138) {
    message<28>(path);
    inputfailed(28);
    return;
  }
  bool ok = true;
  bool adopt = false;
  char name[8001] = "";
  if (noradiationkey()) {
    static const char* const anodes[] = {"CU", "MO", "CO", "FE", "CR"};
    int code = b.data[85];
    if (code < 5) {
      assign(anodes[code], name);
      adopt = true;
    } else if (code == 5) {
      int mode = getrekart();
      setrekart(2);
      bool found = dataerr_try([&] { GetStrVar("LAMBDA", 8000, name); });
      setrekart(mode);
      if (found) {
        adopt = true;
      } else {
        message<25>();
        inputfailed(25);
        ok = false;
      }
    } else {
      message<26>(path);
      inputfailed(26);
      ok = false;
    }
  }
  int stepu = 0, startu = 0, endu = 0, timeu = 0;
  getshort(b, 128, &stepu);
  getshort(b, 130, &startu);
  getshort(b, 132, &endu);
  getshort(b, 134, &timeu);
  double step = stepu * 0.005;
  int source = b.data[120];
  if (source == 1) {
    double stepwidth = step;
    int mode = getrekart();
    setrekart(2);
    bool found = dataerr_try([&] { stepwidth = GetVar("STEPWIDTH"); });
    setrekart(mode);
    if (found)
      step = stepwidth;
    else
      message<2>();
  } else if (source > 1) {
    message<27>(path);
    inputfailed(27);
    ok = false;
  }
  if (!ok) return;
  const double start = startu * 0.005;
  const double end = endu * 0.005;
  const double time = timeu * 0.05;
  // A step or counting time that is not positive, or a point count that the
  // file cannot hold, marks a damaged file.
  double npts = 0.0;
  if (step > 0.0 && std::isfinite(step))
    npts = std::ceil((end - start) / step + 1.1920928955078125e-7);
  if (!(time > 0.0) || !(npts >= 1.0) || npts > (static_cast<double>(b.size()) - 138.0) / 2.0) {
    message<28>(path);
    inputfailed(28);
    return;
  }
  if (adopt && !anode(name, lamlen, lambda, listed)) return;
  const int n = static_cast<int>(npts);
  const uint64_t data = b.size() - 2 * static_cast<uint64_t>(n);
  ScanRecord* rec = newrecord(n, start, step);
  for (int i = 0; i < n; ++i) {
    int s = 0;
    getshort(b, data + 2 * static_cast<uint64_t>(i), &s);
    rec->points[i] = countingrule(static_cast<int32_t>(s * s) * 0.01, time, 0.0);
  }
  push(rec, records);
}

// ---------------------------------------------------------------------------
// GSAS text, one bank

// Characters [from, from + len) of a line, shorter when the line ends first.
void field(const char* line, int from, int len, char* out) {
  int n = length(line);
  int k = 0;
  for (int i = from; i < from + len && i < n; ++i) out[k++] = line[i];
  out[k] = '\0';
}

bool blank(const char* s) {
  for (; *s != '\0'; ++s)
    if (*s != ' ') return false;
  return true;
}

// A field of blanks around one run of digits (no sign), the common form of
// the counts: its value, which both the number formats hold exactly, without
// the general conversion. False for any other field.
template <class T>
bool plaincount(const char* s, T* value) {
  while (*s == ' ') ++s;
  int32_t n = 0;
  int digits = 0;
  for (; *s >= '0' && *s <= '9'; ++s, ++digits) {
    if (digits == 7) return false;
    n = 10 * n + (*s - '0');
  }
  while (*s == ' ') ++s;
  if (digits == 0 || *s != '\0') return false;
  *value = static_cast<T>(n);
  return true;
}

void readgsa(FILE* f, const char* path, ScanRecord** records) {
  char line[500];
  for (;;) {
    if (!getline(line, sizeof line, f)) {
      message<45>(path);
      inputfailed(45);
      return;
    }
    if (std::strncmp(line, "BANK ", 5) == 0) break;
  }
  char bankkey[6], banknr[500], nrec[500], bintype[500], s8[500], s9[500], datatype[500];
  int n = 0;
  double start = 0.0, step = 0.0;
  int nf = std::sscanf(line, "%5c%s%d%s%s%lf%lf%s%s%s", bankkey, banknr, &n, nrec, bintype, &start,
                       &step, s8, s9, datatype);
  if (nf < 7 || n < 0) {
    message<61>(path);
    inputfailed(61);
    return;
  }
  bintype[4] = '\0';
  if (std::strcmp(bintype, "CONS") != 0) {
    message<46>(path);
    inputfailed(46);
    return;
  }
  if (nf < 10) assign("STD", datatype);
  const bool std_ = std::strcmp(datatype, "STD") == 0;
  const bool esd = std::strcmp(datatype, "ESD") == 0;
  if (!std_ && !esd) {
    message<64>(datatype, path);
    inputfailed(64);
    return;
  }
  const int perline = std_ ? 10 : 5;
  std::vector<ScanPoint> pts;
  for (int i = 0; i < n; ++i) {
    if (i % perline == 0 && !getline(line, sizeof line, f)) {
      message<62>(path);
      inputfailed(62);
      return;
    }
    ScanPoint p{};
    char a[20], b[20];
    bool good;
    if (std_) {
      // Count multiplier nc (two characters, blank meaning 1) and the value y
      // (six characters): y*nc counts collected in the time nc.
      field(line, (i % 10) * 8, 2, a);
      field(line, (i % 10) * 8 + 2, 6, b);
      int nc = 1;
      float y = 0.0f;
      good = (blank(a) || plaincount(a, &nc) || std::sscanf(a, "%d", &nc) == 1) &&
             (plaincount(b, &y) || std::sscanf(b, "%f", &y) == 1);
      if (good) {
        double yy = y;
        double v = nc > 0 ? (yy + 1.0 / nc) / nc : 0.0;
        p.weight = v > 0.0 ? static_cast<float>(1.0 / std::sqrt(v)) : 0.0f;
        p.intensity = static_cast<float>(nc > 0 && yy > 0.5 / nc ? yy + 1.0 / nc : yy);
      }
    } else {
      // Value and sigma, eight characters each, both with a decimal point.
      field(line, (i % 5) * 16, 8, a);
      field(line, (i % 5) * 16 + 8, 8, b);
      float y = 0.0f, sigma = 0.0f;
      good = charindex(a, '.') >= 0 && charindex(b, '.') >= 0 && std::sscanf(a, "%f", &y) == 1 &&
             std::sscanf(b, "%f", &sigma) == 1 && sigma >= FLT_MIN;
      if (good) {
        if (y >= FLT_MIN) {
          float k = y / (sigma * sigma);
          double c = static_cast<double>(y) * k;
          p.intensity = static_cast<float>((c > 0.5 ? c + 1.0 : c) / k);
          p.weight = static_cast<float>(k / std::sqrt(1.0 + c));
        } else {
          p.intensity = y;
          p.weight = 1.0f / sigma;
        }
      }
    }
    if (!good) {
      message<63>(i + 1, path);
      inputfailed(63);
      return;
    }
    pts.push_back(p);
  }
  push(recordof(pts, start * 0.01, step * 0.01), records);
}

// ---------------------------------------------------------------------------
// Parameter text "val"

struct ValReader {
  FILE* f;
  int fileno;
  const char* path;
  int line = 0;

  [[noreturn]] void fatal() { core::fatal<-143>(fileno, path, line); }
  // A number or character alone on its line; anything else is fatal.
  template <class T>
  T scan(const char* fmt) {
    ++line;
    T v{};
    if (std::fscanf(f, fmt, &v) != 1 || ifmuell(f)) fatal();
    return v;
  }
  int integer() { return scan<int>("%d"); }
  double real() { return scan<double>("%lf"); }
  char character() {
    ++line;
    char buf[2] = {0, 0};
    if (std::fscanf(f, "%1s", buf) != 1 || ifmuell(f)) fatal();
    return buf[0];
  }
  void text(char* buf, int size) {
    ++line;
    getline(buf, size, f);
  }
};

void readval(FILE* f, int fileno, const char* path, const char* listed, int lamlen, char* lambda,
             ScanRecord** records) {
  ValReader v{f, fileno, path};
  char buf[500];
  bool ok = true;
  v.text(buf, sizeof buf);
  if (std::strncmp(buf, "FilePar", 7) != 0) {
    message<48>(listed, v.line);
    inputfailed(48);
    ok = false;
  }
  v.text(buf, sizeof buf);
  v.text(buf, sizeof buf);
  v.integer();
  v.integer();
  v.text(buf, 2);
  char name[100];
  v.text(name, sizeof name);
  if (noradiationkey()) {
    if (lambda[0] == '\0') {
      copy(name, 0, lamlen < 99 ? lamlen : 99, lambda);
      setxray(true);
    } else if (compare(lambda, name) != 0) {
      message<36>(listed);
      inputfailed(36);
      ok = false;
    }
  }
  v.text(buf, sizeof buf);
  v.integer();
  const int k = v.integer();
  const int nranges = v.integer();
  if (!ok) return;
  for (int i = 0; i < nranges; ++i) {
    v.text(buf, sizeof buf);
    if (apx63hdrerr(buf, "BerPar", i)) {
      message<48>(listed, v.line);
      inputfailed(48);
      ok = false;
    }
    v.text(buf, sizeof buf);
    const double start = v.real();
    v.real();
    const double step = v.real();
    const char mode = v.character();
    double t = v.real();
    if (k != 0) t *= k;
    v.integer();
    const int n = v.integer();
    if (v.character() != 'N') {
      message<37>(listed, i + 1);
      inputfailed(37);
      ok = false;
    }
    v.text(buf, sizeof buf);
    if (buf[0] != 'N') {
      message<38>(listed, i + 1);
      inputfailed(38);
      ok = false;
    }
    if (v.integer() != 0) {
      message<39>(listed, i + 1);
      inputfailed(39);
      ok = false;
    }
    v.text(buf, sizeof buf);
    if (apx63hdrerr(buf, "Intens", i)) {
      message<48>(listed, v.line);
      inputfailed(48);
      ok = false;
    }
    if (!ok) continue;
    // The points grow as they are read: a point count that the file does not
    // hold ends at its last line, not in a huge allocation.
    std::vector<ScanPoint> pts;
    for (int j = 0; j < n; ++j) {
      const double y = v.real();
      if (mode == 'T') {
        pts.push_back(countingrule(t * y, t, y));
      } else if (mode == 'C') {
        ScanPoint p{};
        p.intensity = static_cast<float>(y);
        const double wt = y > 0.0 && t > 0.0 ? std::sqrt(t) / y : 0.0;
        p.weight = static_cast<float>(wt);
        pts.push_back(p);
      } else {
        fatal<-41>();
      }
    }
    push(recordof(pts, start, step), records);
  }
}

// ---------------------------------------------------------------------------
// Plain text columns: 2theta and counts, or 2theta, intensity and sigma

void readcolumns(FILE* f, int fileno, const char* path, ScanRecord** records) {
  char line[500];
  int lineno = 0;
  bool more = getline(line, sizeof line, f);
  if (more) ++lineno;
  while (more && line[0] == '#') {
    more = getline(line, sizeof line, f);
    if (more) ++lineno;
  }
  std::vector<double> x;
  std::vector<ScanPoint> pts;
  int kind = 0;
  bool bad = false;
  for (; more; more = getline(line, sizeof line, f), lineno += more ? 1 : 0) {
    bool empty = true;
    for (const char* p = line; *p != '\0'; ++p)
      if (*p != ' ' && *p != '\t' && *p != '\r') empty = false;
    if (empty) {
      // Empty lines end the data when nothing but empty lines follows; an
      // empty line before any data is a bad line like any other.
      if (pts.empty()) {
        bad = true;
        break;
      }
      int at = lineno;
      while (getline(line, sizeof line, f)) {
        ++lineno;
        for (const char* p = line; *p != '\0'; ++p)
          if (*p != ' ' && *p != '\t' && *p != '\r') empty = false;
        if (!empty) break;
      }
      if (!empty) {
        lineno = at;
        bad = true;
      }
      break;
    }
    double xx = 0.0;
    float c = 0.0f, s = 0.0f;
    int nf = std::sscanf(line, " %lf %f %f", &xx, &c, &s);
    if (kind == 0) {
      if (nf < 2) {
        bad = true;
        break;
      }
      kind = nf;
      // The first line tolerates a negative count of a magnitude below FLT_MIN.
      if (kind == 2 && c < 0.0f && -c >= FLT_MIN) {
        bad = true;
        break;
      }
    } else if (nf < kind || (kind == 2 && c < 0.0f)) {
      bad = true;
      break;
    }
    ScanPoint p{};
    if (kind == 2) {
      p = countingrule(c, 1.0, c);
    } else {
      if (!(s >= FLT_MIN)) {
        bad = true;
        break;
      }
      if (c < FLT_MIN) {
        p.intensity = c;
        p.weight = 1.0f / s;
      } else {
        float k = c / (s * s);
        double c2 = static_cast<double>(c) * k;
        p.intensity = static_cast<float>((c2 >= 0.5 ? c2 + 1.0 : c2) / k);
        p.weight = static_cast<float>(1.0 / (std::sqrt(1.0 + c2) / k));
      }
    }
    // The lines of one file are held before their records are made.
    if (static_cast<int64_t>(pts.size()) >= kMostScanPoints - pointsread)
      fatal<-116>(kMostScanPoints, path);
    x.push_back(xx);
    pts.push_back(p);
  }
  if (bad) {
    message<-143>(fileno, path, lineno);
    inputfailed(143);
    return;
  }
  if (pts.empty()) return;
  const size_t count = pts.size();
  const double first = x[0];
  const double step = count > 1 ? (x[count - 1] - first) / static_cast<double>(count - 1) : 0.0;
  bool equidistant = true;
  for (size_t i = 0; i < count && equidistant; ++i) {
    const double is = static_cast<double>(i) * step;
    const double xh = first + is;
    if (std::fabs(x[i]) < DBL_MIN && std::fabs(xh) < DBL_MIN) continue;
    equidistant =
        std::fabs(x[i] - xh) <= DBL_EPSILON * (std::fabs(x[i]) + std::fabs(first) + std::fabs(is));
  }
  if (equidistant) {
    push(recordof(pts, first, step), records);
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    ScanRecord* r = newrecord(1, x[i], 0.0);
    r->points[0] = pts[i];
    push(r, records);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The dispatcher

void scanfree(ScanRecord* records) {
  while (records != nullptr) {
    ScanRecord* next = records->next;
    std::free(records->points);
    std::free(records);
    records = next;
  }
}

std::string scanpath(const char* name) {
  char path[8016];
  copy0x(name, static_cast<int>(strnlen(name, sizeof path - 9)), path);
  if (getextension(path) == nullptr) makeextension(path, "val", 0);
  return path;
}

void getscans(ScanNameNode* list, int lamlen, char* lambda, ScanRecord** records) {
  if (noradiationkey()) lambda[0] = '\0';
  int fileno = 0;
  pointsread = 0;
  for (ScanNameNode* node = list; node != nullptr; node = node->next) {
    ++fileno;
    char path[8016];
    std::snprintf(path, sizeof path, "%s", scanpath(node->name).c_str());
    char ext[8016];
    lowercase(getextension(path), ext);
    enum { RAW, RD, GSA, VAL, COLUMNS } kind = COLUMNS;
    if (std::strcmp(ext, "raw") == 0)
      kind = RAW;
    else if (std::strcmp(ext, "rd") == 0)
      kind = RD;
    else if (std::strcmp(ext, "gsa") == 0)
      kind = GSA;
    else if (std::strcmp(ext, "val") == 0)
      kind = VAL;
    else
      message<9>(fileno, path);
    // GSAS banks and text columns name no wavelength: without a radiation
    // key it must come from LAMBDA (a missing key is the caller's error).
    if ((kind == GSA || kind == COLUMNS) && noradiationkey()) {
      // Without LAMBDA the read below ends the run with the store's error:
      // first say why the key is needed, and when the file is not there
      // either, that too.
      if (!dataerr_try([] { GetStrVar("LAMBDA", INT_MAX, nullptr); })) {
        message<370>(fileno, path);
        FILE* probe = openquiet(path);
        if (probe == nullptr)
          message<371>(fileno, path);
        else
          std::fclose(probe);
        std::fflush(stdout);
      }
      GetStrVar("LAMBDA", lamlen, lambda);
      setxray(true);
    }
    const std::string key = "scan file " + std::to_string(fileno);
    readingpath = path;
    File file(openread(path, key.c_str(), kind == RAW || kind == RD));
    if (file.f == nullptr) {
      message<35>(path);
      inputfailed(35);
      continue;
    }
    switch (kind) {
      case RAW:
        readraw(file.f, path, node->name, lamlen, lambda, records);
        break;
      case RD:
        readrd(file.f, path, node->name, lamlen, lambda, records);
        break;
      case GSA:
        readgsa(file.f, path, records);
        break;
      case VAL:
        readval(file.f, fileno, path, node->name, lamlen, lambda, records);
        break;
      case COLUMNS:
        readcolumns(file.f, fileno, path, records);
        break;
    }
    checkread(file.f, path, key.c_str());
    readingpath = "";
  }
  readingpath = "";
}

// ---------------------------------------------------------------------------
// The reading pipeline

namespace {

bool Compare(int i, int j) { return sinx1[j] > sinx1[i]; }

void Exchange(int i, int j) {
  std::swap(sinx1[i], sinx1[j]);
  std::swap(intensitaet1[i], intensitaet1[j]);
  std::swap(w1[i], w1[j]);
}

void siftdown(int root, int n) {
  for (;;) {
    int child = 2 * root + 1;
    if (child >= n) return;
    if (child + 1 < n && Compare(child, child + 1)) ++child;
    if (!Compare(root, child)) return;
    Exchange(root, child);
    root = child;
  }
}

// Whether the n values rise strictly from each to the next: then every sort
// leaves them, and the arrays that go with them, as they are.
bool strictlyascending(const float* v, int n) {
  for (int i = 1; i < n; ++i)
    if (!(v[i - 1] < v[i])) return false;
  return true;
}

// Ascending heap sort of the module arrays by sin theta.
void heapsort(int n) {
  for (int root = n / 2 - 1; root >= 0; --root) siftdown(root, n);
  for (int end = n - 1; end > 0; --end) {
    Exchange(0, end);
    siftdown(0, end);
  }
}

// A radiation key read under its own frame: true when its text was found.
// A text that evaluates as a number is a wavelength (nm): one that is not
// a finite number above 0 ends the run with a message naming the key.
bool radiationkey(const char* key, int lamlen, char* lambda) {
  if (!dataerr_try([&] { GetStrVar(key, lamlen, lambda); })) return false;
  double wavelength = 0;
  if (lambda[0] != 0 && dataerr_try([&] { wavelength = Wert(lambda); }))
    keypositive(key, wavelength);
  return true;
}

}  // namespace

void getval(ScanNameNode* list, int lamlen, char* lambda, int* npts, float** sinx, float** intens,
            float** w) {
  const int mode = getrekart();
  setrekart(2);
  bool synchrotron = radiationkey("SYNCHROTRON", lamlen, lambda);
  setsynchrotron(synchrotron);
  bool neutrons = false;
  if (!synchrotron) {
    neutrons = radiationkey("NEUTRONS", lamlen, lambda);
    setneutrons(neutrons);
  }
  iflambda = false;
  if (!synchrotron && !neutrons) {
    if (radiationkey("LAMBDA", lamlen, lambda)) {
      setxray(true);
      iflambda = true;
    }
  }
  setrekart(mode);

  // The records read so far are freed also when a store error jumps out of
  // the reading to the caller's frame.
  struct Records {
    ScanRecord* head = nullptr;
    Records() = default;
    Records(const Records&) = delete;
    Records& operator=(const Records&) = delete;
    ~Records() { scanfree(head); }
  } owned;
  getscans(list, lamlen, lambda, &owned.head);
  ScanRecord* const records = owned.head;

  int used = 0;
  for (ScanRecord* r = records; r != nullptr; r = r->next) {
    for (int i = 0; i < r->n; ++i) {
      const double s = std::sin((r->start + i * r->step) * kPi / 360.0);
      // An angle that is not a number (a scan file's start or step of "nan"
      // or "inf") lies in no window.
      bool keep = std::isfinite(s) && !(s < sinxmin - kWindowTol) && !(s > sinxmax + kWindowTol);
      for (CutInterval* c = cut; keep && c != nullptr; c = c->next)
        if (c->lower < s && s < c->upper) keep = false;
      r->points[i].used = keep ? 1 : 0;
      if (keep) ++used;
    }
  }

  std::free(*sinx);
  std::free(*intens);
  std::free(*w);
  *sinx = *intens = *w = nullptr;
  if (used > 0) {
    *sinx = kalloc_array<float>(static_cast<size_t>(used));
    *intens = kalloc_array<float>(static_cast<size_t>(used));
    *w = kalloc_array<float>(static_cast<size_t>(used));
  }
  int k = 0;
  for (ScanRecord* r = records; r != nullptr; r = r->next) {
    for (int i = 0; i < r->n; ++i) {
      if (!r->points[i].used) continue;
      (*sinx)[k] = static_cast<float>(std::sin((r->start + i * r->step) * kPi / 360.0));
      // A value or weight that is not a number (or infinite) would poison
      // every residual sum of a fit, even with weight 0: the point keeps its
      // place in the pattern but carries nothing.
      float yi = r->points[i].intensity, wi = r->points[i].weight;
      if (!std::isfinite(yi) || !std::isfinite(wi)) yi = wi = 0.0f;
      (*intens)[k] = yi;
      (*w)[k] = wi;
      ++k;
    }
  }
  scanfree(owned.head);
  owned.head = nullptr;

  sinx1 = *sinx;
  intensitaet1 = *intens;
  w1 = *w;
  // A pattern read in ascending order, as scans mostly are, is in order
  // already; points at equal angles are put in the heap sort's order.
  if (used > 1 && !strictlyascending(*sinx, used)) heapsort(used);
  sinx1 = intensitaet1 = w1 = nullptr;

  *npts = used;
  if (ifddm)
    korrddm(npts, *sinx, intens, w);
  else if (ifxray() && !iflintor)
    korrw(used, *sinx, *intens, *w);
}

void cutinit() {
  char text[8001];
  for (int i = 1;; ++i) {
    if (!dataerr_try([&] { GetIndexStrVar("CUT", 1, &i, 8000, text); })) return;
    const int colon = charindex(text, ':');
    const int len = length(text);
    if (colon <= 0 || colon == len - 1) {
      fatal<-225>(i, text);
    }
    char part[8001];
    double a = 0.0, b = 0.0;
    bool good = dataerr_try([&] {
      copy0x(text, colon, part);
      a = Wert(part);
      copy(text, colon + 1, len - colon - 1, part);
      b = Wert(part);
    });
    if (!good) {
      fatal<-225>(i, text);
    }
    const float lower = static_cast<float>((1.0 - kWindowTol) * std::sin(2.0 * kPi * a / 720.0));
    const float upper = static_cast<float>((1.0 + kWindowTol) * std::sin(2.0 * kPi * b / 720.0));
    if (lower < upper && upper >= sinxmin && lower <= sinxmax) {
      CutInterval* node = kalloc_array<CutInterval>(1);
      node->lower = lower;
      node->upper = upper;
      node->next = cut;
      cut = node;
    }
  }
}

void cutfree() {
  while (cut != nullptr) {
    CutInterval* next = cut->next;
    std::free(cut);
    cut = next;
  }
}

namespace {

// The largest rise of a neighbour of each point, found without visiting
// every neighbour: a tree of the largest intensity of every run of points
// bounds what a run can give, max(y) - y_i times the Gaussian at the run's
// point nearest to i, and a run whose bound cannot pass the rise found so far
// is left out. The search starts from the neighbour that gave the previous
// point of the same search its rise (mostly the same line top), and looks at
// the nearer half of a run first. The result is the same as that of visiting
// every neighbour: a run is left out only when no point of it can raise the
// rise, and the largest of the same terms does not depend on their order (nor
// on where the search started).
//
// The tree and the table of the Gaussian's bounds are built once and read by
// every search.
struct RiseTree {
  RiseTree(int n, const double* tth, const float* intens) : tth(tth), y(intens) {
    while (size < n) size *= 2;
    top.assign(2 * static_cast<size_t>(size), -HUGE_VALF);
    // A point without a number never raises the rise: it bounds nothing.
    for (int j = 0; j < n; ++j)
      if (!std::isnan(intens[j])) top[static_cast<size_t>(size + j)] = intens[j];
    for (int k = size - 1; k >= 1; --k)
      top[static_cast<size_t>(k)] =
          std::max(top[static_cast<size_t>(2 * k)], top[static_cast<size_t>(2 * k + 1)]);
    // exp(-k/kSteps), a little above: exp(-x) for x >= k/kSteps lies below.
    for (int k = 0; k < kTable; ++k)
      bound[k] = std::exp(-static_cast<double>(k) / kSteps) * (1 + 1e-9);
  }

  static constexpr int kSteps = 64;
  // Within 2.5 degrees the exponent is at most 12.5.
  static constexpr int kTable = 13 * kSteps + 2;

  int size = 1;
  const double* tth;
  const float* y;
  std::vector<float> top;
  double bound[kTable];
};

class RiseSearch {
 public:
  explicit RiseSearch(const RiseTree& tree) : t_(tree) {}

  // The largest (y_j - y_i) g(2theta_i - 2theta_j), and 0 when none is
  // positive, over the points j0 <= j < j1.
  double rise(int i, int j0, int j1) {
    i_ = i;
    j0_ = j0;
    j1_ = j1;
    yi_ = t_.y[i];
    best_ = 0.0;
    // Every term of a point without a number is no number: nothing rises.
    if (std::isnan(yi_)) return 0.0;
    if (from_ >= j0 && from_ < j1) term(from_);
    visit(1, 0, t_.size);
    return best_;
  }

 private:
  double exponent(int j) const {
    const double d = (t_.tth[i_] - t_.tth[j]) / 0.5;
    return 0.5 * d * d;
  }

  // An upper bound of the Gaussian at point j, without an exp.
  double gaussbound(int j) const {
    const double x = exponent(j) * RiseTree::kSteps;
    return t_.bound[x < RiseTree::kTable - 1 ? static_cast<int>(x) : RiseTree::kTable - 1];
  }

  void term(int j) {
    const double r = (static_cast<double>(t_.y[j]) - yi_) * std::exp(-exponent(j));
    if (r > best_) {
      best_ = r;
      from_ = j;
    }
  }

  void visit(int node, int lo, int hi) {
    const int a = std::max(lo, j0_), b = std::min(hi, j1_);
    if (a >= b) return;
    const double reach = static_cast<double>(t_.top[static_cast<size_t>(node)]) - yi_;
    // The Gaussian is at most 1: a run whose highest point is not higher by
    // more than the rise found cannot raise it.
    if (reach <= best_) return;
    if (hi - lo == 1) {
      term(lo);
      return;
    }
    const int nearest = b - 1 < i_ ? b - 1 : a > i_ ? a : i_;
    if (reach * gaussbound(nearest) <= best_) return;
    const int mid = lo + (hi - lo) / 2;
    if (i_ < mid) {
      visit(2 * node, lo, mid);
      visit(2 * node + 1, mid, hi);
    } else {
      visit(2 * node + 1, mid, hi);
      visit(2 * node, lo, mid);
    }
  }

  const RiseTree& t_;
  int i_ = 0, j0_ = 0, j1_ = 0, from_ = -1;
  double yi_ = 0.0, best_ = 0.0;
};

// Points per item of the sigma correction on the worker pool.
constexpr int kRiseChunk = 128;

// The sigma correction of the points of one item after the other: each
// point's weight depends only on the tree and its own neighbours.
struct RiseTask {
  std::atomic<int64_t> counter;
  int n;
  double f;
  const RiseTree* tree;
  const int* window;  // j0 and j1 of every point
  float* w;
};

void riseparfkt(uint64_t arg) {
  auto* task = reinterpret_cast<RiseTask*>(arg);
  RiseSearch search(*task->tree);
  for (int64_t item; (item = nexttask(task->counter)) >= 0;) {
    const int first = static_cast<int>(item) * kRiseChunk;
    const int last = std::min(first + kRiseChunk, task->n);
    for (int i = first; i < last; ++i) {
      const double rise = search.rise(i, task->window[2 * i], task->window[2 * i + 1]);
      double sigma = 1.0 / static_cast<double>(task->w[i]);
      if (task->f * rise > sigma) sigma = task->f * rise;
      task->w[i] = static_cast<float>(1.0 / sigma);
    }
  }
}

}  // namespace

void korrw(int n, const float* sinx, const float* intens, float* w) {
  if (n <= 0) return;
  const double f = iftubetails ? 0.007 : 0.02;
  std::vector<double> tth(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) tth[i] = 360.0 * std::asin(static_cast<double>(sinx[i])) / kPi;
  // The neighbours of point i: j0 <= j < j1, within 2.5 degrees 2theta.
  std::vector<int> window(2 * static_cast<size_t>(n));
  int j0 = 0, j1 = 0;
  for (int i = 0; i < n; ++i) {
    while (j0 < n && tth[i] - 2.5 > tth[j0]) ++j0;
    if (j1 < j0) j1 = j0;
    while (j1 < n && tth[j1] < tth[i] + 2.5) ++j1;
    window[2 * static_cast<size_t>(i)] = j0;
    window[2 * static_cast<size_t>(i) + 1] = j1;
  }
  const RiseTree tree(n, tth.data(), intens);
  RiseTask task;
  task.counter.store((n + kRiseChunk - 1) / kRiseChunk);
  task.n = n;
  task.f = f;
  task.tree = &tree;
  task.window = window.data();
  task.w = w;
  nshare(riseparfkt, reinterpret_cast<uint64_t>(&task));
  nwait();
}

// The test of a window's quadratic fit, chi2wert(dof, chi2) < 0.8, for one
// pattern: the distribution function rises with chi2, so per number of
// degrees of freedom the largest chi2 seen to pass and the smallest seen to
// fail decide every chi2 outside the two, and only a chi2 between them is
// integrated. A pattern asks a few thousand times over a few dozen degrees
// of freedom, and each integration costs some microseconds.
class FitTest {
 public:
  bool passes(int dof, double chi2) {
    if (static_cast<size_t>(dof) >= passed_.size()) {
      passed_.resize(static_cast<size_t>(dof) + 1, 0.0);
      failed_.resize(static_cast<size_t>(dof) + 1, HUGE_VAL);
    }
    double& passed = passed_[static_cast<size_t>(dof)];
    double& failed = failed_[static_cast<size_t>(dof)];
    if (chi2 <= passed) return true;
    if (chi2 >= failed) return false;
    const bool pass = chi2wert(dof, chi2) < 0.8;
    (pass ? passed : failed) = chi2;
    return pass;
  }

 private:
  std::vector<double> passed_;  // per dof the largest chi2 that passed (0 passes)
  std::vector<double> failed_;  // and the smallest that failed
};

void korrddm(int* n, const float* /*sinx*/, float** intens, float** w) {
  const int N = *n;
  if (N < 5) {
    fatal<-47>();
  }
  const int rows = 2 * (N - 4);
  std::free(ddmrange);
  std::free(ddmoriintensitaet);
  const float* y = *intens;
  const float* wt = *w;
  ddmoriintensitaet = *intens;
  ddmrange = kalloc_array<int>(static_cast<size_t>(N - 4));
  float* di = kalloc_array<float>(static_cast<size_t>(rows));
  float* dw = kalloc_array<float>(static_cast<size_t>(rows));
  ddm_mmax = 2;
  int r = 2;
  DdmWeights slopes(0), curvatures(1);
  FitTest fits;
  for (int c = 0; c < N - 4; ++c) {
    const int centre = c + 2;
    if (c == 0) {
      r = 2;
    } else {
      r = std::min(N - 3 - c, r + 1);
      // The widest window over which a quadratic still fits the points.
      while (r >= 3) {
        const int m = 2 * r + 1;
        const double* d0 = slopes.of(r);
        const double* d1 = curvatures.of(r);
        double mean = 0.0, slope = 0.0, curv = 0.0;
        for (int j = -r; j <= r; ++j) {
          const double yj = y[centre + j];
          mean += yj;
          slope += yj * d0[j];
          curv += yj * d1[j];
        }
        mean /= m;
        const double q = static_cast<double>(r) * (r + 1) / 3.0;
        double chi2 = 0.0;
        for (int j = -r; j <= r; ++j) {
          const double d = wt[centre + j] * ((static_cast<double>(j) * j - q) * curv + mean +
                                             j * slope - y[centre + j]);
          chi2 += d * d;
        }
        if (fits.passes(2 * (r - 1), chi2)) break;
        --r;
      }
    }
    ddmrange[c] = r;
    if (r > ddm_mmax) ddm_mmax = r;
    for (int kind = 0; kind < 2; ++kind) {
      const double* weight = kind == 0 ? slopes.of(r) : curvatures.of(r);
      double value = 0.0, var = 0.0;
      for (int j = -r; j <= r; ++j) {
        const double D = weight[j];
        value += D * y[centre + j];
        if (D == 0.0) continue;
        // A point without weight makes the derivative's sigma infinite.
        const double s = wt[centre + j] > 0.0f ? D / wt[centre + j] : HUGE_VAL;
        var += s * s;
      }
      di[2 * c + kind] = static_cast<float>(value);
      dw[2 * c + kind] =
          var > 0.0 && var < HUGE_VAL ? static_cast<float>(1.0 / std::sqrt(var)) : 0.0f;
    }
  }
  std::free(*w);
  *intens = di;
  *w = dw;
  *n = rows;
}

// ---------------------------------------------------------------------------
// The tube-tail table

void tubetailfree() {
  std::free(tubetailarray);
  tubetailarray = nullptr;
  tubetails = 0.0f;
}

void tubetailinit() {
  tubetailfree();
  ScanNameNode node;
  node.next = nullptr;
  if (!dataerr_try([&] { GetStrVar("TubeTails", 8000, node.name); })) return;
  runinput("TubeTails", scanpath(node.name));
  char lambda[8001] = "";
  ScanRecord* records = nullptr;
  getscans(&node, 8000, lambda, &records);
  if (records == nullptr) return;
  if (records->next != nullptr) {
    message<10>();
    scanfree(records);
    return;
  }
  const int N = records->n;
  if (N <= 1) {
    scanfree(records);
    return;
  }
  std::vector<double> y(static_cast<size_t>(N));
  for (int i = 0; i < N; ++i) y[i] = records->points[i].intensity;
  int p = 0;
  for (int i = 1; i < N; ++i)
    if (y[i] > y[p]) p = i;
  const double ymax = y[p];
  if (p == 0 || p == N - 1 || !(ymax > 0.0)) {
    scanfree(records);
    return;
  }
  // Edges of the line: down to a tenth of the maximum and on while the
  // intensity still falls by more than 2 % a step.
  int a = p;
  while (a > 0 && (y[a] > 0.1 * ymax || y[a] / y[a - 1] > 1.02)) --a;
  int b = p;
  while (b < N - 1 && (y[b] > 0.1 * ymax || y[b] / y[b + 1] > 1.02)) ++b;
  // Ends of the tails, where the raw intensity drops to 4 or below.
  int i0 = a;
  while (i0 >= 0 && y[i0] > 4.0) --i0;
  int i3 = b;
  while (i3 < N && y[i3] > 4.0) ++i3;

  double total = 0.0;
  for (double v : y) total += v;
  for (double& v : y) v /= total;
  auto base = [&](int i) { return ((b - i) * y[a] + (i - a) * y[b]) / (b - a); };
  double area = 0.0, moment = 0.0;
  for (int i = a + 1; i < b; ++i) {
    area += y[i] - base(i);
    moment += (y[i] - base(i)) * i;
  }
  if (!(area > 0.0)) {
    scanfree(records);
    return;
  }
  const float centroid = static_cast<float>(moment / area);

  const int m = i3 - i0 - 1;
  std::vector<double> table(static_cast<size_t>(m) + 1, 0.0);
  for (int i = i0 + 1; i <= i3 - 1; ++i)
    table[i - i0] = table[i - i0 - 1] + (i > a && i < b ? base(i) : y[i]);
  const double last = table[m];
  const double step = records->step;
  scanfree(records);
  // Nothing outside the line: no tails to tabulate.
  if (!(last > 0.0)) return;
  tubetailarray = kalloc_array<float>(static_cast<size_t>(m) + 1);
  for (int k = 0; k <= m; ++k) tubetailarray[k] = static_cast<float>(table[k] / last);
  tubetailm = m;
  tubetailmax = centroid - static_cast<float>(i0) - 0.5f;
  tubetailstep = static_cast<float>(step);
  tubetails = static_cast<float>(1.0 - area);
  message<20>(37, static_cast<double>(tubetails) * 100.0);
}

}  // namespace scan
