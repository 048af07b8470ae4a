// Loading and looking up the atomic scattering data.
//
// Every file is read line by line into the array p of a scope of its own
// (p[0] the name, p[1]... the numbers); statements on a line (IM=, w[1]=, ...)
// are executed there.
//   afaparm.dat       name a1 b1 a2 b2 a3 b3 a4 b4 c     name of at most 4 characters
//   <radiation>.ano   element f' f''                     2
//   <radiation>.mdr   element mu/rho                      2
//   weight.mol        element mass                        2
//   bcoh.dat          name b [IM=..] [w[i]= E[i]= ZWEIgGammaN0[i]= Gamma[i]=]  5
#include "crystal/afa.hpp"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/infile.hpp"
#include "core/message.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"
#include "model/lam.hpp"

namespace crystal {
using namespace core;
using namespace model;

namespace {

constexpr int kBuckets = 401;

struct FormFactorEntry {
  FormFactorEntry* next;
  char name[5];
  double a[4];
  double b[4];
  double c;
};

struct ElementEntry {
  ElementEntry* next;
  char name[3];
  double mu;    // mass attenuation coefficient
  double fp;    // f'
  double fpp;   // f''
  double mass;  // atomic mass
};

struct Resonance {
  double w, E, ZWEIgGammaN0, Gamma;
};

struct IsotopeEntry {
  IsotopeEntry* next;
  int32_t nres;
  double b;   // coherent scattering length
  double IM;  // its imaginary part
  Resonance* res;
  char name[6];
};

FormFactorEntry* afahash[kBuckets];
ElementEntry* anohash[kBuckets];
IsotopeEntry* bcohhash[kBuckets];
// 1 while nothing is loaded.
int tabinit = 1;

int bucket(const char* name) {
  unsigned sum = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != 0; ++p)
    sum += *p;
  return static_cast<int>(sum % kBuckets);
}

template <class Entry>
Entry* lookup(Entry* const* table, const char* name) {
  for (Entry* e = table[bucket(name)]; e != nullptr; e = e->next)
    if (std::strcmp(e->name, name) == 0) return e;
  return nullptr;
}

template <class Entry>
void freetable(Entry** table) {
  for (int i = 0; i < kBuckets; ++i) {
    while (table[i] != nullptr) {
      Entry* next = table[i]->next;
      if constexpr (std::is_same_v<Entry, IsotopeEntry>) std::free(table[i]->res);
      std::free(table[i]);
      table[i] = next;
    }
  }
}

// Line number in the file of the line that begins at byte pos (the leading
// comment lines that the reader skipped included).
int lineat(const char* file, long pos) {
  std::string path = std::string(kalvo) + "/" + file;
  FILE* f = openquiet(path.c_str());
  if (f == nullptr) return 0;
  int line = 1;
  for (long i = 0; i < pos; ++i) {
    int ch = std::getc(f);
    if (ch == EOF) break;
    if (ch == '\n') ++line;
  }
  std::fclose(f);
  return line;
}

// After a line whose reading stopped at a faulty item: the rest of that line
// is skipped too, so that it is not taken for the next line.
void skiprest(FILE* f) {
  if (std::fseek(f, -1, SEEK_CUR) != 0) return;
  int ch = std::getc(f);
  while (ch != EOF && ch != '\n') ch = std::getc(f);
}

// Reads the lines of an open file; line(name, pos) handles one line whose
// items are in p[...], whose name fits the width and whose text begins at byte
// pos, and returns false when a value
// it needs is missing or no number. Such a line is skipped with message 31,
// as is a line whose name is too long; empty lines are skipped silently.
template <class Line>
void readlines(FILE* f, const char* file, int width, bool clearscope, Line line) {
  for (;;) {
    long pos = std::ftell(f);
    if (clearscope) DelAll();
    char name[8] = "";
    bool read = dataerr_try([&] { GetData(f, "p"); });
    if (!read) skiprest(f);
    bool hasname = read && dataerr_try([&] { GetStrVar("p[0]", 1 << 30, nullptr); });
    if (read && !hasname) {
      if (std::feof(f) || std::ferror(f)) break;
      continue;
    }
    bool ok = read && dataerr_try([&] { GetStrVar("p[0]", width, name); });
    if (ok) {
      bool done = false;
      ok = dataerr_try([&] { done = line(name, pos); }) && done;
    }
    if (!ok) {
      ClearErr();
      message<31>(file, lineat(file, pos));
      std::fflush(stdout);
    }
    if (std::feof(f) || std::ferror(f)) break;
  }
}

double value(int k) {
  int idx[1] = {k};
  return GetIndexVar("p", 1, idx);
}

bool exists(const char* name, int i) {
  int idx[1] = {i};
  return dataerr_try([&] { GetIndexStrVar(name, 1, idx, 1 << 30, nullptr); });
}

// Find-or-append of an element entry (appended at the end of its chain).
ElementEntry* elemententry(const char* name) {
  ElementEntry** link = &anohash[bucket(name)];
  while (*link != nullptr) {
    if (std::strcmp((*link)->name, name) == 0) return *link;
    link = &(*link)->next;
  }
  *link = kcalloc<ElementEntry>(1);
  std::strcpy((*link)->name, name);
  return *link;
}

void readafaparm(FILE* f) {
  readlines(f, "afaparm.dat", 4, false, [](const char* name, long /*pos*/) {
    double v[9];
    for (int k = 0; k < 9; ++k) v[k] = value(k + 1);
    auto* e = kcalloc<FormFactorEntry>(1);
    std::strcpy(e->name, name);
    for (int j = 0; j < 4; ++j) {
      e->a[j] = v[2 * j];
      e->b[j] = v[2 * j + 1];
    }
    e->c = v[8];
    int b = bucket(name);
    e->next = afahash[b];
    afahash[b] = e;
    return true;
  });
}

void readano(FILE* f, const char* file) {
  readlines(f, file, 2, false, [](const char* name, long /*pos*/) {
    double fp = value(1), fpp = value(2);
    auto* e = kcalloc<ElementEntry>(1);
    std::strcpy(e->name, name);
    e->fp = fp;
    e->fpp = fpp;
    int b = bucket(name);
    e->next = anohash[b];
    anohash[b] = e;
    return true;
  });
}

void readmdr(FILE* f, const char* file) {
  readlines(f, file, 2, false, [](const char* name, long /*pos*/) {
    double mu = value(1);
    elemententry(name)->mu = mu;
    return true;
  });
}

void readweight(FILE* f) {
  readlines(f, "weight.mol", 2, false, [](const char* name, long /*pos*/) {
    double mass = value(1);
    elemententry(name)->mass = mass;
    return true;
  });
}

// A line whose reading sets nothing but its items and IM, and reads nothing
// that could: no bracket, no "w", no formula statement (==), and no letter
// behind the name but those of IM and of exponents.
bool plainline(std::string_view line) {
  const auto space = [](char ch) { return std::isspace(static_cast<unsigned char>(ch)) != 0; };
  size_t i = 0;
  while (i < line.size() && space(line[i])) ++i;
  for (; i < line.size() && !space(line[i]); ++i)
    if (std::strchr("=([{w", line[i]) != nullptr) return false;
  for (; i < line.size(); ++i) {
    const char ch = line[i];
    if (std::strchr("([{w", ch) != nullptr) return false;
    if (ch == '=' && i + 1 < line.size() && line[i + 1] == '=') return false;
    if (std::isalpha(static_cast<unsigned char>(ch)) == 0) continue;
    if (line.compare(i, 2, "IM") == 0) {
      ++i;
      continue;
    }
    const char before = line[i - 1];
    const bool exponent = (ch == 'e' || ch == 'E') &&
                          (std::isdigit(static_cast<unsigned char>(before)) != 0 || before == '.');
    if (!exponent) return false;
  }
  return true;
}

void readbcoh(FILE* f, const std::string& text) {
  // Most lines give neither IM nor resonances. A plain line (plainline) sets
  // no w[1], and none without "IM" sets IM; when no scope below has them
  // either, its IM is 0 and it has no resonance, known without a lookup that
  // fails. text: the whole text of the file.
  DelAll();
  const bool imbelow = dataerr_try([] { GetStrVar("IM", 1 << 30, nullptr); });
  const bool wbelow = exists("w", 1);
  ClearErr();
  readlines(f, "bcoh.dat", 5, true, [&](const char* name, long pos) {
    const long end = std::ftell(f);
    const bool known = pos >= 0 && end >= pos && static_cast<size_t>(end) <= text.size();
    const std::string_view line =
        known ? std::string_view(text).substr(static_cast<size_t>(pos),
                                              static_cast<size_t>(end - pos))
              : std::string_view();
    const bool plain = known && plainline(line);
    const bool noim = plain && !imbelow && line.find("IM") == std::string_view::npos;
    const bool now = plain && !wbelow;
    double b = value(1);
    double im = 0.0;
    if (!noim && !dataerr_try([&] { im = GetVar("IM"); })) {
      if (dataerr_try([&] { GetStrVar("IM", 1 << 30, nullptr); })) return false;
      im = 0.0;
    }
    int n = 0;
    while (!now && exists("w", n + 1)) ++n;
    Resonance* res = n > 0 ? kcalloc<Resonance>(static_cast<size_t>(n)) : nullptr;
    bool complete = dataerr_try([&] {
      for (int i = 0; i < n; ++i) {
        int idx[1] = {i + 1};
        res[i].w = GetIndexVar("w", 1, idx);
        res[i].E = GetIndexVar("E", 1, idx);
        res[i].ZWEIgGammaN0 = GetIndexVar("ZWEIgGammaN0", 1, idx);
        res[i].Gamma = GetIndexVar("Gamma", 1, idx);
      }
    });
    if (!complete) {
      std::free(res);
      return false;
    }
    auto* e = kcalloc<IsotopeEntry>(1);
    std::strcpy(e->name, name);
    e->b = b;
    e->IM = im;
    e->nres = n;
    e->res = res;
    int k = bucket(name);
    e->next = bcohhash[k];
    bcohhash[k] = e;
    return true;
  });
}

// The radiation's part of the file names: after the last "/", up to the
// first ".", in lower case.
std::string radiationstem(const char* radiation) {
  const char* slash = std::strrchr(radiation, '/');
  std::string stem = slash != nullptr ? slash + 1 : radiation;
  size_t dot = stem.find('.');
  if (dot != std::string::npos) stem.erase(dot);
  for (char& ch : stem) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return stem;
}

// The parts of an atom name.
struct AtomName {
  char element[3];     // its leading letters (at most two)
  char isotope[8];     // element and mass-number digits
  char formfactor[5];  // element and the rest of the name, the charge sign first
  int massnumber;      // 0 without digits
};

bool isletter(char ch) { return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z'); }
bool isdigit(char ch) { return ch >= '0' && ch <= '9'; }

AtomName split(const char* name) {
  AtomName n{};
  int len = static_cast<int>(std::strlen(name));
  int e = 0;
  if (e < len && isletter(name[e])) ++e;
  if (e == 1 && e < len && isletter(name[e])) ++e;
  std::memcpy(n.element, name, static_cast<size_t>(e));
  int d = e;
  while (d < len && d < 5 && isdigit(name[d])) ++d;
  std::string rest = name + d;
  // Digits closing with the sign of a charge (O2-, Fe3+) are the charge, in
  // the form-factor tables written with the sign first (O-2, Fe+3).
  bool charge = d > e && d == len - 1 && (name[d] == '+' || name[d] == '-');
  if (charge) {
    rest = std::string(1, name[d]) + std::string(name + e, static_cast<size_t>(d - e));
    d = e;
  }
  std::memcpy(n.isotope, name, static_cast<size_t>(d));
  for (int i = e; i < d; ++i) n.massnumber = 10 * n.massnumber + (name[i] - '0');
  std::string ff = (std::string(n.element) + rest).substr(0, 4);
  std::memcpy(n.formfactor, ff.c_str(), ff.size() + 1);
  return n;
}

}  // namespace

void afainit(const char* radiation) {
  clearafa();
  tabinit = 0;
  FILE* f = kalvoopen("afaparm.dat", "r");
  if (f == nullptr) fatal<-39>();
  newDATAlist();
  int mode = getrekart();
  setrekart(2);
  readafaparm(MemoryCopy(f).in());
  std::fclose(f);

  std::string stem = radiationstem(radiation);
  char name[8001];
  std::snprintf(name, sizeof name, "%s", stem.c_str());
  makeextension(name, "ano", 1);
  if ((f = kalvoopen(name, "r")) != nullptr) {
    readano(MemoryCopy(f).in(), name);
    std::fclose(f);
  }
  std::snprintf(name, sizeof name, "%s", stem.c_str());
  makeextension(name, "mdr", 1);
  if ((f = kalvoopen(name, "r")) != nullptr) {
    readmdr(MemoryCopy(f).in(), name);
    std::fclose(f);
  }
  if ((f = kalvoopen("weight.mol", "r")) != nullptr) {
    readweight(MemoryCopy(f).in());
    std::fclose(f);
  }
  f = kalvoopen("bcoh.dat", "r");
  if (f == nullptr) fatal<-5>();
  {
    const MemoryCopy bcoh(f);
    readbcoh(bcoh.in(), bcoh.text());
  }
  std::fclose(f);
  DelAll();
  freeDATAlist();
  setrekart(mode);
}

int afaparm(const char* name, ScatteringData data) {
  if (tabinit) fatal<-40>();
  AtomName n = split(name);
  int result = 1;
  bool xray = !ifneutrons();

  if (const FormFactorEntry* ff = lookup(afahash, n.formfactor)) {
    for (int j = 0; j < 4; ++j) {
      data[SD_A1 + j] = ff->a[j];
      data[SD_B1 + j] = ff->b[j];
    }
    data[SD_C] = ff->c;
  } else if (xray) {
    message<34>(n.formfactor);
    result = 0;
  }

  const ElementEntry* el = lookup(anohash, n.element);
  if (el == nullptr) {
    // No element data at all: the caller reports the name as unknown.
    if (result == 1) {
      if (xray)
        message<34>(name);
      else
        message<29>(name);
    }
    return 0;
  }
  data[SD_MU] = el->mu;
  data[SD_FP] = el->fp;
  data[SD_FPP] = el->fpp;
  data[SD_MASS] = n.isotope[std::strlen(n.element)] != 0 ? n.massnumber : el->mass;

  const IsotopeEntry* iso = lookup(bcohhash, n.isotope);
  if (iso == nullptr) {
    if (!xray) {
      message<29>(n.isotope);
      result = 0;
    }
    return result;
  }
  data[SD_BCOH] = iso->b;
  data[SD_BIM] = iso->IM;
  // Single-level Breit-Wigner resonances at the neutron energy of the mean
  // wavelength.
  double E0 = 0.000818 * l0 * l0;
  for (int i = 0; i < iso->nres; ++i) {
    const Resonance& r = iso->res[i];
    double d = E0 - r.E;
    double q = 4.0 * d * d + r.Gamma * r.Gamma;
    data[SD_BRES] += r.w * 4552.0 * r.ZWEIgGammaN0 * d / q;
    data[SD_BIM] += r.w * 2276.0 * r.ZWEIgGammaN0 * r.Gamma / q;
  }
  return result;
}

void clearafa() {
  if (tabinit) return;
  freetable(afahash);
  freetable(anohash);
  freetable(bcohhash);
  tabinit = 1;
}

}  // namespace crystal
