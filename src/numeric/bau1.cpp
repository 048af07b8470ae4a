#include "numeric/bau1.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/fatal.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "numeric/dreieck.hpp"

namespace numeric {
using namespace core;

namespace {

constexpr int kBatch = 201;

// Takes the next matrix row of the pass, the last (longest) first; -1 when
// the pass is over.
inline int64_t take_row(std::atomic<int64_t>& rows) {
  int64_t old = rows.load(std::memory_order_relaxed);
  while (!rows.compare_exchange_weak(old, old - 1, std::memory_order_relaxed)) {
  }
  return old - 1;
}

// Four dot products of buffer row i with rows j .. j+3 over cols columns,
// each summed as the single-precision dot product does (groups of three in
// single precision, each group added to its own double accumulator); the
// four run side by side only to keep the processor busy.
inline void dot4(const float* bi, const float* b0, const float* b1, const float* b2,
                 const float* b3, int cols, double* out) {
  double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  int c = 0;
  for (; c + 3 <= cols; c += 3) {
    float x0 = bi[c], x1 = bi[c + 1], x2 = bi[c + 2];
    float g0 = x0 * b0[c] + x1 * b0[c + 1] + x2 * b0[c + 2];
    float g1 = x0 * b1[c] + x1 * b1[c + 1] + x2 * b1[c + 2];
    float g2 = x0 * b2[c] + x1 * b2[c + 1] + x2 * b2[c + 2];
    float g3 = x0 * b3[c] + x1 * b3[c + 1] + x2 * b3[c + 2];
    s0 += g0;
    s1 += g1;
    s2 += g2;
    s3 += g3;
  }
  for (; c < cols; ++c) {
    float x = bi[c];
    float p0 = x * b0[c], p1 = x * b1[c], p2 = x * b2[c], p3 = x * b3[c];
    s0 += p0;
    s1 += p1;
    s2 += p2;
    s3 += p3;
  }
  out[0] = s0;
  out[1] = s1;
  out[2] = s2;
  out[3] = s3;
}

// One pass: every worker takes matrix rows until none is left and adds the
// buffered columns' products to them; the old element is added last.
void pass(NormalBuilder* ctx, int cols) {
  const float* buf = ctx->buffer;
  for (int64_t i; (i = take_row(ctx->rows)) >= 0;) {
    float* row = ctx->matrix + i * (i + 1) / 2;
    const float* bi = buf + i * kBatch;
    int64_t j = 0;
    double s[4];
    for (; j + 4 <= i + 1; j += 4) {
      const float* bj = buf + j * kBatch;
      dot4(bi, bj, bj + kBatch, bj + 2 * kBatch, bj + 3 * kBatch, cols, s);
      for (int k = 0; k < 4; ++k) row[j + k] = static_cast<float>(s[k] + row[j + k]);
    }
    for (; j <= i; ++j) row[j] = static_cast<float>(skapro(bi, buf + j * kBatch, cols) + row[j]);
  }
}

void bauparcall(uint64_t arg) {
  pass(reinterpret_cast<NormalBuilder*>(static_cast<uintptr_t>(arg)), kBatch);
}

void bauparcallclose(uint64_t arg) {
  auto* ctx = reinterpret_cast<NormalBuilder*>(static_cast<uintptr_t>(arg));
  pass(ctx, ctx->stored);
}

// A pass of fewer products than this (about 30 microseconds of work) is
// done on the calling thread: waking the workers would cost more than it
// saves. Each matrix element is summed the same way on any thread.
constexpr int64_t kInlineProducts = 1 << 17;

// Without workers, on a worker (which cannot wait for a batch of its own
// pool), or for a short pass, the calling thread does the pass itself.
void run_pass(NormalBuilder* ctx, WorkFunction fn, int cols) {
  ctx->rows.store(ctx->n);
  uint64_t arg = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(ctx));
  const int64_t products = static_cast<int64_t>(ctx->n) * (ctx->n + 1) / 2 * cols;
  if (nthreads < 2 || threadid() >= 0 || products < kInlineProducts) {
    fn(arg);
    return;
  }
  nspawn(fn, 0, arg);
  nwait();
}

}  // namespace

NormalBuilder* bauopen(float* A, int n) {
  auto* ctx = new (std::nothrow) NormalBuilder;
  if (ctx == nullptr) outofmemory();
  ctx->matrix = A;
  ctx->n = n;
  ctx->stored = 0;
  ctx->rows.store(0);
  ctx->buffer = nullptr;
  if (n != 0) {
    ctx->buffer = static_cast<float*>(std::calloc(static_cast<size_t>(n) * kBatch, sizeof(float)));
    if (ctx->buffer == nullptr) outofmemory();
  }
  return ctx;
}

void bau1(const float* g, NormalBuilder* ctx) {
  const int n = ctx->n;
  const int c = ctx->stored;
  float* buf = ctx->buffer;
  for (int i = 0; i < n; ++i) buf[static_cast<size_t>(i) * kBatch + c] = g[i];
  if (++ctx->stored == kBatch) {
    run_pass(ctx, bauparcall, kBatch);
    ctx->stored = 0;
  }
}

void bauclose(NormalBuilder* ctx) {
  if (ctx->stored != 0) run_pass(ctx, bauparcallclose, ctx->stored);
  std::free(ctx->buffer);
  delete ctx;
}

}  // namespace numeric
