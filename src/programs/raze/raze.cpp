// raze: splits a measured pattern into overlapping angular parts, so that the
// peak-fitting program can fit each part on its own.
//
// The scans VAL[1], VAL[2], ... are read into one pattern and cut to the
// window WMIN..WMAX (2theta in degrees). A weighted least-squares fit of the
// background model finds the points that belong to the background: points
// that lie clearly (more than three standard deviations of their residual)
// above the fitted background are taken out one at a time, each removal
// updating the inverse normal matrix by Sherman-Morrison instead of a refit,
// visiting the points with a stride coprime with their number so that
// consecutive visits spread over the whole range. The range is then cut
// inside every long run of background points; neighbouring parts overlap over
// the whole run, and their inner boundaries meet in its middle.
//
// The only output are indexed keys in the run scope, saved into the control
// file by the end routine: per part k WMIN[k], WMIN2[k], WMAX2[k], WMAX[k],
// VAL[k,j], OUTPUT[k] and (with TITELMASK) TITEL[k], then VALZAHL and
// TEILZAHL, which bound the deletion of the keys of a previous run.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/frame.hpp"
#include "core/keycheck.hpp"
#include "core/message.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"
#include "model/modell.hpp"
#include "model/unt.hpp"
#include "numeric/ddreieck.hpp"
#include "scan/apx63.hpp"

namespace raze {

using namespace core;
using namespace numeric;
using namespace scan;
using namespace model;

constexpr double kPi = 3.141592653589793;
constexpr int kNameLen = 7996;  // longest scan-file name
constexpr int kTextLen = 8000;  // longest OUTPUT[k] or TITEL[k]
// The most scans (VALZAHL) and parts (TEILZAHL) of a previous run whose keys
// are deleted; a split never makes more parts than a quarter turn of
// background runs of the narrowest cut width allows (about 1200).
constexpr int kMostScans = 10000;
constexpr int kMostParts = 10000;

// Least width in theta (radians) of a background run that becomes a cut:
// 0.075 degrees for synchrotron radiation, 1.5 for neutrons, else 0.5.
constexpr double kCutSynchrotron = 0.001308996938995747;
constexpr double kCutNeutrons = 0.02617993877991494;
constexpr double kCutTube = 0.008726646259971648;

// Settings of the run.
struct Settings {
  int ru = 0;
  bool untdefined = false;
  bool outputmask = false, titelmask = false;
  std::string outmask, titmask;
  float smin = 0.0f, smax = 1.0f;  // window as sin theta
  int valzahl = 100;               // bounds of the previous run's keys
  int teilzahl = 100;
};

// The pattern (the model library's shared arrays) and its point count.
int npoints = 0;

double twotheta(float s) { return std::asin(static_cast<double>(s)) * 360 / kPi; }

// The text of a catalogue message for use as a comment: one line, without
// its line feed.
template <int N>
std::string commenttext() {
  std::string t = message_text<N>();
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  for (char& c : t)
    if (c == '\n' || c == '\r') c = ' ';
  return t;
}

// Whether a key is defined, whatever the length of its text.
bool defined(const char* key) {
  return dataerr_try([&] { GetStrVar(key, std::numeric_limits<int>::max(), nullptr); });
}

// A mask key (OUTPUTMASK, TITELMASK): false when undefined. A mask too long
// to give any text within the limit ends the run.
bool readmask(const char* key, std::string& mask) {
  static char buf[kTextLen + 1];
  if (dataerr_try([&] { GetStrVar(key, kTextLen, buf); })) {
    mask = buf;
    return true;
  }
  if (!defined(key)) return false;
  fatal<-31>(key, 1);
}

// The text of a mask for part k: every "$" becomes the decimal part number,
// every other character stays as it is ("%" included).
std::string expandmask(const std::string& mask, const char* key, int k) {
  std::string number = std::to_string(k);
  std::string text;
  for (char c : mask) {
    if (c == '$')
      text += number;
    else
      text += c;
  }
  if (text.size() > static_cast<size_t>(kTextLen)) {
    fatal<-31>(key, k);
  }
  return text;
}

Settings readsettings() {
  Settings s;
  optint("RU", &s.ru);
  s.untdefined = defined("UNT");
  s.outputmask = readmask("OUTPUTMASK", s.outmask);
  s.titelmask = readmask("TITELMASK", s.titmask);
  // The window: each limit a diffraction angle, the lower below the upper.
  double wmin = 0, wmax = 180;
  const bool haslo = optnumber("WMIN", &wmin), hashi = optnumber("WMAX", &wmax);
  if (haslo) keyangle("WMIN", wmin);
  if (hashi) keyangle("WMAX", wmax);
  if (haslo || hashi) keywindow("WMIN", wmin, "WMAX", wmax);
  if (haslo) s.smin = static_cast<float>(std::sin(wmin * kPi / 360));
  if (hashi) s.smax = static_cast<float>(std::sin(wmax * kPi / 360));
  optint("VALZAHL", &s.valzahl);
  optint("TEILZAHL", &s.teilzahl);
  // The keys of every part and scan a previous run left are deleted one
  // by one: their counts are bounded.
  if (s.valzahl > kMostScans) fatal<-123>("VALZAHL", s.valzahl, kMostScans);
  if (s.teilzahl > kMostParts) fatal<-123>("TEILZAHL", s.teilzahl, kMostParts);
  return s;
}

// The scan names VAL[1], VAL[2], ... up to the first undefined one.
std::vector<std::string> readscannames() {
  std::vector<std::string> names;
  static char buf[kNameLen + 1];
  for (int i = 1;; ++i) {
    if (!dataerr_try([&] { GetIndexStrVar("VAL", 1, &i, kNameLen, buf); })) break;
    names.emplace_back(buf);
  }
  return names;
}

// Reads every scan into the shared arrays and keeps the points inside the
// window, in their order. A point at 2theta = 0 (sin theta 0) is left out:
// the background is a function of ln sin theta.
void readpattern(const std::vector<std::string>& names, const Settings& s) {
  ScanNameNode* list = nullptr;
  for (size_t k = names.size(); k-- > 0;) {
    auto* node = kcalloc<ScanNameNode>(1);
    assign(names[k].c_str(), node->name);
    node->next = list;
    list = node;
  }
  static char lambda[kNameLen + 1];
  lambda[0] = 0;
  cutinit();
  tubetailinit();
  getval(list, kNameLen, lambda, &npoints, &sinx, &intensitaet, &w);
  tubetailfree();
  cutfree();
  while (list != nullptr) {
    ScanNameNode* next = list->next;
    std::free(list);
    list = next;
  }
  int kept = 0;
  for (int i = 0; i < npoints; ++i) {
    if (sinx[i] >= s.smin && sinx[i] <= s.smax && sinx[i] > 0) {
      sinx[kept] = sinx[i];
      intensitaet[kept] = intensitaet[i];
      w[kept] = w[i];
      ++kept;
    }
  }
  npoints = kept;
  if (npoints == 0) {
    fatal<-29>();
  }
}

// Number of background coefficients from the angular range: the wider the
// range in ln sin theta, the more nodes.
int automaticru(bool untdefined) {
  float lo = sinx[0], hi = sinx[0];
  for (int i = 1; i < npoints; ++i) {
    if (sinx[i] < lo) lo = sinx[i];
    if (sinx[i] > hi) hi = sinx[i];
  }
  float r = hi / lo;
  auto x = static_cast<float>(std::log(static_cast<double>(r)));
  int ru = x > 0.05f ? 3 : 2;
  if (x > 0.3f) ru = static_cast<int>(std::floor(x / 0.3)) + 3;
  if (untdefined) ++ru;
  return ru;
}

bool pointbefore(int i, int j, void*) { return sinx[i] < sinx[j]; }

// Swaps two points: sin theta, intensity and weight together.
void Exchange(int i, int j, void*) {
  std::swap(sinx[i], sinx[j]);
  std::swap(intensitaet[i], intensitaet[j]);
  std::swap(w[i], w[j]);
}

// The least stride s >= floor(sqrt n) that is coprime with n.
int stride(int n) {
  auto s = static_cast<int>(std::floor(std::sqrt(static_cast<double>(n))));
  if (s < 1) s = 1;
  while (std::gcd(s, n) != 1) ++s;
  return s;
}

// The background fit with one-sided rejection; marks[i] is 1 for a point of
// the background.
std::vector<char> backgroundpoints(int ru) {
  const int n = npoints;
  // More points than coefficients, or nothing tells the background from
  // the peaks.
  if (n <= ru) fatal<-111>(n, ru);
  std::vector<char> marks(static_cast<size_t>(n), 1);
  std::vector<float> coef(static_cast<size_t>(ru)), row(static_cast<size_t>(ru) + 1);
  std::vector<double> b(static_cast<size_t>(ru)), a(static_cast<size_t>(ru));
  std::vector<double> rhs(static_cast<size_t>(ru)), sol(static_cast<size_t>(ru));
  std::vector<double> z(static_cast<size_t>(ru));
  std::vector<double> A(static_cast<size_t>(ru) * (ru + 1) / 2);

  unt1(ru, sinx, n, nullptr, nullptr);
  auto basisrow = [&](int i) {
    unta(coef.data(), row.data(), sinx[i]);
    for (int k = 0; k < ru; ++k) b[k] = row[k];
  };
  for (int i = 0; i < n; ++i) {
    basisrow(i);
    for (int k = 0; k < ru; ++k) {
      a[k] = w[i] * b[k];
      rhs[k] += static_cast<double>(w[i]) * intensitaet[i] * a[k];
    }
    dbau(a.data(), A.data(), ru);
  }
  int status = 0;
  dmsin(A.data(), ru, &status, 2.220446049250313e-15);
  // Points that cannot carry the background: too few of them, all at one
  // angle, or none with a weight.
  if (status != 0) fatal<-111>(n, ru);
  auto solve = [&] {
    dma(rhs.data(), A.data(), sol.data(), ru);
    for (int k = 0; k < ru; ++k) coef[k] = static_cast<float>(sol[k]);
  };
  solve();

  const int s = stride(n);
  int count = n;
  int visits = 0;
  int i = 0;
  while (count > ru && visits < n) {
    bool rejected = false;
    if (marks[i]) {
      basisrow(i);
      float u = unt(coef.data(), sinx[i]);
      float r = intensitaet[i] - u;
      double sigma2 = 1.0 / (static_cast<double>(w[i]) * w[i]);
      double v = sigma2 - datma(b.data(), A.data(), ru);
      if (r > 3 * std::sqrt(v)) {
        marks[i] = 0;
        --count;
        for (int k = 0; k < ru; ++k) {
          a[k] = w[i] * b[k];
          rhs[k] -= static_cast<double>(w[i]) * intensitaet[i] * a[k];
        }
        // The inverse without the point's row: A^-1 + z z' / (1 - a'z).
        dma(a.data(), A.data(), z.data(), ru);
        double d = 1 - dskapro(a.data(), z.data(), ru);
        for (int k = 0, p = 0; k < ru; ++k)
          for (int l = 0; l <= k; ++l, ++p) A[p] += z[k] * z[l] / d;
        solve();
        rejected = true;
      }
    }
    visits = rejected ? 0 : visits + 1;
    i = (i + s) % n;
  }
  return marks;
}

// Writes the keys of part k: window first..last point, inner boundaries lower
// and upper (2theta in degrees). Every key is deleted before it is set, so
// that it is stored anew, behind the part's comment.
void writepart(int k, int first, int last, double lower, double upper, const Settings& s,
               const std::vector<std::string>& names, const std::string& savefile) {
  static std::string heading = commenttext<252>();
  char comment[600];
  std::snprintf(comment, sizeof comment, "%s Teil %d", k == 1 ? heading.c_str() : "", k);
  SetComment(comment);
  auto number = [k](const char* key, double value) {
    DelIndexVar(key, 1, &k);
    SetIndexVar(key, 1, &k, value);
  };
  auto text = [k](const char* key, const std::string& value) {
    DelIndexVar(key, 1, &k);
    SetIndexStrVar(key, 1, &k, value.c_str());
  };
  number("WMIN", twotheta(sinx[first]));
  number("WMIN2", lower);
  number("WMAX2", upper);
  number("WMAX", twotheta(sinx[last]));
  for (int j = 1; j <= s.valzahl; ++j) {
    int idx[2] = {k, j};
    DelIndexVar("VAL", 2, idx);
  }
  for (size_t j = 0; j < names.size(); ++j) {
    int idx[2] = {k, static_cast<int>(j) + 1};
    SetIndexStrVar("VAL", 2, idx, names[j].c_str());
  }
  // Without a mask every part still gets a peak file of its own: the
  // control file's name with the part number.
  if (s.outputmask)
    text("OUTPUT", expandmask(s.outmask, "OUTPUTMASK", k));
  else
    text("OUTPUT", savefile + std::to_string(k) + ".par");
  if (s.titelmask) text("TITEL", expandmask(s.titmask, "TITELMASK", k));
}

// The control file's name without its extension: the stem of the default
// peak-file names.
std::string savestem() {
  static char name[kNameLen + 1];
  if (!dataerr_try([] { GetStrVar("SAVEFILE", kNameLen, name); })) name[0] = 0;
  std::string stem = name;
  const char* ext = getextension(name);
  if (ext != nullptr) stem.resize(stem.size() - std::strlen(ext) - 1);
  return stem;
}

// Deletes the keys of the parts from k + 1 on that a previous run left.
void deletesurplus(int k, const Settings& s) {
  for (int part = k + 1; part <= s.teilzahl; ++part) {
    for (const char* key : {"OUTPUT", "WMIN", "WMAX", "WMIN2", "WMAX2", "TITEL"})
      DelIndexVar(key, 1, &part);
    for (int j = 1; j <= s.valzahl; ++j) {
      int idx[2] = {part, j};
      DelIndexVar("VAL", 2, idx);
    }
  }
}

[[noreturn]] void run(int argc, char** argv) {
  prolog(argc, argv, "raze.cfg");
  Settings s = readsettings();
  std::vector<std::string> names = readscannames();
  readpattern(names, s);
  if (s.ru < 1) s.ru = automaticru(s.untdefined);
  std::printf("RU=%d\n", s.ru);
  heapsortid(npoints, nullptr, pointbefore, Exchange);

  std::vector<char> marks = backgroundpoints(s.ru);
  std::string stem = savestem();

  double minwidth = kCutTube;
  if (ifsynchrotron())
    minwidth = kCutSynchrotron;
  else if (ifneutrons())
    minwidth = kCutNeutrons;

  int k = 1;
  int first = 0;
  double lower = twotheta(sinx[0]);
  for (int i = 0; i < npoints;) {
    if (!marks[i]) {
      ++i;
      continue;
    }
    const int a = i;
    while (i + 1 < npoints && marks[i + 1]) ++i;
    const int e = i++;
    if (e == npoints - 1) break;  // a run up to the last point is no cut
    double width =
        std::asin(static_cast<double>(sinx[e])) - std::asin(static_cast<double>(sinx[a]));
    if (a > 0 && width > minwidth && e - a > 8) {
      double mid = (static_cast<double>(sinx[a]) + sinx[e]) / 2;
      double boundary = 2 * std::asin(mid) * 180 / kPi;
      writepart(k, first, e, lower, boundary, s, names, stem);
      first = a;
      lower = boundary;
      ++k;
    }
  }
  writepart(k, first, npoints - 1, lower, twotheta(sinx[npoints - 1]), s, names, stem);
  message<253>(k);
  deletesurplus(k, s);

  SetComment(commenttext<254>().c_str());
  DelVar("VALZAHL");
  SetVar("VALZAHL", static_cast<double>(names.size()) + 1);
  DelVar("TEILZAHL");
  SetVar("TEILZAHL", k);

  std::free(sinx);
  std::free(intensitaet);
  std::free(w);
  sinx = intensitaet = w = nullptr;
  unt2();
  epilog();
}

}  // namespace raze

int main(int argc, char** argv) { raze::run(argc, argv); }
