// The parameter store: every setting, intermediate result and user function of
// a run, held as named entries in a stack of scopes and read through one
// formula language. Also the error stack with its jump frames, the statement
// executor and the control-file format (restore, save, dump), the item readers
// of data files, and the threaded phase in which the worker threads read the
// shared store and write into private scopes.
//
// Every public call works on the calling thread's own store context (the main
// thread's, or worker i's during the threaded phase), drops the error records
// left pending by an earlier call, does its work and, when that left errors
// pending, jumps to the innermost error frame of the calling thread.
//
// Reading an optional key: every caller does it inside a guarded group,
//
//   double nmax = 10.0;
//   dataerr_try([&] { nmax = GetVar("NMAX"); });
//
// dataerr_try pushes a frame, runs the body and returns true when the body
// completed, false when a store call in it failed (the failed read's records
// stay pending until the next store call). The frame is removed on both paths.
// Never let a jump leave a worker's work function: workers read inside
// dataerr_try like everybody else.
#pragma once

#include <cstdint>
#include <cstdio>

namespace core {

// ---------------------------------------------------------------------------
// Entries and scopes

// A function registered by the program (a C function entry). It receives the
// function's name and the argument texts unevaluated; it evaluates or reads
// them through the public calls below. A store call that fails inside it ends
// the call: the formula then gets "error in C function".
using DataCallback = double (*)(const char* name, const char* const* args, int nargs);

// The parsed form of a stored formula text (private to the store).
struct FormulaCode;

// One variable, array element or function entry of a scope. Its recursion
// guard while its text is evaluated is kept by the evaluating thread (its
// frame of that evaluation), so that reading an entry writes nothing into it
// and the workers of the threaded phase share the entries without sharing a
// written cache line.
struct DataVar {
  uint32_t serial;          // order within its scope; save writes by ascending serial
  char* comment;            // written by save as a "%" line before the entry, or null
  char* name;               // a letter followed by letters and digits
  int32_t nidx;             // 0 scalar; k array element with k indices; function: count rule
                            // (n > 0 exactly n arguments, -n at least n)
  int32_t* idx;             // index values of an array element, else null
  DataVar* next;            // next entry of the same hash bucket
  char* text;               // formula or plain text; null for a number or a C function
  const FormulaCode* code;  // parsed form of text, kept in text's block; null when text
                            // does not parse as a plain formula (it is then scanned)
  DataCallback cfunc;       // C function entry, else null
  double value;             // the number when text is null
};

constexpr int DATA_BUCKETS = 4001;
// Buckets a scope lists as used; a scope with more is walked bucket by bucket.
constexpr int DATA_USED = 64;

// One scope: a hash table of entries over the scope below it.
struct DATAlist {
  DATAlist* next;                 // the scope below
  uint32_t serial;                // serial of the next new entry
  uint32_t nthreads;              // worker contexts when created or last re-attached
  char* comment;                  // pending comment for the next entry set here
  uint8_t attached;               // 1 while on a chain, 0 while detached
  uint8_t modified;               // 1 once an entry was created or committed here
  uint16_t nused;                 // buckets in used; DATA_USED + 1: more than fit
  uint16_t used[DATA_USED];       // every bucket that holds entries (and some emptied
                                  // since), so that a small scope is cleared quickly
  DataVar* bucket[DATA_BUCKETS];  // hash chains
};

// The store state of one thread (scope chain, error stack, jump frames, lookup
// mode, memory). Its layout is private to the store; built-in formula
// functions reach it through core/formula.hpp.
struct DataContext;

// ---------------------------------------------------------------------------
// Scopes (on the calling thread's chain)

// Pushes a new empty scope; returns the number of scopes now on the chain.
int newDATAlist();
// Pops the top scope and commits its entries into the scope below: an entry
// that the lower scope holds is replaced in place and keeps its serial, a new
// one is appended with the next serial. Returns the scopes left. Does nothing
// (returns 0) without a scope or on the shared base of the threaded phase, and
// nothing (returns the depth) at the floor scope inside a C function.
int freeDATAlist();
// Detaches the top scope and returns it (null when there is none, at the
// shared base, or at the floor scope).
DATAlist* pushDATAlist();
// Puts a detached scope back on top; a scope that is attached is an internal
// error ("DATAlist popped twice").
void popDATAlist(DATAlist* scope);
// Releases every entry of the top scope (the pending comment stays).
// DelAll followed by freeDATAlist discards a scope without committing it.
void DelAll();
// Number of scopes on the calling thread's chain (the two are the same).
int DATAlistLevel();
int DATAlevel();
// Lookup mode of the calling thread: 0 top scope only, 1 whole chain while a
// formula is evaluated, 2 whole chain always (set by the start routine).
void setrekart(int mode);
int getrekart();

// ---------------------------------------------------------------------------
// Variables, array elements and functions
//
// Names may carry bracketed index formulas ("VAL[2]", "WMIN2[STARTINDEX]").
// maxlen is the most characters buf may receive without the terminating zero
// (buf holds maxlen + 1 bytes); buf may be null (the read then only reports).
// A failed numeric read yields 1.0, a failed text read leaves buf empty.

double GetVar(const char* name);
// GetVar inside a frame of its own, without the jump: false when the read
// failed (an undefined name, say), its records then pending as after
// dataerr_try; else true with the value. For the optional keys read at
// every model evaluation, where a jump would cost more than the read.
bool TryGetVar(const char* name, double* value);
// floor(x + 0.5) of the value; out of range or NaN: "out of integer range".
int GetIntVar(const char* name);
void SetVar(const char* name, double x);
// A plain variable name (a letter, then letters and digits), checked and
// hashed when the program is compiled: for the writes of hot paths that set
// the same few names again and again.
struct PlainName {
  const char* name;
  int nlen;
  uint32_t bucket;  // of a scope's hash table
  consteval PlainName(const char* text) : name(text), nlen(0), bucket(0) {
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    uint32_t hash = 0;
    for (; text[nlen] != 0; ++nlen) {
      const char c = text[nlen];
      if (!letter(c) && (nlen == 0 || c < '0' || c > '9')) throw "not a plain variable name";
      hash += static_cast<unsigned char>(c);
    }
    if (nlen == 0) throw "not a plain variable name";
    bucket = hash % DATA_BUCKETS;
  }
};
// SetVar of count plain names in order, in one call.
void SetVars(const PlainName* names, const double* values, int count);
// Deletes the entry from the top scope only (a lower entry stays visible).
void DelVar(const char* name);
// A text is copied unevaluated; a number is written with "%23.16E".
void GetStrVar(const char* name, int maxlen, char* buf);
void SetStrVar(const char* name, const char* text);

// The same for the array element name[idx[0],...,idx[nidx-1]].
double GetIndexVar(const char* name, int nidx, const int* idx);
int GetIndexIntVar(const char* name, int nidx, const int* idx);
void SetIndexVar(const char* name, int nidx, const int* idx, double x);
void DelIndexVar(const char* name, int nidx, const int* idx);
void GetIndexStrVar(const char* name, int nidx, const int* idx, int maxlen, char* buf);
void SetIndexStrVar(const char* name, int nidx, const int* idx, const char* text);

// Function entries in the top scope; n is the count rule (n exactly, -n at
// least n arguments). A text function's body refers to its arguments as #1, #2...
void SetUserFkt(const char* name, int n, DataCallback callback);
void SetStrFkt(const char* name, int n, const char* body);
void DelFkt(const char* name, int n);

// Evaluates a formula text.
double Wert(const char* text);

// ---------------------------------------------------------------------------
// Error stack (of the calling thread)

// Errors are pending.
bool ifErr();
// Newest pending record: k = 0 its object, k = 1 its message; null when none
// is pending or for any other k.
const char* GetErr(int k);
// Drops the newest pending record.
void NextErr();
// Drops every record above the floor.
void ClearErr();

// ---------------------------------------------------------------------------
// Error jump frames
//
// A jump is a C++ exception of the store, thrown by a public call that ends
// with errors pending (or by dataerr_jmp) and caught at the innermost frame.
// Frames are counted per thread; every frame must be removed by the code that
// pushed it. Use dataerr_try, which keeps a frame and its catch together.

// Thrown to reach the innermost frame; caught only by dataerr_try (and the
// store itself around C functions).
struct DataJump {};

// Pushes a new innermost frame of the calling thread. The caller must catch
// DataJump around the guarded calls and remove the frame on both paths.
void dataerr_newjmp();
// Pushes an outermost handler frame: a jump that arrives at it calls handler,
// which must not return (it prints the pending records and ends the program).
void dataerr_newhandler(void (*handler)());
// Removes the innermost frame ("revertdataerrempty" when there is none).
void dataerr_oldjmp();
// Jumps to the innermost frame; returns without effect when there is none.
void dataerr_jmp();
// Number of frames of the calling thread.
int ondataLevel();

// Runs body inside a new frame. True when it completed, false when a jump
// arrived (the failing call's records stay pending). The frame is always
// removed; no jump leaves this call.
template <class F>
bool dataerr_try(F&& body) {
  dataerr_newjmp();
  try {
    body();
  } catch (const DataJump&) {
    dataerr_oldjmp();
    return false;
  }
  dataerr_oldjmp();
  return true;
}

// The outermost handler of a program: prints every pending record as
// "(E) <object>\n    <message>\n", newest first, and ends with status 1.
[[noreturn]] void dataerr_printexit();

// ---------------------------------------------------------------------------
// Statements, control files and item readers

// Executes one statement: name=text (stores the text), name==formula (stores
// the number), name= (deletes), name[i,j]=..., name(n):body (defines a text
// function; name(n): deletes it). Returns 1 when the text was a statement.
int ergibt(const char* text);
// Sets the pending comment of the top scope (creates a scope when there is
// none); the next entry set there takes it. Returns the stored copy.
const char* SetComment(const char* text);
// Sets the calling thread's input text for the item readers with a null
// stream (a copy is kept); null clears it.
void SetStrInput(const char* text);
// One item (blank-delimited; a line break inside an open bracket continues
// it) of at most maxlen characters into buf. stream null: the input text.
void GetItem(FILE* stream, int maxlen, char* buf);
// Executes statement items and delivers the next value item; an item that
// begins with "=" is evaluated or dereferenced, a number written "%23.16E".
void GetList(FILE* stream, int maxlen, char* buf);
// Reads one line of value items into name[0], name[1], ... of the top scope
// (statements among them are executed) and deletes the element behind the
// last one.
void GetData(FILE* stream, const char* name);
// Writes the top scope in the control-file format (by serial, with comments).
void save(FILE* stream);
// Writes every scope from the top down, each after "*** Level starts".
void dump(FILE* stream);
// Reads a control file into the top scope; a bad line stops it with
// "wrong data element in restored file at line %d".
void restore(FILE* stream);

// Quoting of blanks inside one item: a copy with " " written as "?!" and "?"
// as "??", in a buffer of the calling thread valid until its next call.
const char* unwhite(const char* text);
// Undoes unwhite in place; any other "?" pair is message -66 (status 66).
void white(char* text);

// In-place heap sort of n items; less(i, j, base) is true when item i belongs
// before item j, swap(i, j, base) exchanges them.
void heapsortid(int n, void* base, bool (*less)(int i, int j, void* base),
                void (*swap)(int i, int j, void* base));

// ---------------------------------------------------------------------------
// Threaded phase and release

// Begins the threaded phase for nthreads workers: the main thread's top scope
// becomes the shared base, read-only while the phase lasts; every context
// (main thread and each worker) writes into a private scope on it. Call on the
// main thread while no worker is busy.
void initDATAthreads();
// Ends the phase: merges the private scopes into the base, main thread first,
// then the workers in index order (the last writer wins; new keys get the
// next serials). Workers' pending errors reach the main thread only when it
// has none, and only those of the first worker that has any.
void exitDATAthreads();
// Releases every scope, error record, frame and all memory of the store.
void totalfree();

// ---------------------------------------------------------------------------
// Formula tables

// One argument of a built-in formula function call: its text as written in
// the formula (not zero-terminated) and its length, and the argument's parsed
// form when the call belongs to a stored formula (else null). Evaluate it with
// Wertarg (core/formula.hpp).
struct FormulaArg {
  const char* text;
  int len;
  const FormulaCode* code = nullptr;
};
// A built-in formula function: evaluates its own arguments (through
// core/formula.hpp) on the calling thread's context and slot (threadid()).
using StdFunction = double (*)(const FormulaArg* args, int nargs, DataContext* ctx, int slot);

// Builds the character tables and enters the built-in functions, once per
// process; every public store call runs it first.
void testinit();
// Enters one built-in function with its count rule (n exactly, -n at least n).
void stdinit1(StdFunction fn, const char* name, int n);

}  // namespace core
