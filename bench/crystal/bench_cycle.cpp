// Timing of the refinement's inner loop on a problem of the size of a PbSO4
// refinement: one totalmodell and one full pass of totalableitung (all rows,
// as the minimiser asks for them) for 6000 points, about 600 reflections with
// four peak parameters, and 30 refined parameters: 14 of the structure (cell,
// scale, coordinates, displacements), 10 that enter through the per-
// reflection formulas of the line breadths and shifts, and 6 background
// coefficients.
//
//   bench_cycle            runs itself with 1 and with 8 threads and prints
//                          both timings, their split and the speed-up
//   bench_cycle <threads>  one measurement with that many threads
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "crystal/ks.hpp"
#include "crystal/tamrel.hpp"
#include "model/gerneu.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"
#include "model/unt.hpp"

extern char** environ;

namespace crystal {
using namespace core;
using namespace model;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kPoints = 6000;
constexpr int kBackground = 6;
constexpr double kLambda = 0.12;  // nm: about 600 reflections up to 145 degrees 2theta

// Wall-clock time, and the processor time of the whole process (all threads)
// beside it: on a machine shared with other work the wall-clock time of
// several threads says little, their processor time still tells the work.
struct Clock {
  struct time_point {
    double wall, cpu;
  };
  static time_point now() {
    timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
    return {a.tv_sec * 1e3 + a.tv_nsec * 1e-6, b.tv_sec * 1e3 + b.tv_nsec * 1e-6};
  }
};
double ms(Clock::time_point a, Clock::time_point b) { return b.wall - a.wall; }

// Values of the repetitions; their median.
struct Series {
  std::vector<double> v;
  void add(double x) { v.push_back(x); }
  double median() const {
    std::vector<double> s = v;
    std::sort(s.begin(), s.end());
    if (s.empty()) return 0.0;
    const size_t n = s.size();
    return n % 2 == 1 ? s[n / 2] : 0.5 * (s[n / 2 - 1] + s[n / 2]);
  }
};

// The cycle's account between two readings.
CycleStats minus(const CycleStats& b, const CycleStats& a) {
  CycleStats d;
  d.evaluations = b.evaluations - a.evaluations;
  d.threadphases = b.threadphases - a.threadphases;
  d.handoffs = b.handoffs - a.handoffs;
  d.lines = b.lines - a.lines;
  d.evaluationms = b.evaluationms - a.evaluationms;
  d.phasems = b.phasems - a.phasems;
  d.linems = b.linems - a.linems;
  d.linebusyms = b.linebusyms - a.linebusyms;
  d.linewaitms = b.linewaitms - a.linewaitms;
  d.linestartms = b.linestartms - a.linestartms;
  d.firstrowms = b.firstrowms - a.firstrowms;
  d.blockms = b.blockms - a.blockms;
  d.blockbusyms = b.blockbusyms - a.blockbusyms;
  d.blockwaitms = b.blockwaitms - a.blockwaitms;
  d.blockstartms = b.blockstartms - a.blockstartms;
  d.peakrowbusyms = b.peakrowbusyms - a.peakrowbusyms;
  return d;
}
double cpu(Clock::time_point a, Clock::time_point b) { return b.cpu - a.cpu; }

template <class T>
T* zeroed(size_t n) {
  // T may be a record pointer: an array of pointers.
  // NOLINTNEXTLINE(bugprone-sizeof-expression)
  auto* p = static_cast<T*>(std::calloc(n == 0 ? 1 : n, sizeof(T)));
  if (p == nullptr) std::exit(1);
  return p;
}

void statement(ParamRecord** a, int32_t* n, const char* text) {
  addparam(a, n)->statement = strdup(text);
}
void named(ParamRecord** a, int32_t* n, const char* name, double value) {
  ParamRecord* p = addparam(a, n);
  p->name = strdup(name);
  p->value = value;
}

struct AtomSpec {
  const char* species;
  const char* wyckoff;
  std::vector<const char*> refined;  // coordinates refined, with TDS
  double x, y, z, tds;
};

// PbSO4 in Pnma with its five atoms; the line breadths, breadth
// coefficients and shifts from formulas of ten refined coefficients.
PhaseRecord* pbso4() {
  PhaseRecord* p = newphase(1, goalzahl);
  goalzahl += 6;
  p->name = strdup("PbSO4");
  p->RP = 4;
  std::strncpy(p->selector[SEL_HERMANNMAUGUIN], "Pnma", 31);
  phasekinds(p);
  p->lebail[0] = 0;
  appendphase(p);
  const struct {
    const char* name;
    double value;
  } values[] = {{"A", 0.84800}, {"B", 0.53970}, {"C", 0.69590}, {"GEWICHT", 2e-3}, {"U", 0.004},
                {"V", 2e-4},    {"W", 1e-5},    {"X", 5e-4},    {"K1", 0.2},       {"K2", 2e-7},
                {"K3", 1e-8},   {"Z0", 1e-4},   {"Z1", -2e-5},  {"T0", 0.002}};
  for (const auto& v : values) named(&p->params, &p->nparams, v.name, v.value);
  for (const char* s : {"B1=U+V*sk+W*sk^2+X*abs(h)/sqrt(h^2+k^2+l^2)", "k1=K1", "k2=K2", "k3=K3",
                        "DELTAsk=Z0+Z1*sk", "DELTAzweiTheta=T0"})
    statement(&p->params, &p->nparams, s);
  const AtomSpec atoms[] = {{"Pb", "c", {"x", "z"}, 0.1879, 0.25, 0.1670, 0.012},
                            {"S", "c", {"x", "z"}, 0.0633, 0.25, 0.6842, 0.008},
                            {"O", "c", {}, 0.9080, 0.25, 0.5950, 0.015},
                            {"O", "c", {}, 0.1935, 0.25, 0.5432, 0.015},
                            {"O", "d", {"x", "y", "z"}, 0.0811, 0.0272, 0.8086, 0.015}};
  int number = 0;
  for (const AtomSpec& a : atoms) {
    AtomRecord* r = newatom(p, ++number, 0.0);
    std::strncpy(r->wyckoffname, a.wyckoff, 99);
    r->weights = zeroed<double>(1);
    newelements(r, 1);
    std::strncpy(r->elements[0].name, a.species, 7);
    if (afaparm(a.species, r->elements[0].scat) != 1) std::exit(1);
    const double xyz[3] = {a.x, a.y, a.z};
    const char* names[3] = {"x", "y", "z"};
    for (int c = 0; c < 3; ++c) {
      bool refined = false;
      for (const char* n : a.refined) refined = refined || std::strcmp(n, names[c]) == 0;
      char text[64];
      std::snprintf(text, sizeof text, "%s=%.6f", names[c], xyz[c]);
      if (refined)
        named(&r->params, &r->nparams, names[c], xyz[c]);
      else
        statement(&r->params, &r->nparams, text);
    }
    if (a.refined.empty()) {
      char text[64];
      std::snprintf(text, sizeof text, "TDS=%.6f", a.tds);
      statement(&r->params, &r->nparams, text);
    } else {
      named(&r->params, &r->nparams, "TDS", a.tds);
    }
  }
  return p;
}

// The reflections of the phase up to 1/d^2 = skmax as the driver makes them:
// one per set of equivalents, absences left out, the inverse in a second
// record where it is not equivalent; sorted by 1/d.
void reflections(PhaseRecord* p, double skmax) {
  const double* g = p->rmetric;
  hklprime = 100003;
  hkltable = zeroed<HklNode*>(static_cast<size_t>(hklprime));
  std::vector<ReflectionRecord*> made;
  const int hmax = static_cast<int>(std::sqrt(skmax) * p->a) + 1;
  const int kmax = static_cast<int>(std::sqrt(skmax) * p->b) + 1;
  const int lmax = static_cast<int>(std::sqrt(skmax) * p->c) + 1;
  for (int h = 0; h <= hmax; ++h)
    for (int k = h == 0 ? 0 : -kmax; k <= kmax; ++k)
      for (int l = (h == 0 && k == 0) ? 1 : -lmax; l <= lmax; ++l) {
        const double s2 = g[0] * h * h + g[1] * k * k + g[2] * l * l + 2 * g[3] * h * k +
                          2 * g[4] * k * l + 2 * g[5] * h * l;
        if (s2 > skmax) continue;
        newDATAlist();
        SetVar("h", h);
        SetVar("k", k);
        SetVar("l", l);
        const bool allowed = std::fabs(Wert(p->condition)) > 2.220446049250313e-13;
        DelAll();
        freeDATAlist();
        if (!allowed || isintable(h, k, l) != 0) {
          if (!allowed && isintable(h, k, l) == 0) {
            hklbau(nullptr, h, k, l);
            if (isintable(-h, -k, -l) == 0) hklbau(nullptr, -h, -k, -l);
          }
          continue;
        }
        ReflectionRecord* r = newreflection(s2, 0);
        r->fr1 = newfrecord(0.0, 0);
        hklbau(r->fr1, h, k, l);
        if (isintable(-h, -k, -l) == 0) {
          r->fr2 = newfrecord(0.0, 0);
          r->count = 2;
          hklbau(r->fr2, -h, -k, -l);
        }
        made.push_back(r);
      }
  for (int b = 0; b < hklprime; ++b)
    while (hkltable[b] != nullptr) {
      HklNode* n = hkltable[b];
      hkltable[b] = n->next;
      std::free(n);
    }
  std::free(hkltable);
  hkltable = nullptr;
  p->nrefl = static_cast<int32_t>(made.size());
  p->refl = zeroed<ReflectionRecord*>(made.size());
  for (size_t i = 0; i < made.size(); ++i) p->refl[i] = made[i];
  vergleich = refvergleich;
  austausch = reftausch;
  heapsort(p->nrefl);
}

// Peak set, columns, background, parameter records and derivative buffers.
void refinement(PhaseRecord* p) {
  rp4 = p->nrefl;
  p->peakfirst = 0;
  p->peaklast = 4 * p->nrefl;
  peakalloc(nullptr, &param, 0, 0, kBackground, 0, 0, rp4);
  tu = zeroed<double>(kBackground);
  for (int i = 0; i < kBackground; ++i) tu[i] = 200.0 - 10.0 * i;
  rpeaks = 4 * rp4 + kBackground;
  tpeaks = zeroed<double*>(static_cast<size_t>(rpeaks));
  for (int i = 0; i < p->nrefl; ++i) {
    ReflectionRecord* r = p->refl[i];
    r->slot = i;
    double* v[4] = {&r->intensity, &r->position, &r->B1, &r->B2};
    for (int j = 0; j < 4; ++j) tpeaks[4 * i + j] = v[j];
  }
  for (int i = 0; i < kBackground; ++i) tpeaks[4 * rp4 + i] = &tu[i];
  unt1(kBackground, sinx, m, nullptr, nullptr);

  std::vector<numeric::QminParam> recs;
  auto take = [&](ParamRecord* list, int n, AtomRecord* atom) {
    for (int i = 0; i < n; ++i)
      if (list[i].name != nullptr)
        recs.push_back({list[i].name, p, atom, -1, &list[i].value, -1e30, 1e30});
  };
  take(p->params, p->nparams, nullptr);
  for (AtomRecord* at = p->atoms; at != nullptr; at = at->next) take(at->params, at->nparams, at);
  noequiv = static_cast<int>(recs.size());
  for (int i = 0; i < kBackground; ++i)
    recs.push_back({"background", nullptr, nullptr, 4 * rp4 + i, &tu[i], 0.0, 1e30});
  rqmin = static_cast<int>(recs.size());
  qminparam = zeroed<numeric::QminParam>(recs.size());
  std::copy(recs.begin(), recs.end(), qminparam);

  kettenregeldim = rpeaks - kBackground;
  kettenregel = zeroed<float>(static_cast<size_t>(noequiv) * kettenregeldim);
  matrixmultdim = zeroed<int32_t>(2 * static_cast<size_t>(noequiv));
  for (int s = 0; s < noequiv; ++s) {
    matrixmultdim[2 * s] = p->peakfirst;
    matrixmultdim[2 * s + 1] = p->peaklast - p->peakfirst;
  }
  strafableitung = zeroed<float>(static_cast<size_t>(istraf) * noequiv + 1);
  linstrafinit = 1;
  ermodfaktor = 1.0;
}

int measure(int threads) {
  nthreads = threads;
  timecycle(true);  // the workers' busy times, for the split of the time
  std::snprintf(kalvo, sizeof kalvo, "%s", KALVO_SOURCE_DATA);
  char dir[] = "/tmp/bench-cycle-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  const std::string ger = std::string(dir) + "/inst.ger";
  FILE* f = std::fopen(ger.c_str(), "w");
  std::fputs("TITEL=bench\nTHETA=25 N=2\n0.7 0 0.0004\n0.3 0.0002 0.0009\n", f);
  std::fclose(f);
  newDATAlist();
  setrekart(2);
  ger1((std::string(dir) + "/inst").c_str());
  std::remove(ger.c_str());
  rmdir(dir);

  ilam = 1;
  ij = zeroed<double>(1);
  lj = zeroed<double>(1);
  dj = zeroed<double>(1);
  ij[0] = 1.0;
  lj[0] = 1.0 / kLambda;
  l0 = lj[0];
  m = kPoints;
  sinx = zeroed<float>(kPoints);
  intensitaet = zeroed<float>(kPoints);
  w = zeroed<float>(kPoints);
  for (int i = 0; i < m; ++i) {
    const double tt = 8.0 + 137.0 * i / (m - 1);
    sinx[i] = static_cast<float>(std::sin(tt * kPi / 360.0));
    w[i] = 1.0f;
  }
  hinit();
  setsynchrotron(true);
  afainit("Cu");

  PhaseRecord* p = pbso4();
  phasei = p;
  newDATAlist();
  xyzinit();
  const double smax = 2.0 * std::sin(145.0 * kPi / 360.0) / kLambda;
  reflections(p, smax * smax);
  DelAll();
  freeDATAlist();
  refinement(p);

  // The measured pattern: the model (the residuals against zero with weight
  // 1) raised by 2 %, with counting weights.
  int count = 0;
  float* r = nullptr;
  totalmodell(&count, &r);
  for (int i = 0; i < m; ++i) {
    intensitaet[i] = 1.02f * r[i] + 1.0f;
    w[i] = 1.0f / std::sqrt(std::max(intensitaet[i], 1.0f));
  }

  // The whole: one residual evaluation and one derivative pass, with the
  // cycle's own account of where the time went; medians of the repetitions.
  std::vector<float> row(static_cast<size_t>(rqmin));
  constexpr int kReps = 15;
  Series model, first, rows, proc, model_eval, model_pattern, first_lines, first_busy, first_phase,
      first_serial, first_wait, first_start, rows_busy, rows_peak, rows_chain, rows_wait,
      rows_start;
  CycleStats at_model, at_first, at_end;
  for (int rep = 0; rep <= kReps; ++rep) {
    resetcyclestats();
    const auto t0 = Clock::now();
    totalmodell(&count, &r);
    const auto t1 = Clock::now();
    at_model = cyclestats();
    totalableitung(row.data(), 0);  // row 0: the cycle times it itself
    at_first = cyclestats();
    for (int i = 1; i < count; ++i) totalableitung(row.data(), i);
    const auto t3 = Clock::now();
    at_end = cyclestats();
    if (rep == 0) continue;  // warm-up
    model.add(ms(t0, t1));
    // Row 0 alone; the first block of rows it computes counts with the rows.
    const CycleStats d = minus(at_first, at_model);
    first.add(d.firstrowms);
    rows.add(ms(t1, t3) - d.firstrowms);
    proc.add(cpu(t0, t3));
    model_eval.add(at_model.evaluationms);
    model_pattern.add(ms(t0, t1) - at_model.evaluationms);
    first_lines.add(d.linems);
    first_busy.add(d.linebusyms);
    first_wait.add(d.linewaitms);
    first_start.add(d.linestartms);
    first_phase.add(d.phasems);
    first_serial.add(d.firstrowms - d.linems - d.phasems);
    const CycleStats e = minus(at_end, at_model);
    rows_busy.add(e.blockbusyms);
    rows_peak.add(e.peakrowbusyms);
    rows_chain.add(e.blockbusyms - e.peakrowbusyms);
    rows_wait.add(e.blockwaitms);
    rows_start.add(e.blockstartms);
  }
  // The bits of one more residual vector and derivative pass, untimed: the
  // same on any number of threads and from one version to the next where
  // no sum changed its order.
  uint64_t bits = 14695981039346656037ull;
  auto hash = [&bits](const float* v, int n) {
    for (int i = 0; i < n; ++i) {
      uint32_t b;
      std::memcpy(&b, &v[i], sizeof b);
      bits = (bits ^ b) * 1099511628211ull;
    }
  };
  totalmodell(&count, &r);
  hash(r, count);
  for (int i = 0; i < count; ++i) {
    totalableitung(row.data(), i);
    hash(row.data(), rqmin);
  }
  std::free(r);
  const CycleStats d = minus(at_first, at_model), e = minus(at_end, at_first);
  const int64_t firstblock = at_first.handoffs - at_model.handoffs - d.threadphases;

  // On the calling thread: the structure set-up of one evaluation, one line
  // and one structure factor.
  Series setup, line, structure;
  for (int rep = 0; rep < 5; ++rep) {
    newDATAlist();
    phasei = p;
    const auto ts = Clock::now();
    xyzinit();
    setup.add(ms(ts, Clock::now()));
    const auto t0 = Clock::now();
    for (int i = 0; i < p->nrefl; ++i) {
      newDATAlist();
      computeline(p->refl[i]);
      freeDATAlist();
    }
    const auto t1 = Clock::now();
    double out[4];
    for (int i = 0; i < p->nrefl; ++i)
      fcalc(out, 1, 0, nullptr, p->refl[i]->fr1, 0, p->refl[i]->sk);
    const auto t2 = Clock::now();
    DelAll();
    freeDATAlist();
    line.add(ms(t0, t1) * 1000.0 / p->nrefl);
    structure.add(ms(t1, t2) * 1000.0 / p->nrefl);
  }

  const double total = model.median() + first.median() + rows.median();
  std::printf(
      "threads %d: totalmodell %.2f ms + totalableitung %.2f ms = together %.2f ms (processor "
      "time of all threads %.2f ms; medians of %d)\n",
      threads, model.median(), first.median() + rows.median(), total, proc.median(), kReps);
  std::printf(
      "  totalmodell: evaluation of the phase (line computation) %.2f ms, pattern model and the "
      "rest %.2f ms\n",
      model_eval.median(), model_pattern.median());
  std::printf(
      "  row 0: %lld evaluations for the finite differences %.2f ms: line passes %.2f ms (workers "
      "busy %.2f ms = %.0f %% of the passes' length x %d, %.2f us a line; waits %.2f ms, of them "
      "for the start %.2f ms), threaded phase start and end %.2f ms, main thread alone %.2f ms "
      "(set-up, differences, restraints)\n",
      static_cast<long long>(d.evaluations), first.median(), first_lines.median(),
      first_busy.median(), 100.0 * first_busy.median() / (first_lines.median() * threads), threads,
      first_busy.median() * 1000.0 / static_cast<double>(d.lines), first_wait.median(),
      first_start.median(), first_phase.median(), first_serial.median());
  std::printf(
      "  derivative rows and chain rule %.2f ms: workers busy %.2f ms (%.0f %% of the length x "
      "%d), of which peak-model derivative rows %.2f ms, chain rule %.2f ms; waits %.2f ms, of "
      "them for the start %.2f ms\n",
      rows.median(), rows_busy.median(), 100.0 * rows_busy.median() / (rows.median() * threads),
      threads, rows_peak.median(), rows_chain.median(), rows_wait.median(), rows_start.median());
  std::printf(
      "  hand-offs to the pool by the cycle: %lld in totalmodell, %lld in row 0, %lld in the "
      "rows; threaded-phase starts: %lld, %lld, %lld (the pattern model's own hand-offs not "
      "counted)\n",
      static_cast<long long>(at_model.handoffs), static_cast<long long>(d.handoffs - firstblock),
      static_cast<long long>(e.handoffs + firstblock),
      static_cast<long long>(at_model.threadphases), static_cast<long long>(d.threadphases),
      static_cast<long long>(e.threadphases));
  std::printf(
      "  structure set-up of one evaluation (main thread) %.1f us; one line on one thread %.2f "
      "us, of which structure factor %.2f us, formulas and store %.2f us\n",
      setup.median() * 1000.0, line.median(), structure.median(),
      line.median() - structure.median());
  std::printf("  bits of the residuals and derivative rows: %016llx\n",
              static_cast<unsigned long long>(bits));
  std::fflush(stdout);
  return 0;
}

double run_child(const char* self, int threads) {
  std::string arg = std::to_string(threads);
  int fds[2];
  if (pipe(fds) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  char* argv[] = {const_cast<char*>(self), arg.data(), nullptr};
  pid_t pid;
  if (posix_spawn(&pid, self, &actions, nullptr, argv, environ) != 0) return -1;
  close(fds[1]);
  std::string out;
  char buf[512];
  ssize_t got;
  while ((got = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(got));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  posix_spawn_file_actions_destroy(&actions);
  std::fputs(out.c_str(), stdout);
  const size_t at = out.find("together ");
  return at == std::string::npos ? -1 : std::atof(out.c_str() + at + 9);
}

}  // namespace

int run(int argc, char** argv) {
  if (argc > 1) return measure(std::atoi(argv[1]));
  std::printf(
      "refinement inner loop: %d points, PbSO4 (Pnma) with four peak parameters per line, 30 "
      "parameters (14 structure, 10 in per-reflection formulas, %d background)\n",
      kPoints, kBackground);
  const double one = run_child("/proc/self/exe", 1);
  const double eight = run_child("/proc/self/exe", 8);
  if (one > 0 && eight > 0) std::printf("speed-up 8 threads / 1 thread: %.2f\n", one / eight);
  return one > 0 && eight > 0 ? 0 : 1;
}

}  // namespace crystal

int main(int argc, char** argv) { return crystal::run(argc, argv); }
