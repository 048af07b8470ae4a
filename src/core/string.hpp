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

}  // namespace core
