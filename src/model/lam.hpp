// The wavelength distribution of the radiation: a small set of spectral lines
// (for a laboratory tube the components of its characteristic doublet), each
// with a relative intensity, a reciprocal wavelength and a width. Loaded once
// from "<name>.lam" in the installation directory, or taken from the name
// itself as a single wavelength when no such file exists.
#pragma once

namespace model {

extern int ilam;    // number of lines; 0 when nothing is loaded
extern double* ij;  // [ilam] relative intensity of each line (not normalised)
extern double* lj;  // [ilam] reciprocal wavelength of each line
extern double* dj;  // [ilam] width of each line, in the unit of lj
extern double l0;   // intensity-weighted mean reciprocal wavelength

// Replaces any loaded set. A name without a file that is no positive
// wavelength ends the program (message -222); a faulty file too (-223).
// Main thread, before workers read the lines.
void initlam(const char* name);
// Frees the lines; ilam := 0, l0 keeps its value.
void freelam();

}  // namespace model
