// Cell, metric and space group of a phase.
#pragma once

#include "crystal/records.hpp"

namespace crystal {

// Names of the lattice kinds 1..8 ("Triclinic" ... "Cubic"); index 0 is "".
extern const char* const latticename[9];

// Gives the current phase (phasei) its cell and everything derived from it;
// returns at once while its metric-ready flag is set.
//
// First pass (no space group yet): classifies the cell A, B, C, ALPHA, BETA,
// GAMMA into a lattice kind and unique axis, finds the space group
// (findordanix) and copies its header keys into the phase's selectors (a
// lattice or unique axis taken from the cell is reported by message 257), sets
// the centring translations from BASIS, allocates the operator table (13
// doubles per general operator) and finds every atom's Wyckoff position,
// allocating its sites.
//
// Every pass: reads the cell keys that the lattice kind leaves free (edges in
// the phase's unit, stored in nm; angles in degrees), and computes the direct
// and reciprocal metric, the squared volume and the triangular matrix R (R R^T
// = reciprocal metric; fractional = R x Cartesian, row by row u11, u12, u13,
// u22, u23, u33).
//
// No group: message -238; a BASIS letter other than P A B C I F R: -243; R
// centring without unique axis c: -252; a unique axis other than a, b, c:
// -240; an atom's Wyckoff position not in the group: -236; an impossible cell
// or a reciprocal metric that is not positive definite: -209. Each clears the
// error stack and leaves through the innermost error frame. A group whose
// Lattice is no lattice name ends the run (-251). A missing cell key is the
// store's error.
void getmass();

}  // namespace crystal
