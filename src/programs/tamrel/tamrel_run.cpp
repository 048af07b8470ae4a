// The road of one refinement run: the start routine with the lattice
// constants, the run keys, the scans, radiation and polarisation, the
// wavelength lines, the scattering data, the line-profile tables, the
// structure files, the global goals and parameters, the reflection lists, and
// the end with the write-back of the results and the release of everything
// the run built.
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/frame.hpp"
#include "core/keycheck.hpp"
#include "core/nspawn.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"
#include "crystal/ks.hpp"
#include "model/gerneu.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"
#include "model/unt.hpp"
#include "scan/apx63.hpp"
#include "scan/ddm.hpp"
#include "tamrel.hpp"
#include "tamrel_datasets.hpp"
#include "tamrel_plan.hpp"
#include "tamrel_stages.hpp"

namespace tamrel {

using namespace core;
using namespace scan;
using namespace model;
using namespace crystal;

RunState runstate;

void passon() {
  std::fflush(stdout);
  dataerr_jmp();
  internal_error("no error frame", kModule, __LINE__);
}

void checklevel(const char* label, int line) {
  if (ondataLevel() != 1) internal_error(label, kModule, line);
}

namespace {

constexpr double kPi = 3.141592653589793;
// The most iterations of a stage a run may ask for (ITMAX).
constexpr int kMostIterations = 10000;

// The lattice constants of the formulas, in a scope of their own below the
// configuration: any file or statement may override them.
void latticeconstants() {
  SetVar("Cubic", 0);
  SetVar("Hexagonal", 1);
  SetVar("Trigonal", 1);
  SetVar("Tetragonal", 2);
  SetVar("Orthorhombic", 3);
  SetVar("Monoclinic", 4);
  SetVar("Triclinic", 5);
}

bool yes(const char* text) { return text[0] != 0 && std::strchr("JjYy", text[0]) != nullptr; }

// A yes/no key: on when its text begins with J, j, Y or y; missing: off.
bool yeskey(const char* key) {
  static char buf[kTextLen + 1];
  return dataerr_try([&] { GetStrVar(key, kTextLen, buf); }) && yes(buf);
}

// An optional text key; false (and text unchanged) when missing or faulty.
bool textkey(const char* key, std::string& text) {
  static char buf[kTextLen + 1];
  if (!dataerr_try([&] { GetStrVar(key, kTextLen, buf); })) return false;
  text = buf;
  return true;
}

// The run title: TITEL, else the control file's name without its extension;
// blanks become underscores.
void readtitle() {
  if (!dataerr_try([] { GetStrVar("TITEL", kTextLen, titel); })) {
    titel[0] = 0;
    if (dataerr_try([] { GetStrVar("SAVEFILE", kTextLen, titel); })) {
      const char* ext = getextension(titel);
      if (ext != nullptr) titel[ext - titel - 1] = 0;
    } else {
      titel[0] = 0;
    }
  }
  for (char* p = titel; *p != 0; ++p)
    if (*p == ' ') *p = '_';
}

// ONLYISO: a number restricts the run to stage 0 with that model-error
// factor; a text restricts it to stage 0 unless it begins with N or n.
void readonlyiso() {
  RunState& rs = runstate;
  double factor = 0.0;
  if (dataerr_try([&] { factor = GetVar("ONLYISO"); })) {
    rs.allstages = false;
    rs.isofactor = static_cast<float>(factor);
    return;
  }
  static char buf[kTextLen + 1];
  if (dataerr_try([] { GetStrVar("ONLYISO", kTextLen, buf); }))
    rs.allstages = buf[0] == 'N' || buf[0] == 'n';
}

}  // namespace

void readsettings() {
  RunState& rs = runstate;
  int threads = 1;
  optint("NTHREADS", &threads);
  if (threads > kMostThreads) fatal<-123>("NTHREADS", threads, kMostThreads);
  nthreads = threads < 1 ? 1 : threads;
  readtitle();
  readonlyiso();
  rs.protokoll = yeskey("PROTOKOLL");
  optint("ITMAX", &rs.itmax);
  // Each iteration of a stage builds the whole normal matrix.
  if (rs.itmax > kMostIterations) fatal<-123>("ITMAX", rs.itmax, kMostIterations);
  eps10 = eps20 = eps30 = eps40 = 0.0;
  optnumber("EPS1", &eps10);
  optnumber("EPS2", &eps20);
  optnumber("EPS3", &eps30);
  optnumber("EPS4", &eps40);
  // The angle window: each limit a diffraction angle, the lower below the
  // upper.
  double wmin = 2 * rs.thetamin, wmax = 2 * rs.thetamax;
  const bool haslo = optnumber("WMIN", &wmin), hashi = optnumber("WMAX", &wmax);
  if (haslo) keyangle("WMIN", wmin);
  if (hashi) keyangle("WMAX", wmax);
  if (haslo || hashi) keywindow("WMIN", wmin, "WMAX", wmax);
  rs.thetamin = wmin / 2;
  rs.thetamax = wmax / 2;
  ifddm = yeskey("DDM");
  if (ifddm)
    rs.ru = 0;
  else
    optint("RU", &rs.ru);
  static char name[kNameLen + 1];
  if (dataerr_try([] { GetStrVar("LINTOR", kNameLen, name); })) {
    rs.haslintor = true;
    rs.lintor = name;
    ger1(name);
  }
  if (textkey("UNT", rs.unt)) message<17>(rs.unt.c_str());
  if (textkey("UNTC", rs.untc)) message<67>(rs.untc.c_str());
}

// Whether the array element key[index] exists, whatever its length.
namespace {

bool indexexists(const char* key, int index) {
  return dataerr_try([&] { GetIndexStrVar(key, 1, &index, INT_MAX, nullptr); });
}

// The scan names VAL[1], VAL[2], ... up to the first missing index; a name
// too long for the reader is the store's error.
ScanNameNode* scannames() {
  ScanNameNode* first = nullptr;
  ScanNameNode** tail = &first;
  for (int k = 1; indexexists("VAL", k); ++k) {
    auto* node = kcalloc<ScanNameNode>(1);
    *tail = node;
    tail = &node->next;
    GetIndexStrVar("VAL", 1, &k, kNameLen, node->name);
  }
  return first;
}

void freescannames(ScanNameNode* list) {
  while (list != nullptr) {
    ScanNameNode* next = list->next;
    std::free(list);
    list = next;
  }
}

// Radiation from the keys when the scans named none: NEUTRONS, SYNCHROTRON,
// LAMBDA, else "CU" with warning 214.
void radiationfromkeys(char* radiation) {
  if (radiation[0] != 0) return;
  if (dataerr_try([&] { GetStrVar("NEUTRONS", kNameLen, radiation); })) {
    setneutrons(true);
  } else if (dataerr_try([&] { GetStrVar("SYNCHROTRON", kNameLen, radiation); })) {
    setsynchrotron(true);
  } else if (dataerr_try([&] { GetStrVar("LAMBDA", kNameLen, radiation); })) {
    setxray(true);
  } else {
    std::strcpy(radiation, "CU");
    message<214>();
    setxray(true);
    return;
  }
  white(radiation);
}

// Polarisation: none for neutrons; POL when given; else none for
// synchrotron radiation and the factor 1 for an X-ray tube.
void polarisation() {
  if (ifneutrons()) return;
  double factor = 0.0;
  if (optnumber("POL", &factor)) {
    keyrange("POL", factor, 0, 1);
    pol = static_cast<float>(factor);
    setpol(true);
  } else if (ifsynchrotron()) {
    setpol(false);
  } else {
    pol = 1.0f;
    setpol(true);
  }
}

// Points of the pattern before the derivative transform.
int patternpoints() { return ddmrange != nullptr ? m / 2 + 4 : m; }

}  // namespace

void readpattern() {
  RunState& rs = runstate;
  ScanNameNode* scans = scannames();
  const bool scansgiven = scans != nullptr;
  sinxmin = static_cast<float>(std::sin(rs.thetamin * kPi / 180) * 0.9999988079071045);
  sinxmax = static_cast<float>(std::sin(rs.thetamax * kPi / 180));
  cutinit();
  tubetailinit();
  static char radiation[kNameLen + 1];
  radiation[0] = 0;
  getval(scans, kNameLen, radiation, &m, &sinx, &intensitaet, &w);
  freescannames(scans);
  rs.scanradiation = radiation;
  radiationfromkeys(radiation);
  rs.radiation = radiation;
  polarisation();
  initlam(radiation);
  afainit(radiation);

  // Scans that give no point leave nothing to refine against; only a run
  // without scans sets the structures up without a pattern.
  if (m == 0 && scansgiven) fatal<-94>();
  if (m == 0) {
    message<215>();
    rs.npoints = 0;
  } else {
    measuredrange();
    const int n = rs.npoints;
    if (dataerr_try([] { GetStrVar("DIAGRAMM", kNameLen, diagramm); })) {
      makeextension(diagramm, "dia", 0);
      y = kcalloc<float>(static_cast<size_t>(n));
      u = kcalloc<float>(static_cast<size_t>(n));
    } else {
      diagramm[0] = 0;
    }
    hinit();
  }
  if (ilam == 0) fatal<-226>(radiation);
  double lo = 2 * static_cast<double>(sinxmin) * l0;
  if (lo < 0.05) lo = 0.05;
  rs.skmin = lo * lo;
  double hi = 2 * static_cast<double>(sinxmax) * l0;
  rs.skmax = hi * hi;
}

void measuredrange() {
  RunState& rs = runstate;
  const int n = patternpoints();
  rs.npoints = n;
  float lo = sinx[0], hi = sinx[0];
  for (int i = 1; i < n; ++i) {
    if (sinx[i] < lo) lo = sinx[i];
    if (sinx[i] > hi) hi = sinx[i];
  }
  sinxmin = lo;
  sinxmax = hi;
  rs.thetamin = std::asin(static_cast<double>(lo)) * 180 / kPi;
  rs.thetamax = std::asin(static_cast<double>(hi)) * 180 / kPi;
}

void freerun() {
  freerefinement();
  freereflections();
  freeglobals();
  std::free(yphasen);
  yphasen = nullptr;
  freephases();
  nphasen = 0;
  while (straferst != nullptr) {
    PenaltyRow* next = straferst->next;
    std::free(straferst);
    straferst = next;
  }
  istraf = 0;
  goalzahl = 0;
  std::free(y);
  std::free(u);
  y = u = nullptr;
  std::free(sinx);
  std::free(intensitaet);
  std::free(w);
  sinx = intensitaet = w = nullptr;
  m = 0;
  tubetailfree();
  cutfree();
  hfrei();
  ger2();
  freelam();
  unt2();
  clearafa();
  ksclear();
  setrekart(2);
}

void run(int argc, char** argv) {
  prolog(argc, argv, "tamrel.cfg", latticeconstants);
  setrekart(2);
  settime(runstate.starttime);
  readsettings();
  declarefiles();
  readpattern();
  checklevel("ondatalevel", __LINE__);

  readphases();
  if (nphasen == 0 && m == 0) fatal<-148>();

  readglobals();
  buildreflections();
  if (m > 0 && nphasen > 0 && rp2 + rp3 + rp4 == 0) {
    // No peak of any kind, so no reflection: the structures would be refined
    // against a pattern none of their lines reaches (most often a wavelength given in angstrom
    // where the key takes nm): every value of every phase would come out undefined.
    const RunState& rs = runstate;
    fatal<-16>(2 * rs.thetamin, 2 * rs.thetamax, rs.radiation.c_str());
  }
  refine();

  // Data set 0: the refined pattern itself; its goals and parameters go
  // back into the control file before anything else may fail, then its
  // measuring-time plan, then the further data sets.
  checklevel("ondatalevel", __LINE__);
  writeglobals();
  measuringplan();
  additionaldatasets();

  freerun();
  epilog();
}

}  // namespace tamrel
