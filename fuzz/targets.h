// The fuzz targets: each takes one input and drives one entry point of the
// library through an in-memory file system. The fuzzers call them from
// LLVMFuzzerTestOneInput; the regression suite replays saved inputs through
// the very same functions. A target aborts when a check of its own fails.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nsv_fuzz {

// Neuroshare: the input is a recording of the given format, zero-run coded
// (fuzz/image_code.h), opened and walked.
void NsOpenOrfx(const uint8_t* data, size_t size);
void NsOpenOrf(const uint8_t* data, size_t size);

// Reader scripts: a 16-bit script length, the script, then the file image,
// zero-run coded.
void Kel64Read(const uint8_t* data, size_t size);
void Kel32Read(const uint8_t* data, size_t size);

// Writer scripts: the input is the script of writing calls.
void Kel64Write(const uint8_t* data, size_t size);
void Kel32Write(const uint8_t* data, size_t size);

// The 64-bit format's string table and the 32-bit format's lookup table.
void StringTable(const uint8_t* data, size_t size);
void LookupTable(const uint8_t* data, size_t size);

// A target by name, or null.
using Target = void (*)(const uint8_t*, size_t);
Target FindTarget(const char* name);

}  // namespace nsv_fuzz
