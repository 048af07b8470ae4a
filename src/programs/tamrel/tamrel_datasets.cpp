// Additional data sets and the register of the files the data sets write.
#include "tamrel_datasets.hpp"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "core/data.hpp"
#include "core/message.hpp"
#include "core/outfile.hpp"
#include "core/runfiles.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"
#include "crystal/cycle.hpp"
#include "crystal/ks.hpp"
#include "model/modell.hpp"
#include "model/unt.hpp"
#include "numeric/qmin8.hpp"
#include "scan/apx63.hpp"
#include "scan/ddm.hpp"
#include "tamrel.hpp"
#include "tamrel_final.hpp"
#include "tamrel_stages.hpp"

namespace tamrel {

using namespace core;
using namespace numeric;
using namespace scan;
using namespace model;
using namespace crystal;

namespace {

// The start of every further data set: the values of the last stage's
// records and the angle window in which the main pattern was measured.
struct Start {
  std::vector<double> values;
  float sinxmin = 0.0f;
  float sinxmax = 0.0f;
} start;

// How the fit of a further data set ended.
struct Fit {
  int dataset = 0;
  int failed = 0;        // 1-based record whose derivatives were not finite, 0 none
  bool refused = false;  // the start was not admissible
} fit;

// The files written so far, each with the data set that wrote it.
std::unordered_map<std::string, int> owners;
int outputdataset = 0;

// The place of a file as the writer will use it: a link followed, the
// folder resolved, so that "a.par", "./a.par" and a link to it are one file.
std::string canonical(const std::string& path) {
  std::string target = resolvetarget(path.c_str());
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : target.substr(0, slash);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  char* real = realpath(dir.c_str(), nullptr);
  if (real == nullptr) return target;
  std::string out = std::string(real) + "/" + base;
  std::free(real);
  return out;
}

// The radiation kind and polarisation of the run, which the scan reader sets
// anew from the radiation keys: a further data set keeps those of the main
// pattern.
struct Radiation {
  bool xray = ifxray(), synchrotron = ifsynchrotron(), neutrons = ifneutrons();
  float factor = pol;
  bool polarised = ifpol();
  void restore() const {
    setxray(xray);
    setsynchrotron(synchrotron);
    setneutrons(neutrons);
    pol = factor;
    setpol(polarised);
  }
};

// Drops the pattern of a skipped data set.
void droppattern() {
  std::free(sinx);
  std::free(intensitaet);
  std::free(w);
  sinx = intensitaet = w = nullptr;
  m = 0;
}

// Reads the scans of data set i into the pattern; false (warning 58 or 59)
// when it is to be skipped. In derivative mode the transform follows the
// checks, so that a data set with too few points for it (fewer than five) is
// skipped like an empty one instead of ending the run.
bool readdataset(const char* name) {
  RunState& rs = runstate;
  auto* node = kcalloc<ScanNameNode>(1);
  std::snprintf(node->name, sizeof node->name, "%s", name);
  static char radiation[kNameLen + 1];
  radiation[0] = 0;
  sinxmin = start.sinxmin;
  sinxmax = start.sinxmax;
  const Radiation kept;
  const bool ddm = ifddm, lintor = iflintor;
  if (ddm) {
    ifddm = false;
    iflintor = true;  // no sigma correction of the points before the transform
  }
  getval(node, kNameLen, radiation, &m, &sinx, &intensitaet, &w);
  ifddm = ddm;
  iflintor = lintor;
  kept.restore();
  std::free(node);
  // A data set skipped is one the run was named and could not use: the run
  // goes on with the others and ends with a non-zero status.
  if (m == 0 || (ddm && m < 5)) {
    message<58>(name);
    std::fflush(stdout);
    inputfailed(58);
    droppattern();
    return false;
  }
  if (compare(radiation, rs.scanradiation.c_str()) != 0) {
    message<59>(radiation, name, rs.scanradiation.c_str());
    std::fflush(stdout);
    inputfailed(59);
    droppattern();
    return false;
  }
  if (ddm) korrddm(&m, sinx, &intensitaet, &w);
  measuredrange();
  return true;
}

// The model columns of the data set: y, u and the phases' columns when
// DIAGRAMM[i] names a diagram file, none otherwise.
void diagramarrays(int dataset) {
  std::free(y);
  std::free(u);
  std::free(yphasen);
  y = u = yphasen = nullptr;
  diagramm[0] = 0;
  if (!dataerr_try([&] { GetIndexStrVar("DIAGRAMM", 1, &dataset, kNameLen, diagramm); })) {
    diagramm[0] = 0;
    return;
  }
  makeextension(diagramm, "dia", 0);
  if (!ownoutput(diagramm)) {
    diagramm[0] = 0;
    return;
  }
  const auto n = static_cast<size_t>(runstate.npoints);
  y = kcalloc<float>(n);
  u = kcalloc<float>(n);
  if (nphasen > 0) yphasen = kcalloc<float>(n * static_cast<size_t>(nphasen));
}

void reportfailure(FILE* f) {
  const int i = fit.dataset;
  if (fit.refused) {
    message_to<284>(f, i);
    return;
  }
  const QminParam& q = qminparam[fit.failed - 1];
  const char* name = q.name != nullptr ? q.name : "";
  auto* ph = static_cast<PhaseRecord*>(q.owner);
  auto* at = static_cast<AtomRecord*>(q.sub);
  if (ph != nullptr && at != nullptr)
    message_to<283>(f, i, ph->number, at->number, name);
  else if (ph != nullptr)
    message_to<282>(f, i, ph->number, name);
  else
    message_to<281>(f, i, name);
}

// The fit of data set i from the values refined on the main pattern, with
// the stages' records, bounds and buffers.
void fitdataset(int dataset) {
  RunState& rs = runstate;
  for (int k = 0; k < rqmin; ++k) *qminparam[k].value = start.values[static_cast<size_t>(k)];
  anisochange = 0;
  diagramarrays(dataset);
  hinit();
  const char* scaled = rs.unt.empty() ? nullptr : rs.unt.c_str();
  const char* fixed = rs.untc.empty() ? nullptr : rs.untc.c_str();
  unt1(rs.ru, sinx, rs.npoints, scaled, fixed);
  ermodfaktor = 1.1920928955078125e-07;
  int iterations = rs.itmax >= 0 ? rs.itmax : 10 * rqmin;
  linstrafinit = 1;
  checklevel("ondataLevel", __LINE__);
  const int k = qmin8(qminparam, rqmin, totalmodell, totalableitung, &qplus, &iterations, &ermod,
                      &moderror, rs.protokoll, rs.protokoll ? nullptr : datasetprogress(dataset));
  rs.iterations = iterations;
  // Nothing to refine is no refused start: the fixed model is only evaluated.
  fit = Fit{dataset, k, iterations == 0 && rqmin > 0};
  if (fit.refused || fit.failed != 0) {
    reportfailure(stdout);
    std::fflush(stdout);
  }
}

}  // namespace

void savestartvalues() {
  start.values.assign(static_cast<size_t>(rqmin), 0.0);
  for (int k = 0; k < rqmin; ++k) start.values[static_cast<size_t>(k)] = *qminparam[k].value;
  start.sinxmin = sinxmin;
  start.sinxmax = sinxmax;
}

void setoutputdataset(int dataset) { outputdataset = dataset; }

bool ownoutput(const std::string& path) {
  const auto [at, fresh] = owners.emplace(canonical(path), outputdataset);
  if (fresh || at->second == outputdataset) return true;
  message<285>(path.c_str());
  outputfailed(285);
  std::fflush(stdout);
  return false;
}

void fitnote(FILE* f, int dataset) {
  if (dataset == 0 || fit.dataset != dataset || (!fit.refused && fit.failed == 0)) return;
  reportfailure(f);
}

std::string defaultpeakfile(const char* savefile, int dataset) {
  std::vector<char> name(std::strlen(savefile) + 32);
  std::memcpy(name.data(), savefile, std::strlen(savefile) + 1);
  makeextension(name.data(), "par", 1);
  std::string text = name.data();
  if (dataset > 0) text.insert(text.size() - 4, "_" + std::to_string(dataset));
  return text;
}

void additionaldatasets() {
  // The main pattern's diagram is one of its outputs.
  setoutputdataset(0);
  if (diagramm[0] != 0) ownoutput(diagramm);
  static char name[kNameLen + 1];
  for (int i = 1; dataerr_try([&] { GetIndexStrVar("STANDALONEVAL", 1, &i, kNameLen, name); });
       ++i) {
    fit = Fit{};
    setoutputdataset(i);
    if (!readdataset(name)) continue;
    fitdataset(i);
    computefinal();
    writeoutputs(i);
  }
  start = Start{};
  checklevel("ondataLevel", __LINE__);
}

}  // namespace tamrel
