// Batched, threaded build of a normal matrix A = sum of g g' over many rows g
// of a Jacobian. Rows are buffered in batches of 201 vectors; every batch is
// added to the matrix in one step per element, each element by one thread in
// a fixed order, so the result does not depend on the number of threads.
// The matrix rows are shared out in blocks of about equal work, each block
// taken by one worker.
//
// Call order, all from the thread that owns the worker pool:
//   NormalBuilder* ctx = bauopen(A, n);  bau1(g, ctx) ...;  bauclose(ctx);
// The matrix must not be read before bauclose: vectors may still sit in the
// buffer.
#pragma once

#include <atomic>
#include <cstdint>

namespace numeric {

struct NormalBuilder {
  float* buffer;   // a batch of 201 vectors of n floats, one vector after the other
  float* matrix;   // the caller's packed float matrix
  int32_t stored;  // vectors in the buffer
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
