// Structures for the tests of the reflection lists, structure factors and
// coordinate functions: a phase set up as far as the structure set-up takes
// it (cell and space group, the general operators copied into the operator
// table, every atom placed on all sites of its Wyckoff position with each
// centring translation, weights, occupancies and displacements), in a run
// scope of its own over an installation with the shipped data.
#pragma once

#include <string>
#include <vector>

#include "crystal_harness.hpp"

namespace ktest {

// The shipped installation data, current for the loaders; the run's scope
// (lookup mode 2) on top of the store. Both go at the end of the test.
class CrystalRun {
 public:
  CrystalRun();
  ~CrystalRun();
  CrystalRun(const CrystalRun&) = delete;
  CrystalRun& operator=(const CrystalRun&) = delete;
  const std::string& path() const { return inst_.path(); }

 private:
  TempInstall inst_;
  PhaseList phases_;
};

// One atom of a structure: E= item, Wyckoff letter, coordinates (only those
// the position leaves free are used), isotropic B in nm^2.
struct AtomSpec {
  std::string eitem;
  std::string wyckoff;
  double x, y, z;
  double B;
};

// A phase with the header items and the cell keys set (A, B, C, ALPHA, BETA,
// GAMMA; zero values are left out), its cell and space group set up, and the
// atoms placed with weight 1 for every reflection kind, TDS kind 1 and equal
// occupancies of their species. False (with a test failure) when the set-up
// left through the error frame.
crystal::PhaseRecord* make_structure(const std::vector<std::string>& header, const double cell[6],
                                     const std::vector<AtomSpec>& atoms);

// Copies the rotations of the phase's general operators into its operator
// table, as the structure set-up does.
void copy_operators(crystal::PhaseRecord* phase);

// Puts the atom on every site of its Wyckoff position with each centring
// translation of the phase, from the free coordinates x, y, z.
void place_sites(crystal::PhaseRecord* phase, crystal::AtomRecord* atom, double x, double y, double z);

}  // namespace ktest
