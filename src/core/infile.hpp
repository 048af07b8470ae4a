// Opening a file for reading. Every reader of the suite opens its files
// here, so that a name given where a file is read never leads a reader into
// something that is not a file: a directory reads as an endless series of
// failures, a FIFO blocks until some other process writes into it, and a
// device may never come to an end.
#pragma once

#include <cstdio>
#include <string>

namespace core {

// What path names when it is there but not a regular file ("a directory",
// "a FIFO", "a device", "a socket"); nullptr for a regular file and for a
// name that cannot be looked at (missing, no permission), which the open
// itself then reports.
const char* notafile(const char* path);

// Opens path for reading (binary: mode "rb", else "r"). A path that names a
// directory, a FIFO, a device or a socket is not opened (nor a FIFO waited
// for): message 340 names the file, key (what named it: a key of the control
// file or the file's role) and what it is, and the result is nullptr with
// errno EISDIR for a directory and EINVAL for the others. Else the stream,
// or nullptr with the errno of the failed open.
FILE* openread(const char* path, const char* key, bool binary = false);

// The same without a message: for the files a caller reports itself.
FILE* openquiet(const char* path, bool binary = false);

// Ends the run with message -115 when reading f (the file path, named by
// key) failed before its end: a reader that stops at a read error must not
// take what it got so far for the whole file.
void checkread(FILE* f, const char* path, const char* key);

// An open file read from a copy in memory, at the same position: for readers
// that take the position of every line, which on the file itself is a system
// call each. The file itself is read when it cannot be copied whole.
class MemoryCopy {
 public:
  explicit MemoryCopy(FILE* f);
  ~MemoryCopy();
  MemoryCopy(const MemoryCopy&) = delete;
  MemoryCopy& operator=(const MemoryCopy&) = delete;

  // The stream to read: the copy, else the file. Positions in either are
  // those of the file.
  FILE* in() const { return in_; }
  // The whole text of the file (empty when it cannot be read; what came in
  // before a read error).
  const std::string& text() const { return text_; }
  // Whether reading the file for the copy failed (its error indicator is
  // cleared again, for the readers that fall back on it).
  bool readfailed() const { return readfailed_; }

 private:
  std::string text_;
  FILE* copy_ = nullptr;
  FILE* in_;
  bool readfailed_ = false;
};

}  // namespace core
