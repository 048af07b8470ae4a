// Crystallographic exports of the refined phases for other software: the
// instruction file in the SHELX .res layout (cell with its uncertainties,
// symmetry, scattering factors, atoms with their displacement parameters)
// and the coordinate file in the protein-databank record layout (CRYST1,
// ORIGX, SCALE, ATOM). Lengths in angstrom, displacements in angstrom^2.
// Every file goes through the suite's one file writer.
#pragma once

#include <string>

#include "crystal/tamrel.hpp"

namespace tamrel {

// What the final model knows of the uncertainties of the cell: the packed
// covariance matrix of the rqmin refined parameters (null when nothing was
// refined or its inversion failed: every uncertainty is then 0) and the goal
// derivative rows (crystal::a, one row of rqmin values per goal) of the cell
// goals. The instruction file's uncertainties are sqrt(a^T C a) without the
// error scale factor that the list file's "+-" values carry.
struct CellErrors {
  const double* covariance = nullptr;
};

// Writes the instruction file of every phase with RESOUT[p] (data set 0) or
// RESOUT[dataset,p] defined, in phase order. The driver calls it once per
// data set in its output step, before the refined structure files. A file
// that cannot be written is warning 259 with its name and is skipped; a store
// error (a malformed symmetry component) prints message 261 for an atom and
// 260 with the phase number and passes the error on.
void writeinstructionfiles(int dataset, const CellErrors& errors);

// Writes the coordinate file of every phase with PDBOUT[p] (data set 0) or
// PDBOUT[dataset,p] defined, in phase order. The driver calls it once per data
// set in its output step, after the structure-factor files. A file that
// cannot be written is warning 263 with its name and is skipped.
void writecoordinatefiles(int dataset);

// Writes the structure-factor files of every phase without output components
// (FMult 0), one per reflection set s: for data set 0 under FCFOUT[p,s], for
// set 1 also FCFOUT[p]; for an additional data set i under the keys of its
// own, STANDALONEFCFOUT[i,p,s] and for set 1 STANDALONEFCFOUT[i,p], so that
// no data set replaces another's files. Nothing without measured points or
// in derivative mode (DDM). Evaluates the pattern model of the reflection
// peak set once (model::modell with crystal::param) for the observed-to-
// computed ratio of every point, with y and u of its own (the caller's are
// kept), then each reflection's peak alone without background; the
// background is set up again as the run had it (runstate). The driver calls
// it once per data set in its output step, after the structure files and
// before the coordinate files. A file that cannot be written is warning 266
// with its name; a set of freely refined intensities is warning 32 first.
void writestructurefactorfiles(int dataset);

// The structure-factor file of reflection set `set` (0-based) of one phase at
// path (extension "fcf" added when missing): per equivalent triple of every
// F-record of every reflection of the set in use, h, k, l, F_obs = q |F|,
// F_calc = |F| and the phase angle of the triple's structure factor, with q
// = ratio(reflection); false, after warning 266, when it cannot be written.
// The phase must be set up (xyzinit) in the current scopes.
bool writestructurefactors(const crystal::PhaseRecord* phase, int set, const char* path,
                           double (*ratio)(const crystal::ReflectionRecord*));

// One phase's instruction file at path (extension "res" added when it has
// none); false, after warning 259, when it cannot be written. The wavelength
// comes from model::l0.
bool writeinstruction(const crystal::PhaseRecord* phase, const char* path,
                      const CellErrors& errors);

// One phase's coordinate file at path (extension "pdb" added when missing);
// false, after warning 263, when it cannot be written.
bool writecoordinates(const crystal::PhaseRecord* phase, const char* path);

}  // namespace tamrel
