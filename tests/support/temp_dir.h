// A private temporary directory for one test, removed with its contents when
// the object goes away.
#pragma once

#include <string>

namespace testing_support {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path()/name, with the platform's own separator (a backslash on Windows).
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

// Whole-file helpers for tests.
bool WriteFileBytes(const std::string& path, const void* data, size_t size);
bool ReadFileBytes(const std::string& path, std::string* out);

}  // namespace testing_support
