// Common start routine: placeholder until the frame is built.
#include "core/fatal.hpp"
#include "core/frame.hpp"

void prolog(int, char**, const char*, void (*)()) { internal_error("frame not built yet", "mac/prolog", 0); }
void prolog_reduced(int, char**) { internal_error("frame not built yet", "mac/prolog", 0); }
