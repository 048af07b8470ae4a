// kalvo: fits single peaks to scans. For each scan index i = STARTINDEX,
// STARTINDEX + 1, ... it reads the scans VAL[i,1], VAL[i,2], ... into one
// pattern, takes its start peaks and background from earlier peak-parameter
// files, fits and changes the peak set by statistical tests, and writes one
// peak-parameter file with the inverse normal matrix appended. Before an
// index is fitted its number is saved in the control file as STARTINDEX, so
// that an interrupted run resumes there; the normal end removes it.
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "anpa.hpp"
#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/frame.hpp"
#include "core/keycheck.hpp"
#include "core/message.hpp"
#include "core/nspawn.hpp"
#include "core/outfile.hpp"
#include "core/runfiles.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"
#include "model/gerneu.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"
#include "model/parfile.hpp"
#include "model/unt.hpp"
#include "scan/apx63.hpp"

namespace kalvo {
using namespace core;
using namespace scan;
using namespace model;

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kNameLength = 7996;
// The most start peaks of one scan index.
constexpr int kMostPeaks = 1000;

// One peak line of a start file, kept to carry its further items to the
// fitted peak it matches.
struct StartPeak {
  std::vector<std::string> texts;  // items after the parameters, GSUM= dropped
  int type = 0;                    // 2, 3 or 4
  float intensity = 0;
  float position = 0;  // reciprocal d
  float third = 0;
  float fourth = 0;
  float breadth = 0;  // reciprocal d
};

// A text key, or false when it is not defined.
bool textkey(const char* name, int maxlen, std::string* out) {
  std::vector<char> buf(static_cast<size_t>(maxlen) + 1);
  if (!dataerr_try([&] { GetStrVar(name, maxlen, buf.data()); })) return false;
  *out = buf.data();
  return true;
}
bool indexedtext(const char* name, int nidx, const int* idx, int maxlen, std::string* out) {
  std::vector<char> buf(static_cast<size_t>(maxlen) + 1);
  if (!dataerr_try([&] { GetIndexStrVar(name, nidx, idx, maxlen, buf.data()); })) return false;
  *out = buf.data();
  return true;
}
// A numeric key, checked: false when it is not defined; a value that is no
// finite number ends the run with a message naming the key.
bool numberkey(const char* name, double* v) { return optnumber(name, v); }
bool indexednumber(const char* name, int i, double* v) { return optnumber(name, 1, &i, v); }

// The angle window of scan index i (2theta in degrees), checked: WMIN[i] and
// WMAX[i], else WMIN and WMAX, else 0 and 180; the inner limits WMIN2[i] and
// WMAX2[i] when given. A window that is empty or reversed, or an angle
// outside 0..180 degrees, ends the run with a message naming the key.
struct Window {
  double wmin = 0, wmax = 180;
  bool haslo2 = false, hashi2 = false;
  double lo2 = 0, hi2 = 180;
};

Window readwindow(int i) {
  Window win;
  std::string lokey = keyname("WMIN", 1, &i), hikey = keyname("WMAX", 1, &i);
  if (!indexednumber("WMIN", i, &win.wmin)) {
    lokey = "WMIN";
    if (!numberkey("WMIN", &win.wmin)) win.wmin = 0;
  }
  if (!indexednumber("WMAX", i, &win.wmax)) {
    hikey = "WMAX";
    if (!numberkey("WMAX", &win.wmax)) win.wmax = 180;
  }
  keyangle(lokey, win.wmin);
  keyangle(hikey, win.wmax);
  keywindow(lokey, win.wmin, hikey, win.wmax);
  const std::string lo2key = keyname("WMIN2", 1, &i), hi2key = keyname("WMAX2", 1, &i);
  win.haslo2 = indexednumber("WMIN2", i, &win.lo2);
  win.hashi2 = indexednumber("WMAX2", i, &win.hi2);
  if (win.haslo2) keyangle(lo2key, win.lo2);
  if (win.hashi2) keyangle(hi2key, win.hi2);
  if (win.haslo2 && win.hashi2) keywindow(lo2key, win.lo2, hi2key, win.hi2);
  return win;
}

// name with the extension ext added when it has none (replace 0) or put in
// place of the one it has (replace 1).
std::string withextension(const std::string& name, const char* ext, int replace) {
  std::vector<char> buf(name.size() + std::strlen(ext) + 3);
  std::memcpy(buf.data(), name.c_str(), name.size() + 1);
  makeextension(buf.data(), ext, replace);
  return buf.data();
}

// A text without blanks at its ends.
std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  return first == std::string::npos ? ""
                                    : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// A text as one item of a record: without blanks at its ends (a number
// key reads as "%23.16E", with a leading blank), inner blanks and question
// marks escaped, and brackets without a partner replaced, so that the
// record reader can never take the line end for the inside of a bracket.
std::string itemtext(const std::string& text) {
  std::string t = trimmed(text);
  std::vector<size_t> open;
  for (size_t k = 0; k < t.size(); ++k) {
    if (t[k] == '(' || t[k] == '[') {
      open.push_back(k);
    } else if (t[k] == ')' || t[k] == ']') {
      if (open.empty())
        t[k] = '>';
      else
        open.pop_back();
    }
  }
  for (size_t k : open) t[k] = '<';
  return unwhite(t.c_str());
}

double twotheta(double s) { return std::asin(s) * 360 / kPi; }

// Sorting of the pattern by sin(theta), weight and intensity along.
bool pointless(int i, int j, void*) { return sinx[i] < sinx[j]; }
void pointswap(int i, int j, void*) {
  std::swap(sinx[i], sinx[j]);
  std::swap(w[i], w[j]);
  std::swap(intensitaet[i], intensitaet[j]);
}

// Breadth of a start peak: its own width combined with the spread of the
// instrument function at its angle.
float breadth(const StartPeak& s) {
  double b0 = 0;
  const double c = s.third, d = s.fourth;
  if (s.type != 2 && (c != 0 || d != 0)) {
    const float r = static_cast<float>(2 * d / (c + 2 * d));
    b0 = 2 * (c + d) * std::sqrt(std::sqrt(static_cast<double>(r) * r + 1) - r);
  }
  const double sint = s.position / (2 * l0);
  if (!(sint > 0 && sint < 1)) return static_cast<float>(b0);
  const int saved = gererr;
  gererr = 0;
  ger(sint);
  const bool failed = gererr != 0;
  gererr = saved;
  if (failed) return static_cast<float>(b0);
  double G = 0, ge = 0, gee = 0;
  for (int k = 0; k < n; ++k) {
    G += g[k];
    ge += static_cast<double>(g[k]) * e[k];
    gee += static_cast<double>(g[k]) *
           (static_cast<double>(e[k]) * e[k] + static_cast<double>(q[k]) * q[k]);
  }
  if (!(G > 0)) return static_cast<float>(b0);
  const double V = gee - ge * ge / G;
  return static_cast<float>(std::sqrt(
      b0 * b0 + (4 * V / G) * (4 * l0 * l0 - static_cast<double>(s.position) * s.position)));
}

// The comment of the restart point: the text of message 238 without line
// ends.
std::string restartcomment() {
  std::string t = message_text<238>();
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  return t;
}

bool saveoff() {
  std::string save;
  return textkey("SAVE", 79, &save) && (save[0] == 'N' || save[0] == 'n');
}

// The place of a file for the comparison of output names.
std::string placeof(const std::string& name) {
  std::string target = resolvetarget(name.c_str());
  size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? "." : target.substr(0, slash);
  if (dir.empty()) dir = "/";
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  char real[PATH_MAX];
  if (realpath(dir.c_str(), real) != nullptr) return std::string(real) + "/" + base;
  return target;
}

// The start files the user names (the same for every index), with their
// keys, as the fit reads them; empty when each index starts from its own
// output.
std::vector<std::pair<std::string, std::string>> startfiles() {
  std::vector<std::pair<std::string, std::string>> files;
  std::string name;
  if (textkey("STARTPARAM", kNameLength, &name)) {
    files.emplace_back("STARTPARAM", withextension(name, "par", 0));
  } else {
    for (int k = 1; indexedtext("STARTPARAM", 1, &k, kNameLength, &name); ++k)
      files.insert(files.begin(),
                   {"STARTPARAM[" + std::to_string(k) + "]", withextension(name, "par", 0)});
  }
  return files;
}

// Every file the run reads and every peak file it writes, before anything is
// written: no output may be a scan, a start file, the instrument profile or
// the control file. A start file that is the output of its own index is the
// peak file refined in place.
void declarefiles(int startindex) {
  std::vector<std::pair<std::string, std::string>> outputs;
  const auto starts = startfiles();
  for (const auto& [key, path] : starts) runinput(key, path);
  for (int i = startindex;; ++i) {
    int vi[2] = {i, 1};
    std::string first;
    if (!indexedtext("VAL", 2, vi, kNameLength, &first)) break;
    std::string name;
    for (int j = 1; (vi[1] = j, indexedtext("VAL", 2, vi, kNameLength, &name)); ++j)
      runinput("VAL[" + std::to_string(i) + "," + std::to_string(j) + "]", scanpath(name.c_str()));
    std::string output;
    const std::string key = "OUTPUT[" + std::to_string(i) + "]";
    if (!indexedtext("OUTPUT", 1, &i, kNameLength, &output))
      output = withextension(first, "par", 1);
    outputs.emplace_back(key, withextension(output, "par", 0));
  }
  std::vector<std::string> startkeys;
  startkeys.reserve(starts.size());
  for (const auto& start : starts) startkeys.push_back(start.first);
  for (const auto& [key, path] : outputs) runoutput(key, path, startkeys);
}

// Start peaks and background of one index from its start files.
struct StartSet {
  std::vector<StartPeak> peaks;
  int counts[5] = {0, 0, 0, 0, 0};
  int ru = -1;
  std::vector<float> bg;
};

void readstartfiles(const std::vector<std::string>& files, bool named, bool bgallowed,
                    StartSet* start) {
  const double lo = 2 * l0 * sinxmin, hi = 2 * l0 * sinxmax;
  for (const std::string& name : files) {
    ParFile pf;
    if (!pf.open(name, "STARTPARAM")) {
      message<4>(name.c_str());
      // A start file the user named is an input not read; the output of
      // the index as its start file is missing before its first fit.
      if (named || errno != ENOENT) inputfailed(4);
      continue;
    }
    message<5>(name.c_str());
    // A start file that cannot be read as a peak file ends the run with its
    // name and the store's reason, before anything of this index is written.
    int line = 1;
    auto damaged = [&name] {
      std::string reason;
      if (GetErr(0) != nullptr && GetErr(1) != nullptr)
        reason = std::string(GetErr(0)) + ": " + GetErr(1);
      fatal<-107>(name, reason);
    };
    if (!dataerr_try([&] { pf.header(); })) damaged();
    if (pf.declared() < 0) fatal<-106>(name, line, "PEAKZAHL", static_cast<double>(pf.declared()));
    ParPeak pk;
    for (;;) {
      bool more = false;
      if (!dataerr_try([&] { more = pf.peak(pk); })) damaged();
      if (!more) break;
      ++line;
      if (pk.type == 0) fatal<-106>(name, line, "the parameter count", pk.count);
      const double values[4] = {pk.intensity, pk.position, pk.third, pk.fourth};
      for (int k = 0; k < pk.type; ++k)
        if (!std::isfinite(values[k])) fatal<-106>(name, line, "a peak parameter", values[k]);
      if (!(pk.position >= lo && pk.position <= hi)) continue;
      StartPeak s;
      s.type = pk.type;
      // Every parameter starts non-negative, as the fit keeps it.
      s.intensity = static_cast<float>(std::fmax(pk.intensity, 0.0));
      s.position = static_cast<float>(pk.position);
      s.third = static_cast<float>(std::fmax(pk.third, 0.0));
      s.fourth = static_cast<float>(std::fmax(pk.fourth, 0.0));
      for (const std::string& item : pk.items)
        if (item.compare(0, 5, "GSUM=") != 0) s.texts.push_back(item);
      ++start->counts[s.type];
      start->peaks.push_back(std::move(s));
    }
    if (start->ru == -1 && bgallowed) {
      std::vector<float> bg;
      int count = -1;
      if (!dataerr_try([&] { count = pf.background(&bg); })) damaged();
      if (count >= 0) {
        start->ru = count;
        for (float& v : bg) v = std::fmax(v, 0.0f);
        start->bg = bg;
      }
    }
    pf.close();
    pf.discardscope();
  }
  for (StartPeak& s : start->peaks) s.breadth = breadth(s);
}

// Peak kinds of a set in writing order.
struct KindView {
  int type, count;
  const float* par;
};

void writepeakfile(FILE* f, const PeakSet* set, const float* matrix, float Q,
                   const std::string& title, double measuredlo, double measuredhi,
                   const std::string& lintor, const std::string& lambda,
                   const std::vector<StartPeak>& starts) {
  std::fprintf(f, "PEAKZAHL=%d TITEL=%s WMIN=%.3f WMAX=%.3f WMIN2=%.5f WMAX2=%.5f LINTOR=%s Q=%f",
               set->count2 + set->count3 + set->count4, itemtext(title).c_str(), measuredlo,
               measuredhi, twotheta(sinxmin), twotheta(sinxmax), itemtext(lintor).c_str(),
               static_cast<double>(Q));
  const char* radiation = ifneutrons() ? "NEUTRONS" : ifsynchrotron() ? "SYNCHROTRON" : "LAMBDA";
  std::fprintf(f, " %s=%s", radiation, itemtext(lambda).c_str());
  if (ifpol()) std::fprintf(f, " POL=%.5f", static_cast<double>(pol));
  std::string text;
  if (textkey("UNT", 8000, &text)) std::fprintf(f, " UNT=%s", itemtext(text).c_str());
  if (textkey("UNTC", 8000, &text)) std::fprintf(f, " UNTC=%s", itemtext(text).c_str());
  if (textkey("EPS1", 8000, &text))
    std::fprintf(f, " EPS1=%s", itemtext(text).c_str());
  else
    std::fprintf(f, " EPS1=0.0");
  for (const char* key : {"EPS2", "EPS3", "EPS4"})
    if (textkey(key, 8000, &text)) std::fprintf(f, " %s=%s", key, itemtext(text).c_str());
  int k = 1;
  for (const CutInterval* c = cut; c != nullptr; c = c->next, ++k)
    std::fprintf(f, " CUT[%d]=%.3f:%.3f", k, twotheta(c->lower), twotheta(c->upper));
  if (textkey("TubeTails", 8000, &text)) std::fprintf(f, " TubeTails=%s", itemtext(text).c_str());
  std::fprintf(f, "\n");

  // Each start peak goes to the fitted peak nearest in position and breadth.
  const KindView kinds[3] = {
      {2, set->count2, set->par2}, {3, set->count3, set->par3}, {4, set->count4, set->par4}};
  std::vector<std::vector<float>> width(3);
  for (int t = 0; t < 3; ++t)
    for (int i = 0; i < kinds[t].count; ++i) width[t].push_back(hwb(1, kinds[t].type, i, set));
  std::vector<int> matchkind(starts.size(), 0), matchindex(starts.size(), 0);
  for (size_t s = 0; s < starts.size(); ++s) {
    const double b = starts[s].breadth;
    double best = 2.0;
    for (int t = 0; t < 3; ++t) {
      for (int i = 0; i < kinds[t].count; ++i) {
        const double h = width[t][i];
        const double d = (std::fabs(b - h) +
                          std::fabs(starts[s].position - kinds[t].par[kinds[t].type * i + 1])) /
                         (h + b);
        if (d < best) {
          best = d;
          matchkind[s] = kinds[t].type;
          matchindex[s] = i;
        }
      }
    }
  }

  for (int t = 0; t < 3; ++t) {
    const KindView& kv = kinds[t];
    for (int i = 0; i < kv.count; ++i) {
      const float* p = kv.par + kv.type * i;
      if (kv.type == 2)
        std::fprintf(f, "2 %14.6E %10.7f", static_cast<double>(p[0]), static_cast<double>(p[1]));
      else if (kv.type == 3)
        std::fprintf(f, "3 %14.6E %10.7f %.7f", static_cast<double>(p[0]),
                     static_cast<double>(p[1]), static_cast<double>(p[2]));
      else
        std::fprintf(f, "4 %14.6E %10.7f %.7f %.9f", static_cast<double>(p[0]),
                     static_cast<double>(p[1]), static_cast<double>(p[2]),
                     static_cast<double>(p[3]));
      double gsum;
      if (parfile_gsum(p[1], &gsum)) std::fprintf(f, " GSUM=%.5f", gsum);
      for (size_t s = 0; s < starts.size(); ++s)
        if (matchkind[s] == kv.type && matchindex[s] == i)
          for (const std::string& item : starts[s].texts) std::fprintf(f, " %s", item.c_str());
      std::fprintf(f, "\n");
    }
  }

  std::fprintf(f, "%d ", set->ru);
  for (int j = 0; j < set->ru; ++j) std::fprintf(f, "%14.6E ", static_cast<double>(set->bg[j]));
  std::fprintf(f, "\n");
  const int p = nparam(set);
  for (int r = 0; r < p; ++r) {
    for (int c = 0; c <= r; ++c)
      std::fprintf(f, "%14.6E ", static_cast<double>(matrix[tri(r) + c]));
    std::fprintf(f, "\n");
  }
}

void freepattern() {
  std::free(sinx);
  std::free(intensitaet);
  std::free(w);
  std::free(y);
  sinx = intensitaet = w = y = nullptr;
  m = 0;
}

// One scan index from reading to writing; false when it has no scan.
bool fitindex(int i, const std::string& lintor, std::vector<std::string>* written) {
  int vi[2] = {i, 1};
  std::string first;
  if (!indexedtext("VAL", 2, vi, kNameLength, &first)) return false;

  // Scan window.
  const Window win = readwindow(i);
  sinxmin = static_cast<float>(std::sin(win.wmin / 2 * kPi / 180));
  sinxmax = static_cast<float>(std::sin(win.wmax / 2 * kPi / 180));

  // The scans of the index, read into one pattern.
  ScanNameNode* list = nullptr;
  ScanNameNode** tail = &list;
  for (int j = 1;; ++j) {
    vi[1] = j;
    std::string name;
    if (!indexedtext("VAL", 2, vi, kNameLength, &name)) break;
    auto* node = kcalloc<ScanNameNode>(1);
    std::snprintf(node->name, sizeof node->name, "%s", name.c_str());
    *tail = node;
    tail = &node->next;
  }
  static char lambda[kNameLength + 1];
  lambda[0] = 0;
  freepattern();
  getval(list, kNameLength, lambda, &m, &sinx, &intensitaet, &w);
  while (list != nullptr) {
    ScanNameNode* next = list->next;
    std::free(list);
    list = next;
  }

  // An index without points is passed over; its scans may name no
  // radiation either.
  if (m == 0) {
    freepattern();
    return true;
  }
  // Polarisation and wavelength.
  if (!ifneutrons()) {
    double polkey;
    if (numberkey("POL", &polkey)) {
      keyrange("POL", polkey, 0, 1);
      pol = static_cast<float>(polkey);
      setpol(true);
    } else if (ifsynchrotron()) {
      setpol(false);
    } else {
      pol = 1.0f;
      setpol(true);
    }
  }
  initlam(lambda);
  if (ilam == 0) {
    fatal<-226>(lambda);
  }

  message<3>(i, m);

  heapsortid(m, nullptr, pointless, pointswap);
  // Mean log weighted intensity for the background order, over the points
  // that have one.
  float sum = 0;
  int counted = 0;
  for (int k = 0; k < m; ++k) {
    const float v = intensitaet[k] * intensitaet[k] * w[k];
    if (v > 0) {
      sum += std::log(v);
      ++counted;
    }
  }
  const float L = counted > 0 ? sum / counted : 0;
  y = kcalloc<float>(static_cast<size_t>(m));
  float smin = sinx[0], smax = sinx[0];
  for (int k = 1; k < m; ++k) {
    smin = std::fmin(smin, sinx[k]);
    smax = std::fmax(smax, sinx[k]);
  }
  sinxmin = smin;
  sinxmax = smax;
  const double measuredlo = twotheta(smin), measuredhi = twotheta(smax);
  if (win.haslo2) sinxmin = static_cast<float>(std::sin(win.lo2 * kPi / 360));
  if (win.hashi2) sinxmax = static_cast<float>(std::sin(win.hi2 * kPi / 360));
  // The fit range: WMIN2[i] and WMAX2[i], each else the end of the measured
  // points; one given beyond the other end leaves it empty.
  if ((win.haslo2 || win.hashi2) && !(sinxmin < sinxmax))
    keywindow(keyname("WMIN2", 1, &i), twotheta(sinxmin), keyname("WMAX2", 1, &i),
              twotheta(sinxmax));

  // Start files and the background order.
  int ru = -1;
  optint("RU", &ru);
  std::vector<std::string> files;
  bool bgallowed = true;
  std::string name;
  if (textkey("STARTPARAM", kNameLength, &name)) {
    files.push_back(name);
  } else {
    for (int k = 1; indexedtext("STARTPARAM", 1, &k, kNameLength, &name); ++k)
      files.insert(files.begin(), name);
    if (!files.empty()) bgallowed = false;
  }
  const bool named = !files.empty();
  std::string output;
  const bool hasoutput = indexedtext("OUTPUT", 1, &i, kNameLength, &output);
  if (!hasoutput) output = withextension(first, "par", 1);
  if (files.empty()) files.push_back(output);
  for (std::string& f : files) f = withextension(f, "par", 0);

  StartSet start;
  start.ru = ru;
  readstartfiles(files, named, bgallowed && ru == -1, &start);
  ru = start.ru;

  if (ru < 0) {
    const float order = std::ceil(std::fmax(L, 0.0f) * std::log(smax / smin) + 0.7f);
    std::string unt;
    const int curve = textkey("UNT", 8000, &unt) ? 1 : 0;
    // Counts of many decades over a wide range ask for more coefficients
    // than a background can have: the order is cut to the largest.
    if (!(order + static_cast<float>(curve) <= static_cast<float>(kMostBackground))) {
      message<341>(i, kMostBackground);
      ru = kMostBackground;
    } else {
      ru = static_cast<int>(order) + curve;
    }
  }
  // A background order beyond the largest is refused before the window is
  // judged by it.
  if (ru > kMostBackground) fatal<-117>(ru, kMostBackground);
  // The fit's normal matrix and every step grow with the parameters: a
  // window gets at most kMostPeaks start peaks, and fewer parameters than
  // measured points (the others could not be determined).
  const int startcount = static_cast<int>(start.peaks.size());
  if (startcount > kMostPeaks) fatal<-118>(i, startcount, kMostPeaks);
  const int startparams =
      2 * start.counts[2] + 3 * start.counts[3] + 4 * start.counts[4] + std::max(ru, 0);
  if (startcount > 0 && startparams > m) fatal<-119>(i, startcount, ru, startparams, m);

  // More points than background coefficients, or the fit has nothing to
  // tell the background from the peaks by (its matrix would not invert).
  if (m <= ru) fatal<-111>(m, ru);

  // The index is taken up, its inputs read: the restart point.
  SetComment(restartcomment().c_str());
  SetVar("STARTINDEX", i);
  if (!saveoff()) {
    std::string savefile;
    if (textkey("SAVEFILE", kNameLength, &savefile) && !savefile.empty())
      savecontrolfile(savefile.c_str());
  }

  PeakSet* set = nullptr;
  peakalloc(nullptr, &set, 0, 0, ru, start.counts[2], start.counts[3], start.counts[4]);
  int slot[5] = {0, 0, 0, 0, 0};
  for (const StartPeak& s : start.peaks) {
    float* b = s.type == 2   ? set->par2 + 2 * slot[2]
               : s.type == 3 ? set->par3 + 3 * slot[3]
                             : set->par4 + 4 * slot[4];
    ++slot[s.type];
    b[0] = s.intensity;
    b[1] = s.position;
    if (s.type >= 3) b[2] = s.third;
    if (s.type == 4) b[3] = s.fourth;
  }
  for (int k = 0; k < ru && k < static_cast<int>(start.bg.size()); ++k) set->bg[k] = start.bg[k];

  float* matrix = nullptr;
  float Q = 0;
  anpa(&set, &matrix, &Q);

  // Output file: a name another index of this run wrote is not used again.
  output = withextension(output, "par", 0);
  std::string place = placeof(output);
  bool taken = false;
  for (const std::string& wname : *written) taken = taken || wname == place;
  if (taken) {
    const std::string stem = output.substr(0, output.size() - 4);
    std::string distinct;
    for (int k = i;; ++k) {
      distinct = stem + "_" + std::to_string(k) + ".par";
      bool used = false;
      for (const std::string& wname : *written) used = used || wname == placeof(distinct);
      if (!used) break;
    }
    message<239>(output.c_str(), i, distinct.c_str());
    output = distinct;
    place = placeof(output);
  }
  written->push_back(place);
  SetIndexStrVar("OUTPUT", 1, &i, output.c_str());

  std::string title;
  if (!indexedtext("TITEL", 1, &i, 8000, &title)) title = output;
  OutFile out;
  if (!out.open(output)) {
    fatal<-150>();
  }
  writepeakfile(out.file(), set, matrix, Q, title, measuredlo, measuredhi, lintor, lambda,
                start.peaks);
  if (!out.commit()) {
    fatal<-150>();
  }

  peakfree(&set);
  std::free(matrix);
  freepattern();
  return true;
}

}  // namespace
}  // namespace kalvo

int main(int argc, char** argv) {
  using namespace kalvo;
  prolog(argc, argv, "kalvo.cfg");

  int threads = 1;
  optint("NTHREADS", &threads);
  if (threads > kMostThreads) fatal<-123>("NTHREADS", threads, kMostThreads);
  nthreads = threads > 0 ? threads : 1;

  // Calibration constants of the instrument function: copied from the
  // configuration into the run scope when the control file lacks them.
  std::string text;
  setrekart(0);
  const bool own = textkey("EPS1", 8000, &text) && textkey("EPS2", 8000, &text);
  setrekart(2);
  if (!own) {
    std::string eps1, eps2;
    if (textkey("EPS1", 8000, &eps1) && textkey("EPS2", 8000, &eps2)) {
      SetComment(" Diese Eichkonstanten wurden aus kalvo.cfg kopiert");
      SetStrVar("EPS1", trimmed(eps1).c_str());
      SetStrVar("EPS2", trimmed(eps2).c_str());
    }
  }

  int startindex = 1;
  optint("STARTINDEX", &startindex);
  // The keys every index is fitted with are checked before the first peak
  // file or restart point is written: the calibration constants of the
  // instrument function, which each peak file carries, the polarisation and
  // the angle window of every index.
  for (const char* key : {"EPS1", "EPS2", "EPS3", "EPS4"}) {
    double eps = 0;
    optnumber(key, &eps);
  }
  double polkey = 1;
  if (numberkey("POL", &polkey)) keyrange("POL", polkey, 0, 1);
  for (int i = startindex;; ++i) {
    int vi[2] = {i, 1};
    std::string first;
    if (!indexedtext("VAL", 2, vi, kNameLength, &first)) break;
    readwindow(i);
  }
  std::string lintor;
  if (textkey("LINTOR", kNameLength, &lintor) && !lintor.empty())
    ger1(lintor.c_str());
  else
    message<237>();
  cutinit();
  tubetailinit();

  declarefiles(startindex);
  std::vector<std::string> written;
  for (int i = startindex; fitindex(i, lintor, &written); ++i) {
  }

  tubetailfree();
  cutfree();
  ger2();
  freelam();
  DelVar("STARTINDEX");
  epilog();
}
