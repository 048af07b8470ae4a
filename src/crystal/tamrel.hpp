// The crystal-structure model of the refinement: one public header over the
// files of one concern each.
#pragma once

#include "crystal/afa.hpp"
#include "crystal/tamrel_aniso.hpp"
#include "crystal/tamrel_cell.hpp"
#include "crystal/tamrel_cycle.hpp"
#include "crystal/tamrel_fcalc.hpp"
#include "crystal/tamrel_goal.hpp"
#include "crystal/tamrel_hkl.hpp"
#include "crystal/tamrel_line.hpp"
#include "crystal/tamrel_parmaxfree.hpp"
#include "crystal/tamrel_records.hpp"
#include "crystal/tamrel_services.hpp"
#include "crystal/tamrel_setup.hpp"
#include "crystal/tamrel_texturetab.hpp"
#include "crystal/tamrel_vector.hpp"
