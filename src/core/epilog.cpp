// Common end routine: placeholder until the frame is built.
#include "core/fatal.hpp"
#include "core/frame.hpp"

void epilog() { internal_error("frame not built yet", "mac/epilog", 0); }
void epilog_reduced(FILE*) { internal_error("frame not built yet", "mac/epilog", 0); }
