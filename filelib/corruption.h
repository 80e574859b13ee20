// Where a file was last found damaged, so that "this file will not open"
// can be answered with the check that failed.
//
// Every place that refuses a file as damaged returns through KEL_CORRUPT (or
// KEL_CORRUPT_AS for a code other than kErrCorrupt), which records the
// source file, line and a short reason on the calling thread and yields the
// code. LastCorruption gives the record back; the Neuroshare layer adds it
// to the message of a failed open, and `nsinfo --verbose` prints that
// message. Recording costs nothing on the paths that succeed.
#pragma once

// Included by sibling name, as in include/vslk64/ where it is installed.
#include "status.h"

namespace vslk64 {

struct TCorruption {
  const char* file = nullptr;    // source path from filelib/ on; null when none
  int line = 0;
  const char* reason = nullptr;  // the check that failed
};

// Records the place on this thread and returns code.
int NoteCorruption(int code, const char* file, int line, const char* reason);
// The last place recorded on this thread since ClearCorruption.
TCorruption LastCorruption();
void ClearCorruption();

}  // namespace vslk64

#define KEL_CORRUPT_AS(code, reason) ::vslk64::NoteCorruption((code), __FILE__, __LINE__, (reason))
#define KEL_CORRUPT(reason) KEL_CORRUPT_AS(::vslk64::kErrCorrupt, (reason))
