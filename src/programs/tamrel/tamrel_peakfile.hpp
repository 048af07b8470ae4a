// The peak-parameter file of a data set: the refined reflections of all
// phases as single peaks, with a header that re-establishes the settings
// under which they were computed (instrument profile, wavelength, angle
// window, excluded ranges, background, zero and shift corrections), so that
// the peak-fitting, instrument-profile and plot programs evaluate the peaks
// exactly as the refinement did.
#pragma once

#include <cstdio>

namespace tamrel {

// Writes the whole file content: header record, one record per reflection
// in use (phase after phase), background record without a line end.
void peakfilecontent(FILE* f);

// Writes the peak-parameter file of data set i (OUTPUT, OUTPUT[i]; without
// the key the control file's name with the extension "par", with "_i"
// before it for data set i); message 262 when it cannot be written, nothing
// when another data set wrote that file (warning 285).
void writepeakfile(int dataset);

}  // namespace tamrel
