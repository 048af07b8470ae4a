// The final model of a data set and its error estimates: the refined model
// evaluated once more, the normal matrix of all residuals and its regularised
// inverse (the covariance of the refined parameters), the scale of the
// errors, the figures of merit, each phase's weighted residual, the "1-rho"
// correlation of the background-free patterns, the refined global
// parameters written back and the reflections in use. The outputs of the
// data set read what is kept here.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "numeric/qmin8.hpp"

namespace tamrel {

// What the data of the final model say about one refined parameter; the
// numbers are the error states of the list file.
enum : uint8_t {
  MARK_ATBOUND = 0,     // at its minimum or maximum: error 0
  MARK_FREE = 1,        // an error estimate
  MARK_INSENSITIVE = 2  // the fit does not depend on it
};

// Diagonal of an insensitive parameter in the regularised matrix.
constexpr double kInsensitiveDiagonal = 2.22507385850722e-306;
// Scale of a free parameter's diagonal.
constexpr double kFreeScale = 1.0000000000000222;
// Threshold of the Cholesky inversions.
constexpr double kInversionEps = 2.220446049250313e-15;

// The regularised normal matrix of P parameters (packed lower triangle):
// each diagonal element is marked and changed by the parameter's state: 0
// marks insensitive (set to kInsensitiveDiagonal), a value at its minimum or
// maximum marks at-bound (set to atbound), else free (times kFreeScale).
void regularise(double* A, const numeric::QminParam* rec, int P, double atbound, uint8_t* marks);

// The scale of the errors: sqrt(S / dof) when the sum of squares S reaches
// dof + 3 sqrt(2 dof), else 1; 1 without degrees of freedom. The degrees of
// freedom are the residuals that carry information minus the parameters.
double errorscale(double S, long informative, int P);

// Results of the final model of the current data set.
struct FinalModel {
  int n = 0;              // residuals: points, penalty rows, restraint residuals
  long informative = 0;   // residuals that carry information (degrees of freedom + P)
  double S = 0;           // sum of squares, restraint constant included
  double g = 1;           // scale of the errors
  std::vector<double> N;  // normal matrix of all residuals (packed)
  std::vector<double> C;  // its regularised inverse: the covariance / g^2
  std::vector<double> R;  // normal matrix of the residuals after the points
  std::vector<uint8_t> marks;
  bool covariance = false;  // C is the inverse (residuals and parameters, inversion succeeded)

  // Sums of the figures of merit over the measured points (I measured, y
  // model, w weight, r weighted residual, b background).
  double sumdiff = 0;       // sum |y - I|
  double sumdiff2 = 0;      // sum (y - I)^2
  double sumr2 = 0;         // sum r^2
  double sumI = 0;          // sum |I|
  double sumwI2 = 0;        // sum (w I)^2
  double sumI2 = 0;         // sum I^2
  double sumIb = 0;         // sum |I - b| (not in derivative mode)
  double durbinwatson = 0;  // sum over i >= 1 of (r_i - r_(i-1))^2 (not in derivative mode)
  bool hasrho = false;      // the background fit of the 1-rho figure could be inverted
  double rho = 0;

  int peakzahl = 0;  // reflections in use
  char endtime[32] = "";

  // Error of parameter k: g sqrt(C_kk); 0 without a covariance.
  double sigma(int k) const;
};
extern FinalModel finalmodel;

// The covariance part of the final model from the normal matrix N of P
// parameters: regularised copy, inverse (warning 225 when it fails: C as the
// inversion left it, no error estimates), rows of at-bound parameters zeroed.
// n residuals, of which informative carry information, and sum of squares S
// give the scale g.
void covariance(FinalModel& fm, const numeric::QminParam* rec, int P);

// The "1-rho" line: "1-rho=%.*f%c\n" with 100 (1 - rho), as many decimals
// as -floor(log10(1 - rho)) when rho < 1 (else none), and '%'.
void printrho(FILE* f, double rho);

// The final model of the current data set: the refined model evaluated once
// more, the normal matrices with the goal derivatives, the figures of merit
// with each phase's weighted residual and the 1-rho line (printed), the
// covariance, the refined global parameters written into the store, the
// reflections in use and the end time.
void computefinal();

// Frees the goal derivative rows.
void freegoalrows();

}  // namespace tamrel
