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
#include <mutex>
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
// vectors (starting at buf, n floats apart). Each element (i, j) is the
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
// the sums are the same bit for bit). With kAhead the vectors' next strip is
// fetched into the cache meanwhile, for the strip's other rows to find it
// there: a worker's blocks read a pass's batch from memory.
template <bool kAhead>
[[gnu::target("avx2"), gnu::always_inline]] inline void sums16_avx2(const float* buf, int64_t n,
                                                                    int cols, int64_t i, int64_t j0,
                                                                    Doubles4 s[4]) {
  __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
  const float* v0 = buf + j0;
  int c = 0;
  for (; c + 3 <= cols; c += 3, v0 += 3 * n) {
    const float* v1 = v0 + n;
    const float* v2 = v1 + n;
    if constexpr (kAhead) {
      _mm_prefetch(reinterpret_cast<const char*>(v0 + kWidth), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(v1 + kWidth), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(v2 + kWidth), _MM_HINT_T0);
    }
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
// A strip of at most this many rows fetches the next strip while its first
// row is summed: in a longer one the next strip would leave the cache before
// its turn.
constexpr int64_t kAheadRows = 64;

[[gnu::target("avx2")]] void addblock_avx2(const float* buf, int64_t n, int cols, int64_t first,
                                           int64_t end, float* matrix) {
  for (int64_t j0 = 0; j0 < end; j0 += kWidth) {
    const int64_t top = std::max(first, j0);
    for (int64_t i = top; i < end; ++i) {
      Doubles4 s[4];
      if (i == top && j0 + kWidth < end && end - top <= kAheadRows)
        sums16_avx2<true>(buf, n, cols, i, j0, s);
      else
        sums16_avx2<false>(buf, n, cols, i, j0, s);
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
  addblock(buf, ctx->ld, cols, first, end, ctx->matrix);
}

// The matrix rows are split into one range per worker of the pool, of about
// equal work, and each range into blocks that shrink from its top down. A
// worker adds the blocks of its own range from the top, so that its rows of
// the matrix and the columns of the batch it reads stay in its caches from
// one pass to the next and no other worker competes for its counter; a
// worker without blocks of its own left, and the caller helping with a
// pass, take blocks of the other ranges from their bottom, the smallest
// first. A range's take word holds the pass number (its low 24 bits) and
// the blocks lo .. hi-1 not yet taken, so that a worker late to a pass
// cannot take a block of the next pass in the slot.
struct alignas(64) RangeSlot {
  std::atomic<int64_t> take{0};
  std::atomic<int32_t> left{0};  // blocks of the range not yet added
};
constexpr int kBlockBits = 20;
constexpr int64_t kBlockMask = (int64_t{1} << kBlockBits) - 1;
constexpr int64_t kPassMask = (int64_t{1} << 24) - 1;

int64_t takeword(int64_t s, int64_t lo, int64_t hi) {
  return (s & kPassMask) << (2 * kBlockBits) | lo << kBlockBits | hi;
}

// A pass handed to the workers. Passes are numbered from 1; pass s uses
// slot s % 2 and the buffer the caller filled for it.
struct alignas(64) PassSlot {
  const float* buffer = nullptr;
  int32_t cols = 0;
  RangeSlot* ranges = nullptr;
  alignas(64) std::atomic<int32_t> completed{0};  // ranges whose blocks are all added
};

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
  int32_t blocks = 0;             // blocks of matrix rows
  int32_t ranges = 0;             // one per worker of the pool
  int32_t filled = 0;             // ranges of at least one block
  int32_t* firstrow = nullptr;    // block b is rows firstrow[b] .. firstrow[b+1]-1
  int32_t* firstblock = nullptr;  // range r is blocks firstblock[r] .. firstblock[r+1]-1
  int32_t* rangeof = nullptr;     // the range of block b
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

bool inpass(int64_t word, int64_t s) { return (word >> (2 * kBlockBits)) == (s & kPassMask); }

// Takes the top block (the owner's end) or the bottom block of range r in
// pass s, if one is left: its index, or -1.
int32_t take_block(BuilderPasses& p, int64_t s, int r, bool top) {
  std::atomic<int64_t>& take = p.slot[s & 1].ranges[r].take;
  int64_t v = take.load(std::memory_order_acquire);
  while (inpass(v, s)) {
    const int64_t lo = (v >> kBlockBits) & kBlockMask, hi = v & kBlockMask;
    if (lo >= hi) break;
    const int64_t next = top ? v - 1 : v + (int64_t{1} << kBlockBits);
    if (take.compare_exchange_weak(v, next, std::memory_order_acq_rel, std::memory_order_acquire))
      return static_cast<int32_t>(top ? hi - 1 : lo);
  }
  return -1;
}

// Takes a block of pass s from another range than own (any, for own < 0).
int32_t take_other(BuilderPasses& p, int64_t s, int own) {
  for (int k = 1; k <= p.ranges; ++k) {
    const int r = (own + k) % p.ranges;
    if (r == own) continue;
    const int32_t b = take_block(p, s, r, false);
    if (b >= 0) return b;
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
  if (slot.ranges[p.rangeof[b]].left.fetch_sub(1, std::memory_order_acq_rel) == 1)
    slot.completed.fetch_add(1, std::memory_order_acq_rel);
}

// The caller helps with pass s until every block of it is added.
void complete(NormalBuilder* ctx, int64_t s) {
  if (s < 1) return;
  BuilderPasses& p = *ctx->passes;
  PassSlot& slot = p.slot[s & 1];
  // Blocks are only ever taken: once none is left to take, the caller only
  // watches for the last ones to be added.
  bool more = true;
  while (slot.completed.load(std::memory_order_acquire) < p.filled) {
    const int32_t b = more ? take_other(p, s, -1) : -1;
    if (b >= 0)
      add_block(ctx, s, b);
    else {
      more = false;
      relax();
    }
  }
}

void wake_sleepers(BuilderPasses& p) {
  if (p.sleepers.load() == 0) return;
  if (pthread_mutex_lock(&p.mutex) != 0) internal_error("wake mutex lock", kModule, 1);
  if (pthread_cond_broadcast(&p.cond) != 0) internal_error("wake signal", kModule, 2);
  if (pthread_mutex_unlock(&p.mutex) != 0) internal_error("wake mutex unlock", kModule, 3);
}

// Worker i >= 1: adds blocks of the oldest pass with blocks left, its own
// range's first, until the caller stops the batch; in between it watches
// for the next pass a while, then sleeps. Worker 0 is the caller finishing
// the batch (inside nwait): it adds what is left of the passes handed over
// and stops the others.
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
  const int own = threadid() - 1 < p.ranges ? threadid() - 1 : -1;
  int64_t taken = 0;  // the passes up to this one have no block left to take
  for (;;) {
    const int64_t last = p.published.load();
    int64_t s = std::max<int64_t>({last - 1, taken + 1, 1});
    int32_t b = -1;
    for (; s <= last; ++s) {
      if (own >= 0) b = take_block(p, s, own, true);
      if (b < 0) b = take_other(p, s, own);
      if (b >= 0) break;
      taken = s;
    }
    if (b >= 0) {
      add_block(ctx, s, b);
      continue;
    }
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
#if defined(__x86_64__)
  _mm_sfence();  // the batch's streaming stores reach memory before the pass is handed over
#endif
  const int64_t s = ++p.handed;
  PassSlot& slot = p.slot[s & 1];
  slot.buffer = ctx->buffer;
  slot.cols = cols;
  slot.completed.store(0, std::memory_order_relaxed);
  for (int r = 0; r < p.ranges; ++r) {
    RangeSlot& range = slot.ranges[r];
    range.left.store(p.firstblock[r + 1] - p.firstblock[r], std::memory_order_relaxed);
    range.take.store(takeword(s, p.firstblock[r], p.firstblock[r + 1]), std::memory_order_release);
  }
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

// Splits the rows 0 .. n-1 into one range per worker of the pool and each
// range into blocks. A row of i + 1 elements costs about i + 1 + 16 element
// additions, the 16 for the row's set-up; the ranges are of about equal
// work. Within a range, from its top down, each block holds half the work
// still left in it, but at least a twelfth of the range, so that the
// blocks taken last, by the owner or by others, are small and the workers
// run out of blocks within a small block of one another. The split depends
// on the number of workers only; every element is summed the same way in
// any block.
void makeblocks(BuilderPasses& p, int n) {
  const int ranges = nthreads > 2 ? nthreads - 1 : 1;
  auto work = [](double r) { return r * (r + 1) / 2 + 16 * r; };  // rows 0 .. r-1
  std::vector<int32_t> starts;                                    // first rows of the blocks
  p.firstblock = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * (ranges + 1)));
  if (p.firstblock == nullptr) outofmemory();
  p.firstblock[0] = 0;
  p.filled = 0;
  int bottom = 0;
  for (int r = 0; r < ranges; ++r) {
    int top = n;
    if (r + 1 < ranges) {
      const double target = work(n) * (r + 1) / ranges;
      top = bottom;
      while (top < n && work(top) < target) ++top;
    }
    const double least = (work(top) - work(bottom)) / 12.0;
    std::vector<int32_t> down;  // the range's blocks from its top down
    for (int end = top; end > bottom;) {
      const double want = std::max((work(end) - work(bottom)) / 2.0, least);
      int first = end - 1;
      while (first > bottom && work(end) - work(first) < want) --first;
      down.push_back(first);
      end = first;
    }
    starts.insert(starts.end(), down.rbegin(), down.rend());
    p.firstblock[r + 1] = static_cast<int32_t>(starts.size());
    if (!down.empty()) ++p.filled;
    bottom = top;
  }
  const int blocks = static_cast<int>(starts.size());
  p.firstrow = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * (blocks + 1)));
  p.rangeof = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * blocks));
  p.done = new (std::nothrow) BlockDone[static_cast<size_t>(blocks)];
  for (PassSlot& slot : p.slot) slot.ranges = new (std::nothrow) RangeSlot[ranges];
  if (p.firstrow == nullptr || p.rangeof == nullptr || p.done == nullptr ||
      p.slot[0].ranges == nullptr || p.slot[1].ranges == nullptr)
    outofmemory();
  for (int b = 0; b < blocks; ++b) p.firstrow[b] = starts[static_cast<size_t>(b)];
  p.firstrow[blocks] = n;
  for (int r = 0; r < ranges; ++r)
    for (int b = p.firstblock[r]; b < p.firstblock[r + 1]; ++b) p.rangeof[b] = r;
  p.blocks = blocks;
  p.ranges = ranges;
}

// Copies a vector of n floats into the buffer, padded with zeros to ld
// floats, with streaming stores where the processor has them. Every worker
// reads the batch next: from the caller's cache each line would be handed to
// the workers one after another, and writing over the batch before would
// take the workers' copies of it back line by line.
void copy_streaming(float* dst, const float* g, int n, int ld) {
#if defined(__x86_64__)
  int k = 0;
  for (; k + 4 <= n; k += 4) _mm_stream_ps(dst + k, _mm_loadu_ps(g + k));
  if (k < n) {
    alignas(16) float tail[4] = {0, 0, 0, 0};
    for (int q = 0; k + q < n; ++q) tail[q] = g[k + q];
    _mm_stream_ps(dst + k, _mm_load_ps(tail));
    k += 4;
  }
  for (; k < ld; k += 4) _mm_stream_ps(dst + k, _mm_setzero_ps());
#else
  std::memcpy(dst, g, static_cast<size_t>(n) * sizeof(float));
  (void)ld;
#endif
}

// The batch buffers of the last build, kept for the next one: each 4 KB
// page of a new buffer costs a page fault at its first use, on a virtual
// machine some microseconds each, a large part of a build of a few thousand
// rows. A build may run on a worker of the pool beside the owner's.
struct KeptBuffers {
  std::mutex mutex;
  float* buffer[2] = {nullptr, nullptr};
  size_t bytes = 0;  // of each
  int32_t ld = 0;    // of the layout they were last used in
};
KeptBuffers kept;

// The bytes of a batch buffer of the context's layout: the sixteen columns
// of the last strip may pass the end of the last vector.
size_t buffer_bytes(const NormalBuilder* ctx) {
  return ((static_cast<size_t>(ctx->ld) * kBatch + kWidth) * sizeof(float) + 63) / 64 * 64;
}

// The two buffers of a build, their padding zero: the kept ones when they
// are large enough (already zero where the layout is the same), else new.
void take_buffers(NormalBuilder* ctx) {
  const size_t bytes = buffer_bytes(ctx);
  bool zero = false;
  {
    std::lock_guard<std::mutex> lock(kept.mutex);
    if (kept.buffer[0] != nullptr && kept.bytes >= bytes) {
      ctx->buffer = kept.buffer[0];
      ctx->spare = kept.buffer[1];
      zero = kept.ld == ctx->ld;
      kept.buffer[0] = kept.buffer[1] = nullptr;
      kept.bytes = 0;
    }
  }
  if (ctx->buffer == nullptr) {
    ctx->buffer = static_cast<float*>(std::aligned_alloc(64, bytes));
    ctx->spare = static_cast<float*>(std::aligned_alloc(64, bytes));
    if (ctx->buffer == nullptr || ctx->spare == nullptr) outofmemory();
  }
  if (!zero) {
    std::memset(ctx->buffer, 0, bytes);
    std::memset(ctx->spare, 0, bytes);
  }
}

// Keeps the build's buffers for the next one, in place of smaller kept ones.
void keep_buffers(NormalBuilder* ctx) {
  if (ctx->buffer == nullptr) return;
  const size_t bytes = buffer_bytes(ctx);
  float* unused[2] = {ctx->buffer, ctx->spare};
  {
    std::lock_guard<std::mutex> lock(kept.mutex);
    if (bytes > kept.bytes) {  // 0 when none is kept
      std::swap(unused[0], kept.buffer[0]);
      std::swap(unused[1], kept.buffer[1]);
      kept.bytes = bytes;
      kept.ld = ctx->ld;
    }
  }
  std::free(unused[0]);
  std::free(unused[1]);
}

}  // namespace

NormalBuilder* bauopen(float* A, int n) {
  auto* ctx = new (std::nothrow) NormalBuilder;
  auto* p = new (std::nothrow) BuilderPasses;
  if (ctx == nullptr || p == nullptr) outofmemory();
  ctx->matrix = A;
  ctx->n = n;
  // Each vector on whole cache lines for the workers, which copy nothing
  // alone; on the calling thread alone the vectors follow one another, so
  // that the batch of a small order stays in the first-level cache.
  ctx->ld = nthreads < 2 ? std::max(n, 0) : (std::max(n, 0) + kWidth - 1) / kWidth * kWidth;
  ctx->stored = 0;
  ctx->buffer = nullptr;
  ctx->spare = nullptr;
  ctx->passes = p;
  if (pthread_mutex_init(&p->mutex, nullptr) != 0) internal_error("mutex init", kModule, 7);
  if (pthread_cond_init(&p->cond, nullptr) != 0) internal_error("condition init", kModule, 8);
  if (n > 0) {
    take_buffers(ctx);
    makeblocks(*p, n);
  }
  return ctx;
}

void bau1(const float* g, NormalBuilder* ctx) {
  const int n = ctx->n;
  if (n <= 0) return;
  float* dst = ctx->buffer + static_cast<size_t>(ctx->stored) * ctx->ld;
  if (ctx->passes->running && ctx->ld % kWidth == 0)
    copy_streaming(dst, g, n, ctx->ld);
  else
    std::memcpy(dst, g, static_cast<size_t>(n) * sizeof(float));
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
  keep_buffers(ctx);
  std::free(p->firstrow);
  std::free(p->firstblock);
  std::free(p->rangeof);
  delete[] p->done;
  delete[] p->slot[0].ranges;
  delete[] p->slot[1].ranges;
  delete p;
  delete ctx;
}

}  // namespace numeric
