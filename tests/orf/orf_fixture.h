// Shared fixture of the ORF tests: writes built file bytes to a private
// directory, opens them with the filing library and closes whatever is still
// open at the end of the test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "filelib/orf/kel_lib.h"
#include "tests/builder/orf/orf_builder.h"
#include "tests/support/temp_dir.h"

namespace orf_test {

class OrfFileTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int f : open_) vslk64::KelCloseFile(f);
  }

  std::string Write(const std::string& bytes, const std::string& name = "t.orf") {
    const std::string path = dir_.File(name);
    EXPECT_TRUE(testing_support::WriteFileBytes(path, bytes.data(), bytes.size()));
    return path;
  }

  // What the file of that name holds now.
  std::string Disk(const std::string& name = "t.orf") {
    std::string bytes;
    EXPECT_TRUE(testing_support::ReadFileBytes(dir_.File(name), &bytes));
    return bytes;
  }

  // Writes the bytes and opens them read-only: the file number or status.
  int Open(const std::string& bytes, const std::string& name = "t.orf") {
    const int f = vslk64::KelOpenFile(Write(bytes, name).c_str(), vslk64::kKelOpenReadOnly);
    if (f >= 0) open_.push_back(f);
    return f;
  }

  void Close(int f) {
    open_.erase(std::remove(open_.begin(), open_.end(), f), open_.end());
    EXPECT_EQ(vslk64::KelCloseFile(f), 0);
  }

  testing_support::TempDir dir_;
  std::vector<int> open_;
};

// n samples s, s + step, ... (wrapping in 16 bits).
inline std::vector<int16_t> Ramp(int n, int first, int step = 1) {
  std::vector<int16_t> v(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = static_cast<int16_t>(first + i * step);
  return v;
}

// A filter that passes every code in every layer, in the given mode.
inline vslk64::TKelFilter PassAll(uint32_t mode = 0) {
  vslk64::TKelFilter f;
  f.mode = mode;
  for (auto& layer : f.layers)
    for (auto& b : layer) b = 0xFF;
  f.column = 0;
  return f;
}

inline void Allow(vslk64::TKelFilter* f, int layer, int code, bool on) {
  uint8_t& b = f->layers[layer][code >> 3];
  const uint8_t bit = static_cast<uint8_t>(1u << (code & 7));
  b = static_cast<uint8_t>(on ? (b | bit) : (b & ~bit));
}

}  // namespace orf_test
