// A private temporary folder for one benchmark's input files, removed with
// its contents when the benchmark ends.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/host.h"

namespace bench {

class TempFolder {
 public:
  TempFolder() : path_(platform::MakeTempDir("nsvbench.")) {
    if (path_.empty()) {
      std::fprintf(stderr, "cannot make a temporary folder\n");
      std::exit(1);
    }
  }
  ~TempFolder() { platform::RemoveTree(path_); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // path/name, with the platform's own separator.
  std::string File(const std::string& name) const {
    return path_ + platform::kPathSeparator + name;
  }

 private:
  std::string path_;
};

}  // namespace bench
