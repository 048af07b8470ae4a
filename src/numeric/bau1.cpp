#include "numeric/bau1.hpp"

#include <pthread.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "core/fatal.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "numeric/dreieck.hpp"
#include "numeric/packed.hpp"

namespace numeric {
using namespace core;

#if defined(__x86_64__)
bool bauwide = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}();
#else
bool bauwide = false;
#endif

namespace {

constexpr int kBatch = 201;
constexpr const char* kModule = "obj/bau1";

typedef float Floats4 __attribute__((vector_size(16)));
typedef double Doubles4 __attribute__((vector_size(32)));

// Columns of the matrix summed side by side: one cache line of each vector.
constexpr int kWidth = 16;

[[gnu::always_inline]] inline Floats4 load4(const float* p) {
  Floats4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The sums of the elements (i, j0) .. (i, j0 + 15) over the batch's cols
// vectors (starting at buf, n floats each). Each element (i, j) is the
// single-precision dot product of components i and j: products in groups of
// three summed in single precision, each group added to a double
// accumulator, the remaining products one by one. The buffer ends in at
// least kWidth spare floats, so that the sixteen columns may pass its end.
[[gnu::always_inline]] inline void sums16(const float* buf, int64_t n, int cols, int64_t i,
                                          int64_t j0, Doubles4 s[4]) {
  Doubles4 s0 = {0, 0, 0, 0}, s1 = s0, s2 = s0, s3 = s0;
  const float* v0 = buf + j0;
  int c = 0;
  for (; c + 3 <= cols; c += 3, v0 += 3 * n) {
    const float* v1 = v0 + n;
    const float* v2 = v1 + n;
    const float y0 = v0[i - j0], y1 = v1[i - j0], y2 = v2[i - j0];
    const Floats4 x0 = {y0, y0, y0, y0}, x1 = {y1, y1, y1, y1}, x2 = {y2, y2, y2, y2};
    Floats4 g0 = x0 * load4(v0) + x1 * load4(v1);
    Floats4 g1 = x0 * load4(v0 + 4) + x1 * load4(v1 + 4);
    Floats4 g2 = x0 * load4(v0 + 8) + x1 * load4(v1 + 8);
    Floats4 g3 = x0 * load4(v0 + 12) + x1 * load4(v1 + 12);
    g0 = g0 + x2 * load4(v2);
    g1 = g1 + x2 * load4(v2 + 4);
    g2 = g2 + x2 * load4(v2 + 8);
    g3 = g3 + x2 * load4(v2 + 12);
    s0 += __builtin_convertvector(g0, Doubles4);
    s1 += __builtin_convertvector(g1, Doubles4);
    s2 += __builtin_convertvector(g2, Doubles4);
    s3 += __builtin_convertvector(g3, Doubles4);
  }
  for (; c < cols; ++c, v0 += n) {
    const float y = v0[i - j0];
    const Floats4 x = {y, y, y, y};
    s0 += __builtin_convertvector(x * load4(v0), Doubles4);
    s1 += __builtin_convertvector(x * load4(v0 + 4), Doubles4);
    s2 += __builtin_convertvector(x * load4(v0 + 8), Doubles4);
    s3 += __builtin_convertvector(x * load4(v0 + 12), Doubles4);
  }
  s[0] = s0;
  s[1] = s1;
  s[2] = s2;
  s[3] = s3;
}

#if defined(__x86_64__)
// The same sums with eight floats to a register, for processors with AVX2
// (each product, group sum and double addition is the same operation, so
// the sums are the same bit for bit).
[[gnu::target("avx2"), gnu::always_inline]] inline void sums16_avx2(const float* buf, int64_t n,
                                                                    int cols, int64_t i, int64_t j0,
                                                                    Doubles4 s[4]) {
  __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
  const float* v0 = buf + j0;
  int c = 0;
  for (; c + 3 <= cols; c += 3, v0 += 3 * n) {
    const float* v1 = v0 + n;
    const float* v2 = v1 + n;
    const __m256 x0 = _mm256_broadcast_ss(v0 + (i - j0));
    const __m256 x1 = _mm256_broadcast_ss(v1 + (i - j0));
    const __m256 x2 = _mm256_broadcast_ss(v2 + (i - j0));
    __m256 g0 = _mm256_add_ps(_mm256_mul_ps(x0, _mm256_loadu_ps(v0)),
                              _mm256_mul_ps(x1, _mm256_loadu_ps(v1)));
    __m256 g1 = _mm256_add_ps(_mm256_mul_ps(x0, _mm256_loadu_ps(v0 + 8)),
                              _mm256_mul_ps(x1, _mm256_loadu_ps(v1 + 8)));
    g0 = _mm256_add_ps(g0, _mm256_mul_ps(x2, _mm256_loadu_ps(v2)));
    g1 = _mm256_add_ps(g1, _mm256_mul_ps(x2, _mm256_loadu_ps(v2 + 8)));
    s0 = _mm256_add_pd(s0, _mm256_cvtps_pd(_mm256_castps256_ps128(g0)));
    s1 = _mm256_add_pd(s1, _mm256_cvtps_pd(_mm256_extractf128_ps(g0, 1)));
    s2 = _mm256_add_pd(s2, _mm256_cvtps_pd(_mm256_castps256_ps128(g1)));
    s3 = _mm256_add_pd(s3, _mm256_cvtps_pd(_mm256_extractf128_ps(g1, 1)));
  }
  for (; c < cols; ++c, v0 += n) {
    const __m256 x = _mm256_broadcast_ss(v0 + (i - j0));
    const __m256 p0 = _mm256_mul_ps(x, _mm256_loadu_ps(v0));
    const __m256 p1 = _mm256_mul_ps(x, _mm256_loadu_ps(v0 + 8));
    s0 = _mm256_add_pd(s0, _mm256_cvtps_pd(_mm256_castps256_ps128(p0)));
    s1 = _mm256_add_pd(s1, _mm256_cvtps_pd(_mm256_extractf128_ps(p0, 1)));
    s2 = _mm256_add_pd(s2, _mm256_cvtps_pd(_mm256_castps256_ps128(p1)));
    s3 = _mm256_add_pd(s3, _mm256_cvtps_pd(_mm256_extractf128_ps(p1, 1)));
  }
  _mm256_storeu_pd(reinterpret_cast<double*>(&s[0]), s0);
  _mm256_storeu_pd(reinterpret_cast<double*>(&s[1]), s1);
  _mm256_storeu_pd(reinterpret_cast<double*>(&s[2]), s2);
  _mm256_storeu_pd(reinterpret_cast<double*>(&s[3]), s3);
}
#endif

// Adds the rows' sums to the row's elements j0 .. j0 + 15 that lie in the
// lower triangle: the old element is added last, after the whole sum, and
// the result rounded once.
[[gnu::always_inline]] inline void store16(const Doubles4 s[4], int64_t i, int64_t j0, float* row) {
  const int64_t count = std::min<int64_t>(kWidth, i + 1 - j0);
  double d[kWidth];
  std::memcpy(d, s, sizeof d);
  for (int64_t k = 0; k < count; ++k) row[j0 + k] = static_cast<float>(d[k] + row[j0 + k]);
}

// Adds the cols vectors at buf to the matrix rows first .. end-1, sixteen
// columns at a time: each column strip of the batch stays in the first-level
// cache while the rows of the block take it in turn.
void addblock_plain(const float* buf, int64_t n, int cols, int64_t first, int64_t end,
                    float* matrix) {
  for (int64_t j0 = 0; j0 < end; j0 += kWidth) {
    for (int64_t i = std::max(first, j0); i < end; ++i) {
      Doubles4 s[4];
      sums16(buf, n, cols, i, j0, s);
      store16(s, i, j0, matrix + tri(i));
    }
  }
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] void addblock_avx2(const float* buf, int64_t n, int cols, int64_t first,
                                           int64_t end, float* matrix) {
  for (int64_t j0 = 0; j0 < end; j0 += kWidth) {
    for (int64_t i = std::max(first, j0); i < end; ++i) {
      Doubles4 s[4];
      sums16_avx2(buf, n, cols, i, j0, s);
      store16(s, i, j0, matrix + tri(i));
    }
  }
}
#endif

void addblock(const float* buf, int64_t n, int cols, int64_t first, int64_t end, float* matrix) {
#if defined(__x86_64__)
  if (bauwide) return addblock_avx2(buf, n, cols, first, end, matrix);
#endif
  addblock_plain(buf, n, cols, first, end, matrix);
}

// Adds the cols vectors at buf to the matrix rows first .. end-1.
void addrows(const NormalBuilder* ctx, const float* buf, int cols, int64_t first, int64_t end) {
  addblock(buf, ctx->n, cols, first, end, ctx->matrix);
}

// A pass handed to the workers. Passes are numbered from 1; pass s uses
// slot s % 2 and the buffer the caller filled for it. take holds the pass
// number times 2^20 plus the number of blocks not yet taken, so that a
// worker late to a pass cannot take a block of the next one in the slot.
struct alignas(64) PassSlot {
  std::atomic<int64_t> take{0};
  const float* buffer = nullptr;
  int32_t cols = 0;
  alignas(64) std::atomic<int32_t> completed{0};  // blocks added
};
constexpr int64_t kTakeShift = 20;
constexpr int64_t kTakeMask = (int64_t{1} << kTakeShift) - 1;

// When its block b of a pass is added (the pass number); on a cache line of
// its own, written once per pass.
struct alignas(64) BlockDone {
  std::atomic<int64_t> pass{0};
};

// How long an idle worker watches for the next pass before it sleeps: about
// what the caller needs to store a batch of a large build.
constexpr int64_t kWatchNs = 50000;

}  // namespace

struct BuilderPasses {
  PassSlot slot[2];
  int32_t blocks = 0;           // blocks of matrix rows of about equal work
  int32_t* firstrow = nullptr;  // block b is rows firstrow[b] .. firstrow[b+1]-1
  BlockDone* done = nullptr;
  int64_t handed = 0;    // passes handed to the workers (the caller's count)
  bool running = false;  // the builder's batch is on the pool
  alignas(64) std::atomic<int64_t> published{0};  // the last pass handed over
  std::atomic<int> stop{0};
  alignas(64) std::atomic<int> sleepers{0};
  pthread_mutex_t mutex;
  pthread_cond_t cond;
};

namespace {

// Takes a block of pass s, if one is left: its index, or -1.
int32_t take_block(BuilderPasses& p, int64_t s) {
  PassSlot& slot = p.slot[s & 1];
  int64_t v = slot.take.load(std::memory_order_acquire);
  while ((v >> kTakeShift) == s && (v & kTakeMask) > 0) {
    if (slot.take.compare_exchange_weak(v, v - 1, std::memory_order_acq_rel,
                                        std::memory_order_acquire))
      return static_cast<int32_t>((v & kTakeMask) - 1);
  }
  return -1;
}

// Adds block b of pass s, once the same block of the pass before is added.
void add_block(NormalBuilder* ctx, int64_t s, int32_t b) {
  BuilderPasses& p = *ctx->passes;
  PassSlot& slot = p.slot[s & 1];
  while (p.done[b].pass.load(std::memory_order_acquire) < s - 1) relax();
  addrows(ctx, slot.buffer, slot.cols, p.firstrow[b], p.firstrow[b + 1]);
  p.done[b].pass.store(s, std::memory_order_release);
  slot.completed.fetch_add(1, std::memory_order_acq_rel);
}

// The caller helps with pass s until every block of it is added.
void complete(NormalBuilder* ctx, int64_t s) {
  if (s < 1) return;
  BuilderPasses& p = *ctx->passes;
  PassSlot& slot = p.slot[s & 1];
  while (slot.completed.load(std::memory_order_acquire) < p.blocks) {
    const int32_t b = take_block(p, s);
    if (b >= 0)
      add_block(ctx, s, b);
    else
      relax();
  }
}

void wake_sleepers(BuilderPasses& p) {
  if (p.sleepers.load() == 0) return;
  if (pthread_mutex_lock(&p.mutex) != 0) internal_error("wake mutex lock", kModule, 1);
  if (pthread_cond_broadcast(&p.cond) != 0) internal_error("wake signal", kModule, 2);
  if (pthread_mutex_unlock(&p.mutex) != 0) internal_error("wake mutex unlock", kModule, 3);
}

// Worker i >= 1: adds blocks of the oldest pass with blocks left, until the
// caller stops the batch; in between it watches for the next pass a while,
// then sleeps. Worker 0 is the caller finishing the batch (inside nwait):
// it adds what is left of the passes handed over and stops the others.
void builder_batch(uint64_t arg) {
  auto* ctx = reinterpret_cast<NormalBuilder*>(static_cast<uintptr_t>(arg));
  BuilderPasses& p = *ctx->passes;
  if (threadid() == 0) {
    complete(ctx, p.handed - 1);
    complete(ctx, p.handed);
    p.stop.store(1);
    wake_sleepers(p);
    p.running = false;
    return;
  }
  for (;;) {
    const int64_t last = p.published.load();
    bool took = false;
    for (int64_t s = last - 1; s <= last && !took; ++s) {
      if (s < 1) continue;
      const int32_t b = take_block(p, s);
      if (b >= 0) {
        add_block(ctx, s, b);
        took = true;
      }
    }
    if (took) continue;
    if (p.stop.load() != 0) return;
    const int64_t start = now_ns();
    bool moved = false;
    while (!moved && now_ns() - start < kWatchNs) {
      for (int k = 0; k < 64 && !moved; ++k) {
        moved = p.published.load(std::memory_order_acquire) != last ||
                p.stop.load(std::memory_order_acquire) != 0;
        relax();
      }
    }
    if (moved) continue;
    if (pthread_mutex_lock(&p.mutex) != 0) internal_error("idle mutex lock", kModule, 4);
    p.sleepers.fetch_add(1);
    while (p.published.load() == last && p.stop.load() == 0) {
      if (pthread_cond_wait(&p.cond, &p.mutex) != 0) internal_error("idle wait", kModule, 5);
    }
    p.sleepers.fetch_sub(1);
    if (pthread_mutex_unlock(&p.mutex) != 0) internal_error("idle mutex unlock", kModule, 6);
  }
}

// A pass of fewer products than this (about 30 microseconds of work) is
// done on the calling thread when no batch of the builder runs: waking the
// workers would cost more than it saves. Each matrix element is summed the
// same way on any thread.
constexpr int64_t kInlineProducts = 1 << 17;

// Adds the cols vectors of the buffer to the matrix: on the workers, or on
// the calling thread without workers, on a worker (which cannot hand a batch
// to its own pool), or for a short pass. A pass on the workers runs on while
// the caller fills the other buffer; the pass that read that buffer is
// completed first, the caller helping with it.
void run_pass(NormalBuilder* ctx, int cols) {
  BuilderPasses& p = *ctx->passes;
  const int64_t products = static_cast<int64_t>(ctx->n) * (ctx->n + 1) / 2 * cols;
  if (!p.running &&
      (nthreads < 2 || threadid() >= 0 || products < kInlineProducts || p.blocks < 2)) {
    addrows(ctx, ctx->buffer, cols, 0, ctx->n);
    return;
  }
  const int64_t s = ++p.handed;
  PassSlot& slot = p.slot[s & 1];
  slot.buffer = ctx->buffer;
  slot.cols = cols;
  slot.completed.store(0, std::memory_order_relaxed);
  slot.take.store((s << kTakeShift) | p.blocks, std::memory_order_release);
  p.published.store(s);
  if (p.running) {
    wake_sleepers(p);
  } else {
    p.stop.store(0);
    p.running = true;
    nspawn(builder_batch, 0, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(ctx)));
  }
  std::swap(ctx->buffer, ctx->spare);
  complete(ctx, s - 1);
}

// Splits the rows 0 .. n-1 into blocks, taken by the workers from the last
// (the longest rows) to the first. A row of i + 1 elements costs about
// i + 1 + 16 element additions, the 16 for the row's set-up. The blocks
// shrink towards the end of a pass: each holds about the work still left
// below it over twice the number of workers, but at least a sixteenth of a
// worker's share, so that the workers run out of blocks within a small
// block of one another. The split depends on the number of workers only;
// every element is summed the same way in any block.
void makeblocks(BuilderPasses& p, int n) {
  const int workers = nthreads > 1 ? nthreads : 1;
  auto work = [](double r) { return r * (r + 1) / 2 + 16 * r; };  // rows 0 .. r-1
  const double least = work(n) / (16.0 * workers);
  std::vector<int32_t> starts;  // first rows of the blocks, from the last block down
  for (int end = n; end > 0;) {
    const double below = work(end);
    const double want = std::max(below / (2.0 * workers), least);
    int first = end - 1;
    while (first > 0 && below - work(first) < want) --first;
    starts.push_back(first);
    end = first;
  }
  const int blocks = static_cast<int>(starts.size());
  p.firstrow = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * (blocks + 1)));
  p.done = new (std::nothrow) BlockDone[static_cast<size_t>(blocks)];
  if (p.firstrow == nullptr || p.done == nullptr) outofmemory();
  for (int b = 0; b < blocks; ++b) p.firstrow[b] = starts[static_cast<size_t>(blocks - 1 - b)];
  p.firstrow[blocks] = n;
  p.blocks = blocks;
}

}  // namespace

NormalBuilder* bauopen(float* A, int n) {
  auto* ctx = new (std::nothrow) NormalBuilder;
  auto* p = new (std::nothrow) BuilderPasses;
  if (ctx == nullptr || p == nullptr) outofmemory();
  ctx->matrix = A;
  ctx->n = n;
  ctx->stored = 0;
  ctx->buffer = nullptr;
  ctx->spare = nullptr;
  ctx->passes = p;
  if (pthread_mutex_init(&p->mutex, nullptr) != 0) internal_error("mutex init", kModule, 7);
  if (pthread_cond_init(&p->cond, nullptr) != 0) internal_error("condition init", kModule, 8);
  if (n > 0) {
    const size_t size = static_cast<size_t>(n) * kBatch + kWidth;
    ctx->buffer = static_cast<float*>(std::calloc(size, sizeof(float)));
    ctx->spare = static_cast<float*>(std::calloc(size, sizeof(float)));
    if (ctx->buffer == nullptr || ctx->spare == nullptr) outofmemory();
    makeblocks(*p, n);
  }
  return ctx;
}

void bau1(const float* g, NormalBuilder* ctx) {
  const int n = ctx->n;
  if (n <= 0) return;
  std::memcpy(ctx->buffer + static_cast<size_t>(ctx->stored) * n, g,
              static_cast<size_t>(n) * sizeof(float));
  if (++ctx->stored == kBatch) {
    run_pass(ctx, kBatch);
    ctx->stored = 0;
  }
}

void bauclose(NormalBuilder* ctx) {
  BuilderPasses* p = ctx->passes;
  if (ctx->stored != 0) run_pass(ctx, ctx->stored);
  if (p->running) nwait();
  if (pthread_mutex_destroy(&p->mutex) != 0) internal_error("mutex destroy", kModule, 9);
  if (pthread_cond_destroy(&p->cond) != 0) internal_error("condition destroy", kModule, 10);
  std::free(ctx->buffer);
  std::free(ctx->spare);
  std::free(p->firstrow);
  delete[] p->done;
  delete p;
  delete ctx;
}

}  // namespace numeric
