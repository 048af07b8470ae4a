// Structures for the tests of the reflection lists, structure factors and
// coordinate functions: a phase set up as far as the structure set-up takes
// it (cell and space group, the general operators copied into the operator
// table, every atom placed on all sites of its Wyckoff position with each
// centring translation, weights, occupancies and displacements). The tests
// hold an installation and a run scope of the harness.
#pragma once

#include <string>
#include <vector>

#include "crystal_harness.hpp"

namespace ktest {

// One atom of a structure: E= item, Wyckoff letter, coordinates (only those
// the position leaves free are used), isotropic B in nm^2.
struct AtomSpec {
  std::string eitem;
  std::string wyckoff;
  double x, y, z;
  double B;
};

// One reflection of the reference file tests/data/crystal_reference.txt
// (made by tools/reference/structure_factors_cctbx.py with an independent
// crystallographic library): indices, multiplicity without the Friedel mate,
// 1/d^2 (nm^-2), |F| for Cu X-rays and for neutrons.
struct RefLine {
  int h, k, l;
  int multiplicity;
  double sk;
  double fx, fn;  // |F| X-ray, neutrons
};

// One structure of the reference file: its selectors, cell (nm, degrees),
// atoms, the 1/d^2 limit of its list and every reflection up to it that is
// neither absent nor extinct, ordered by 1/d^2.
struct ReferenceStructure {
  std::string name;
  std::vector<std::string> selectors;
  double cell[6];
  std::vector<AtomSpec> atoms;
  double skmax;
  std::vector<RefLine> refs;
};

// The structures of the reference file, in file order.
std::vector<ReferenceStructure> readreference();

// A phase with the header items and the cell keys set (A, B, C, ALPHA, BETA,
// GAMMA; zero values are left out), its cell and space group set up, and the
// atoms placed with weight 1 for every reflection kind, TDS kind 1 and the
// occupancies of their species (the given ones, the rest shared equally);
// with scat the species get their scattering data (afainit first). Null,
// with a test failure, when the set-up left through the error frame.
crystal::PhaseRecord* make_structure(const std::vector<std::string>& header, const double cell[6],
                                     const std::vector<AtomSpec>& atoms, bool scat = false);

// Copies the rotations of the phase's general operators into its operator
// table, as the structure set-up does.
void copy_operators(crystal::PhaseRecord* phase);

// Puts the atom on every site of its Wyckoff position with each centring
// translation of the phase, from the free coordinates x, y, z.
void place_sites(crystal::PhaseRecord* phase, crystal::AtomRecord* atom, double x, double y,
                 double z);

// The reflections of reflection kind 0 of the current phase (phasei) up to
// 1/d^2 = skmax, generated as the refinement driver generates them: the
// half-space h >= 0 (k >= 0 for h = 0, l >= 1 for h = k = 0), the lattice
// centring, the general reflection condition, equivalents met before skipped
// through the table, reflections whose structure factor (X-ray or neutron,
// with f' and f'') vanishes entered as absences only; a record per
// reflection with its F-records (the inverse in a second one unless it is
// equivalent), |F| from fcalc, sorted by heapsort with refvergleich. The
// table must end empty (else a test failure). No angular range, no Le Bail
// kind.
void generate_reflections(double skmax);

}  // namespace ktest
