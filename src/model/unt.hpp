// The background under a measured pattern, a function of x = sin(theta):
// a polynomial in ln x in Lagrange form on ru nodes spread evenly over the
// data range (its values at the nodes are the coefficients), optionally a
// measured curve scaled by one more coefficient (key UNT) and optionally a
// measured curve added as it is (key UNTC). The curves are read through the
// scan reader, so any scan format serves; a list written "TDS(names)" is
// first given the thermal-diffuse correction.
#pragma once

namespace model {

// Sets the model up over the data's sin(theta) values x[0..nx-1] (nx >= 1)
// with ru coefficients requested; scaled and fixed are curve lists
// ("a.raw,b.raw" or "TDS(a.raw)") or null. With a scaled curve the last
// coefficient becomes its scale. ru = 0 sets nothing up. Replaces any
// earlier set-up. Main thread.
// More than kMostBackground coefficients end the run with message -117: the
// set-up and every value cost the square of the count, and a polynomial of
// such an order has no meaning in single precision anyway.
void unt1(int ru, const float* x, int nx, const char* scaled, const char* fixed);
constexpr int kMostBackground = 50;
// Background at sin(theta) = x for the coefficients p. Any thread.
float unt(const float* p, double x);
// Derivatives with respect to the coefficients into d: one per polynomial
// node, then one for the scaled curve when there is one. p is not used.
void unta(const float* p, float* d, double x);
// The nodes as sin(theta) into p (when p is given); returns the number of
// polynomial coefficients.
int untx0(float* p);
// Frees the nodes and curves.
void unt2();

}  // namespace model
