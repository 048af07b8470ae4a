#include "numeric/bau1.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
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

// Adds one batch of cols vectors (starting at buf) to matrix row i. Each
// element (i, j) is the single-precision dot product of components i and j
// over the batch's vectors: products in groups of three summed in single
// precision, each group added to a double accumulator, the remaining
// products one by one; the old element is added last. The buffer holds the
// vectors one after the other, so that the elements of a row are summed side
// by side, each in that order.
KALVO_VECTORISE void addrow(const float* buf, int64_t n, int cols, int64_t i, float* row,
                            double* s) {
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

// One pass: every worker takes blocks of rows until none is left and adds
// the buffered vectors to them: a full batch, or fewer when the build closes
// (the loop over batches would add several buffered batches one after the
// other).
void pass(NormalBuilder* ctx) {
  const float* buf = ctx->passbuffer;
  const int64_t n = ctx->n;
  const int total = ctx->passcols;
  thread_local std::vector<double> sums;
  if (sums.size() < static_cast<size_t>(n)) sums.resize(static_cast<size_t>(n));
  double* s = sums.data();
  for (int64_t b; (b = nexttask(ctx->rows)) >= 0;) {
    const int64_t first = ctx->firstrow[b], end = ctx->firstrow[b + 1];
    for (int c0 = 0; c0 < total; c0 += kBatch) {
      const int cols = total - c0 < kBatch ? total - c0 : kBatch;
      const float* batch = buf + static_cast<int64_t>(c0) * n;
      for (int64_t i = first; i < end; ++i) addrow(batch, n, cols, i, ctx->matrix + tri(i), s);
    }
  }
}

void bauparcall(uint64_t arg) {
  pass(reinterpret_cast<NormalBuilder*>(static_cast<uintptr_t>(arg)));
}

// A pass of fewer products than this (about 30 microseconds of work) is
// done on the calling thread: waking the workers would cost more than it
// saves. Each matrix element is summed the same way on any thread.
constexpr int64_t kInlineProducts = 1 << 17;

// Waits for the pass on the workers, if one is running.
void finish_pass(NormalBuilder* ctx) {
  if (!ctx->running) return;
  ctx->running = false;
  nwait();
}

// Adds the cols buffered vectors to the matrix. Without workers, on a worker
// (which cannot wait for a batch of its own pool), or for a short pass, the
// calling thread does the pass itself. Otherwise the pass goes to the
// workers and, unless wait is set, runs on while the caller stores the next
// batch into the other buffer; the pass before is waited for first, so
// every element still takes its batches one after the other.
void run_pass(NormalBuilder* ctx, int cols, bool wait) {
  finish_pass(ctx);
  ctx->passcols = cols;
  ctx->passbuffer = ctx->buffer;
  ctx->rows.store(ctx->blocks);
  uint64_t arg = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(ctx));
  const int64_t products = static_cast<int64_t>(ctx->n) * (ctx->n + 1) / 2 * cols;
  if (nthreads < 2 || threadid() >= 0 || products < kInlineProducts) {
    bauparcall(arg);
    return;
  }
  nspawn(bauparcall, 0, arg);
  if (wait) {
    nwait();
    return;
  }
  ctx->running = true;
  std::swap(ctx->buffer, ctx->spare);
}

// Splits the rows 0 .. n-1 into blocks, taken by the workers from the last
// (the longest rows) to the first. A row of i + 1 elements costs about
// i + 1 + 16 element additions, the 16 for the row's set-up. The blocks
// shrink towards the end of a pass: each holds about the work still left
// below it over twice the number of workers, but at least a sixteenth of a
// worker's share, so that the workers run out of blocks within a small
// block of one another. The split depends on the number of workers only;
// every element is summed the same way in any block.
void makeblocks(NormalBuilder* ctx) {
  const int n = ctx->n;
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
  ctx->firstrow = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * (blocks + 1)));
  if (ctx->firstrow == nullptr) outofmemory();
  for (int b = 0; b < blocks; ++b) ctx->firstrow[b] = starts[static_cast<size_t>(blocks - 1 - b)];
  ctx->firstrow[blocks] = n;
  ctx->blocks = blocks;
}

}  // namespace

NormalBuilder* bauopen(float* A, int n) {
  auto* ctx = new (std::nothrow) NormalBuilder;
  if (ctx == nullptr) outofmemory();
  ctx->matrix = A;
  ctx->n = n;
  ctx->stored = 0;
  ctx->passcols = 0;
  ctx->rows.store(0);
  ctx->buffer = nullptr;
  ctx->spare = nullptr;
  ctx->passbuffer = nullptr;
  ctx->running = false;
  ctx->blocks = 0;
  ctx->firstrow = nullptr;
  if (n != 0) {
    ctx->buffer = static_cast<float*>(std::calloc(static_cast<size_t>(n) * kBatch, sizeof(float)));
    ctx->spare = static_cast<float*>(std::calloc(static_cast<size_t>(n) * kBatch, sizeof(float)));
    if (ctx->buffer == nullptr || ctx->spare == nullptr) outofmemory();
    makeblocks(ctx);
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
    run_pass(ctx, ctx->stored, false);
    ctx->stored = 0;
  }
}

void bauclose(NormalBuilder* ctx) {
  if (ctx->stored != 0) run_pass(ctx, ctx->stored, true);
  finish_pass(ctx);
  std::free(ctx->buffer);
  std::free(ctx->spare);
  std::free(ctx->firstrow);
  delete ctx;
}

}  // namespace numeric
