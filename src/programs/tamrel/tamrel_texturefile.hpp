// The texture file of a phase: the refined spherical-harmonics texture of
// order 2 to 10 as text, one line with the cell, the mean and maximum
// texture weight and the order, then one line per monomial h^i k^j l^l of
// that degree with its exponents, its number of index tuples and the
// phase's coefficient.
#pragma once

#include <cstdio>

#include "crystal/records.hpp"

namespace tamrel {

// The contents of the texture file of a phase whose texture kind is SPHAR2
// or above: the header with the cell (nm, degrees), the mean and maximum
// texture weight as the list file last computed them and the order n, then
// the (n + 1)(n + 2)/2 monomials from (n, 0, 0) on, where (i, j, l) is
// followed by (i, j - 1, l + 1) while j > 0 and else by (i - 1, n - i + 1, 0).
void texturefilecontent(FILE* f, crystal::PhaseRecord* phase);

// Writes the texture file of every phase with a texture of order 2 or above
// for data set i: PO[p] for data set 0, PO[i,p] for an additional data set,
// p the phase number, the extension "po" added when the name has none. An
// undefined key writes nothing; a file that cannot be written is warning 267
// with its name and is skipped. Runs after the list file, which recomputes
// the mean and maximum texture weights.
void writetexturefiles(int dataset);

}  // namespace tamrel
