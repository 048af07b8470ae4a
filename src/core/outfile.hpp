// The one writer of every file a program of the suite writes (control and
// configuration files, tables, peak files, list files, structure files, plot
// files, ...).
//
// The contents go to a temporary file of a unique name in the directory of
// the final file, which replaces the final file only when every write, the
// flush, the sync and the close succeeded. A symbolic link is followed: the
// temporary file is made beside the link's target and renamed over the
// target, so the link stays a link. An existing file the user may not write
// is never replaced, and a failed write leaves the old file byte-identical
// and no temporary file behind, also when the program ends on a fatal
// message meanwhile.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace core {

class OutFile {
 public:
  OutFile() = default;
  OutFile(const OutFile&) = delete;
  OutFile& operator=(const OutFile&) = delete;
  // A file still open is discarded.
  ~OutFile();

  // Opens the temporary file for the final file path ("wb" when binary, the
  // bytes are the same on this platform). False when it cannot be written:
  // the directory is missing or not writable, or the final file exists and
  // is not a regular file or not writable by the user; nothing is changed
  // then.
  bool open(const char* path, bool binary = false);
  bool open(const std::string& path, bool binary = false) { return open(path.c_str(), binary); }

  // The stream to write to, null when not open.
  FILE* file() const { return fp_; }

  // Flushes, syncs and closes the temporary file and renames it over the
  // final file. True when the final file now holds what was written; on any
  // failure the temporary file is removed and the old file left as it was.
  // A text file is read through first: a number written from a value that
  // is not finite ("nan", "-inf", "INF", ... as an item of its own) is
  // message 320 naming the file and the line, and the file is not written:
  // false, as for any other failure (see keepnonfinite).
  bool commit();

  // Lets the file through commit unread: for texts that are the user's own
  // (the control and configuration files, which write their numbers so that
  // they read back exactly).
  void keepnonfinite() { checked_ = false; }
  // Looks through the text that is to go into a file to be checked, as
  // commit would look through the file (message 320 and the file discarded:
  // false); the file is let through unread afterwards. True for a file let
  // through already.
  bool checktext(const std::string& text);

  // Puts the file in place without waiting for the disk to hold it: for a
  // file that a run writes again and again while it goes on (the diagram of
  // every refinement cycle), whose last version the run writes with the
  // wait.
  void skipsync() { sync_ = false; }

  // Closes and removes the temporary file; the final file is left as it was.
  void discard();

  // The final place (a symbolic link resolved to its target).
  const std::string& target() const { return target_; }

 private:
  // Message 320 for the item at line, the file discarded; false.
  bool refuse(int line, const std::string& item);

  FILE* fp_ = nullptr;
  int slot_ = -1;
  bool checked_ = false;  // a text file, read through before it is put in place
  bool sync_ = true;      // wait for the disk before the rename
  std::string target_;
  std::string temp_;
};

// Writes a whole file through fill and commits it; false when the file could
// not be opened, fill returned false, or any write failed. checked false lets
// a text through unread (OutFile::keepnonfinite), sync false puts it in
// place without waiting for the disk (OutFile::skipsync).
bool writefile(const char* path, const std::function<bool(FILE*)>& fill, bool binary = false,
               bool checked = true, bool sync = true);

// The first item of a text file that a number not finite was printed as
// ("nan", "-nan", "inf", "-INF", "infinity", ...: an item delimited by
// blanks, line ends or any of = , : ; ( ) [ ] ' "): true with its line and
// text; false when there is none or the file cannot be read.
bool nonfiniteitem(const char* path, int* line, std::string* item);

// The same for a text about to be written (its items and lines as in the
// file it would make).
bool nonfiniteintext(const std::string& text, int* line, std::string* item);

// Puts an open file in place behind the caller's back: a thread of its own
// writes text into it and commits it, while the caller goes on. For a file
// that a run writes again and again (the diagram of every refinement cycle):
// open it (the checks and the messages of the opening stay with the caller)
// and hand it over. Nothing is printed behind the run: the text is looked
// through here first (checktext; a number not finite is reported at once).
// One file is in hand at a time: the call first waits for the one before.
// text is taken (its storage comes back, emptied or holding an earlier text,
// for the next one). A file that could not be put in place is reported by
// failed(name), on the caller's thread, at once, at the next call or at
// writebehindwait.
void writebehind(std::unique_ptr<OutFile> file, std::string& text, const std::string& name,
                 void (*failed)(const std::string& name));

// Waits until the file handed over last is in place, then reports the files
// that could not be, as writebehind says. The end of a run calls it before
// its status is settled.
void writebehindwait();

// The final place of path: a symbolic link followed to its target (also a
// target that does not exist yet), anything else unchanged.
std::string resolvetarget(const char* path);

// True when path names an existing file (or a link to one) that the user may
// not replace: not a regular file, or not writable.
bool notreplaceable(const char* path);

// Removes every temporary file still open. Only calls that are safe in a
// signal handler; run by the fatal end of the process.
void outfile_abandon_all();

}  // namespace core
