// Additional data sets: the model refined on the main pattern fitted once
// more to each further measured pattern STANDALONEVAL[1], STANDALONEVAL[2],
// ..., each from the values refined on the main pattern, with its own
// background basis, line-profile tables, final model, errors and outputs.
// Also the register of the files the data sets write, so that no data set
// replaces another's output.
#pragma once

#include <cstdio>
#include <string>

namespace tamrel {

// Keeps the values of the last stage's records as the start of every
// further data set, with the angle window of the main pattern. Called once,
// right after the stage loop.
void savestartvalues();

// The further data sets in order, up to the first missing STANDALONEVAL[i]:
// a data set without points (warning 58) or with another radiation than the
// main pattern (warning 59) is skipped, and the run then ends with status
// 92 (core/runfiles.hpp); every other one is fitted and gets
// its outputs. A fit that fails at a parameter or cannot start is a warning
// naming the data set (and the parameter), noted in its list file; its
// outputs follow all the same.
void additionaldatasets();

// The data set whose outputs are being written (0: the main pattern).
void setoutputdataset(int dataset);

// Whether the file at path may be written for the current data set: false,
// with warning 285, when another data set of this run has written (or was
// about to write) the same file; otherwise the file is noted as the current
// data set's. Links are followed and relative names resolved, so two names
// of one file are one file.
bool ownoutput(const std::string& path);

// The note of a failed or refused fit of data set i in its list file; none
// after a good fit and for the main pattern.
void fitnote(FILE* f, int dataset);

// The default name of a data set's peak-parameter file: the control file's
// name with the extension "par" for the main pattern, and with "_i" before
// it for data set i, so that the data sets do not share one file.
std::string defaultpeakfile(const char* savefile, int dataset);

}  // namespace tamrel
