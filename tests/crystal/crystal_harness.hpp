// Test harness of the crystal model: builds phases, atoms, elements and
// parameter records from structure-file items the way the refinement driver
// does (creation defaults, header keywords, E= items, statements stored for
// the set-up), so that the model's routines can be run on small structures.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "crystal/tamrel.hpp"
#include "testsupport.hpp"

namespace ktest {

// Builds a phase from its header items and appends it to the phase list.
// Keyword items set the record's fields as the driver does (UNIT=, RefMult=,
// FMult=, RP=, BondLevel=, Theory=, PHASE=, Pack=, LeBail=, Bondings=,
// GeneralCondition=, the eight selectors, GEWICHT=SPHARn, LIMITn=); every
// item is also stored as a parameter record of the phase, keywords with the
// skip flag, statements (A=0.5431) without it.
crystal::PhaseRecord* make_phase(const std::vector<std::string>& header);

// Appends an atom to the phase: eitem is the E= item ("E=Si",
// "E=Fe(0.4),Co"), items the rest of the atom (Wyckoff=, statements). With
// scat the elements get their scattering data from afaparm as the driver
// gives them (the data must be loaded; a failed lookup is a test failure).
crystal::AtomRecord* make_atom(crystal::PhaseRecord* phase, const std::string& eitem,
                               const std::vector<std::string>& items, bool scat = false);

// Puts an anisotropy object at the head of the phase's list (newest first),
// as the driver declares one: name, kind, refined parameters (six, or the 21
// of a packed 6 x 6 factor), scale factor s, and for kind 0 its value.
crystal::AnisotropyRecord* make_aniso(crystal::PhaseRecord* phase, const std::string& name,
                                      uint32_t kind, const std::vector<double>& params,
                                      double s = 1.0, double value = 0.0);

// Runs body in a forked child, so that a worker pool it makes (the mean over
// all directions spreads its integral on one) stays out of this process,
// whose later children could not use it; the child's test failures are
// reported here with its output.
void in_child(const std::function<void()>& body);

// Frees every phase and resets the shared state the harness touched.
void free_phases();

// A temporary installation with copies of the named shipped files (all when
// the list is empty; the message catalogue always), current for the loaders
// of the crystal model; the scattering data and the space groups loaded from
// it are freed at the end.
class CrystalInstall {
 public:
  explicit CrystalInstall(const std::vector<std::string>& files = {});
  ~CrystalInstall();
  CrystalInstall(const CrystalInstall&) = delete;
  CrystalInstall& operator=(const CrystalInstall&) = delete;
  // Writes a file of the installation (a database written here is loaded at
  // the next search).
  void write(const std::string& name, const std::string& content);
  const std::string& path() const { return inst_.path(); }

 private:
  TempInstall inst_;
};

// An installation with every shipped file and the scattering data of copper
// X-rays loaded.
struct CopperInstall : CrystalInstall {
  CopperInstall();
};

// A table of the equivalent reflections met (hkltable) of prime buckets for
// a scope; the entries left in it are freed at the end.
struct HklTable {
  explicit HklTable(int prime = 101);
  ~HklTable();
  HklTable(const HklTable&) = delete;
  HklTable& operator=(const HklTable&) = delete;
};

// A scope of the run on the store (lookup mode 2), discarded at the end.
struct RunScope {
  RunScope();
  ~RunScope();
  RunScope(const RunScope&) = delete;
  RunScope& operator=(const RunScope&) = delete;
};

// Frees the phases at the end of a scope.
struct PhaseList {
  PhaseList() = default;
  PhaseList(const PhaseList&) = delete;
  PhaseList& operator=(const PhaseList&) = delete;
  ~PhaseList() { free_phases(); }
};

}  // namespace ktest
