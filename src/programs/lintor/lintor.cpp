// lintor: builds the instrument-profile file of a diffractometer from scans
// of a standard. The scans VAL[1], VAL[2], ... are read into one pattern
// (points measured twice are merged), the points are cut into one window per
// reflection of the standard's peak-parameter file STANDARDPAR, every window
// is fitted with a background of RU coefficients and as many
// squared-Lorentzian components as it needs, and the components of each
// reflection are written, by angle, into the file named by LINTOR (default:
// the control file's name), extension "ger". An existing file of that name
// is kept as "<name>.bak"; LINTOR without an extension moves a file of
// exactly that name to "<name>.bak" instead. Single-threaded.
#include <sys/stat.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/frame.hpp"
#include "core/infile.hpp"
#include "core/keycheck.hpp"
#include "core/message.hpp"
#include "core/outfile.hpp"
#include "core/runfiles.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"
#include "model/lam.hpp"
#include "model/parfile.hpp"
#include "programs/lintor/lintor.hpp"
#include "scan/apx63.hpp"

namespace lintor {

using namespace core;
using namespace scan;
using namespace model;

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kNameLen = 7996;

bool yes(const char* key) {
  static char text[8001];
  return dataerr_try([&] { GetStrVar(key, 8000, text); }) && text[0] != 0 &&
         std::strchr("JjYy", text[0]) != nullptr;
}

struct Settings {
  bool gsum = false;
};

// RU, GSUM and EPSILON, looked up through the whole chain.
Settings readsettings() {
  Settings s;
  ru = 2;
  optint("RU", &ru);
  if (ru < 0) ru = 0;
  s.gsum = yes("GSUM");
  double eps = 0;
  // A width of 0 or below would make the search grid endless.
  if (!dataerr_try([&] { eps = GetVar("EPSILON"); }) || !(eps > 0) || isnotfinite(eps)) {
    epsilon = 0.02f;
    message<213>(0.02);
  } else {
    epsilon = static_cast<float>(eps);
  }
  return s;
}

// The scans VAL[1], VAL[2], ... up to the first missing one, read into one
// pattern; the wavelength lines of their radiation loaded.
void readscans(std::vector<float>& s, std::vector<float>& y, std::vector<float>& v) {
  ScanNameNode* list = nullptr;
  ScanNameNode** tail = &list;
  for (int i = 1;; ++i) {
    auto* node = kcalloc<ScanNameNode>(1);
    if (!dataerr_try([&] { GetIndexStrVar("VAL", 1, &i, 8000, node->name); })) {
      std::free(node);
      break;
    }
    *tail = node;
    tail = &node->next;
  }
  iflintor = true;
  static char lambda[kNameLen + 1];
  lambda[0] = 0;
  int count = 0;
  float *ps = nullptr, *py = nullptr, *pw = nullptr;
  getval(list, kNameLen, lambda, &count, &ps, &py, &pw);

  // Polarisation: POL when given; else the unpolarised tube (factor 1), and
  // none for synchrotron radiation or neutrons.
  if (ifneutrons()) {
    setpol(false);
  } else {
    double factor = 1;
    if (optnumber("POL", &factor)) {
      keyrange("POL", factor, 0, 1);
      setpol(true);
      pol = static_cast<float>(factor);
    } else if (ifsynchrotron()) {
      setpol(false);
    } else {
      setpol(true);
      pol = 1.0f;
    }
  }

  if (lambda[0] != 0) initlam(lambda);
  if (lambda[0] == 0 || ilam < 1) fatal<-24>();
  if (count == 0) fatal<-23>();
  while (list != nullptr) {
    ScanNameNode* next = list->next;
    std::free(list);
    list = next;
  }
  s.assign(ps, ps + count);
  y.assign(py, py + count);
  v.assign(pw, pw + count);
  std::free(ps);
  std::free(py);
  std::free(pw);
}

// The standard's reflections from its peak-parameter file: the peak records
// whose position lies within sin theta = 1, in file order.
// A file that cannot be read as a peak file, a negative peak count, a
// parameter that is not finite or a position 1/d of 0 or below ends the run
// with the file's name before anything is written.
std::vector<Reflex> readstandard(std::string* file) {
  static char name[kNameLen + 8];
  GetStrVar("STANDARDPAR", kNameLen, name);
  makeextension(name, "par", 0);
  *file = name;
  ParFile pf;
  if (!pf.open(name, "STANDARDPAR")) fatal<-10>(name);
  auto damaged = [] {
    std::string reason;
    if (GetErr(0) != nullptr && GetErr(1) != nullptr)
      reason = std::string(GetErr(0)) + ": " + GetErr(1);
    fatal<-107>(name, reason);
  };
  if (!dataerr_try([&] { pf.header(); })) damaged();
  if (pf.declared() < 0) fatal<-106>(name, 1, "PEAKZAHL", static_cast<double>(pf.declared()));
  std::vector<Reflex> liste;
  ParPeak pk;
  for (int line = 2;; ++line) {
    bool more = false;
    if (!dataerr_try([&] { more = pf.peak(pk); })) damaged();
    if (!more) break;
    // A record of an unknown kind is passed over, as every reader does.
    if (pk.type == 0) continue;
    const double values[4] = {pk.intensity, pk.position, pk.third, pk.fourth};
    for (int k = 0; k < pk.type; ++k)
      if (!std::isfinite(values[k])) fatal<-106>(name, line, "a peak parameter", values[k]);
    if (!(pk.position > 0)) fatal<-106>(name, line, "the position 1/d", pk.position);
    // A reflection at or beyond sin(theta) = 1 (2theta = 180 degrees) for
    // this wavelength lies outside every scan: passed over. Compared as it
    // is kept, in single precision.
    if (!(static_cast<float>(pk.position) < 2 * l0)) continue;
    Reflex r;
    r.intensity = static_cast<float>(pk.intensity);
    r.position = static_cast<float>(pk.position);
    r.lorentz = static_cast<float>(pk.third);
    // A negative square stands for no own width, as in the line-profile model.
    r.squared = pk.fourth > 0 ? static_cast<float>(std::sqrt(pk.fourth)) : 0.0f;
    liste.push_back(std::move(r));
  }
  pf.close();
  pf.discardscope();
  return liste;
}

// The output file as named: LINTOR, or the control file's name.
std::string givenname() {
  static char name[kNameLen + 8];
  if (!dataerr_try([] { GetStrVar("LINTOR", kNameLen, name); })) {
    const int mode = getrekart();
    setrekart(2);
    GetStrVar("SAVEFILE", kNameLen, name);
    setrekart(mode);
  }
  return name;
}

// The name written: always with the extension "ger" (the name under which
// the fitting programs look for it).
std::string outputname(const std::string& given) {
  std::vector<char> name(given.size() + 8);
  assign(given.c_str(), name.data());
  makeextension(name.data(), "ger", 1);
  return name.data();
}

// The name of the backup of a file: its extension replaced by "bak".
std::string backupname(const std::string& name) {
  std::vector<char> bak(name.size() + 8);
  assign(name.c_str(), bak.data());
  makeextension(bak.data(), "bak", 1);
  return bak.data();
}

// Keeps a copy of the file name as "<name>.bak"; true when there was a file
// and its copy was made. A backup that cannot be made does not stop the
// run; without a file to keep, an older backup stays.
bool backup(const std::string& name) {
  FILE* old = openquiet(name.c_str(), true);
  if (old == nullptr) return false;
  std::string bytes;
  char buf[65536];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, old)) > 0) bytes.append(buf, got);
  const bool complete = std::ferror(old) == 0;
  std::fclose(old);
  if (!complete) return false;
  return writefile(backupname(name).c_str(), [&](FILE* f) {
    return std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  });
}

// What is kept of the files already there. A name with an extension keeps
// the old "<name>.ger" as "<name>.bak". A bare name moves a file of exactly
// that name to "<name>.bak", and "<name>.ger" is then replaced without a
// backup.
void keepold(const std::string& given, const std::string& output) {
  if (getextension(given.c_str()) != nullptr) {
    backup(output);
    return;
  }
  struct stat st {};
  if (stat(given.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  if (backup(given)) std::remove(given.c_str());
}

// The title as one item of the file's first record: blanks and question
// marks escaped, and brackets left open closed at its end, since the record
// reader would otherwise go on into the next line and take the first block
// for part of the title.
std::string titleitem(const char* titel) {
  std::string item = unwhite(titel);
  int depth = 0;
  for (char c : item) {
    if (c == '(' || c == '[')
      ++depth;
    else if (c == ')' || c == ']')
      --depth;
  }
  item.append(depth > 0 ? static_cast<size_t>(depth) : 0, ')');
  return item;
}

// The weight sum of the components, in single precision.
float weightsum() {
  float S = 0;
  for (double v : g) S = static_cast<float>(S + v);
  return S;
}

void writeblock(FILE* f, const Settings& set, double theta) {
  const int n = static_cast<int>(g.size());
  const float S = weightsum();
  std::fprintf(f, "THETA=%-10.6f N=%-2d", theta, n);
  if (set.gsum) std::fprintf(f, " GSUM=%.5e", static_cast<double>(S));
  std::fprintf(f, "\n");
  for (int k = 0; k < n; ++k)
    std::fprintf(f, "%7.5f %8.7f %9.8f\n", g[k] / S, e[k], std::sqrt(q[k]));
  std::fflush(f);
}

// The scans, the standard's peak file and the control file as the run's
// inputs; neither the profile file nor its backup may be one of them.
void declarefiles() {
  static char name[kNameLen + 8];
  for (int i = 1; dataerr_try([&] { GetIndexStrVar("VAL", 1, &i, kNameLen, name); }); ++i)
    runinput("VAL[" + std::to_string(i) + "]", scanpath(name));
  if (dataerr_try([] { GetStrVar("STANDARDPAR", kNameLen, name); })) {
    makeextension(name, "par", 0);
    runinput("STANDARDPAR", name);
  }
  const std::string output = outputname(givenname());
  runoutput("LINTOR", output);
  runoutput("LINTOR (its backup)", backupname(output));
}

void run() {
  declarefiles();
  const Settings set = readsettings();
  std::vector<float> s, y, v;
  readscans(s, y, v);
  mergepoints(s, y, v);

  std::string standard;
  std::vector<Reflex> liste = readstandard(&standard);
  // The rest of the run looks at the run's own keys only: the control file
  // and the command line.
  setrekart(0);
  const float f = ifsynchrotron() ? 0.005f : ifneutrons() ? 0.01f : 0.02f;
  assignpoints(s, y, v, liste, l0, f);
  s.clear();
  y.clear();
  v.clear();
  s.shrink_to_fit();
  y.shrink_to_fit();
  v.shrink_to_fit();

  // A profile without a single reflection to fit is no profile.
  bool any = false;
  for (const Reflex& r : liste) any = any || static_cast<int>(r.sinx.size()) > std::max(ru, 1);
  if (!any) fatal<-110>(standard);

  const std::string given = givenname();
  const std::string name = outputname(given);
  OutFile out;
  if (!out.open(name)) fatal<-148>();
  keepold(given, name);
  FILE* file = out.file();
  static char titel[8001];
  if (dataerr_try([] { GetStrVar("TITEL", 8000, titel); }))
    std::fprintf(file, "TITEL=%s\n", titleitem(titel).c_str());
  else
    std::fprintf(file, "\n");
  std::fflush(file);

  for (const Reflex& r : liste) {
    const int count = static_cast<int>(r.sinx.size());
    if (count <= std::max(ru, 1)) continue;
    m = count;
    sinx = r.sinx.data();
    intensitaet = r.intensitaet.data();
    w = r.w.data();
    reflex = &r;
    const double angle = std::asin(r.position / (2 * l0));
    double Q = 0, Q0 = 0;
    suche(&Q, &Q0);
    writeblock(file, set, angle * 180 / kPi);
    const double epsg = Q0 > 0 ? 100 * std::sqrt(Q / Q0) : 0;
    std::printf("zweiTheta=%-8.4f N=%-2d EPSG=%6.3f%c", angle * 360 / kPi,
                static_cast<int>(g.size()), epsg, '%');
    if (set.gsum) std::printf(" GSUM=%.5e", static_cast<double>(weightsum()));
    std::printf("\n");
    std::fflush(stdout);
  }
  if (!out.commit()) fatal<-148>();
  freelam();
  setrekart(2);
}

}  // namespace

}  // namespace lintor

int main(int argc, char** argv) {
  core::prolog(argc, argv, "lintor.cfg");
  lintor::run();
  core::epilog();
}
