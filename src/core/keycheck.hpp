// Numeric keys read with their values checked: a key the user set to a value
// that is no number, not finite or outside what it can mean ends the run with
// a message naming the key and the value, before anything is written.
//
//   double wmin = 0;
//   core::optnumber("WMIN", &wmin);            // false: not defined, wmin kept
//   core::keyangle("WMIN", wmin);              // 0 <= wmin <= 180 or message -101
//   core::keywindow("WMIN", wmin, "WMAX", wmax);
//
// The key names of the messages carry their indices ("WMAX2[1]", see keyname).
#pragma once

#include <string>

namespace core {

// The name of a key with its indices as a message names it: "WMAX2[1]",
// "VAL[2,1]".
std::string keyname(const char* name, int nidx = 0, const int* idx = nullptr);

// Reads an optional numeric key (array element when nidx > 0): false when it
// is not defined, v then unchanged. A key that is defined but cannot be
// evaluated to a number ends the run with message -105 (its text and the
// store's reason), a value that is not finite with message -100.
bool optnumber(const char* name, double* v);
bool optnumber(const char* name, int nidx, const int* idx, double* v);
// The same for a key that holds a whole number: the value rounded to the
// nearest integer; a value beyond the range of int ends the run with -104.
bool optint(const char* name, int* v);
bool optint(const char* name, int nidx, const int* idx, int* v);

// Checks of a value read: each returns the value when it passes and ends the
// run with a message naming the key and the value when it does not.
// A finite number (message -100).
double keyfinite(const std::string& key, double v);
// A diffraction angle 2theta in degrees from lo to hi, both included (-101).
double keyangle(const std::string& key, double v, double lo = 0, double hi = 180);
// A finite number above 0 (-103).
double keypositive(const std::string& key, double v);
// A finite number from lo to hi, both included (-104).
double keyrange(const std::string& key, double v, double lo, double hi);
// An angle window lo..hi that holds more than one angle: lo below hi (-102).
void keywindow(const std::string& lokey, double lo, const std::string& hikey, double hi);

}  // namespace core
