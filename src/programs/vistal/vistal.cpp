// vistal: a ready-made gnuplot plot of one measured range and its fit: the
// measured points with their standard deviations, the model curve (peaks and
// background), the background curve and the difference curve.
//
// The scans are VAL[i] (SELECT 0, the whole pattern) or VAL[SELECT,i] (one
// part as split by the pattern splitter). The fit is the peak-parameter file
// OUTPUT or OUTPUT[SELECT]; its header re-establishes the settings the peaks
// were fitted under (instrument profile, wavelength, excluded ranges,
// background basis) while the model is evaluated, on every measured point
// and on a grid of 1001 angles over the plot range. Without a peak file only
// the measured points are plotted.
//
// Five files go to the installation directory: "punkte.dat" (2theta,
// intensity, sigma), "error.dat" (2theta, intensity minus model), "kurve.dat"
// (2theta, model), "bg.dat" (2theta, background) and the command file
// "achsen.plt", whose axis ranges and tic steps follow fixed rules.
#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/frame.hpp"
#include "core/keycheck.hpp"
#include "core/message.hpp"
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

namespace vistal {

using namespace core;
using namespace scan;
using namespace model;

constexpr double kPi = 3.141592653589793;
constexpr int kNameLen = 7996;  // longest file name
constexpr int kTextLen = 8000;  // longest title and background curve list
constexpr int kGrid = 1000;     // grid steps of the model curve

// Settings of the plot.
struct Settings {
  int select = 0;
  bool errorbars = false;
  int symbol = 0;
  bool errorline = true;
  bool background = true;
  bool hasintmax = false, hasintmin = false;
  double intmax = 0, intmin = 0;
};

// One record of the curve table.
struct Curve {
  float x;      // 2theta, degrees
  float model;  // peaks and background
  float bg;     // background
};

// The measured pattern of the plot.
struct Points {
  int n = 0;
  float* sinx = nullptr;
  float* intens = nullptr;
  float* w = nullptr;
  ~Points() { release(); }
  void release() {
    std::free(sinx);
    std::free(intens);
    std::free(w);
    sinx = intens = w = nullptr;
    n = 0;
  }
};

// Optional keys: false when undefined (the default then stands). A key
// that gives no finite number ends the run with a message naming it.
bool number(const char* key, double& v) { return optnumber(key, &v); }
bool indexnumber(const char* key, int k, double& v) { return optnumber(key, 1, &k, &v); }
bool text(const char* key, std::string& out, int maxlen = kTextLen) {
  std::vector<char> buf(static_cast<size_t>(maxlen) + 1);
  if (!dataerr_try([&] { GetStrVar(key, maxlen, buf.data()); })) return false;
  out = buf.data();
  return true;
}
bool indextext(const char* key, int k, std::string& out, int maxlen = kTextLen) {
  std::vector<char> buf(static_cast<size_t>(maxlen) + 1);
  if (!dataerr_try([&] { GetIndexStrVar(key, 1, &k, maxlen, buf.data()); })) return false;
  out = buf.data();
  return true;
}
// A text with the store's blank escapes decoded; empty when undefined.
std::string decoded(const char* key) {
  std::string t;
  if (!text(key, t) || t.empty()) return "";
  white(t.data());
  return t.c_str();
}
// A yes/no key judged by its first character.
bool firstin(const char* key, const char* letters) {
  std::string t;
  return text(key, t) && !t.empty() && std::string(letters).find(t[0]) != std::string::npos;
}

Settings readsettings() {
  Settings s;
  if (optint("SELECT", &s.select)) keyrange("SELECT", s.select, 0, INT_MAX);
  s.errorbars = firstin("ERRORBARS", "YyJj");
  optint("Symbol", &s.symbol);
  s.errorline = !firstin("ERRORLINE", "Nn");
  s.background = !firstin("BACKGROUND", "Nn");
  s.hasintmax = number("INTMAX", s.intmax);
  s.hasintmin = number("INTMIN", s.intmin);
  return s;
}

// VAL[i] for the whole pattern, VAL[SELECT,i] for a part, up to the first
// undefined one.
std::vector<std::string> scannames(int select) {
  std::vector<std::string> names;
  std::vector<char> buf(kNameLen + 1);
  for (int i = 1;; ++i) {
    int idx[2] = {select, i};
    bool found = select == 0
                     ? dataerr_try([&] { GetIndexStrVar("VAL", 1, &i, kNameLen, buf.data()); })
                     : dataerr_try([&] { GetIndexStrVar("VAL", 2, idx, kNameLen, buf.data()); });
    if (!found) break;
    names.emplace_back(buf.data());
  }
  return names;
}

// Reads the scans in the window [sin(lo/2), sin(hi/2)] (2theta in degrees);
// the radiation or wavelength name of the scans into lambda.
void readscans(const std::vector<std::string>& names, double lo, double hi, Points& pts,
               std::string& lambda) {
  ScanNameNode* list = nullptr;
  for (size_t k = names.size(); k-- > 0;) {
    auto* node = kcalloc<ScanNameNode>(1);
    assign(names[k].c_str(), node->name);
    node->next = list;
    list = node;
  }
  sinxmin = static_cast<float>(std::sin(lo * kPi / 360));
  sinxmax = static_cast<float>(std::sin(hi * kPi / 360));
  std::vector<char> name(kNameLen + 1);
  getval(list, kNameLen, name.data(), &pts.n, &pts.sinx, &pts.intens, &pts.w);
  lambda = name.data();
  while (list != nullptr) {
    ScanNameNode* next = list->next;
    std::free(list);
    list = next;
  }
}

// The first defined of inner, outer, inner[SELECT], outer[SELECT]
// (WMIN2, WMIN, ... or WMAX2, WMAX, ...).
// A limit found must be a diffraction angle.
bool firstlimit(const char* inner, const char* outer, int select, double& v) {
  std::string key;
  if (number(inner, v))
    key = inner;
  else if (number(outer, v))
    key = outer;
  else if (indexnumber(inner, select, v))
    key = keyname(inner, 1, &select);
  else if (indexnumber(outer, select, v))
    key = keyname(outer, 1, &select);
  else
    return false;
  keyangle(key, v);
  return true;
}

// The radiation and polarisation the peaks were fitted with: polarisation off
// for neutrons; else POL when defined; else off for synchrotron radiation and
// the factor 1 for an X-ray tube.
struct Radiation {
  int kind = 0;  // as velmora's radiation: 1 X-ray, 2 synchrotron, 3 neutrons
  bool polarised = false;
  float factor = 0;

  void decide() {
    if (!ifneutrons() && !ifsynchrotron() && !ifxray()) setxray(true);
    kind = radiation;
    double p = 0;
    // Neutrons are never polarised; the POL key holds for X-rays and
    // synchrotron radiation, which is taken as unpolarised without it.
    if (!ifneutrons() && number("POL", p)) {
      keyrange("POL", p, 0, 1);
      polarised = true;
      factor = static_cast<float>(p);
    } else if (ifneutrons() || ifsynchrotron()) {
      polarised = false;
    } else {
      polarised = true;
      factor = 1.0f;
    }
  }
  // Reading scans or curves sets the radiation from the keys in reach; the
  // model needs the one decided here.
  void apply() const {
    setxray(kind == 1);
    setsynchrotron(kind == 2);
    setneutrons(kind == 3);
    if (polarised) pol = factor;
    setpol(polarised);
  }
};

// The name of the wavelength: the scans', else the radiation keys', else a
// copper tube.
std::string wavelength(const std::string& fromscans) {
  std::string name = fromscans;
  if (name.empty() && !text("NEUTRONS", name) && !text("SYNCHROTRON", name) &&
      !text("LAMBDA", name))
    name = "CU";
  return name;
}

// The radiation keys NEUTRONS, SYNCHROTRON and LAMBDA in reach, with their
// texts.
struct RadiationKeys {
  static constexpr const char* kNames[3] = {"NEUTRONS", "SYNCHROTRON", "LAMBDA"};
  bool defined[3] = {false, false, false};
  std::array<std::string, 3> texts;

  static RadiationKeys inreach() {
    RadiationKeys k;
    for (int i = 0; i < 3; ++i) k.defined[i] = text(kNames[i], k.texts[i]);
    return k;
  }
  bool any() const { return defined[0] || defined[1] || defined[2]; }
  // Sets the defined keys in the top scope.
  void set() const {
    for (int i = 0; i < 3; ++i)
      if (defined[i]) SetStrVar(kNames[i], texts[i].c_str());
  }
};

// The model road: what the peak file brings.
struct Fit {
  bool present = false;
  ParFile file;
  PeakSet* set = nullptr;
  DATAlist* header = nullptr;  // the header's scope while it is set aside
  std::string unt, untc;
  Radiation radiation;
  RadiationKeys keys;           // the radiation keys the scans were first read under
  double bglo = 0, bghi = 180;  // range of the background basis, 2theta
};

[[noreturn]] void cannotwrite(const std::string& path) { fatal<-84>(path.c_str()); }

// A plot file in the installation directory.
struct PlotFile {
  OutFile out;
  std::string path;
  explicit PlotFile(const char* name) : path(std::string(kalvo) + "/" + name) {
    if (!out.open(path)) cannotwrite(path);
  }
  FILE* f() const { return out.file(); }
  void commit() {
    if (!out.commit()) cannotwrite(path);
  }
};

// Opens the peak-parameter file of the run: OUTPUT[SELECT] for a part,
// OUTPUT for the whole pattern, else the control file's name with "par"
// (whose absence only means: no model).
void openfit(const Settings& s, Fit& fit) {
  std::string name;
  if (s.select > 0) {
    if (!indextext("OUTPUT", s.select, name, kNameLen)) {
      fatal<-57>(s.select);
    }
  } else if (!text("OUTPUT", name, kNameLen)) {
    std::string control;
    if (!text("SAVEFILE", control, kNameLen)) return;
    std::vector<char> buf(control.size() + 8);
    assign(control.c_str(), buf.data());
    makeextension(buf.data(), "par", 1);
    fit.present = fit.file.open(buf.data(), "SAVEFILE");
    if (fit.present) runinput("OUTPUT (by default)", buf.data());
    return;
  }
  std::vector<char> buf(name.size() + 8);
  assign(name.c_str(), buf.data());
  makeextension(buf.data(), "par", 0);
  if (!fit.file.open(buf.data(), "OUTPUT")) {
    fatal<-58>(buf.data());
  }
  runinput(s.select > 0 ? "OUTPUT[" + std::to_string(s.select) + "]" : "OUTPUT", buf.data());
  fit.present = true;
}

// The title: the fit's own TITEL, whose blanks the peak-fitting program
// escapes to keep it one item (decoded when it is such an escaped text),
// else the control file's TITEL, else TITEL[SELECT].
void fittitle(int select, std::string& title) {
  const int mode = getrekart();
  setrekart(0);
  const bool own = text("TITEL", title);
  setrekart(mode);
  if (own) {
    bool escaped = true;
    for (size_t i = 0; i < title.size() && escaped; ++i) {
      if (title[i] != '?') continue;
      escaped = i + 1 < title.size() && (title[i + 1] == '?' || title[i + 1] == '!');
      ++i;
    }
    if (escaped) {
      white(title.data());
      title = title.c_str();
    }
  } else if (!text("TITEL", title) && !indextext("TITEL", select, title)) {
    title.clear();
  }
}

// Whether the instrument function is usable: a table or profile records are
// loaded, or LINTOR evaluates as the width of a single line at the given
// sin theta. Otherwise the curve is computed without instrument function.
void checkinstrument(double s) {
  if (gerrecords() != nullptr || gertable() != nullptr) return;
  if (dataerr_try([&] { ger(s); })) return;
  ClearErr();
  message<47>();
  SetVar("LINTOR", 0);
}

// Steps of the model road up to the peaks; returns the plot range.
void readfit(const Settings& s, const std::vector<std::string>& names, Fit& fit, double& lower,
             double& upper, std::string& title) {
  fit.file.header();
  std::string lintor = decoded("LINTOR");
  if (lintor.empty())
    message<47>();
  else
    ger1(lintor.c_str());

  double wmin = 0, wmax = 0;
  if (!number("WMIN", wmin) || !number("WMAX", wmax)) {
    fatal<-59>();
  }
  sinxmin = static_cast<float>(std::sin(wmin * kPi / 360));
  sinxmax = static_cast<float>(std::sin(wmax * kPi / 360));
  fittitle(s.select, title);
  fit.unt = decoded("UNT");
  fit.untc = decoded("UNTC");
  cutinit();
  tubetailinit();

  firstlimit("WMIN2", "WMIN", s.select, lower);
  firstlimit("WMAX2", "WMAX", s.select, upper);
  if (!indexnumber("WMIN", s.select, fit.bglo)) fit.bglo = wmin;
  if (!indexnumber("WMAX", s.select, fit.bghi)) fit.bghi = wmax;

  Points probe;
  std::string lambda;
  fit.keys = RadiationKeys::inreach();
  readscans(names, lower, upper, probe, lambda);
  probe.release();
  std::string wave = wavelength(lambda);
  fit.radiation.decide();
  fit.radiation.apply();

  if (!lintor.empty()) checkinstrument(std::sin((lower + upper) * kPi / 720));
  initlam(wave.c_str());
  if (ilam == 0) fatal_exit(1);

  std::vector<ParPeak> peaks;
  int counts[5] = {0, 0, 0, 0, 0};
  ParPeak pk;
  while (fit.file.peak(pk)) {
    if (pk.type == 0) continue;
    ++counts[pk.type];
    peaks.push_back(pk);
  }
  std::vector<float> bg;
  int ru = std::max(fit.file.background(&bg), 0);
  fit.file.close();
  peakalloc(nullptr, &fit.set, 0, 0, ru, counts[2], counts[3], counts[4]);
  int next[5] = {0, 0, 0, 0, 0};
  for (const ParPeak& p : peaks) {
    float* slot = p.type == 2 ? fit.set->par2 : p.type == 3 ? fit.set->par3 : fit.set->par4;
    slot += static_cast<size_t>(p.type) * next[p.type]++;
    const double values[4] = {p.intensity, p.position, p.third, p.fourth};
    for (int k = 0; k < p.type; ++k) slot[k] = static_cast<float>(values[k]);
  }
  for (int k = 0; k < ru; ++k) fit.set->bg[k] = bg[static_cast<size_t>(k)];
  fit.header = pushDATAlist();
}

// Model and background at each angle (sin theta), with the header's
// settings on top.
void evaluate(Fit& fit, const std::vector<double>& angles, std::vector<float>& model,
              std::vector<float>& bg) {
  const int count = static_cast<int>(angles.size());
  model.assign(angles.size(), 0.0f);
  bg.assign(angles.size(), 0.0f);
  if (count == 0) return;
  popDATAlist(fit.header);
  fit.header = nullptr;
  m = count;
  sinx = kcalloc<float>(angles.size());
  intensitaet = kcalloc<float>(angles.size());
  w = kcalloc<float>(angles.size());
  for (int i = 0; i < count; ++i) {
    sinx[i] = static_cast<float>(angles[i]);
    w[i] = 1.0f;
  }
  // With intensity 0 and weight 1 the residual is the model itself.
  hinit();
  modell(model.data(), fit.set);
  hfrei();
  for (int i = 0; i < count; ++i) bg[i] = unt(fit.set->bg, angles[i]);
  std::free(sinx);
  std::free(intensitaet);
  std::free(w);
  sinx = intensitaet = w = nullptr;
  m = 0;
  fit.file.discardscope();
}

// The intensity range of the plot.
struct Range {
  bool any = false;
  double lo = 0, hi = 0;
  void take(double a, double b) {
    if (!any) {
      lo = a;
      hi = b;
      any = true;
    } else {
      lo = std::min(lo, a);
      hi = std::max(hi, b);
    }
  }
};

// Tic step of the intensity axis, and the limits moved out onto it. A range
// without extent (flat, empty or reversed limits) gets a span around its
// middle first.
double ytics(double& ymin, double& ymax) {
  if (!std::isfinite(ymin) || !std::isfinite(ymax)) {
    ymin = std::isfinite(ymin) ? ymin : 0;
    ymax = std::isfinite(ymax) ? ymax : ymin + 1;
  }
  if (!(ymax > ymin)) {
    double mid = (ymin + ymax) / 2;
    double half = mid != 0 ? std::fabs(mid) / 10 : 1;
    ymin = mid - half;
    ymax = mid + half;
  }
  double r = ymax - ymin;
  double t = std::pow(10.0, std::floor(std::log10(r)));
  double step = r > 5 * t ? t : r > 2 * t ? t / 2 : t / 5;
  ymax = std::ceil(ymax / step) * step;
  ymin = std::floor(ymin / step) * step;
  return step;
}

// Tic step of the angle axis by the width of the range.
double xtics(double width) {
  const double limits[] = {100, 40, 20, 10, 4, 2, 1, 0.4, 0.2};
  const double steps[] = {20, 10, 5, 2, 1, 0.5, 0.2, 0.1, 0.05};
  for (int k = 0; k < 9; ++k)
    if (width > limits[k]) return steps[k];
  return 0.02;
}

// A title inside gnuplot's single quotes: every quote doubled, control
// characters dropped.
std::string quoted(const std::string& title) {
  std::string out;
  for (char c : title) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) continue;
    out += c;
    if (c == '\'') out += c;
  }
  return out;
}

[[noreturn]] void run(int argc, char** argv) {
  prolog(argc, argv, "plot.cfg");
  Settings s = readsettings();
  std::vector<std::string> names = scannames(s.select);
  // SELECT=0 plots the whole pattern VAL[1], VAL[2], ...; a control file
  // split into parts has VAL[k,1] instead, and the plot would show no
  // measured point.
  if (s.select == 0 && names.empty()) {
    int part[2] = {1, 1};
    if (dataerr_try([&] { GetIndexStrVar("VAL", 2, part, INT_MAX, nullptr); }))
      fatal<-109>("VAL[1]");
  }

  Fit fit;
  openfit(s, fit);
  double lower = 0, upper = 180;
  std::string title;
  if (fit.present) {
    readfit(s, names, fit, lower, upper, title);
  } else {
    cutinit();
    if (!text("TITEL", title) && !indextext("TITEL", s.select, title)) title.clear();
  }

  // The control file's limits narrow the range.
  double limit = 0;
  if (firstlimit("WMIN2", "WMIN", s.select, limit)) lower = std::max(lower, limit);
  if (firstlimit("WMAX2", "WMAX", s.select, limit)) upper = std::min(upper, limit);
  if (!(lower < upper)) fatal<-102>("WMIN", lower, "WMAX", upper);

  if (fit.present) {
    float range[2] = {static_cast<float>(std::sin(fit.bglo * kPi / 360)),
                      static_cast<float>(std::sin(fit.bghi * kPi / 360))};
    unt1(fit.set->ru, range, 2, fit.unt.empty() ? nullptr : fit.unt.c_str(),
         fit.untc.empty() ? nullptr : fit.untc.c_str());
  }
  // The scans are read again with the peak file's header set aside. A text
  // or GSAS scan names no wavelength, and its reader then needs a radiation
  // key: where only the header gave one, the header's radiation keys stand
  // in reach again for this reading, in a scope of their own that is
  // dropped after it (the control file does not get them).
  const bool lent = fit.present && fit.keys.any() && !RadiationKeys::inreach().any();
  if (lent) {
    newDATAlist();
    fit.keys.set();
  }
  Points pts;
  std::string lambda;
  readscans(names, lower, upper, pts, lambda);
  if (lent) {
    DelAll();
    freeDATAlist();
  }
  cutfree();
  tubetailfree();
  if (fit.present) fit.radiation.apply();
  // Everything is read: no plot file may be a file the run read.
  for (size_t k = 0; k < names.size(); ++k) {
    const std::string index = std::to_string(k + 1);
    runinput(
        s.select > 0 ? "VAL[" + std::to_string(s.select) + "," + index + "]" : "VAL[" + index + "]",
        scanpath(names[k].c_str()));
  }
  for (const char* name : {"punkte.dat", "error.dat", "kurve.dat", "bg.dat", "achsen.plt"})
    runoutput("plot file", std::string(kalvo) + "/" + name);
  auto twotheta = [](float sn) { return std::asin(static_cast<double>(sn)) * 360 / kPi; };
  if (!fit.present && pts.n > 0) {
    lower = twotheta(pts.sinx[0]);
    upper = twotheta(pts.sinx[pts.n - 1]);
  }

  // The measured points of the plot range; a point without weight is no
  // measurement and is left out.
  std::vector<int> shown;
  for (int i = 0; i < pts.n; ++i) {
    double x = twotheta(pts.sinx[i]);
    if (x >= lower * 0.9999988 && x <= upper * 1.0000012 && pts.w[i] > 0 &&
        std::isfinite(1 / pts.w[i]))
      shown.push_back(i);
  }

  // Model and background on the points and the grid.
  std::vector<Curve> curve;
  std::vector<float> model, bgv;
  if (fit.present) {
    std::vector<double> angles;
    angles.reserve(shown.size() + kGrid + 1);
    for (int i : shown) angles.push_back(pts.sinx[i]);
    for (int k = 0; k <= kGrid; ++k)
      angles.push_back(std::sin((lower + k * (upper - lower) / kGrid) * kPi / 360));
    evaluate(fit, angles, model, bgv);
    for (size_t i = 0; i < shown.size(); ++i)
      curve.push_back({static_cast<float>(twotheta(pts.sinx[shown[i]])), model[i], bgv[i]});
    for (int k = 0; k <= kGrid; ++k) {
      size_t at = shown.size() + static_cast<size_t>(k);
      curve.push_back(
          {static_cast<float>(lower + k * (upper - lower) / kGrid), model[at], bgv[at]});
    }
  }

  Range y;
  if (pts.n > 0) {
    PlotFile punkte("punkte.dat");
    std::unique_ptr<PlotFile> error;
    if (s.errorline) error = std::make_unique<PlotFile>("error.dat");
    for (size_t k = 0; k < shown.size(); ++k) {
      int i = shown[k];
      double x = twotheta(pts.sinx[i]);
      float sigma = 1 / pts.w[i];
      std::fprintf(punkte.f(), "%f %f %f\n", x, pts.intens[i], sigma);
      y.take(pts.intens[i] - sigma, pts.intens[i] + sigma);
      if (fit.present && error) {
        float diff = pts.intens[i] - model[k];
        std::fprintf(error->f(), "%f %f\n", x, diff);
        y.take(diff, y.hi);
      }
    }
    punkte.commit();
    if (error) error->commit();
  }
  const bool pointsinrange = y.any;

  if (fit.present) {
    std::sort(curve.begin(), curve.end(), [](const Curve& a, const Curve& b) { return a.x < b.x; });
    for (const Curve& c : curve) {
      if (!y.any) {
        y.lo = 0;
        y.hi = c.model;
        y.any = true;
      }
      y.take(c.model, c.model);
    }
    PlotFile kurve("kurve.dat");
    for (const Curve& c : curve) std::fprintf(kurve.f(), "%f %f\n", c.x, c.model);
    kurve.commit();
    if (s.background) {
      PlotFile bgfile("bg.dat");
      for (const Curve& c : curve) std::fprintf(bgfile.f(), "%f %f\n", c.x, c.bg);
      bgfile.commit();
    }
  } else if (!pointsinrange) {
    fatal<-166>();
  }

  ger2();
  freelam();
  unt2();
  double ymin = s.hasintmin ? s.intmin : y.lo;
  double ymax = s.hasintmax ? s.intmax : y.hi;
  double ystep = ytics(ymin, ymax);
  double xstep = xtics(upper - lower);

  PlotFile plt("achsen.plt");
  FILE* f = plt.f();
  std::fprintf(f, "set xtics %f,%f,%f\n", std::ceil(lower / xstep) * xstep, xstep,
               std::floor(upper / xstep) * xstep);
  std::fprintf(f, "set ytics %f,%f,%f\n", ymin, ystep, ymax);
  std::string q = quoted(title);
  // Taken as written: file names carry "_", which gnuplot's enhanced text
  // would turn into a subscript.
  if (!q.empty()) std::fprintf(f, "set title '%s' noenhanced\n", q.c_str());
  std::fprintf(f, "plot [%f:%f] [%f:%f] ", lower, upper, ymin, ymax);
  if (fit.present) {
    std::fprintf(f, "'kurve.dat' with lines lt 1 ");
    if (s.background) std::fprintf(f, ", 'bg.dat' with lines lt 2 ");
    if (pts.n > 0) std::fprintf(f, ", ");
  }
  if (pts.n > 0) {
    if (s.errorbars)
      std::fprintf(f, "'punkte.dat' with errorbars lt 1 pt 4");
    else if (s.symbol != 0)
      std::fprintf(f, "'punkte.dat' with points lt 0 pt %d", s.symbol);
    else
      std::fprintf(f, "'punkte.dat' with dots lt 0");
    if (fit.present && s.errorline) std::fprintf(f, " , 'error.dat' with lines lt 3");
  }
  std::fprintf(f, "\n");
  plt.commit();

  peakfree(&fit.set);
  pts.release();
  epilog();
}

}  // namespace vistal

int main(int argc, char** argv) { vistal::run(argc, argv); }
