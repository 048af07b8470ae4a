// The refinement stages: the isotropic model (stage 0), the texture (stage
// 1), the anisotropic tensors and temperature factors (stage 2) and a final
// polish of the whole model with a tight convergence factor (stage 3, only
// with measured points). Each stage collects its refined parameters with
// their bounds, checks the start, and runs the least-squares minimiser on the
// model evaluation cycle. Before stages 1 and 2 a significance analysis of
// the previous fit lowers the texture order and switches off anisotropy and
// anisotropic temperature factors the data cannot carry.
#pragma once

#include "crystal/records.hpp"
#include "numeric/qmin8.hpp"

namespace tamrel {

// Cumulative number of texture coefficients that a Laue class (0..10)
// admits up to the texture orders 0, 2, 4, 6, 8, 10.
extern const int zaehligkeit[11][6];

// The texture order a phase keeps after the significance test: kind its
// texture kind (TEXTURE_*), laue its Laue class, q the significance of its
// mean weight, N the estimated number of free parameters its data carry.
// Each order 2..10 is tested in turn against its LIMITn when given, else
// against the coefficient count of the Laue class; every reduction prints
// warning 51. Returns the new kind; the phase itself is not changed.
int textureorder(const crystal::PhaseRecord* phase, int kind, int laue, double q, double N);

// start plus the sum of the squares of the n residuals r, each square formed
// in single precision and added in the residuals' order.
double sumsquares(const float* r, int n, double start);

// Adds the derivative rows of the n residuals r of the current model to the
// packed normal matrix N of P parameters, and the rows beyond the m measured
// points also to R when it is given. Returns the number of rows that carry
// information: every measured point, every further row with a residual or a
// derivative.
long normalrows(const float* r, int n, int P, double* N, double* R);

// The stage loop of the refinement: stages 0, 1, 2, and 3 with measured
// points. Leaves qminparam, rqmin, noequiv and the derivative buffers of the
// last stage in place and adds the minimiser's iterations to the run's total.
void stages();

// The progress lines of the fit of a further data set (from 1): one line per
// point the minimiser stands on, with the data set, the iteration and the Rwp
// of its measured points (message 372). Returns the callback for qmin8.
numeric::Qmin8Progress datasetprogress(int dataset);

// Frees the records and derivative buffers of the last stage.
void freestages();

// The refinement of the measured pattern and the outputs of data set 0 that
// follow from it: the stage loop, the final model with its error estimates,
// the list file, the instruction files, the refined and simplified
// structure files, the structure-factor files, the coordinate files and the
// peak-parameter file.
void refine();

// The outputs of one data set in their order: the list file, the
// instruction files, the refined and simplified structure files, the
// structure-factor files, the coordinate files and the peak-parameter file.
void writeoutputs(int dataset);

// Frees what the refinement kept: records, derivative buffers, goal rows.
void freerefinement();

}  // namespace tamrel
