#include "core/integral.hpp"

#include <pthread.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

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
// Parallel quadrature: a tree of panels whose abscissae are handed out one at
// a time to the workers. The dispatcher (the calling thread) alone creates,
// splits, scans and sums the panels; a worker writes exactly one value of a
// panel and then its slot's state.

struct Panel {
  double w;       // signed width
  double left;    // seven-point rule on the left half
  double right;   // ... and on the right half
  double coarse;  // seven-point rule on the whole panel
  double x[13];
  double f[13];
  Panel* lchild;
  Panel* rchild;
  Panel* parent;
  uint8_t requested[13];  // the evaluation of this abscissa has been handed out
  int32_t pending;        // evaluations not yet returned
  uint8_t complete;       // everything of this panel and below has been handed out
  int32_t depth;
};

// A worker's slot: the abscissa handed to it, its state, and the event the
// dispatcher wakes it with. The slots report back through one event of the
// dispatcher's. Both hand-offs watch briefly before they sleep (see Event),
// so that a short integrand does not pay a system call per abscissa.
struct Slot {
  Panel* node;
  int32_t point;
  int32_t worker;
  std::atomic<int32_t> state;  // 0 idle, 1 working, 2 result ready
  Integrand f;
  void* pointer;
  uint8_t stop;
  Event event;
};

Slot* param = nullptr;
Event resultready;
std::atomic<bool> running{false};

// Worker body: evaluate the abscissa the slot names, report it, wait again.
void runner(uint64_t arg) {
  Slot* s = reinterpret_cast<Slot*>(static_cast<uintptr_t>(arg));
  for (;;) {
    Ewait(&s->event);
    if (s->stop) return;
    Panel* nd = s->node;
    nd->f[s->point] = s->f(s->pointer, nd->x[s->point]);
    s->state.store(2, std::memory_order_release);
    Esignal(&resultready);
  }
}

struct Tree {
  Panel* root;
  Panel* pos;  // scan position
  double fmax;
  double eps;
  double whole;  // b - a
  long deep;     // panels created below kFullParallelDepth
};

// Next abscissa to hand out, depth first, left before right, from the scan
// position; nullptr when every abscissa of the tree has been handed out.
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

// All values of a panel are in: accept it as a leaf or split it in two.
void finish_panel(Tree& t, Panel* nd) {
  if (nd == t.root) nd->coarse = rule7(nd->f, nd->w, 2);
  double half = nd->w / 2;
  nd->left = rule7(nd->f, half);
  nd->right = rule7(nd->f + 6, half);
  if (std::fabs(nd->left + nd->right - nd->coarse) <= t.fmax * t.eps * std::fabs(nd->w)) return;
  if (std::fabs(nd->w) <= kResolution * std::fabs(t.whole)) return;
  if (nd->depth >= kMaxDepth) return;
  if (nd->depth >= kFullParallelDepth) {
    if (t.deep >= kDeepPanels) return;
    t.deep += 2;
  }
  Panel* kids[2];
  for (int side = 0; side < 2; ++side) {
    Panel* c = static_cast<Panel*>(std::calloc(1, sizeof(Panel)));
    if (c == nullptr) outofmemory();
    c->w = half;
    c->coarse = side == 0 ? nd->left : nd->right;
    c->parent = nd;
    c->pending = 6;
    c->depth = nd->depth + 1;
    for (int k = 0; k < 7; ++k) {
      c->x[2 * k] = nd->x[6 * side + k];
      c->f[2 * k] = nd->f[6 * side + k];
      c->requested[2 * k] = 1;
    }
    for (int k = 0; k < 6; ++k) c->x[2 * k + 1] = (c->x[2 * k] + c->x[2 * k + 2]) / 2;
    kids[side] = c;
  }
  nd->lchild = kids[0];
  nd->rchild = kids[1];
  for (Panel* q = nd; q != nullptr && q->complete; q = q->parent) q->complete = 0;
  t.pos = t.root;
}

// Sums a subtree and releases every panel below the given one.
double integrate(Panel* nd) {
  if (nd->lchild == nullptr) return nd->left + nd->right;
  double l = integrate(nd->lchild);
  std::free(nd->lchild);
  double r = integrate(nd->rchild);
  std::free(nd->rchild);
  return l + r;
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

void run_on_workers(Tree& t, Integrand f, void* pointer) {
  const int nt = nthreads;
  Slot* slots = new (std::nothrow) Slot[static_cast<size_t>(nt)]();
  if (slots == nullptr) outofmemory();
  for (int i = 0; i < nt; ++i) {
    Slot& s = slots[i];
    s.worker = i;
    s.f = f;
    s.pointer = pointer;
    Einit(&s.event);
  }
  param = slots;
  Einit(&resultready);

  nspawn(runner, sizeof(Slot), static_cast<uint64_t>(reinterpret_cast<uintptr_t>(slots)));

  int busy = 0;
  for (;;) {
    while (busy < nt) {
      int index;
      Panel* nd = scan(t, &index);
      if (nd == nullptr) break;
      int i = 0;
      while (slots[i].state.load(std::memory_order_relaxed) != 0) ++i;
      slots[i].node = nd;
      slots[i].point = index;
      slots[i].state.store(1, std::memory_order_relaxed);
      ++busy;
      Esignal(&slots[i].event);
    }
    // Nothing in flight and nothing left to hand out: the root is complete.
    if (busy == 0) break;

    // Signals of several slots may have collapsed into one: the slots are
    // looked at again before every wait.
    int ready = -1;
    for (;;) {
      for (int i = 0; i < nt; ++i) {
        if (slots[i].state.load(std::memory_order_acquire) == 2) {
          ready = i;
          break;
        }
      }
      if (ready >= 0) break;
      Ewait(&resultready);
    }
    slots[ready].state.store(0, std::memory_order_relaxed);
    --busy;
    record_value(t, slots[ready].node, slots[ready].point);
  }

  for (int i = 0; i < nt; ++i) {
    slots[i].stop = 1;
    Esignal(&slots[i].event);
  }
  nwait();
  Edestroy(&resultready);
  for (int i = 0; i < nt; ++i) Edestroy(&slots[i].event);
  delete[] slots;
  param = nullptr;
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
  Tree t{&root, &root, 0.0, eps, h, 0};

  // The module's globals hold one call's state, and a worker cannot wait for
  // a batch of its own pool: in those cases the calling thread evaluates. So
  // it does for a single worker, which would take the abscissae one at a
  // time in the same order.
  bool on_workers = nthreads >= 2 && threadid() < 0 && !running.exchange(true);
  if (on_workers) {
    run_on_workers(t, f, pointer);
    running.store(false);
  } else {
    run_here(t, f, pointer);
  }

  if (root.lchild == nullptr) return root.left + root.right;
  double l = integrate(root.lchild);
  std::free(root.lchild);
  double r = integrate(root.rchild);
  std::free(root.rchild);
  return l + r;
}

}  // namespace core
