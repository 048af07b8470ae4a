// Writers of instrument-profile files (.ger, text) and GEQ tables (.geq,
// binary) for tests: small fixtures whose every byte the test chooses, so
// that damaged files can be built from good ones.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "testsupport.hpp"

namespace gerfix {

// ---------------------------------------------------------------------------
// Instrument-profile file

struct Component {
  double g;  // weight
  double e;  // position (radians of theta)
  double q;  // width
};

// One angle block: the block line "THETA=<theta> N=<count> <extra>" and one
// data line "g e q" per component.
struct Block {
  double theta;  // degrees
  std::vector<Component> comps;
  std::string extra = {};  // further statements, e.g. "GSUM=2 DeltaOmega=0.5"
  int count = -1;          // N on the block line; -1: the number of components
};

inline std::string ger_block(const Block& b) {
  char buf[256];
  std::snprintf(buf, sizeof buf, "THETA=%.12g N=%d", b.theta,
                b.count >= 0 ? b.count : static_cast<int>(b.comps.size()));
  std::string s = buf;
  if (!b.extra.empty()) s += " " + b.extra;
  s += "\n";
  for (const Component& c : b.comps) {
    std::snprintf(buf, sizeof buf, "%.9g %.9g %.9g\n", c.g, c.e, c.q);
    s += buf;
  }
  return s;
}

// The whole file: the header line (statements such as "ZELMARRY=CAPILLARY
// TubeTails=0.1", or a title), then the blocks.
inline std::string ger_text(const std::string& header_line, const std::vector<Block>& blocks) {
  std::string s = header_line + "\n";
  for (const Block& b : blocks) s += ger_block(b);
  return s;
}

inline void write_ger(const std::string& path, const std::string& header_line,
                      const std::vector<Block>& blocks) {
  ktest::write_file(path, ger_text(header_line, blocks));
}

// ---------------------------------------------------------------------------
// GEQ table: a 124-byte header, then one record per grid point, little-endian.

struct GeqHeader {
  std::string magic = "GEQ.V1";     // up to 8 bytes, zero-filled behind
  float dr = 0;                     // offset 8: D/R
  float ratio = 10;                 // offset 12: T/D (reflection), T/R (transmission, capillary)
  float smin = 0;                   // offset 16: sin theta of the first grid point
  float smax = 1;                   // offset 20: sin theta of the last grid point
  std::string name = "instrument";  // offset 24, 100 bytes
  bool terminate_name = true;       // false: the name field is filled without a zero
};

struct GeqRecord {
  float s;  // sin theta
  std::vector<float> g, e, q;
  int32_t count = -1;  // n written; -1: the size of g
};

inline void put_u32(std::string& out, uint32_t u) {
  for (int k = 0; k < 4; ++k) out.push_back(static_cast<char>((u >> (8 * k)) & 0xff));
}

inline void put_f32(std::string& out, float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  put_u32(out, u);
}

inline std::string geq_header(const GeqHeader& h) {
  std::string out(124, '\0');
  std::memcpy(&out[0], h.magic.data(), h.magic.size() < 8 ? h.magic.size() : 8);
  std::string tail;
  put_f32(tail, h.dr);
  put_f32(tail, h.ratio);
  put_f32(tail, h.smin);
  put_f32(tail, h.smax);
  out.replace(8, 16, tail);
  if (h.terminate_name) {
    std::memcpy(&out[24], h.name.data(), h.name.size() < 99 ? h.name.size() : 99);
  } else {
    for (int k = 0; k < 100; ++k) out[24 + k] = h.name.empty() ? 'x' : h.name[k % h.name.size()];
  }
  return out;
}

inline std::string geq_record(const GeqRecord& r) {
  if (r.e.size() != r.g.size() || r.q.size() != r.g.size())
    throw std::invalid_argument("GEQ record: g, e and q differ in length");
  std::string out;
  put_f32(out, r.s);
  put_u32(out, static_cast<uint32_t>(r.count >= 0 ? r.count : static_cast<int32_t>(r.g.size())));
  for (float v : r.g) put_f32(out, v);
  for (float v : r.e) put_f32(out, v);
  for (float v : r.q) put_f32(out, v);
  return out;
}

inline std::string geq_bytes(const GeqHeader& h, const std::vector<GeqRecord>& records) {
  std::string out = geq_header(h);
  for (const GeqRecord& r : records) out += geq_record(r);
  return out;
}

inline void write_geq(const std::string& path, const GeqHeader& h,
                      const std::vector<GeqRecord>& records) {
  ktest::write_file(path, geq_bytes(h, records));
}

// The line shape of one component set at x: sum of 2 g q^3 / ((x - e)^2 + q^2)^2.
inline double shape(const std::vector<Component>& comps, double x) {
  double sum = 0;
  for (const Component& c : comps) {
    double d = x - c.e;
    double den = d * d + c.q * c.q;
    sum += 2 * c.g * c.q * c.q * c.q / (den * den);
  }
  return sum;
}

}  // namespace gerfix
