// The part of the formula evaluator that formula functions written in C++
// work with: the built-in functions (builtin.cpp) and C functions that report
// their own errors.
//
// A built-in is a StdFunction (core/data.hpp):
//
//   double gname(const FormulaArg* args, int nargs, DataContext* ctx, int slot);
//
// It receives the argument texts unevaluated (views into the formula, not
// zero-terminated) and evaluates them itself with Wertarg on the same ctx and
// slot, so it decides which arguments are evaluated, in which order and at
// which guard level. A problem is reported by pushing an error record with
// SetErr; whenever a call leaves a record (its own or one of an argument's
// evaluation), the evaluator discards the returned value, adds "wrong
// function call or invalid parameter" and the formula yields 1.0. While a
// built-in runs, the error floor lies at the error top of its call, so
// droperrors never reaches the caller's records.
//
// Adding a built-in: write the function in builtin.cpp and enter it in
// enterbuiltins() with stdinit1(fn, "name", count rule), in table order.
// Nothing in the store's files needs to change.
#pragma once

#include <cstddef>

#include "core/data.hpp"

namespace core {

// ---------------------------------------------------------------------------
// Evaluation

// The calling thread's store context (main thread or worker).
DataContext* datacontext();
// Evaluates a formula text of len characters; every failure pushes records
// and yields 1.0.
double Wertid(const char* text, int len, DataContext* ctx, int slot);
// Evaluates a function argument: through its parsed form when it has one,
// else as Wertid of its text (both give the same value and records).
double Wertarg(const FormulaArg& arg, DataContext* ctx, int slot);
// Calls a user function, C function or built-in by name.
double funktionsruf(const char* name, int nlen, const FormulaArg* args, int nargs, DataContext* ctx,
                    int slot);

// One name token with an optional bracketed list, as the evaluator scans it:
// name part, bracket character ('(' or '[' or 0), token length and the
// argument texts (views into the scanned text, in the scratch stack).
struct ParsedToken {
  const char* name;
  int nlen;
  char bracket;
  int toklen;
  FormulaArg* args;
  int nargs;
};
// Scans one token from s (up to end); pushes "wrong brackets" for an unclosed
// or mismatched outer pair. True when it pushed nothing.
bool Parameter(DataContext* ctx, const char* s, const char* end, ParsedToken* t);
// Evaluates nargs index texts into idx (rounded, halves up); 0, or the
// 1-based number of the first index outside the 32-bit range.
int makeindex(int* idx, const FormulaArg* args, int nargs, DataContext* ctx, int slot);
// A name is a letter followed by letters and digits.
bool validformulaname(const char* name, int nlen);

// ---------------------------------------------------------------------------
// Guard level and error records

// The context's guard level; a built-in that raises it (+1 for its later
// arguments) restores it before returning, on every path.
int getlevel(DataContext* ctx);
void setlevel(DataContext* ctx, int level);

// Pushes an error record (copies of both texts).
void SetErr(DataContext* ctx, const char* object, int objlen, const char* message);
// Number of records on the stack; a later droperrors(mark) drops the records
// pushed since, never below the error floor.
int errcount(DataContext* ctx);
void droperrors(DataContext* ctx, int mark);
int errfloorof(DataContext* ctx);
void seterrfloor(DataContext* ctx, int mark);
// Drops the newest pending record; true while records are still pending.
bool DelErrid(DataContext* ctx);

// ---------------------------------------------------------------------------
// Working memory: a per-thread stack, released to a mark (LIFO). Nothing may
// stay allocated when the built-in returns.

struct ScratchPos {
  void* block;
  size_t used;
};
void* scratchalloc(DataContext* ctx, size_t n);
ScratchPos scratchmark(DataContext* ctx);
void scratchrelease(DataContext* ctx, ScratchPos pos);

// ---------------------------------------------------------------------------
// Store operations on a context, without the public-call protocol (no error
// records dropped, no jump). Names are plain zero-terminated texts; GetVarid,
// SetVarid, SetStrVarid and DelVarid also take bracketed indices ("x[2]").

double GetVarid(const char* name, DataContext* ctx, int slot);
double GetIndexVarid(const char* name, int nidx, const int* idx, DataContext* ctx, int slot);
void SetVarid(const char* name, double x, DataContext* ctx, int slot);
void SetStrVarid(const char* name, const char* text, DataContext* ctx, int slot);
void SetIndexVarid(const char* name, int nidx, const int* idx, double x, DataContext* ctx,
                   int slot);
void SetIndexStrVarid(const char* name, int nidx, const int* idx, const char* text,
                      DataContext* ctx, int slot);
void DelVarid(const char* name, DataContext* ctx, int slot);
void DelIndexVarid(const char* name, int nidx, const int* idx, DataContext* ctx, int slot);
void SetStrFktid(const char* name, int n, const char* body, DataContext* ctx, int slot);
void DelFktid(const char* name, int n, DataContext* ctx, int slot);

// Scopes of a context (a private scope of integral, for instance: push with
// newDATAlistctx, discard with DelAllctx then freeDATAlistctx).
int newDATAlistctx(DataContext* ctx);
void DelAllctx(DataContext* ctx);
int freeDATAlistctx(DataContext* ctx);

// ---------------------------------------------------------------------------
// Statements (for built-ins that run them)

// The left side of a statement as the statement executor scans it: a name
// (length *n, possibly 0) and at most one bracketed group directly behind it
// (total length *L). An unclosed group, or "(" closed by "]" and vice versa,
// pushes "wrong brackets" with the whole text.
void varspn(DataContext* ctx, const char* text, int len, int* L, int* n);
// Executes one statement of len characters. lhs, when not null, gives the
// already scanned lengths of the left side and of its bare name. 1 when the
// text was a statement.
int ergibtid(const char* text, int len, const int* lhs, DataContext* ctx, int slot);
// Resolves a right side as a statement does: true with the number in *x, or
// false with the text to store in *text / *textlen (a view into the right
// side or into the caller's working memory, valid until the caller releases
// its scratch mark).
bool ersetzen(const char* right, int len, DataContext* ctx, int slot, double* x, const char** text,
              int* textlen);

}  // namespace core
