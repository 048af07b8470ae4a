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
// (kettenregel, matrixmultdim; strafableitung after one tabcopy), and
// localphase =
// lastphase = null. It registers one temperature-factor penalty row per atom,
// on the atom's penalty value: tabcopy combines the per-thread slots of the
// line computation into it, so that the residuals do not depend on the
// number of threads.
#pragma once

#include <cstdint>

namespace crystal {

// The longest block of data rows that one hand-off to the pool computes
// ahead in the ordinary mode, and that the derivative mode computes at a
// time: as many as fit into 32 MB of finished rows (rqmin floats each; in
// the derivative mode with the points' columns), or at most rows when
// rows > 0 (tests of several blocks); 0 restores the default.
void limitrowsahead(int rows);

// Whether the diagram file that row 0 writes waits for the disk to hold it
// before it replaces the old one (on unless switched off): the refinement
// switches it off while its cycles write the diagram again and again, and
// on for the final model's diagram, the one that stays.
void syncdiagram(bool on);

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
// unchanged values. In the ordinary mode the data rows after row 0's first
// four are computed on the worker pool while the caller takes them (row 1
// hands them out, so a caller that takes row 0 only leaves no work running);
// a pass left early is finished by the next call of the cycle. In the
// derivative mode the rows are built a block at a time: the peak-model row
// of every point the block's windows take in, on the pool, is taken through
// the chain rule at once, and each row is the window of the points' few
// columns. A
// finite-difference step outside a parameter's bounds ends the run (message
// -184, status 184).
void totalableitung(float* row, int i);

// Where the time of the cycle goes, counted since the last
// resetcyclestats(): for the benchmark of the refinement's inner loop. Busy
// times are the workers' own time inside the work functions, summed over the
// workers; a pass's wall time runs from the hand-off to the last worker done,
// so that pass wall time x workers - busy time is what the hand-offs, the
// waits and an uneven share cost. A worker's waits are the wall time from
// the hand-off to the start of its work function and from the end of that
// to the end of the pass (the slowest worker's last item); a worker that
// came to a pass only after the caller's share of it was over skips it and
// counts no wait. The busy times
// are counted only after timecycle(true): each reading of a worker's
// processor clock is a system call, which a refinement need not pay.
struct CycleStats {
  int64_t evaluations = 0;     // tabcopy calls
  int64_t threadphases = 0;    // starts of the store's threaded phase
  int64_t handoffs = 0;        // hand-offs of work to the pool by the cycle
  int64_t lines = 0;           // reflection lines computed
  double evaluationms = 0.0;   // tabcopy calls, wall time
  double phasems = 0.0;        // starting and ending the threaded phase
  double linems = 0.0;         // line passes, wall time
  double linebusyms = 0.0;     // line passes, busy time of the workers
  double linewaitms = 0.0;     // line passes, the workers' waits for their start and the end
  double linestartms = 0.0;    // of which the waits for their start
  double firstrowms = 0.0;     // row 0 of the derivative passes, wall time
  double blockms = 0.0;        // blocks of derivative rows, wall time (in the ordinary mode
                               // from the hand-off until the caller took the block's last row)
  double blockbusyms = 0.0;    // blocks of derivative rows, busy time of the workers
  double blockwaitms = 0.0;    // blocks of derivative rows, the workers' waits
  double blockstartms = 0.0;   // of which the waits for their start
  double peakrowbusyms = 0.0;  // of which the peak-model derivative rows
};
const CycleStats& cyclestats();
void resetcyclestats();
void timecycle(bool on);

}  // namespace crystal
