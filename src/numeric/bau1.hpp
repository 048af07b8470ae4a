// Batched, threaded build of a normal matrix A = sum of g g' over many rows g
// of a Jacobian. Rows are buffered in batches of 201 vectors; every batch is
// added to the matrix in one step per element, each element by one thread in
// a fixed order, so the result does not depend on the number of threads.
// The matrix rows are shared out in one range per worker, which adds its
// own range's blocks first and then helps with the others'.
//
// The passes run on the workers while the caller goes on: the caller stores
// the next vectors into a second buffer while the workers add the batch
// before, and a worker that runs out of blocks of one pass goes straight on
// to the next pass, once the caller has handed it over, without waiting for
// the other workers: a block only waits for the same block of the pass
// before. The workers stay on the builder's batch of the pool, idle between
// passes, until bauclose, or until the caller hands the pool a batch of its
// own (nspawn first finishes every pass handed over).
//
// Call order, all from the thread that owns the worker pool:
//   NormalBuilder* ctx = bauopen(A, n);  bau1(g, ctx) ...;  bauclose(ctx);
// The matrix must not be read before bauclose: vectors may still sit in the
// buffer, and a pass may still be adding a batch to it.
#pragma once

#include <cstdint>

namespace numeric {

struct BuilderPasses;  // the passes shared with the workers

struct NormalBuilder {
  float* buffer;   // the batch being filled: vectors of n floats, one after the other
  float* spare;    // the other buffer: the one the pass handed over last reads
  int32_t stored;  // vectors in the buffer
  int32_t n;
  int32_t ld;     // floats from one vector of the buffer to the next (n rounded up to 16)
  float* matrix;  // the caller's packed float matrix
  BuilderPasses* passes;
};

// Whether the batches are added with eight floats to a register (AVX2; set
// at start where the processor has it). Either way every element is summed
// with the same operations in the same order; the tests clear it to compare
// the plain kernel with the wide one.
extern bool bauwide;

// Starts a build on the packed float matrix A of order n (the caller
// initialises it, normally to zero).
NormalBuilder* bauopen(float* A, int n);
// Hands over one row vector g of n floats.
void bau1(const float* g, NormalBuilder* ctx);
// Adds what is still buffered and releases the context.
void bauclose(NormalBuilder* ctx);

}  // namespace numeric
