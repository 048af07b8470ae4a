#include "core/string.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace core {

void assign(const char* src, char* dst) {
  while ((*dst++ = *src++) != 0) {
  }
}

void append(char* dst, const char* src) { assign(src, dst + length(dst)); }

int length(const char* s) {
  int n = 0;
  while (s[n] != 0) ++n;
  return n;
}

void copy0x(const char* src, int n, char* dst) {
  if (n > 0) std::memcpy(dst, src, static_cast<size_t>(n));
  dst[n > 0 ? n : 0] = 0;
}

void copy(const char* src, int start, int count, char* dst) {
  int n = 0;
  if (start >= 0 && count > 0) {
    // Walk to position start without passing the terminating zero.
    int i = 0;
    while (i < start && src[i] != 0) ++i;
    if (i == start) {
      while (n < count && src[start + n] != 0) {
        dst[n] = src[start + n];
        ++n;
      }
    }
  }
  dst[n] = 0;
}

int compare(const char* a, const char* b) {
  for (int i = 0;; ++i) {
    signed char ca = static_cast<signed char>(a[i]);
    signed char cb = static_cast<signed char>(b[i]);
    if (ca != cb) return static_cast<int>(cb) - static_cast<int>(ca);
    if (ca == 0) return 0;
  }
}

int charindex(const char* s, int c) {
  char ch = static_cast<char>(c);
  if (ch == 0) return -1;
  for (int i = 0; s[i] != 0; ++i)
    if (s[i] == ch) return i;
  return -1;
}

namespace {
// Position of the "." that starts the extension, or -1 when there is none.
int extension_dot(const char* path) {
  int dot = -1, slash = -1;
  for (int i = 0; path[i] != 0; ++i) {
    if (path[i] == '.')
      dot = i;
    else if (path[i] == '/')
      slash = i;
  }
  return dot > slash ? dot : -1;
}
}  // namespace

void makeextension(char* path, const char* ext, int replace) {
  if (path[0] == 0) {
    path[0] = '.';
    assign(ext, path + 1);
    return;
  }
  int dot = extension_dot(path);
  if (dot < 0) {
    append(path, ".");
    append(path, ext);
  } else if (replace == 1) {
    assign(ext, path + dot + 1);
  }
}

const char* getextension(const char* path) {
  if (path == nullptr || path[0] == 0) return nullptr;
  int dot = extension_dot(path);
  return dot < 0 ? nullptr : path + dot + 1;
}

void uppercase(const char* src, char* dst) {
  do {
    char c = *src;
    *dst++ = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  } while (*src++ != 0);
}

void lowercase(const char* src, char* dst) {
  do {
    char c = *src;
    *dst++ = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  } while (*src++ != 0);
}

void i10toa(int n, char* dst) {
  // Work in 64 bits so that the smallest 32-bit integer prints in full.
  long long v = n;
  char buf[24];
  int k = 0;
  bool neg = v < 0;
  if (neg) v = -v;
  do {
    buf[k++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  int j = 0;
  if (neg) dst[j++] = '-';
  while (k > 0) dst[j++] = buf[--k];
  dst[j] = 0;
}

int fixedtext(double v, int precision, char* dst) {
  if (precision < 0 || precision > 9 || !std::isfinite(v)) return -1;
  // |v| = M * 2^e with an integer M below 2^53; |v| * 10^p is then worked
  // out exactly in 128 bits and rounded once.
  const uint64_t bits = std::bit_cast<uint64_t>(v);
  const bool negative = (bits >> 63) != 0;
  const int biased = static_cast<int>((bits >> 52) & 0x7ff);
  uint64_t M = bits & ((uint64_t{1} << 52) - 1);
  int e = 0;
  if (biased == 0) {
    e = -1074;  // subnormal (or zero)
  } else {
    M |= uint64_t{1} << 52;
    e = biased - 1075;
  }
  static constexpr uint64_t kPow10[10] = {1,      10,      100,      1000,      10000,
                                          100000, 1000000, 10000000, 100000000, 1000000000};
  // Magnitudes from 2^33 up (e > -20) take the general way: below it the
  // scaled value stays under 2^63.
  if (e > -20) return -1;
  const unsigned __int128 X = static_cast<unsigned __int128>(M) * kPow10[precision];
  const int shift = -e;
  uint64_t q = 0;
  if (shift < 128) {
    const unsigned __int128 one = 1;
    const unsigned __int128 rest = X & ((one << shift) - 1);
    const unsigned __int128 half = one << (shift - 1);
    const unsigned __int128 whole = X >> shift;
    q = static_cast<uint64_t>(whole);
    if (rest > half || (rest == half && (q & 1) != 0)) ++q;
  }
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + q % 10);
    q /= 10;
  } while (q != 0);
  while (n < precision + 1) digits[n++] = '0';
  int len = 0;
  if (negative) dst[len++] = '-';
  while (n > precision) dst[len++] = digits[--n];
  if (precision > 0) {
    dst[len++] = '.';
    while (n > 0) dst[len++] = digits[--n];
  }
  return len;
}

}  // namespace core
