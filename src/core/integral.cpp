#include "core/integral.hpp"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/fatal.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"

namespace core {

namespace {

constexpr double kSmallestNormal = 2.2250738585072014e-308;
constexpr double kResolution = 2.220446049250313e-16;
constexpr double kMinWidthFactor = 2.220446049250313e-18;
constexpr double kOver840 = 0.0011904761904761906;
constexpr double kOver6 = 0.16666666666666666;

// Hard caps on the refinement depth (panel width = interval / 2^depth); a
// panel at the cap is accepted as it is. They make every call end, whatever
// the tolerance, the limits or the integrand's values (NaN, infinities).
// integral7 and cintegral7 at tolerances up to about 4.6e-12 stop earlier by
// their own minimum-width rule (at 1e-13 by depth 15), so the cap does not
// change their results there; the worst case is about 1.3e7 integrand calls.
// The parallel version keeps every panel until the final sum and hands out
// every abscissa through the dispatcher (several microseconds each). It may
// split every panel down to 1/4096 of the interval; below that it refines
// narrow features as deep as integral7 does (the same cap), but creates at
// most kDeepPanels such panels per call, so that an integrand that never
// converges (NaN values, a hostile tolerance) costs at most about 62 000
// evaluations, while a line of 1e-4 of the interval still gets its panels.
constexpr int kMaxDepth = 20;
constexpr int kFullParallelDepth = 12;
constexpr long kDeepPanels = 2048;

// Seven-point closed Newton-Cotes rule on a panel of width w with the
// equally spaced values g[0], g[s], ..., g[6s].
inline double rule7(const double* g, double w, int s = 1) {
  return (41 * g[0] + 216 * g[s] + 27 * g[2 * s] + 272 * g[3 * s] + 27 * g[4 * s] + 216 * g[5 * s] +
          41 * g[6 * s]) *
         w * kOver840;
}

inline double simpson(double g0, double g1, double g2, double w) {
  return (g0 + 4 * g1 + g2) * w * kOver6;
}

inline void raise(double* fmax, double v) {
  double m = std::fabs(v);
  if (m > *fmax) *fmax = m;
}

// One refinement step of the seven-point rule on a panel of width w whose
// seven abscissae x and values v are known; c is its coarse estimate.
double integral17(Integrand f, void* pointer, const double* x, const double* v, double w, double c,
                  double scale, double eps, double* fmax, int depth) {
  double xs[13], vs[13];
  for (int k = 0; k < 7; ++k) {
    xs[2 * k] = x[k];
    vs[2 * k] = v[k];
  }
  for (int k = 0; k < 6; ++k) {
    xs[2 * k + 1] = (x[k] + x[k + 1]) / 2;
    vs[2 * k + 1] = f(pointer, xs[2 * k + 1]);
    raise(fmax, vs[2 * k + 1]);
  }
  double half = w / 2;
  double left = rule7(vs, half);
  double right = rule7(vs + 6, half);
  double fine = left + right;
  if (std::fabs(fine - c) <= 2 * *fmax * std::fabs(half) * eps) return fine;
  // A half panel this small against the abscissae's magnitude cannot be
  // refined meaningfully any further.
  if ((kMinWidthFactor / eps) * scale >= std::fabs(half)) return fine;
  if (depth >= kMaxDepth) return fine;
  double l = integral17(f, pointer, xs, vs, half, left, scale, eps, fmax, depth + 1);
  double r = integral17(f, pointer, xs + 6, vs + 6, half, right, scale, eps, fmax, depth + 1);
  return l + r;
}

// One Simpson step on a panel [x0, x2] of width w with midpoint x1, values
// f0, f1, f2 and coarse estimate c; whole is the width of the whole interval.
double integral13(Integrand f, void* pointer, double x0, double x1, double x2, double f0, double f1,
                  double f2, double w, double c, double whole, double eps, double* fmax,
                  int depth) {
  double xl = (x0 + x1) / 2;
  double fl = f(pointer, xl);
  raise(fmax, fl);
  double xr = (x1 + x2) / 2;
  double fr = f(pointer, xr);
  raise(fmax, fr);
  double half = w / 2;
  double left = simpson(f0, fl, f1, half);
  double right = simpson(f1, fr, f2, half);
  double fine = left + right;
  if (std::fabs(fine - c) <= 2 * *fmax * std::fabs(half) * eps) return fine;
  if (kResolution * std::fabs(whole) >= std::fabs(half)) return fine;
  if (depth >= kMaxDepth) return fine;
  double l =
      integral13(f, pointer, x0, xl, x1, f0, fl, f1, half, left, whole, eps, fmax, depth + 1);
  double r =
      integral13(f, pointer, x1, xr, x2, f1, fr, f2, half, right, whole, eps, fmax, depth + 1);
  return l + r;
}

inline ComplexValue crule7(const ComplexValue* g, double w) {
  double re[7], im[7];
  for (int k = 0; k < 7; ++k) {
    re[k] = g[k].re;
    im[k] = g[k].im;
  }
  return {rule7(re, w), rule7(im, w)};
}

inline void craise(double* fmax, ComplexValue v) {
  double m = mycabs(v.re, v.im);
  if (m > *fmax) *fmax = m;
}

double scale_of(double a, double h, double b) {
  double s = std::fabs(a);
  if (std::fabs(h) > s) s = std::fabs(h);
  if (std::fabs(b) > s) s = std::fabs(b);
  return s;
}

// The complex refinement step; cintegral7 hands it the whole interval first.
ComplexValue cintegral17(ComplexIntegrand f, void* pointer, const double* x, const ComplexValue* v,
                         double w, ComplexValue c, double scale, double eps, double* fmax,
                         int depth) {
  double xs[13];
  ComplexValue vs[13];
  for (int k = 0; k < 7; ++k) {
    xs[2 * k] = x[k];
    vs[2 * k] = v[k];
  }
  for (int k = 0; k < 6; ++k) {
    xs[2 * k + 1] = (x[k] + x[k + 1]) / 2;
    vs[2 * k + 1] = f(pointer, xs[2 * k + 1]);
    craise(fmax, vs[2 * k + 1]);
  }
  double half = w / 2;
  ComplexValue left = crule7(vs, half);
  ComplexValue right = crule7(vs + 6, half);
  ComplexValue fine = {left.re + right.re, left.im + right.im};
  if (mycabs(fine.re - c.re, fine.im - c.im) <= 2 * *fmax * std::fabs(half) * eps) return fine;
  if ((kMinWidthFactor / eps) * scale >= std::fabs(half)) return fine;
  if (depth >= kMaxDepth) return fine;
  ComplexValue l = cintegral17(f, pointer, xs, vs, half, left, scale, eps, fmax, depth + 1);
  ComplexValue r =
      cintegral17(f, pointer, xs + 6, vs + 6, half, right, scale, eps, fmax, depth + 1);
  return {l.re + r.re, l.im + r.im};
}

// ---------------------------------------------------------------------------
// Parallel quadrature: a tree of panels. The panels are accepted or split in
// one fixed order, the order in which a single thread evaluating the
// abscissae one at a time would meet them (depth first, left before right),
// with the running maximum |f| taken in that order too; that bookkeeping
// only consumes values. The workers evaluate ahead of it: every abscissa of
// a panel that exists, and the midpoints of the halves of a panel whose
// values are in and which will most likely be split (a guess made with
// every value seen so far; a wrong guess costs evaluations that are then
// dropped, never a different result). So the result is the same bit for bit
// on any number of workers. The workers take their abscissae themselves,
// under one mutex; a worker that finds nothing to do watches for new work
// for a while before it sleeps.

struct Panel {
  double w;       // signed width
  double left;    // seven-point rule on the left half
  double right;   // ... and on the right half
  double coarse;  // seven-point rule on the whole panel
  double x[13];
  double f[13];
  Panel* lchild;  // the halves, once the panel has been split
  Panel* rchild;
  Panel* parent;
  Panel* ahead[2];        // halves made ahead of the decision (workers only)
  uint8_t requested[13];  // the value has been taken into the sums
  uint8_t issued[13];     // the value is known or being evaluated
  uint8_t have[13];       // the value is known
  int32_t pending;        // values not yet taken into the sums
  int32_t missing;        // values not yet known
  uint8_t complete;       // every value of this panel and below has been taken
  uint8_t allissued;      // every value of this panel and below is issued
  uint8_t dropped;        // made ahead, then not needed
  int32_t depth;
};

// Panels of one call, released together at its end (a worker may still be
// evaluating an abscissa of a panel that was made ahead and dropped).
struct Arena {
  struct Block {
    Block* next;
    int used;
    Panel panels[128];
  };
  Block* head = nullptr;
  Panel* make() {
    if (head == nullptr || head->used == 128) {
      auto* b = static_cast<Block*>(std::malloc(sizeof(Block)));
      if (b == nullptr) outofmemory();
      b->next = head;
      b->used = 0;
      head = b;
    }
    Panel* p = &head->panels[head->used++];
    std::memset(static_cast<void*>(p), 0, sizeof(Panel));
    return p;
  }
  ~Arena() {
    while (head != nullptr) {
      Block* b = head->next;
      std::free(head);
      head = b;
    }
  }
};

struct Tree {
  Panel* root;
  Panel* pos;  // scan position of the sums
  double fmax;
  double eps;
  double whole;  // b - a
  long deep;     // panels created below kFullParallelDepth
  Arena* arena;
  // Shared with the workers (under the mutex of the call).
  Panel* issuepos = nullptr;  // scan position of the evaluations
  double seen = 0;            // largest |f| of every value known
  long deepahead = 0;         // panels below kFullParallelDepth made ahead
  Panel* next = nullptr;      // the value the sums wait for
  int nextindex = 0;
  bool fresh = false;  // panels have been added to the evaluation scan
  bool done = false;
};

// The two halves of a panel whose values are all known: widths, coarse
// estimates (the panel's left and right estimates), the known even values and
// the midpoints between them.
void make_halves(Tree& t, Panel* nd, double left, double right, Panel* kids[2]) {
  for (int side = 0; side < 2; ++side) {
    Panel* c = t.arena->make();
    c->w = nd->w / 2;
    c->coarse = side == 0 ? left : right;
    c->parent = nd;
    c->pending = 6;
    c->missing = 6;
    c->depth = nd->depth + 1;
    for (int k = 0; k < 7; ++k) {
      c->x[2 * k] = nd->x[6 * side + k];
      c->f[2 * k] = nd->f[6 * side + k];
      c->requested[2 * k] = 1;
      c->issued[2 * k] = 1;
      c->have[2 * k] = 1;
    }
    for (int k = 0; k < 6; ++k) c->x[2 * k + 1] = (c->x[2 * k] + c->x[2 * k + 2]) / 2;
    kids[side] = c;
  }
}

// New panels below nd: the scan of the evaluations must look there again.
void reopen_issue(Tree& t, Panel* nd) {
  for (Panel* q = nd; q != nullptr && q->allissued; q = q->parent) q->allissued = 0;
  t.issuepos = t.root;
  t.fresh = true;
}

// Halves made ahead of a panel that was accepted, with all made below them.
void drop(Panel* nd) {
  if (nd == nullptr) return;
  nd->dropped = 1;
  drop(nd->ahead[0]);
  drop(nd->ahead[1]);
}

// All values of a panel are in: accept it as a leaf or split it in two.
// Halves made ahead become its children; on acceptance they are dropped.
void finish_panel(Tree& t, Panel* nd) {
  if (nd == t.root) nd->coarse = rule7(nd->f, nd->w, 2);
  double half = nd->w / 2;
  nd->left = rule7(nd->f, half);
  nd->right = rule7(nd->f + 6, half);
  Panel* ahead0 = nd->ahead[0];
  Panel* ahead1 = nd->ahead[1];
  nd->ahead[0] = nd->ahead[1] = nullptr;
  bool accept = std::fabs(nd->left + nd->right - nd->coarse) <= t.fmax * t.eps * std::fabs(nd->w) ||
                std::fabs(nd->w) <= kResolution * std::fabs(t.whole) || nd->depth >= kMaxDepth;
  if (!accept && nd->depth >= kFullParallelDepth) {
    if (t.deep >= kDeepPanels)
      accept = true;
    else
      t.deep += 2;
  }
  if (accept) {
    if (ahead0 != nullptr) {
      drop(ahead0);
      drop(ahead1);
      t.issuepos = t.root;
    }
    return;
  }
  if (ahead0 != nullptr) {
    nd->lchild = ahead0;
    nd->rchild = ahead1;
  } else {
    Panel* kids[2];
    make_halves(t, nd, nd->left, nd->right, kids);
    nd->lchild = kids[0];
    nd->rchild = kids[1];
    reopen_issue(t, nd);
  }
  for (Panel* q = nd; q != nullptr && q->complete; q = q->parent) q->complete = 0;
  t.pos = t.root;
}

// The halves of a panel of the evaluation scan: its children once split,
// else those made ahead (if any).
inline Panel* issue_child(const Panel* n, int side) {
  if (n->lchild != nullptr) return side == 0 ? n->lchild : n->rchild;
  return n->ahead[side];
}

// Next value the sums take, depth first, left before right, from the scan
// position; nullptr when every value of the tree has been taken.
Panel* scan(Tree& t, int* index) {
  Panel* n = t.pos;
  for (;;) {
    while (!n->complete && n->lchild != nullptr) {
      if (!n->lchild->complete)
        n = n->lchild;
      else if (!n->rchild->complete)
        n = n->rchild;
      else
        n->complete = 1;
    }
    if (!n->complete) {
      for (int k = 0; k < 13; ++k) {
        if (!n->requested[k]) {
          n->requested[k] = 1;
          t.pos = n;
          *index = k;
          return n;
        }
      }
      n->complete = 1;
    }
    for (;;) {
      Panel* p = n->parent;
      if (p == nullptr) {
        t.pos = n;
        return nullptr;
      }
      if (!p->rchild->complete) {
        n = p->rchild;
        break;
      }
      p->complete = 1;
      n = p;
    }
  }
}

// Next abscissa to evaluate, in the same order over the panels that exist
// and those made ahead; nullptr when every one is issued.
Panel* scan_issue(Tree& t, int* index) {
  Panel* n = t.issuepos;
  for (;;) {
    for (Panel* l; !n->allissued && (l = issue_child(n, 0)) != nullptr;) {
      if (!l->allissued)
        n = l;
      else if (!issue_child(n, 1)->allissued)
        n = issue_child(n, 1);
      else
        n->allissued = 1;
    }
    if (!n->allissued) {
      for (int k = 0; k < 13; ++k) {
        if (!n->issued[k]) {
          t.issuepos = n;
          *index = k;
          return n;
        }
      }
      n->allissued = 1;
    }
    for (;;) {
      Panel* p = n->parent;
      if (p == nullptr) {
        t.issuepos = n;
        return nullptr;
      }
      Panel* r = issue_child(p, 1);
      if (r != n && !r->allissued) {
        n = r;
        break;
      }
      p->allissued = 1;
      n = p;
    }
  }
}

// Sums a subtree.
double integrate(const Panel* nd) {
  if (nd->lchild == nullptr) return nd->left + nd->right;
  return integrate(nd->lchild) + integrate(nd->rchild);
}

void record_value(Tree& t, Panel* nd, int index) {
  double m = std::fabs(nd->f[index]);
  if (m > t.fmax) t.fmax = m;
  if (--nd->pending == 0) finish_panel(t, nd);
}

// The same panels evaluated on the calling thread, in scan order.
void run_here(Tree& t, Integrand f, void* pointer) {
  int index;
  while (Panel* nd = scan(t, &index)) {
    nd->f[index] = f(pointer, nd->x[index]);
    record_value(t, nd, index);
  }
}

// ---- workers

constexpr const char* kModule = "obj/integral";

std::atomic<bool> running{false};

struct Job {
  Tree* tree;
  Integrand f;
  void* pointer;
  // The bookkeeping is held only for a few hundred nanoseconds at a time,
  // by every worker between two evaluations: a lock that sleeps when taken
  // would make the workers queue in the kernel for tens of microseconds. So
  // it is a flag watched until free (giving the processor up now and then,
  // in case its holder waits for one), on a cache line of its own.
  alignas(64) std::atomic<bool> held{false};
  alignas(64) std::atomic<uint64_t> version{0};  // raised whenever work appears or the sums end
  std::atomic<int> sleepers{0};
  bool wake = false;  // sleepers to be woken once the bookkeeping is released
  // Only for workers that found nothing to do for a while.
  pthread_mutex_t mutex;
  pthread_cond_t cond;
};

void lock(Job* j) {
  for (int k = 0;; ++k) {
    if (!j->held.load(std::memory_order_relaxed) &&
        !j->held.exchange(true, std::memory_order_acquire))
      return;
    relax();
    if ((k & 1023) == 1023) sched_yield();
  }
}
// Releases the bookkeeping, then wakes the sleepers that an announcement
// under it found, so that no worker waits for the bookkeeping while its
// holder is in a system call.
void unlock(Job* j) {
  const bool wake = j->wake;
  j->wake = false;
  j->held.store(false, std::memory_order_release);
  if (!wake) return;
  if (pthread_mutex_lock(&j->mutex) != 0) internal_error("muxpost mutex lock", kModule, 185);
  if (pthread_cond_broadcast(&j->cond) != 0) internal_error("muxpost signal", kModule, 189);
  if (pthread_mutex_unlock(&j->mutex) != 0) internal_error("muxpost mutex unlock", kModule, 191);
}

// A worker without an abscissa watches for new work for up to a
// millisecond before it sleeps: the frontier of the panels often narrows for
// a few evaluations, and a worker put to sleep then may take a millisecond
// and more to get its processor back when work appears, while the sums go
// on with one worker fewer (runs whose workers slept a dozen times were a
// third slower than those in which none slept). Now and then the processor
// is offered to another thread, in case one of the evaluating workers waits
// for it.
constexpr int64_t kIdleWatchNs = 1000000;

void watch(Job* j, uint64_t seen) {
  const int64_t start = now_ns();
  for (int k = 1; j->version.load(std::memory_order_acquire) == seen; ++k) {
    relax();
    if ((k & 255) == 0) {
      if (now_ns() - start >= kIdleWatchNs) return;
      if ((k & 1023) == 0) sched_yield();
    }
  }
}

// New work or the end, announced under the bookkeeping: waiting workers look
// again, sleepers once it is released. A sleeper counts itself before it
// looks at the version, and the version is raised before the sleepers are
// counted, so one of the two sees the other.
void announce(Job* j) {
  j->version.fetch_add(1);
  if (j->sleepers.load() != 0) j->wake = true;
}

// A panel whose values are all known, not yet decided by the sums: when it
// fails the acceptance test with the largest |f| seen so far, its halves are
// made now, so that their midpoints can be evaluated before the decision.
void guess_ahead(Job* j, Panel* nd) {
  Tree& t = *j->tree;
  if (nd->dropped || nd->lchild != nullptr || nd->ahead[0] != nullptr) return;
  const double coarse = nd == t.root ? rule7(nd->f, nd->w, 2) : nd->coarse;
  const double half = nd->w / 2;
  const double left = rule7(nd->f, half);
  const double right = rule7(nd->f + 6, half);
  if (std::fabs(left + right - coarse) <= t.seen * t.eps * std::fabs(nd->w)) return;
  if (std::fabs(nd->w) <= kResolution * std::fabs(t.whole) || nd->depth >= kMaxDepth) return;
  if (nd->depth >= kFullParallelDepth) {
    if (t.deep + t.deepahead >= kDeepPanels) return;
    t.deepahead += 2;
  }
  make_halves(t, nd, left, right, nd->ahead);
  reopen_issue(t, nd);
  announce(j);
}

// Takes into the sums every value that is known, in order, as far as it can.
void advance(Job* j) {
  Tree& t = *j->tree;
  for (;;) {
    if (t.next == nullptr) {
      t.next = scan(t, &t.nextindex);
      if (t.next == nullptr) {
        t.done = true;
        announce(j);
        return;
      }
    }
    if (!t.next->have[t.nextindex]) return;
    t.fresh = false;
    record_value(t, t.next, t.nextindex);
    t.next = nullptr;
    if (t.fresh) announce(j);
  }
}

// Worker body: take an abscissa (the one the sums wait for first), evaluate
// it outside the mutex, hand its value in; until the sums are done.
void runner(uint64_t arg) {
  Job* j = reinterpret_cast<Job*>(static_cast<uintptr_t>(arg));
  Tree& t = *j->tree;
  lock(j);
  while (!t.done) {
    int index = 0;
    Panel* nd = nullptr;
    if (t.next != nullptr && !t.next->issued[t.nextindex]) {
      nd = t.next;
      index = t.nextindex;
    } else {
      nd = scan_issue(t, &index);
    }
    if (nd != nullptr) {
      nd->issued[index] = 1;
      const double x = nd->x[index];
      unlock(j);
      const double v = j->f(j->pointer, x);
      lock(j);
      nd->f[index] = v;
      nd->have[index] = 1;
      const double m = std::fabs(v);
      if (m > t.seen) t.seen = m;
      if (--nd->missing == 0) guess_ahead(j, nd);
      advance(j);
      continue;
    }
    // Nothing to evaluate: watch for new work a while, then sleep.
    const uint64_t seen = j->version.load(std::memory_order_acquire);
    unlock(j);
    watch(j, seen);
    if (j->version.load(std::memory_order_acquire) == seen) {
      if (pthread_mutex_lock(&j->mutex) != 0) internal_error("muxwait mutex lock", kModule, 199);
      j->sleepers.fetch_add(1);
      while (j->version.load() == seen) {
        if (pthread_cond_wait(&j->cond, &j->mutex) != 0)
          internal_error("muxwait wait", kModule, 206);
      }
      j->sleepers.fetch_sub(1);
      if (pthread_mutex_unlock(&j->mutex) != 0)
        internal_error("muxwait mutex unlock", kModule, 211);
    }
    lock(j);
  }
  unlock(j);
}

void run_on_workers(Tree& t, Integrand f, void* pointer) {
  Job job;
  job.tree = &t;
  job.f = f;
  job.pointer = pointer;
  if (pthread_mutex_init(&job.mutex, nullptr) != 0)
    internal_error("Integral mutex init", kModule, 440);
  if (pthread_cond_init(&job.cond, nullptr) != 0)
    internal_error("Integral condition init", kModule, 442);
  t.root->missing = 13;
  t.issuepos = t.root;
  nspawn(runner, 0, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&job)));
  nwait();
  if (pthread_mutex_destroy(&job.mutex) != 0) internal_error("stopmutex destroy", kModule, 629);
  if (pthread_cond_destroy(&job.cond) != 0) internal_error("stopcondition destroy", kModule, 631);
}

}  // namespace

double integral7(Integrand f, void* pointer, double a, double b, double eps) {
  double h = b - a;
  if (std::fabs(h) < kSmallestNormal) return 0;
  double scale = scale_of(a, h, b);
  double x[7] = {a, a + h / 6, a + h / 3, (a + b) / 2, b - h / 3, b - h / 6, b};
  double v[7];
  double fmax = 0;
  for (int k = 0; k < 7; ++k) {
    v[k] = f(pointer, x[k]);
    raise(&fmax, v[k]);
  }
  double coarse = rule7(v, h);
  return integral17(f, pointer, x, v, h, coarse, scale, eps, &fmax, 0);
}

double integral3(Integrand f, void* pointer, double a, double b, double eps) {
  if (a == b) return 0;
  double m = (a + b) / 2;
  double fa = f(pointer, a);
  double fm = f(pointer, m);
  double fb = f(pointer, b);
  double fmax = 0;
  raise(&fmax, fa);
  raise(&fmax, fm);
  raise(&fmax, fb);
  double h = b - a;
  double coarse = simpson(fa, fm, fb, h);
  return integral13(f, pointer, a, m, b, fa, fm, fb, h, coarse, h, eps, &fmax, 0);
}

ComplexValue cintegral7(ComplexIntegrand f, void* pointer, double a, double b, double eps) {
  double h = b - a;
  if (std::fabs(h) < kSmallestNormal) return {0, 0};
  double scale = scale_of(a, h, b);
  double x[7] = {a, a + h / 6, a + h / 3, (a + b) / 2, b - h / 3, b - h / 6, b};
  ComplexValue v[7];
  double fmax = 0;
  for (int k = 0; k < 7; ++k) {
    v[k] = f(pointer, x[k]);
    craise(&fmax, v[k]);
  }
  ComplexValue coarse = crule7(v, h);
  return cintegral17(f, pointer, x, v, h, coarse, scale, eps, &fmax, 0);
}

double parallelintegral7(Integrand f, void* pointer, double a, double b, double eps) {
  double h = b - a;
  if (h == 0) return 0;
  Panel root{};
  root.w = h;
  double* x = root.x;
  x[0] = a;
  x[1] = a + h / 12;
  x[2] = a + h / 6;
  x[3] = a + h / 4;
  x[4] = a + h / 3;
  x[5] = a + 5 * h / 12;
  x[6] = (a + b) / 2;
  x[7] = b - 5 * h / 12;
  x[8] = b - h / 3;
  x[9] = b - h / 4;
  x[10] = b - h / 6;
  x[11] = b - h / 12;
  x[12] = b;
  root.pending = 13;
  Arena arena;
  Tree t{&root, &root, 0.0, eps, h, 0, &arena};

  // Only one call at a time runs on the workers, and a worker cannot wait
  // for a batch of its own pool: in those cases the calling thread
  // evaluates. So it does for a single worker, which would take the
  // abscissae one at a time in the same order.
  bool on_workers = nthreads >= 2 && threadid() < 0 && !running.exchange(true);
  if (on_workers) {
    run_on_workers(t, f, pointer);
    running.store(false);
  } else {
    run_here(t, f, pointer);
  }
  return integrate(&root);
}

}  // namespace core
