// Helpers of the end-to-end tests of the GEQ table builder and the
// instrument-function test: a run of a built program in a work directory with
// a fresh installation, the catalogue's message texts, and a reader of GEQ
// tables that takes every field as it lies in the file.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "testsupport.hpp"

namespace geqrun {

using ktest::message;

// A work directory (the runs' working directory, where the instrument files
// lie) and an installation directory with the catalogue and both
// configuration files.
struct Workplace {
  ktest::TempInstall install{{"err.msg", "quindle.cfg", "probast.cfg"}};
  ktest::TempDir work;

  std::string file(const std::string& name) const { return work.file(name); }

  // Runs a program with argument 1 (the control file) and statements.
  ktest::RunResult run(const std::string& program, const std::vector<std::string>& statements,
                       const std::string& control = "run") const {
    std::vector<std::string> args{control};
    args.insert(args.end(), statements.begin(), statements.end());
    return ktest::run_program(ktest::program_path(program), args, work.path(),
                              {{"KALVO", install.path()}});
  }
};

inline float f32at(const std::string& b, size_t pos) {
  uint32_t u = 0;
  for (int k = 3; k >= 0; --k) u = u << 8 | static_cast<unsigned char>(b[pos + k]);
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

inline int32_t i32at(const std::string& b, size_t pos) {
  uint32_t u = 0;
  for (int k = 3; k >= 0; --k) u = u << 8 | static_cast<unsigned char>(b[pos + k]);
  int32_t i;
  std::memcpy(&i, &u, 4);
  return i;
}

struct Record {
  float s;
  std::vector<float> g, e, q;
};

struct Table {
  std::string magic;  // the 8 bytes of the magic field
  float dr, ratio, smin, smax;
  std::string name;  // the 100 bytes of the name field
  std::vector<Record> records;
  bool whole = false;  // every byte belongs to the header or a record
};

inline Table parse(const std::string& b) {
  Table t{};
  if (b.size() < 124) return t;
  t.magic = b.substr(0, 8);
  t.dr = f32at(b, 8);
  t.ratio = f32at(b, 12);
  t.smin = f32at(b, 16);
  t.smax = f32at(b, 20);
  t.name = b.substr(24, 100);
  size_t pos = 124;
  while (pos + 8 <= b.size()) {
    Record r;
    r.s = f32at(b, pos);
    int32_t n = i32at(b, pos + 4);
    pos += 8;
    if (n < 1 || pos + 12 * static_cast<size_t>(n) > b.size()) return t;
    for (int i = 0; i < n; ++i) r.g.push_back(f32at(b, pos + 4 * i));
    for (int i = 0; i < n; ++i) r.e.push_back(f32at(b, pos + 4 * (n + i)));
    for (int i = 0; i < n; ++i) r.q.push_back(f32at(b, pos + 4 * (2 * n + i)));
    pos += 12 * static_cast<size_t>(n);
    t.records.push_back(r);
  }
  t.whole = pos == b.size();
  return t;
}

// The two numeric columns of a probast.out block list; blocks are separated
// by empty lines.
struct Point {
  double x, y;
};
using Blocks = std::vector<std::vector<Point>>;

inline Blocks columns(const std::string& text) {
  Blocks blocks(1);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty()) {
      blocks.emplace_back();
      continue;
    }
    Point p{};
    char tail = 0;
    if (std::sscanf(line.c_str(), "%lf %lf %c", &p.x, &p.y, &tail) != 2) {
      ADD_FAILURE() << "not two numbers: \"" << line << "\"";
      continue;
    }
    blocks.back().push_back(p);
  }
  return blocks;
}

}  // namespace geqrun
