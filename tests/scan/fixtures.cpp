#include "fixtures.hpp"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <memory>

#include "core/data.hpp"
#include "core/velmora.hpp"
#include "scan/apx63.hpp"
#include "scan/ddm.hpp"
#include "testsupport.hpp"

namespace scanfix {
using namespace core;
using namespace scan;

void put16(std::string& b, size_t off, int v) {
  if (b.size() < off + 2) b.resize(off + 2, '\0');
  uint16_t u = static_cast<uint16_t>(v);
  for (int k = 0; k < 2; ++k) b[off + k] = static_cast<char>((u >> (8 * k)) & 0xff);
}

void put32(std::string& b, size_t off, int32_t v) {
  if (b.size() < off + 4) b.resize(off + 4, '\0');
  uint32_t u = static_cast<uint32_t>(v);
  for (int k = 0; k < 4; ++k) b[off + k] = static_cast<char>((u >> (8 * k)) & 0xff);
}

void putf32(std::string& b, size_t off, float v) {
  int32_t u;
  std::memcpy(&u, &v, 4);
  put32(b, off, u);
}

void putf64(std::string& b, size_t off, double v) {
  uint64_t u;
  std::memcpy(&u, &v, 8);
  put32(b, off, static_cast<int32_t>(u & 0xffffffffu));
  put32(b, off + 4, static_cast<int32_t>(u >> 32));
}

std::string raw1(const std::string& anode, const std::vector<RawRange>& ranges) {
  std::string b(712, '\0');
  b.replace(0, 7, "RAW1.01");
  put32(b, 12, static_cast<int32_t>(ranges.size()));
  std::string a = (anode + "    ").substr(0, 4);
  b.replace(608, 4, a);
  for (const RawRange& r : ranges) {
    size_t o = b.size();
    b.resize(o + 304 + r.extra + 4 * r.counts.size(), '\0');
    put32(b, o + 4, static_cast<int32_t>(r.counts.size()));
    putf64(b, o + 16, r.start);
    putf64(b, o + 176, r.step);
    putf32(b, o + 192, r.time);
    put32(b, o + 256, r.extra);
    for (int k = 0; k < r.extra; ++k) b[o + 304 + k] = 'x';
    for (size_t i = 0; i < r.counts.size(); ++i) putf32(b, o + 304 + r.extra + 4 * i, r.counts[i]);
  }
  return b;
}

std::string raw2(const std::string& anode, const std::vector<RawRange>& ranges) {
  std::string b(256, '\0');
  b.replace(0, 4, "RAW2");
  put16(b, 4, static_cast<int>(ranges.size()));
  for (size_t k = 0; k < anode.size() && k < 2; ++k) b[188 + k] = anode[k];
  for (const RawRange& r : ranges) {
    size_t o = b.size();
    b.resize(o + r.header + 4 * r.counts.size(), '\0');
    put16(b, o, r.header);
    put16(b, o + 2, static_cast<int>(r.counts.size()));
    putf32(b, o + 8, r.time);
    putf32(b, o + 12, static_cast<float>(r.step));
    putf32(b, o + 16, static_cast<float>(r.start));
    for (size_t i = 0; i < r.counts.size(); ++i) putf32(b, o + r.header + 4 * i, r.counts[i]);
  }
  return b;
}

std::string rd(const Rd& f) {
  std::string b(138, '\0');
  b[85] = static_cast<char>(f.anode);
  b[120] = static_cast<char>(f.stepsource);
  put16(b, 128, f.step);
  put16(b, 130, f.start);
  put16(b, 132, f.end);
  put16(b, 134, f.time);
  b.resize(138 + f.gap, '\0');
  for (int16_t v : f.values) put16(b, b.size(), v);
  return b;
}

Read getscans(const std::vector<std::string>& names, const std::string& lambda, int lamlen,
              bool capture) {
  std::vector<std::unique_ptr<ScanNameNode>> nodes;
  for (const std::string& n : names) {
    auto node = std::make_unique<ScanNameNode>();
    std::memset(node->name, 0, sizeof node->name);
    std::strncpy(node->name, n.c_str(), sizeof node->name - 1);
    node->next = nullptr;
    if (!nodes.empty()) nodes.back()->next = node.get();
    nodes.push_back(std::move(node));
  }
  std::vector<char> lam(8001, '\0');
  std::strncpy(lam.data(), lambda.c_str(), 8000);
  ScanRecord* records = nullptr;
  std::fflush(stdout);
  if (capture) testing::internal::CaptureStdout();
  scan::getscans(nodes.empty() ? nullptr : nodes.front().get(), lamlen, lam.data(), &records);
  std::fflush(stdout);
  Read result;
  if (capture) result.out = testing::internal::GetCapturedStdout();
  result.lambda = lam.data();
  for (ScanRecord* r = records; r != nullptr; r = r->next) {
    Rec rec{r->n, r->start, r->step, {}, {}};
    for (int i = 0; i < r->n; ++i) {
      rec.y.push_back(r->points[i].intensity);
      rec.w.push_back(r->points[i].weight);
      EXPECT_EQ(r->points[i].used, 0);
    }
    if (r->n < 1) {
      EXPECT_EQ(r->points, nullptr);
    }
    result.recs.push_back(std::move(rec));
  }
  scanfree(records);
  return result;
}

std::string val(const std::vector<ValRange>& ranges, const std::string& wavelength) {
  std::string s = "FilePar\nsample\nremark\n1\n2\nx\n" + wavelength + "\nremark\n3\n0\n" +
                  std::to_string(ranges.size()) + "\n";
  char num[100];
  for (size_t i = 0; i < ranges.size(); ++i) {
    const ValRange& r = ranges[i];
    s += "BerPar" + std::to_string(i + 1) + "\nrange\n";
    std::snprintf(num, sizeof num, "%.17g\n%.17g\n%.17g\n", r.start,
                  r.start + r.step * static_cast<double>(r.values.size()), r.step);
    s += num;
    s += std::string(1, r.mode) + "\n";
    std::snprintf(num, sizeof num, "%.17g\n", r.time);
    s += num;
    s += "5\n" + std::to_string(r.values.size()) + "\nN\nN\n0\nIntens" + std::to_string(i + 1) +
         "\n";
    for (double v : r.values) {
      std::snprintf(num, sizeof num, "%.17g\n", v);
      s += num;
    }
  }
  return s;
}

Pattern getval(const std::vector<std::string>& names, bool capture) {
  std::vector<std::unique_ptr<ScanNameNode>> nodes;
  for (const std::string& n : names) {
    auto node = std::make_unique<ScanNameNode>();
    std::memset(node->name, 0, sizeof node->name);
    std::strncpy(node->name, n.c_str(), sizeof node->name - 1);
    node->next = nullptr;
    if (!nodes.empty()) nodes.back()->next = node.get();
    nodes.push_back(std::move(node));
  }
  std::vector<char> lam(7997, '\0');
  Pattern p;
  // Old arrays given in are freed by the reader.
  float* sinx = static_cast<float*>(std::malloc(4 * sizeof(float)));
  float* y = static_cast<float*>(std::malloc(4 * sizeof(float)));
  float* w = static_cast<float*>(std::malloc(4 * sizeof(float)));
  int n = -1;
  std::fflush(stdout);
  if (capture) testing::internal::CaptureStdout();
  scan::getval(nodes.empty() ? nullptr : nodes.front().get(), 7996, lam.data(), &n, &sinx, &y, &w);
  std::fflush(stdout);
  if (capture) p.out = testing::internal::GetCapturedStdout();
  p.npts = n;
  p.lambda = lam.data();
  p.null = sinx == nullptr && y == nullptr && w == nullptr;
  if (sinx != nullptr) {
    const int points = ifddm ? n / 2 + 4 : n;
    p.sinx.assign(sinx, sinx + points);
    p.y.assign(y, y + n);
    p.w.assign(w, w + n);
  }
  std::free(sinx);
  std::free(y);
  std::free(w);
  return p;
}

std::string msg(int n, ...) {
  char buf[2000];
  va_list ap;
  va_start(ap, n);
  std::vsnprintf(buf, sizeof buf, errmsg(n), ap);
  va_end(ap);
  return buf;
}

void fresh_store_without_radiation() {
  totalfree();
  newDATAlist();
  setrekart(2);
  Pattern none = getval({});
  EXPECT_EQ(none.npts, 0);
  setneutrons(false);
  setsynchrotron(false);
  setxray(false);
}

void use_test_installation() {
  std::strncpy(kalvo, ktest::process_install().c_str(), sizeof kalvo - 1);
  nodesfree();
}

}  // namespace scanfix
