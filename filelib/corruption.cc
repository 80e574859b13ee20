#include "filelib/corruption.h"

#include <cstring>

namespace vslk64 {
namespace {

thread_local TCorruption tLast;

// The path from the library's own folder on: the build may name sources by
// absolute path, which says nothing to a user.
const char* ShortPath(const char* file) {
  const char* best = file;
  for (const char* p = std::strstr(file, "filelib/"); p != nullptr;
       p = std::strstr(p + 1, "filelib/")) {
    best = p;
  }
  return best;
}

}  // namespace

int NoteCorruption(int code, const char* file, int line, const char* reason) {
  tLast.file = ShortPath(file);
  tLast.line = line;
  tLast.reason = reason;
  return code;
}

TCorruption LastCorruption() { return tLast; }

void ClearCorruption() { tLast = TCorruption(); }

}  // namespace vslk64
