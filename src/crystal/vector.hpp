// Coordinate and vector formula functions: small vector calculations inside
// the formulas of a structure (differences, cross products, rotations,
// rigid-body moves, distances and angles) and the conversion between
// Cartesian and fractional coordinates of the current phase.
//
// A vector is an array variable of the store with the indices 1, 2, 3;
// vector arguments are variable names, the others formula texts that the
// function evaluates. Cartesian lengths are in nm, or in angstrom for a phase
// with UNIT=ANGSTROEM. A function that only writes variables returns 1. A
// faulty call (a zero vector to normalise, an unknown site, a malformed list)
// fails the formula that called it.
#pragma once

#include <cstdint>

#include "core/data.hpp"

namespace crystal {

// The C function type of the store's formula functions.
using FormulaCallback = core::DataCallback;

// PHASE(name): 1 when name is the current phase's name, else 0.
double ifphase(const char* name, const char* const* args, int nargs);
// set(v, a, b, c): v := (a, b, c).
double set(const char* name, const char* const* args, int nargs);
// diffvec(a, b, d): d := b - a.
double diffvec(const char* name, const char* const* args, int nargs);
// normvec(a, d): d := a / |a|; |a| below 2^-23 fails.
double normvec(const char* name, const char* const* args, int nargs);
// cross(a, b, c, d): d := b + (b - a) x (c - b).
double crossprod(const char* name, const char* const* args, int nargs);
// skalpro(a, b): a . b.
double skalpro(const char* name, const char* const* args, int nargs);
// distance(a, b): |a - b|.
double distance(const char* name, const char* const* args, int nargs);
// angle(u, w), angle(a, b, c) at b, or the torsion angle(a, b, c, d) in
// degrees: [0, 180] for the first two forms, (-180, 180] for the torsion.
double angle(const char* name, const char* const* args, int nargs);
// XYZ(v): the variables x, y, z := fractional coordinates of the Cartesian v.
double XYZ(const char* name, const char* const* args, int nargs);
// X(v), Y(v), Z(v): one fractional coordinate of the Cartesian v.
double X(const char* name, const char* const* args, int nargs);
double Y(const char* name, const char* const* args, int nargs);
double Z(const char* name, const char* const* args, int nargs);
// setgitter(v, x, y, z): v := Cartesian vector of the fractional (x, y, z).
// Called as setindex(v, i [, j]): v := Cartesian position of site i of the
// current atom's Wyckoff position with centring translation j (both from 1),
// reduced into the cell.
double setgitter(const char* name, const char* const* args, int nargs);
// cpXYZ(src1, dst1, src2, dst2, ...): dst := src; a dst "(v1,v2,...)" gets a
// copy in every vector of the list.
double cpxyz(const char* name, const char* const* args, int nargs);
// D(p, q, angle, v1, ...): every v rotated in place by the angle (degrees)
// about the axis through p and q; D2(p, q, angle, src1, dst1, ...) writes
// each rotated src into its dst.
double dreh(const char* name, const char* const* args, int nargs);
// T(t1, t2, t3, phi1, phi2, phi3, v1, ...): every v rotated by the three
// Euler angles (degrees), then moved by t, in place; T2(..., src1, dst1, ...)
// into the dst.
double trans(const char* name, const char* const* args, int nargs);

// One formula function as it is registered: name, argument count (n exactly,
// -n at least n) and callback.
struct FormulaFunction {
  const char* name;
  int32_t count;
  FormulaCallback function;
};

// The phase test and the coordinate, vector and structure-factor functions
// of a phase's formulas (PHASE, set, cross, diffvec, normvec, skalpro,
// distance, angle, setgitter, cpXYZ, F, T, T2, D, D2, XYZ, X, Y, Z) in the
// order in which the structure set-up registers them (the restraint functions
// WW, WWalt and Straf follow); the goal evaluation adds setindex.
extern const FormulaFunction vectorfunctions[];
extern const int32_t nvectorfunctions;
extern const FormulaFunction setindexfunction;

}  // namespace crystal
