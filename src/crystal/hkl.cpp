// Reflection lists and equivalent reflections.
#include "crystal/hkl.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/data.hpp"
#include "core/velmora.hpp"
#include "crystal/records.hpp"

namespace crystal {
using namespace core;

bool (*vergleich)(int32_t i, int32_t j) = nullptr;
void (*austausch)(int32_t i, int32_t j) = nullptr;
int32_t* hklsort = nullptr;
HklNode** hkltable = nullptr;
int32_t hklprime = 0;

namespace {

// The largest point group has 48 operations.
constexpr int kMaxEquivalents = 48;

bool callvergleich(int i, int j, void*) { return vergleich(i, j); }
void callaustausch(int i, int j, void*) { austausch(i, j); }

}  // namespace

void heapsort(int32_t n) { heapsortid(n, nullptr, callvergleich, callaustausch); }

bool refvergleich(int32_t i, int32_t j) {
  const ReflectionRecord* a = phasei->refl[i];
  const ReflectionRecord* b = phasei->refl[j];
  if (b->sk > 1.0000000001 * a->sk) return true;
  if (a->sk * 0.9999999999 > b->sk) return false;
  if (a->iref != b->iref) return a->iref < b->iref;
  const int32_t* ha = a->fr1->hkl[0];
  const int32_t* hb = b->fr1->hkl[0];
  for (int c = 0; c < 2; ++c)
    if (ha[c] != hb[c]) return ha[c] > hb[c];
  return ha[2] > hb[2];
}

void reftausch(int32_t i, int32_t j) {
  ReflectionRecord* t = phasei->refl[i];
  phasei->refl[i] = phasei->refl[j];
  phasei->refl[j] = t;
}

bool hklvergleich(int32_t i, int32_t j) {
  const int32_t* a = hklsort + 3 * i;
  const int32_t* b = hklsort + 3 * j;
  for (int c = 0; c < 2; ++c) {
    if (std::abs(a[c]) != std::abs(b[c])) return std::abs(a[c]) > std::abs(b[c]);
    if (a[c] != b[c]) return a[c] > b[c];
  }
  if (std::abs(a[2]) != std::abs(b[2])) return std::abs(a[2]) > std::abs(b[2]);
  return a[2] > b[2];
}

void hkltausch(int32_t i, int32_t j) {
  int32_t* a = hklsort + 3 * i;
  int32_t* b = hklsort + 3 * j;
  for (int c = 0; c < 3; ++c) {
    int32_t t = a[c];
    a[c] = b[c];
    b[c] = t;
  }
}

int32_t hklbucket(int32_t h, int32_t k, int32_t l) {
  const uint32_t key = ((static_cast<uint32_t>(h) << 16) & 0xFF0000u) |
                       ((static_cast<uint32_t>(k) << 8) & 0xFF00u) |
                       (static_cast<uint32_t>(l) & 0xFFu);
  return static_cast<int32_t>(key % static_cast<uint32_t>(hklprime));
}

int32_t hklequivalents(const double* ops, int32_t nops, int32_t h, int32_t k, int32_t l,
                       int32_t* out) {
  const float in[3] = {static_cast<float>(h), static_cast<float>(k), static_cast<float>(l)};
  int32_t count = 0;
  for (int32_t r = 0; r < nops; ++r) {
    const double* R = ops + 13 * static_cast<size_t>(r) + 3;
    int32_t t[3];
    for (int c = 0; c < 3; ++c) {
      // Column c of the rotation: the transposed rotation acts on indices.
      float s = 0.0f;
      for (int i = 0; i < 3; ++i)
        s = static_cast<float>(static_cast<double>(s) + R[3 * i + c] * static_cast<double>(in[i]));
      t[c] = static_cast<int32_t>(std::floor(static_cast<double>(s) + 0.5));
    }
    bool seen = false;
    for (int32_t e = 0; e < count && !seen; ++e)
      seen = out[3 * e] == t[0] && out[3 * e + 1] == t[1] && out[3 * e + 2] == t[2];
    if (seen) continue;
    std::memcpy(out + 3 * count, t, sizeof t);
    ++count;
  }
  return count;
}

void hklbau(FRecord* F, int32_t h, int32_t k, int32_t l) {
  int32_t found[3 * kMaxEquivalents];
  const int32_t nops = phasei->group->general->count;
  const int32_t count = nops <= 0 ? 0 : hklequivalents(phasei->operators, nops, h, k, l, found);
  for (int32_t e = 0; e < count; ++e) {
    const int32_t* t = found + 3 * e;
    if (t[0] == h && t[1] == k && t[2] == l) continue;
    auto* node = kcalloc<HklNode>(1);
    node->h = t[0];
    node->k = t[1];
    node->l = t[2];
    HklNode*& head = hkltable[hklbucket(t[0], t[1], t[2])];
    node->next = head;
    head = node;
  }
  if (F == nullptr) return;
  auto* set = kcalloc<int32_t[3]>(static_cast<size_t>(count));
  std::memcpy(set, found, sizeof(int32_t) * 3 * static_cast<size_t>(count));
  F->hkl = set;
  F->nequiv = count;
  hklsort = set[0];
  austausch = hkltausch;
  vergleich = hklvergleich;
  heapsort(count);
}

int32_t isintable(int32_t h, int32_t k, int32_t l) {
  for (HklNode** p = &hkltable[hklbucket(h, k, l)]; *p != nullptr; p = &(*p)->next) {
    HklNode* node = *p;
    if (node->h == h && node->k == k && node->l == l) {
      *p = node->next;
      std::free(node);
      return 1;
    }
  }
  return 0;
}

}  // namespace crystal
