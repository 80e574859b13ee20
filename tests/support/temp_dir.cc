#include "tests/support/temp_dir.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "platform/host.h"

namespace testing_support {

TempDir::TempDir() : path_(platform::MakeTempDir("nsvtest.")) {
  if (path_.empty()) throw std::runtime_error("cannot make a temporary folder");
}

TempDir::~TempDir() { platform::RemoveTree(path_); }

std::string TempDir::File(const std::string& name) const {
  return path_ + platform::kPathSeparator + name;
}

bool WriteFileBytes(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(out);
}

bool ReadFileBytes(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  *out = ss.str();
  return true;
}

}  // namespace testing_support
