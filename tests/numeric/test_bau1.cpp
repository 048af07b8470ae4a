// The threaded normal-matrix builder: the sum of g g' over any number of
// vectors (around the batch width of 201), with the prescribed single- and
// double-precision grouping, bit for bit the same on 1, 2 and 7 threads.
//
// The worker pool is process-wide and its size is fixed at its first use, so
// the builds on several thread counts run in fresh copies of this test
// program, started with KTEST_BAU1_THREADS=<n>; such a copy builds, prints
// every matrix element's bits and ends before the test framework starts.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/nspawn.hpp"
#include "numeric/bau1.hpp"
#include "numeric/lsq.hpp"
#include "testsupport.hpp"

namespace numeric {
using namespace core;

namespace {

// Reproducible vectors with a wide range of magnitudes and signs.
float component(int v, int i) {
  uint32_t h = static_cast<uint32_t>(v) * 2654435761u ^ static_cast<uint32_t>(i) * 40503u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  double u = (h & 0xffffff) / 16777216.0 - 0.5;
  return static_cast<float>(u * std::pow(10.0, static_cast<int>(h >> 24) % 5 - 2));
}

std::vector<float> build(int n, int count) {
  std::vector<float> A(static_cast<size_t>(n) * (n + 1) / 2);
  for (size_t k = 0; k < A.size(); ++k) A[k] = 0.5f * static_cast<float>(k % 3);
  NormalBuilder* ctx = bauopen(A.data(), n);
  std::vector<float> g(static_cast<size_t>(n));
  for (int v = 0; v < count; ++v) {
    for (int i = 0; i < n; ++i) g[i] = component(v, i);
    bau1(g.data(), ctx);
  }
  bauclose(ctx);
  return A;
}

// The same build with the vectors made on the worker pool, batch by batch,
// between the calls of bau1 (as the fitting programs make their derivative
// rows): the caller's batches meet the builder's passes still running.
struct VectorBatch {
  int n = 0, first = 0, count = 0;
  float* out = nullptr;
  std::atomic<int64_t> counter{0};
};

void makevectors(uint64_t arg) {
  auto* b = reinterpret_cast<VectorBatch*>(arg);
  for (int64_t k; (k = nexttask(b->counter)) >= 0;)
    for (int i = 0; i < b->n; ++i)
      b->out[k * b->n + i] = component(b->first + static_cast<int>(k), i);
}

std::vector<float> build_with_pool_batches(int n, int count, int batch) {
  std::vector<float> A(static_cast<size_t>(n) * (n + 1) / 2);
  for (size_t k = 0; k < A.size(); ++k) A[k] = 0.5f * static_cast<float>(k % 3);
  NormalBuilder* ctx = bauopen(A.data(), n);
  std::vector<float> g(static_cast<size_t>(n) * batch);
  VectorBatch b;
  b.n = n;
  b.out = g.data();
  for (int v = 0; v < count; v += batch) {
    b.first = v;
    b.count = std::min(batch, count - v);
    b.counter.store(b.count);
    nspawn(makevectors, 0, reinterpret_cast<uint64_t>(&b));
    nwait();
    for (int k = 0; k < b.count; ++k) bau1(g.data() + static_cast<size_t>(k) * n, ctx);
  }
  bauclose(ctx);
  return A;
}

// The prescribed arithmetic, written out plainly: batches of 201 vectors;
// per element the products in single precision, three at a time summed in
// single precision, each group added to a double accumulator; the old element
// added last and the result rounded once per batch.
std::vector<float> reference(int n, int count) {
  std::vector<float> A(static_cast<size_t>(n) * (n + 1) / 2);
  for (size_t k = 0; k < A.size(); ++k) A[k] = 0.5f * static_cast<float>(k % 3);
  for (int first = 0; first < count; first += 201) {
    int cols = std::min(201, count - first);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j <= i; ++j) {
        double s = 0;
        int c = 0;
        for (; c + 3 <= cols; c += 3) {
          float p0 = component(first + c, i) * component(first + c, j);
          float p1 = component(first + c + 1, i) * component(first + c + 1, j);
          float p2 = component(first + c + 2, i) * component(first + c + 2, j);
          float grp = p0 + p1 + p2;
          s += grp;
        }
        for (; c < cols; ++c) {
          float p = component(first + c, i) * component(first + c, j);
          s += p;
        }
        float& e = A[static_cast<size_t>(i) * (i + 1) / 2 + j];
        e = static_cast<float>(s + e);
      }
  }
  return A;
}

const int kOrder = 23;  // not a multiple of the four rows done side by side
const int kCounts[] = {0, 1, 200, 201, 202, 402, 1000};
// A short pass is done by the calling thread, a long one by the workers:
// the threaded builds cover both.
const int kOrders[] = {kOrder, 61};

// Builds of many batches, full and partial, on orders whose rows are shared
// out in blocks among the workers.
struct Long {
  int order, count;
};
const Long kLong[] = {{23, 3500}, {97, 2 * 201 * 10 + 7}};

void printbits(const std::vector<float>& A) {
  for (float v : A) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    std::printf(" %08x", bits);
  }
  std::printf("\n");
}

// Normal equations whose row callback fails after two full batches, while
// the second one's pass may still run on the workers: the failure reaches
// the caller, the matrix is released at once (the sanitizer builds see a
// pass that outlives it), and the pool builds the next matrix as before.
constexpr int kThrowOrder = 61;
constexpr int kThrowAt = 2 * 201 + 17;

void failing_row(float* g, int i) {
  if (i == kThrowAt) throw std::runtime_error("row failed");
  for (int k = 0; k < kThrowOrder; ++k) g[k] = component(i, k);
}

void build_with_failing_row() {
  std::vector<float> r(1000, 1.0f), g(kThrowOrder);
  std::vector<double> b(kThrowOrder);
  auto A = std::make_unique<std::vector<float>>(kThrowOrder * (kThrowOrder + 1) / 2);
  try {
    normal_equations(
        A->data(), b.data(), g.data(), r.data(), kThrowOrder, 1000, [] {}, failing_row);
    std::printf("no failure\n");
  } catch (const std::runtime_error& e) {
    std::printf("%s\n", e.what());
  }
  A.reset();
  printbits(build(kThrowOrder, 1000));
}

struct ChildRun {
  ChildRun() {
    if (const char* n = std::getenv("KTEST_BAU1_THROW_THREADS")) {
      nthreads = std::atoi(n);
      build_with_failing_row();
      std::fflush(stdout);
      std::_Exit(0);
    }
    if (const char* n = std::getenv("KTEST_BAU1_LONG_THREADS")) {
      nthreads = std::atoi(n);
      for (const Long& l : kLong) {
        printbits(build(l.order, l.count));
        printbits(build_with_pool_batches(l.order, l.count, 10));
      }
      std::fflush(stdout);
      std::_Exit(0);
    }
    const char* n = std::getenv("KTEST_BAU1_THREADS");
    if (n == nullptr) return;
    nthreads = std::atoi(n);
    for (int order : kOrders) {
      for (int count : kCounts) {
        std::printf("%d", count);
        for (float v : build(order, count)) {
          uint32_t bits;
          std::memcpy(&bits, &v, sizeof bits);
          std::printf(" %08x", bits);
        }
        std::printf("\n");
      }
    }
    std::fflush(stdout);
    std::_Exit(0);
  }
} child_run;

}  // namespace

TEST(NormalBuilder, EqualsTheSumOfOuterProducts) {
  // In this process the pool is left alone: nthreads = 0 makes the calling
  // thread do every pass itself.
  int saved = nthreads;
  nthreads = 0;
  // The plain kernel and, where the processor has it, the wide one, on
  // orders that end inside a strip of sixteen columns or just past one.
  const bool wide = bauwide;
  for (bool kernel : {false, true}) {
    if (kernel && !wide) continue;
    bauwide = kernel;
    for (int order : {kOrder, 61, 97})
      for (int count : {1, 200, 201, 202, 1000}) {
        SCOPED_TRACE(testing::Message()
                     << "wide " << kernel << " order " << order << " count " << count);
        EXPECT_EQ(build(order, count), reference(order, count));
      }
  }
  bauwide = wide;
  for (int count : kCounts) {
    SCOPED_TRACE(count);
    std::vector<float> A = build(kOrder, count);
    EXPECT_EQ(A, reference(kOrder, count));
    for (int i = 0; i < kOrder; ++i)
      for (int j = 0; j <= i; ++j) {
        double exact = 0.5 * static_cast<double>((static_cast<size_t>(i) * (i + 1) / 2 + j) % 3);
        double scale = 0;
        for (int v = 0; v < count; ++v) {
          exact += static_cast<double>(component(v, i)) * component(v, j);
          scale += std::fabs(static_cast<double>(component(v, i)) * component(v, j));
        }
        ASSERT_NEAR(A[static_cast<size_t>(i) * (i + 1) / 2 + j], exact, 1e-6 * (scale + 1))
            << i << "," << j;
      }
  }
  // Order 0: no buffer, nothing touched.
  NormalBuilder* ctx = bauopen(nullptr, 0);
  EXPECT_EQ(ctx->buffer, nullptr);
  for (int v = 0; v < 450; ++v) bau1(nullptr, ctx);
  bauclose(ctx);
  nthreads = saved;
}

TEST(NormalBuilder, BitIdenticalOnOneTwoAndSevenThreads) {
  std::string first;
  for (int threads : {1, 2, 7}) {
    auto r = ktest::run_program("/proc/self/exe", {}, "",
                                {{"KTEST_BAU1_THREADS", std::to_string(threads)}}, 300);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 14);
    if (first.empty()) {
      first = r.out;
      // And the same bits as the plain reference.
      std::istringstream in(r.out);
      for (int order : kOrders) {
        for (int count : kCounts) {
          int c;
          in >> c;
          ASSERT_EQ(c, count);
          for (float v : reference(order, count)) {
            std::string word;
            in >> word;
            uint32_t bits;
            std::memcpy(&bits, &v, sizeof bits);
            ASSERT_EQ(std::strtoul(word.c_str(), nullptr, 16), bits) << order << " " << count;
          }
        }
      }
    } else {
      EXPECT_EQ(r.out, first) << threads << " threads";
    }
  }
}

TEST(NormalBuilder, LongBuildsOnAnyNumberOfWorkers) {
  // Each build twice: vectors made by the caller, and made on the pool
  // between the calls of bau1.
  std::string expect;
  for (const Long& l : kLong) {
    std::string line;
    char word[16];
    for (float v : reference(l.order, l.count)) {
      uint32_t bits;
      std::memcpy(&bits, &v, sizeof bits);
      std::snprintf(word, sizeof word, " %08x", bits);
      line += word;
    }
    line += "\n";
    expect += line + line;
  }
  // On 64 threads the order 97 leaves some workers without rows of their
  // own: they only help with the others' blocks.
  for (int threads : {1, 3, 8, 64}) {
    auto r = ktest::run_program("/proc/self/exe", {}, "",
                                {{"KTEST_BAU1_LONG_THREADS", std::to_string(threads)}}, 300);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == expect) << threads << " threads";
  }
}

TEST(NormalBuilder, FailingRowEndsTheBuildAndLeavesThePoolUsable) {
  std::string expect = "row failed\n";
  char word[16];
  for (float v : reference(kThrowOrder, 1000)) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    std::snprintf(word, sizeof word, " %08x", bits);
    expect += word;
  }
  expect += "\n";
  for (int threads : {1, 3, 8}) {
    auto r = ktest::run_program("/proc/self/exe", {}, "",
                                {{"KTEST_BAU1_THROW_THREADS", std::to_string(threads)}}, 300);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == expect) << threads << " threads:\n" << r.out.substr(0, 200);
  }
}

}  // namespace numeric
