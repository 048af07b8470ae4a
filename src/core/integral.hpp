// Adaptive quadrature of a real or complex function of one real variable over
// a finite interval.
//
// integral7   adaptive seven-point closed Newton-Cotes rule (the workhorse)
// integral3   adaptive Simpson rule
// cintegral7  the complex twin of integral7
// parallelintegral7  the seven-point rule with the integrand evaluated on the
//             worker threads, one abscissa at a time
//
// eps is relative to the integrand's scale: a panel is accepted when the
// refined rule differs from the coarse one by at most eps x panel width x the
// largest |f| seen so far. a > b is allowed; the result then changes sign.
// Every entry point stops refining at a depth of its own (see integral.cpp),
// so a tolerance of 0, a negative or NaN tolerance, or NaN limits end too.
#pragma once

namespace core {

// The caller's pointer is passed through unchanged and never read here.
using Integrand = double (*)(void* pointer, double x);

struct ComplexValue {
  double re;
  double im;
};
using ComplexIntegrand = ComplexValue (*)(void* pointer, double x);

// Re-entrant: may be nested (an integrand may integrate) and may run on any
// thread, several at once.
double integral7(Integrand f, void* pointer, double a, double b, double eps);
double integral3(Integrand f, void* pointer, double a, double b, double eps);
ComplexValue cintegral7(ComplexIntegrand f, void* pointer, double a, double b, double eps);

// The integrand is called on the worker threads, several calls at once; it
// must be safe to call concurrently. One call at a time in the process, from
// a thread outside the pool. When that cannot hold (fewer than two workers, a
// call from a worker, or a call while another one runs) the same panels are
// evaluated on the calling thread instead.
double parallelintegral7(Integrand f, void* pointer, double a, double b, double eps);

}  // namespace core
