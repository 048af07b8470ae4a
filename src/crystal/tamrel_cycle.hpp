// The model evaluation cycle of the refinement: one evaluation of every phase
// (tabcopy), the residual callback of the minimiser (totalmodell) and its
// derivative-row callback (totalableitung), which also writes the diagram
// file.
//
// Residual rows: the m data points (in derivative mode the derivative rows),
// then one row per penalty row of straferst in list order, then the mplus
// restraint residuals fxplus. Columns: the noequiv structural parameters of
// qminparam first, then the direct peak-model parameters, whose index field
// is their column in a peak-model derivative row.
//
// The driver sets before each minimiser run: durchlauf, ermodfaktor,
// linstrafinit = 1, qminparam/rqmin/noequiv, the derivative buffers
// (peakableitung, strukturableitung of derivativeblock() rows, kettenregel,
// matrixmultdim; strafableitung after one tabcopy), and localphase =
// lastphase = null. It registers one temperature-factor penalty row per atom,
// on the atom's penalty value: tabcopy combines the per-thread slots of the
// line computation into it, so that the residuals do not depend on the
// number of threads.
#pragma once

namespace crystal {

// Rows of the pattern that one pass of the workers computes ahead (the rows
// of peakableitung and strukturableitung): 16 per worker, so that the hand-off
// to the workers is paid once per 16 rows each.
int derivativeblock();

// One evaluation of the model with the current parameter values: global
// parameters into a scope, then per phase its structure set-up, every
// reflection line on the worker threads and, while ifgoal is set, its goals;
// then the global goals. While localphase and lastphase are both set only
// those two phases are computed again (the others keep their lines). Main
// thread. An error in a phase prints message 260 with the phase number and
// goes on to the caller's error frame; a fatal message of a line raised on a
// worker is printed here, after the workers are done, and ends the run.
void tabcopy();

// Residual callback of qmin8: frees *residuals, evaluates everything and
// returns in *count = m + istraf + mplus and *residuals a new array (null for
// 0) of the weighted pattern residuals, the penalty rows and the restraint
// residuals; sets ermod and moderror. Returns true.
bool totalmodell(int* count, float** residuals);

// Derivative-row callback: the rqmin derivatives of residual row i. Rows come
// in ascending order from 0 in every pass. Row 0 writes the diagram file (when
// the model array y exists) and measures by finite differences how every
// structural parameter moves the peak parameters, penalty rows, restraint
// residuals and goals; the pass ends with the model evaluated at the
// unchanged values. Data rows are built 4 x nthreads at a time on the worker
// pool. A finite-difference step outside a parameter's bounds ends the run
// (message -184, status 184).
void totalableitung(float* row, int i);

}  // namespace crystal
