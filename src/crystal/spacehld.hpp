// The space-group database "ordanix.dat" of the installation: every space
// group with its Wyckoff positions and their coordinate triplets, loaded once
// per process and read-only afterwards; the search that picks the group of a
// phase from its selectors and its metric, and the lookup of a Wyckoff
// position by name.
#pragma once

#include <cstdint>

namespace crystal {

// One component (new x, new y or new z) of a coordinate triplet, taken as
// affine: value = constant + coef[0] x + coef[1] y + coef[2] z.
struct SymComponent {
  char text[32];    // the formula as written in the database
  double constant;  // value at x = y = z = 0
  double coef[3];   // coefficients of x, y and z
};

// Common denominator of the exact translations: every translation of a
// space group (and every constant of a Wyckoff position) is a multiple of 1/24.
constexpr int SYM_DENOM = 24;

// One coordinate triplet (one operator line of a Wyckoff block). Besides the
// affine form in doubles the operator is held exactly, so that equivalent
// reflections, systematic absences and special positions are decided by
// comparing integers: new coordinate r = sum over c of rot[r][c] x_c +
// trans[r] / SYM_DENOM (trans as written, not reduced modulo 1).
struct SymOperator {
  SymComponent comp[3];
  int32_t rot[3][3];  // integer coefficients, row = new coordinate
  int32_t trans[3];   // constants in units of 1/SYM_DENOM
  uint8_t exact;      // the formulas are affine with such coefficients
};

// One Wyckoff position of a group: the operators of one centring coset.
struct WyckoffRecord {
  WyckoffRecord* next;  // next record in the same hash bucket
  char name[32];
  int32_t count;    // multiplicity / centring divisor
  uint8_t xfree;    // some operator depends on x
  uint8_t yfree;    // ... on y
  uint8_t zfree;    // ... on z
  uint8_t general;  // the general position of its group
  SymOperator* op;  // count operators
};

constexpr int WYCKOFF_BUCKETS = 61;

// Positions of the phase's selectors in the array given to findordanix.
enum SpaceSelector {
  SEL_BASIS = 0,
  SEL_UNIQUEAXIS,
  SEL_HERMANNMAUGUIN,
  SEL_SETTING,
  SEL_LATTICE,
  SEL_SPACEGROUPNO,
  SEL_ORIGINCHOICE,
  SEL_CELLCHOICE,
  SEL_COUNT
};

// One space group (one setting) of the database, in file order.
struct SpaceGroupRecord {
  SpaceGroupRecord* next;
  WyckoffRecord* general;                  // the first block of the group
  WyckoffRecord* bucket[WYCKOFF_BUCKETS];  // Wyckoff positions by name
  char header[200];                        // the raw header line
  uint8_t exact;                           // every operator of the group is exact
  // The selector keys of the header as the search reads them, taken when the
  // group is loaded (in SpaceSelector order: present, and the value). Only
  // for a header made of plain "name=text" statements, whose keys do not
  // depend on the keys around it; otherwise keysread is 0 and the search
  // reads the header again.
  uint8_t keysread;
  uint8_t keyhas[SEL_COUNT];
  char key[SEL_COUNT][32];
};

// Head of the loaded groups (null until loaded).
extern SpaceGroupRecord* spacefirst;

// Loads the database once per process (under initmutex). Cannot be opened:
// message -183 (status 183); a store error while loading: message -236
// (status 236); a multiplicity that is not a positive multiple of the
// centring divisor, or a general position of more than 48 operators per
// centring translation: message -185 (status 185); a centring letter other than
// P, A, B, C, I, F, R: internal error "wrongbasis".
void spaceinit();

// The first group (in file order) that the lattice kind (1..8, see the phase
// records), the metric's unique axis ("a", "b", "c" or "") and the phase's
// eight selectors (in SpaceSelector order, empty = any) accept; null when none
// does. A chosen group whose general position does not begin with x, y, z
// gives warning 6 and null. Loads the database when needed. Uses the calling
// thread's store context; the caller's scopes are left unchanged.
SpaceGroupRecord* findordanix(int kind, const char* axis, const char selectors[SEL_COUNT][32]);

// The Wyckoff position of that name in the group, or null.
WyckoffRecord* findwyckoff(const SpaceGroupRecord* group, const char* name);

// True when wanted is empty, or when key exists in the top scope (at most 31
// characters) and equals wanted exactly. Sets the lookup mode to 0.
bool ifndeforeq(const char* key, const char* wanted);

// Frees every group; the next search loads the database again.
void freeordanix();

}  // namespace crystal
