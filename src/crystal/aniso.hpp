// Texture and anisotropy: the direction-dependent functions that a phase's
// formulas call with a reflection's h, k, l (texture weight GEWICHT, the
// anisotropy objects through ANISO and its short forms TDS, B1, k2,
// GrainSize, and the length sk), the tensor of six anisotropy parameters, the
// symmetrisation of the anisotropy objects and texture coefficients over the
// operators of the phase's group with their penalty values, and the mean of
// the texture or an anisotropy function over all directions.
//
// Directions are Miller indices: an anisotropy tensor t gives the quadratic
// form h^T t h, and the operators R of the general position (fractional, row =
// new coordinate) map it to R t R^T, the form of the equivalent reflections
// R^T h. Since the operators are exact in the cell's own axes, equivalent
// reflections get equal values in every lattice, hexagonal ones included.
#pragma once

#include "crystal/records.hpp"

namespace crystal {

// The symmetric tensor (row by row) that anisoinit builds.
extern double d[9];

// Builds d from six anisotropy parameters p by the parametrisation that
// anisochange selects; with flag set p0..p2 are scale factors, else their
// squares. anisochange 0: d = S M M^T S with S = diag(s0, s1, s2) and M the
// unit lower triangle (p3; p4, p5); 2: d = L L^T with L = [[s0], [p3, s1],
// [p4, p5, s2]]; 1: converts p in place from form 0 to form 2 (p3 *= s1,
// p4 *= s2, p5 *= s2) and leaves d alone.
void anisoinit(double p[6], bool flag);

// R t R^T for a 3 x 3 matrix R and a symmetric t, both row by row.
void transformtensor(const double R[9], const double t[9], double out[9]);
// The six components 11, 22, 33, 12, 13, 23 of a 3 x 3 tensor (row by row),
// the off-diagonal ones as the mean of the two symmetric entries.
void tensorcomponents(const double t[9], double out[6]);

// The value of an anisotropy object of the current phase for (h, k, l) with
// Q = 1/d^2 of the triple: kind 0 its constant, 1 s sqrt(q/Q), 2 s q/Q, 3 s
// (fourth-order form)/Q^2.
double anisovalue(const AnisotropyRecord* object, double h, double k, double l, double Q);
// The texture weight of a phase of texture kind SPHAR2..SPHAR10 for (h, k,
// l): exp of the symmetrised expansion over Q^(n/2), held within
// 1.0842021724855044e-13 .. 18446743523953.73.
double spharvalue(const PhaseRecord* phase, double h, double k, double l, double Q);
// 1/d^2 of (h, k, l) in the phase's reciprocal metric (nm^-2).
double hklQ(const PhaseRecord* phase, double h, double k, double l);

// Symmetrises every anisotropy object of the phase: kinds 1 and 2 from their
// six parameters through anisoinit, kind 3 from its packed 6 x 6 factor; each
// keeps its first image and its mean over the operators, and with more than
// one operator the deviations scaled by the reciprocal lengths as penalty
// values. While the phase's anisotropy set-up flag is set the penalty rows are
// registered. The operator table must be filled.
void anisosymmetrie(PhaseRecord* phase);

// Symmetrises the texture coefficients of the phase's order (texture kinds
// SPHAR2..SPHAR10; nothing for the others): while the texture set-up flag is
// set builds the projector (messages 49 and 50) and registers the penalty
// rows; every call computes the symmetrised coefficients and, while penalty
// rows are being measured, their penalty values.
void textursymmetrie(PhaseRecord* phase);

// Formula functions of a phase (arguments are formula texts):
// sk(h, k, l): 1/d, in the phase's unit (x 0.1 for angstrom).
double sk(const char* name, const char* const* args, int nargs);
// ANISO(name, h, k, l): the anisotropy object of that name (the earliest
// defined of equal names), else the variable of that name evaluated with sk,
// zweiTheta (while 2 l0 > sk), h, k, l set.
double aniso(const char* name, const char* const* args, int nargs);
// GEWICHT(h, k, l): the texture weight by the phase's texture kind: NONE the
// anisotropy GEWICHT, SPHAR0 the constant, SPHARn the expansion.
double hklgewicht(const char* name, const char* const* args, int nargs);
// TDS(h, k, l) at phase level, B1(h, k, l), k2(h, k, l): ANISO of TDS, B1,
// k2; 0 when that fails.
double globaltds(const char* name, const char* const* args, int nargs);
double b1(const char* name, const char* const* args, int nargs);
double k2(const char* name, const char* const* args, int nargs);
// TDS(h, k, l) inside an atom (pa) of TDS kind 2..4: kind 2 the displacement
// B of the direction, 4 h^T b h / Q with the first site's coefficients (x 100
// for angstrom); kinds 3, 4 the atom's variable TDS.
double tds(const char* name, const char* const* args, int nargs);
// GrainSize(h, k, l): grain diameter from B1 (and k1 with four peak
// parameters).
double graindiameter(const char* name, const char* const* args, int nargs);

// The mean over all directions of the anisotropy object's function, or with
// none of the phase's texture function (kinds SPHAR2..SPHAR10); while
// ifmaxgewicht is set the largest value met raises the phase's gewichtmax.
// The outer integral runs on the worker pool. Current phase, main thread.
double gewicht(AnisotropyRecord* object);

}  // namespace crystal
