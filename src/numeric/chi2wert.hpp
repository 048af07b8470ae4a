// Chi-square distribution and the suite's own error functions, computed by
// adaptive quadrature of their densities.
#pragma once

namespace numeric {

// P(chi-square with n degrees of freedom <= x), in [0, 1]. n < 1 is an
// internal error.
double chi2wert(int n, double x);
// 1 - chi2wert(n, x), computed directly for the tail.
double chi2wertc(int n, double x);

// The suite's error function and complementary error function. They carry
// the C library's names and meaning but live in this namespace so that they
// neither replace nor clash with the C library's erf and erfc: callers of the
// suite write suite::erf and suite::erfc.
namespace suite {
double erf(double x);
double erfc(double x);
}  // namespace suite

}  // namespace numeric
