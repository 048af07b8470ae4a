// Environment of the instrument-function tests: an installation directory
// with the message catalogue, a fresh store with one scope in lookup mode 2,
// a directory for the fixtures, and the module's state reset afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/data.hpp"
#include "core/velmora.hpp"
#include "gerfixtures.hpp"
#include "model/gerneu.hpp"
#include "testsupport.hpp"

namespace model {

class InstrumentFunction : public ::testing::Test {
 protected:
  void SetUp() override {
    std::snprintf(core::kalvo, sizeof core::kalvo, "%s", install.path().c_str());
    core::nodesfree();
    core::totalfree();
    core::newDATAlist();
    core::setrekart(2);
    gererr = 1;
  }
  void TearDown() override {
    ger2();
    gererr = 1;
    while (core::ondataLevel() > 0) core::dataerr_oldjmp();
    core::totalfree();
    core::nodesfree();
  }

  // Path of a fixture file in the test's directory.
  std::string path(const std::string& name) const { return dir.file(name); }
  // Executes store statements such as "D==200".
  static void set(const char* statement) { ASSERT_EQ(core::ergibt(statement), 1) << statement; }

  // Loads the instrument of that name (no extension) and returns what it
  // printed.
  std::string load(const std::string& name) {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    ger1(path(name).c_str());
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
  }
  // Evaluates ger at s and returns what it printed.
  static std::string eval(double s) {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    ger(s);
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
  }

  ktest::TempInstall install{{"err.msg"}};
  ktest::TempDir dir;
};

// The text of catalogue message number, as printed with the given arguments.
inline std::string catalogue(int number) { return core::errmsg(number); }

// sin theta of a Bragg angle theta in degrees.
inline double sintheta(double theta) { return std::sin(theta * 3.141592653589793 / 180); }

// cot 2 theta as the loader keys a record.
inline float recordkey(double theta) {
  return static_cast<float>(1.0 / std::tan(theta * 3.141592653589793 / 90));
}

// Sum of the current components' line shapes at x.
inline double componentshape(double x) {
  double sum = 0;
  for (int i = 0; i < n; ++i) {
    double d = x - e[i];
    double den = d * d + static_cast<double>(q[i]) * q[i];
    sum += 2.0 * g[i] * q[i] * q[i] * q[i] / (den * den);
  }
  return sum;
}

inline double componentweight() {
  double sum = 0;
  for (int i = 0; i < n; ++i) sum += g[i];
  return sum;
}

}  // namespace model
