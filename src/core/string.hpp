// Text routines on zero-terminated byte strings for file names, keys and items.
// Most take the source first and the destination last; they allocate nothing,
// do no bounds checking and assume the destination is large enough.
#pragma once

namespace core {

void assign(const char* src, char* dst);
// Appends src to the end of dst (the destination comes first here).
void append(char* dst, const char* src);
int length(const char* s);
// Copies exactly the first n bytes of src and terminates dst.
void copy0x(const char* src, int n, char* dst);
// The part of src from position start, at most count bytes.
void copy(const char* src, int start, int count, char* dst);
// 0 for equal texts, else b's byte minus a's byte (signed) at the first
// difference: positive when a sorts before b.
int compare(const char* a, const char* b);
// Position of the first byte c in s, -1 when absent, s empty or c zero.
int charindex(const char* s, int c);
// Adds ".ext" when path has no extension; replaces an existing one only when
// replace is 1. An empty path becomes ".ext".
void makeextension(char* path, const char* ext, int replace);
// The text behind the last "." when it lies behind the last "/"; none otherwise.
const char* getextension(const char* path);
void uppercase(const char* src, char* dst);
void lowercase(const char* src, char* dst);
void i10toa(int n, char* dst);
// v in fixed notation with precision digits after the point (0 to 9), as
// printf's "%.*f" writes it in the default rounding mode: the exact binary
// value rounded to the nearest, a tie to the even last digit, and a minus
// sign for every negative value, also one that rounds to zero. Writes no
// terminating zero and returns the length; returns -1 (and writes nothing)
// for a value that is not finite or whose magnitude reaches 2^33,
// which the caller then formats the general way.
int fixedtext(double v, int precision, char* dst);

}  // namespace core
