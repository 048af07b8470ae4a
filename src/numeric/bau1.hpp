// Batched, threaded build of a normal matrix A = sum of g g' over many rows g
// of a Jacobian. Rows are buffered in batches of 201 vectors; every batch is
// added to the matrix in one step per element, each element by one thread in
// a fixed order, so the result does not depend on the number of threads.
// The matrix rows are shared out in blocks that shrink towards the end of a
// pass, each block taken by one worker.
//
// A full batch is added on the workers while the caller goes on: the next
// vectors are stored into a second buffer, and the pass is waited for when
// the next batch is full, at bauclose, or when the caller hands the pool a
// batch of its own (nspawn finishes the pass first). So the copying of the
// vectors and the caller's own work on them overlap the pass.
//
// Call order, all from the thread that owns the worker pool:
//   NormalBuilder* ctx = bauopen(A, n);  bau1(g, ctx) ...;  bauclose(ctx);
// The matrix must not be read before bauclose: vectors may still sit in the
// buffer, and a pass may still be adding a batch to it.
#pragma once

#include <atomic>
#include <cstdint>

namespace numeric {

struct NormalBuilder {
  // Filled by the caller.
  float* buffer;   // a batch of 201 vectors of n floats, one vector after the other
  float* spare;    // the other buffer: the one a pass reads
  int32_t stored;  // vectors in the buffer
  bool running;    // a pass is on the workers and not yet waited for
  // Read by the workers during a pass.
  alignas(64) float* matrix;  // the caller's packed float matrix
  const float* passbuffer;    // the vectors of the current pass
  int32_t n;
  int32_t blocks;                         // blocks of matrix rows of about equal work
  int32_t* firstrow;                      // block b is rows firstrow[b] .. firstrow[b+1]-1
  int32_t passcols;                       // vectors of the current pass
  alignas(64) std::atomic<int64_t> rows;  // blocks not yet taken in the current pass
  char pad[64 - sizeof(std::atomic<int64_t>)];
};

// Starts a build on the packed float matrix A of order n (the caller
// initialises it, normally to zero).
NormalBuilder* bauopen(float* A, int n);
// Hands over one row vector g of n floats.
void bau1(const float* g, NormalBuilder* ctx);
// Adds what is still buffered and releases the context.
void bauclose(NormalBuilder* ctx);

}  // namespace numeric
