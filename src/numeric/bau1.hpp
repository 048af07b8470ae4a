// Batched, threaded build of a normal matrix A = sum of g g' over many rows g
// of a Jacobian. Rows are buffered, and every full batch of 201 vectors is
// added to the matrix by all worker threads at once, each matrix row by one
// thread in a fixed order, so the result does not depend on the number of
// threads.
//
// Call order, all from the thread that owns the worker pool:
//   NormalBuilder* ctx = bauopen(A, n);  bau1(g, ctx) ...;  bauclose(ctx);
// The matrix must not be read before bauclose: up to 200 vectors may still
// sit in the buffer.
#pragma once

#include <atomic>
#include <cstdint>

namespace numeric {

struct NormalBuilder {
  float* buffer;              // up to 201 vectors of n floats, one after the other
  float* matrix;              // the caller's packed float matrix
  std::atomic<int64_t> rows;  // matrix rows not yet taken in the current pass
  int32_t stored;             // vectors in the buffer, 0 .. 200 between calls
  int32_t n;
};

// Starts a build on the packed float matrix A of order n (the caller
// initialises it, normally to zero).
NormalBuilder* bauopen(float* A, int n);
// Hands over one row vector g of n floats.
void bau1(const float* g, NormalBuilder* ctx);
// Adds what is still buffered and releases the context.
void bauclose(NormalBuilder* ctx);

}  // namespace numeric
