#include "numeric/bau1.hpp"

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

// One pass: every worker takes matrix rows until none is left and adds the
// buffered vectors' products to them; the old element is added last. Each
// element (i, j) is the single-precision dot product of components i and j
// over the buffered vectors: products in groups of three summed in single
// precision, each group added to a double accumulator, the remaining
// products one by one. The buffer holds the vectors one after the other, so
// that the elements of a row are summed side by side, each in that order.
KALVO_VECTORISE void pass(NormalBuilder* ctx, int cols) {
  const float* buf = ctx->buffer;
  const int64_t n = ctx->n;
  thread_local std::vector<double> sums;
  if (sums.size() < static_cast<size_t>(n)) sums.resize(static_cast<size_t>(n));
  double* s = sums.data();
  for (int64_t i; (i = take_row(ctx->rows)) >= 0;) {
    float* row = ctx->matrix + i * (i + 1) / 2;
    for (int64_t j = 0; j <= i; ++j) s[j] = 0;
    int c = 0;
    for (; c + 3 <= cols; c += 3) {
      const float* v0 = buf + c * n;
      const float* v1 = v0 + n;
      const float* v2 = v1 + n;
      const float x0 = v0[i], x1 = v1[i], x2 = v2[i];
      for (int64_t j = 0; j <= i; ++j) {
        float g = x0 * v0[j] + x1 * v1[j] + x2 * v2[j];
        s[j] += g;
      }
    }
    for (; c < cols; ++c) {
      const float* v = buf + c * n;
      const float x = v[i];
      for (int64_t j = 0; j <= i; ++j) {
        float p = x * v[j];
        s[j] += p;
      }
    }
    for (int64_t j = 0; j <= i; ++j) row[j] = static_cast<float>(s[j] + row[j]);
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
  if (n > 0)
    std::memcpy(buf + static_cast<size_t>(c) * n, g, static_cast<size_t>(n) * sizeof(float));
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
