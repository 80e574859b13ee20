// Little-endian field access for on-disk records of both file formats.
//
// Every field of a block, header or table image is read and written through
// these helpers at a named offset, never by casting a buffer to a struct, so
// the code is independent of alignment and host byte order.
#pragma once

#include <cstdint>
#include <cstring>

namespace vslk64 {
namespace le {

inline uint8_t GetU8(const uint8_t* p) { return p[0]; }
inline uint16_t GetU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t GetU64(const uint8_t* p) {
  return static_cast<uint64_t>(GetU32(p)) | (static_cast<uint64_t>(GetU32(p + 4)) << 32);
}
inline int16_t GetI16(const uint8_t* p) { return static_cast<int16_t>(GetU16(p)); }
inline int32_t GetI32(const uint8_t* p) { return static_cast<int32_t>(GetU32(p)); }
inline int64_t GetI64(const uint8_t* p) { return static_cast<int64_t>(GetU64(p)); }
inline float GetF32(const uint8_t* p) {
  uint32_t u = GetU32(p);
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}
inline double GetF64(const uint8_t* p) {
  uint64_t u = GetU64(p);
  double d;
  std::memcpy(&d, &u, sizeof d);
  return d;
}

inline void PutU8(uint8_t* p, uint8_t v) { p[0] = v; }
inline void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutU64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutI16(uint8_t* p, int16_t v) { PutU16(p, static_cast<uint16_t>(v)); }
inline void PutI32(uint8_t* p, int32_t v) { PutU32(p, static_cast<uint32_t>(v)); }
inline void PutI64(uint8_t* p, int64_t v) { PutU64(p, static_cast<uint64_t>(v)); }
inline void PutF32(uint8_t* p, float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  PutU32(p, u);
}
inline void PutF64(uint8_t* p, double d) {
  uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  PutU64(p, u);
}

}  // namespace le
}  // namespace vslk64
