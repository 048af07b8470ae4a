// Reflection lists and equivalent reflections: the generic in-place heap sort
// driven by two callbacks, the orders of a phase's reflections and of the
// equivalent triples of one reflection, the set of equivalents of a triple
// under the phase's space group, and the table of equivalents that the
// reflection generation of a phase has still to meet.
#pragma once

#include <cstdint>

namespace crystal {

struct FRecord;

// ---------------------------------------------------------------------------
// Sorting

// Item i sorts before item j (a strict order) / exchange items i and j.
// Whoever calls heapsort sets both first.
extern bool (*vergleich)(int32_t i, int32_t j);
extern void (*austausch)(int32_t i, int32_t j);

// Sorts items 0 .. n-1 ascending under vergleich with a binary max-heap,
// through vergleich and austausch only; not stable. n < 2: nothing.
void heapsort(int32_t n);

// Reflections i and j of the current phase's reflection array: by ascending
// 1/d^2 (keys within a relative 1e-10 count as equal), then ascending
// reflection kind, then by descending h, k, l of the representatives.
bool refvergleich(int32_t i, int32_t j);
// Swaps the two reflection pointers.
void reftausch(int32_t i, int32_t j);

// Triples i and j of hklsort: larger |h| first, then larger h, then larger
// |k|, larger k, larger |l|, larger l.
bool hklvergleich(int32_t i, int32_t j);
void hkltausch(int32_t i, int32_t j);

// The triple array of the latest hklbau call with an F-record (h, k, l
// consecutive).
extern int32_t* hklsort;

// ---------------------------------------------------------------------------
// Equivalents still to be met

// One equivalent triple entered by hklbau and not yet met by the generation.
struct HklNode {
  HklNode* next;
  int32_t h;
  int32_t k;
  int32_t l;
};

// hklprime bucket heads, allocated empty and freed by the reflection
// generation of one reflection kind of one phase; hklprime is a prime the
// generation chooses from the size of the reflection range.
extern HklNode** hkltable;
extern int32_t hklprime;

// Bucket of a triple: the low 8 bits of h, k and l packed into 24 bits,
// modulo hklprime.
int32_t hklbucket(int32_t h, int32_t k, int32_t l);

// The equivalents of (h, k, l) under the general-position operators of the
// current phase (its operator table, transposed rotations), each distinct
// triple once. Every one that differs from (h, k, l) is entered in hkltable.
// With an F-record, the triples are also stored in it (a new array, sorted
// by hklvergleich, the representative first) with their count; without one
// only the table is filled.
void hklbau(FRecord* F, int32_t h, int32_t k, int32_t l);

// 1, and the entry is removed, when (h, k, l) is in hkltable; else 0.
int32_t isintable(int32_t h, int32_t k, int32_t l);

// The distinct images of (h, k, l) under the transposed rotations of nops
// operator rows (13 doubles each, the rotation row by row at elements 3 to
// 11), in operator order, into out (3 x 48 ints); the number of triples.
// Each image is summed in single precision and rounded to the nearest
// integer. nops must not exceed 48.
int32_t hklequivalents(const double* ops, int32_t nops, int32_t h, int32_t k, int32_t l,
                       int32_t* out);

}  // namespace crystal
