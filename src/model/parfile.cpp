// Reading the peak-parameter file: the header into a fresh scope, the peak
// records one by one with their trailing items, the background record.
#include "model/parfile.hpp"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/infile.hpp"
#include "model/gerneu.hpp"
#include "model/lam.hpp"

namespace model {
using namespace core;

namespace {

constexpr const char* kModule = "parfile";
// The longest item the store's record reader accepts.
constexpr int kItemLimit = 8001;

// Sets the lookup mode for the life of the guard: the file's own keys are
// read from its scope alone.
class LookupMode {
 public:
  explicit LookupMode(int mode) : saved_(getrekart()) { setrekart(mode); }
  ~LookupMode() { setrekart(saved_); }
  LookupMode(const LookupMode&) = delete;
  LookupMode& operator=(const LookupMode&) = delete;

 private:
  int saved_;
};

double pvalue(int k) { return GetIndexVar("p", 1, &k); }

bool isnamestart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isnamechar(char c) { return isnamestart(c) || (c >= '0' && c <= '9'); }

// True for an item the record reader executes as a statement (name=...,
// name[i]=..., name(n):...) rather than storing it as a value.
bool isstatement(const std::string& item) {
  size_t i = 0;
  if (item.empty() || !isnamestart(item[0])) return false;
  while (i < item.size() && isnamechar(item[i])) ++i;
  if (i < item.size() && (item[i] == '[' || item[i] == '(')) {
    int depth = 0;
    for (; i < item.size(); ++i) {
      if (item[i] == '[' || item[i] == '(')
        ++depth;
      else if (item[i] == ']' || item[i] == ')')
        --depth;
      if (depth == 0) break;
    }
    ++i;
  }
  return i < item.size() && (item[i] == '=' || item[i] == ':');
}

}  // namespace

ParFile::~ParFile() { close(); }

bool ParFile::open(const char* path, const char* key) {
  close();
  FILE* f = openread(path, key, true);
  if (f == nullptr) return false;
  std::string raw;
  char buf[65536];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) raw.append(buf, got);
  bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return false;
  // A CR before a line end (or at the very end) is part of the line end.
  text_.clear();
  text_.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && (i + 1 == raw.size() || raw[i + 1] == '\n')) continue;
    text_ += raw[i];
  }
  // The store's readers take a stream; the normalised text is read as one.
  stream_ = fmemopen(text_.data(), text_.size(), "r");
  left_ = 0;
  return stream_ != nullptr;
}

int ParFile::header() {
  if (stream_ == nullptr) internal_error("parfile header without file", kModule, __LINE__);
  if (level_ != 0) internal_error("parfile header twice", kModule, __LINE__);
  level_ = newDATAlist();
  GetData(stream_, "p");
  LookupMode mode(0);
  int count = GetIntVar("PEAKZAHL");
  declared_ = count;
  left_ = count > 0 ? count : 0;
  return left_;
}

bool ParFile::peak(ParPeak& pk) {
  if (stream_ == nullptr || left_ <= 0) return false;
  --left_;
  // The record through the store's reader (statements executed, values into
  // p[]), then the same record again item by item for the raw items.
  long start = std::ftell(stream_);
  GetData(stream_, "p");
  long end = std::ftell(stream_);
  std::vector<std::string> raw;
  std::fseek(stream_, start, SEEK_SET);
  std::vector<char> item(kItemLimit + 1);
  for (;;) {
    GetItem(stream_, kItemLimit, item.data());
    if (item[0] == 0) break;
    raw.emplace_back(item.data());
  }
  std::fseek(stream_, end, SEEK_SET);

  LookupMode mode(0);
  ParPeak r;
  double t = pvalue(0);
  r.count = t;
  r.type = (t == 2 || t == 3 || t == 4) ? static_cast<int>(t) : 0;
  if (r.type != 0) {
    r.intensity = pvalue(1);
    r.position = pvalue(2);
    if (r.type >= 3) r.third = pvalue(3);
    if (r.type == 4) r.fourth = pvalue(4);
  }
  // The parameters are the first 1 + type value items; what follows them
  // belongs to the writer.
  int values = r.type != 0 ? 1 + r.type : 1;
  size_t k = 0;
  for (; k < raw.size() && values > 0; ++k)
    if (!isstatement(raw[k])) --values;
  r.items.assign(raw.begin() + static_cast<long>(k), raw.end());
  pk = std::move(r);
  return true;
}

int ParFile::background(std::vector<float>* coef) {
  if (coef != nullptr) coef->clear();
  if (stream_ == nullptr) return -1;
  ParPeak skipped;
  while (peak(skipped)) {
  }
  GetData(stream_, "p");
  LookupMode mode(0);
  int k0 = 0;
  std::vector<char> item(kItemLimit + 1);
  if (!dataerr_try([&] { GetIndexStrVar("p", 1, &k0, kItemLimit, item.data()); })) {
    ClearErr();
    return -1;
  }
  int count = GetIndexIntVar("p", 1, &k0);
  if (count < 0) count = 0;
  for (int k = 1; k <= count; ++k) {
    float v = static_cast<float>(pvalue(k));
    if (coef != nullptr) coef->push_back(v);
  }
  return count;
}

void ParFile::close() {
  if (stream_ != nullptr) std::fclose(stream_);
  stream_ = nullptr;
  left_ = 0;
}

void ParFile::discardscope() {
  if (level_ == 0) return;
  if (DATAlistLevel() != level_) internal_error("parfile scope not on top", kModule, __LINE__);
  DelAll();
  freeDATAlist();
  level_ = 0;
}

bool parfile_gsum(double position, double* gsum) {
  double s = position / (2 * l0);
  if (!(s > 0 && s < 1)) return false;
  return gergsum(s, gsum);
}

}  // namespace model
