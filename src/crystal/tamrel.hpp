// The crystal-structure model of the refinement: one public header over the
// files of one concern each.
#pragma once

#include "crystal/afa.hpp"
#include "crystal/aniso.hpp"
#include "crystal/cell.hpp"
#include "crystal/cycle.hpp"
#include "crystal/fcalc.hpp"
#include "crystal/goal.hpp"
#include "crystal/hkl.hpp"
#include "crystal/line.hpp"
#include "crystal/parmaxfree.hpp"
#include "crystal/records.hpp"
#include "crystal/services.hpp"
#include "crystal/setup.hpp"
#include "crystal/texturetab.hpp"
#include "crystal/vector.hpp"
