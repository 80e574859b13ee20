// FuzzInput: takes typed values off the front of a fuzzer's input, as the
// script of calls a target makes. An exhausted input reads as zeros, so every
// byte string is a valid script.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace nsv_fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return pos_ >= size_; }
  size_t Remaining() const { return size_ - pos_; }

  template <typename T>
  T Take() {
    T value{};
    uint8_t raw[sizeof(T)] = {};
    const size_t n = Remaining() < sizeof(T) ? Remaining() : sizeof(T);
    if (n != 0) std::memcpy(raw, data_ + pos_, n);
    pos_ += n;
    std::memcpy(&value, raw, sizeof(T));
    return value;
  }
  uint8_t U8() { return Take<uint8_t>(); }
  uint16_t U16() { return Take<uint16_t>(); }
  uint32_t U32() { return Take<uint32_t>(); }
  int64_t I64() { return Take<int64_t>(); }
  // A number in [0, bound) (0 when bound is 0).
  uint32_t Below(uint32_t bound) { return bound == 0 ? 0 : U32() % bound; }
  bool Bool() { return (U8() & 1) != 0; }

  // A time: mostly small values and the edges, which the formats treat
  // specially, and sometimes any 64-bit value.
  int64_t Time() {
    switch (U8() & 7) {
      case 0: return 0;
      case 1: return -1;
      case 2: return INT64_C(0x7000000000000000);  // the largest time
      case 3: return I64();
      default: return static_cast<int64_t>(U32() % 200000);
    }
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// A broken invariant: report it and stop, so the fuzzer saves the input.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}
inline void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

}  // namespace nsv_fuzz
