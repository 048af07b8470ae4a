// Helpers of the store tests: a fresh store per test and the pending error
// records as a list, oldest first.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/data.hpp"

namespace core {

struct ErrRec {
  std::string object;
  std::string message;
  bool operator==(const ErrRec& o) const { return object == o.object && message == o.message; }
};

inline std::ostream& operator<<(std::ostream& os, const ErrRec& r) {
  return os << "(" << r.object << " | " << r.message << ")";
}

// Takes every pending record off the calling thread's stack, oldest first.
inline std::vector<ErrRec> takeerrors() {
  std::vector<ErrRec> v;
  while (ifErr()) {
    v.insert(v.begin(), ErrRec{GetErr(0), GetErr(1)});
    NextErr();
  }
  return v;
}

// Every test starts from an empty store with one scope and lookup mode 2.
class Store : public ::testing::Test {
 protected:
  void SetUp() override {
    totalfree();
    newDATAlist();
    setrekart(2);
  }
  void TearDown() override {
    while (ondataLevel() > 0) dataerr_oldjmp();
    totalfree();
  }
};

}  // namespace core
