// Small services of the refinement driver: the item reader of a structure
// file, the time of day for the listing, and the decimal form of a component
// of a symmetry operator.
#pragma once

#include <cstdio>

namespace crystal {

// The structure file each phase was read from (phase numbers from 1) and
// the places of its header items by key (the offset in the file just past
// the item, and the item), for the messages that name them: set while the
// files are read, cleared with the phases.
void setphasefile(int phase, const char* file);
void setphaseitem(int phase, const char* key, long end, const char* item);
void clearphasefiles();
// Marks the header key of the phase at fault in a failure of its set-up,
// for namephasefile.
void phasefault(int phase, const char* key);
// Names the structure file of the phase: message 365 with its line and item
// when a key marked at fault is in its header, else message 366; nothing
// when the phase has no file recorded.
void namephasefile(int phase);
// Message 365 with the file, the line of the byte before the offset end and
// the item; message 366 with the file alone when end is negative or the
// file cannot be read again.
void nameplace(const char* file, long end, const char* item);

extern FILE* bufferfile;  // the open structure file (the driver opens and closes it)
extern char* backbuffer;  // one pushed-back item (malloc'ed), or null
extern int newline;       // the last read skipped a comment line or a line end, or met the end

// The next item of bufferfile (at most 8000 characters) into out. Items "//"
// skip the rest of their line, line ends are skipped; at the end of the file
// out is empty and the result 1. Otherwise the result is newline: 1 when the
// item follows a line end or a comment line. A pushed-back item is returned
// first (and freed) with the flag of the read before. A carriage return
// before a line feed belongs to the line end.
int readbufferfile(char* out);

// The current local time as ctime writes it, without its line feed (out
// holds at least 26 bytes).
void settime(char* out);

// The component of a symmetry operator (-x+1/2) in upper case with its
// fraction written as a decimal (-X+0.5: five decimals, trailing zeros
// dropped, the point kept). out holds at least the component's length + 16
// bytes. A "/" without digits on both sides, or over zero, is message -129
// with the component and a data error to the caller's error frame.
char* symmout(const char* component, char* out);

}  // namespace crystal
