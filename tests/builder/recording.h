// The tests' layouts of a format-neutral recording (demo/recording.h) as
// files of both formats, independent of the library's writer: WriteOrfx lays
// it out as a writer of the 64-bit format does: every channel's data packed
// into 64 KiB blocks filled to capacity, the channels' blocks interleaved in
// the order they would fill during recording, each channel's block index
// grown as blocks are added. It writes block by block, so a recording whose
// waveform samples come from a generator may be far larger than memory.
// WriteOrf lays out the same content as an ORF file. Both writers use the
// test-only byte builders (tests/builder/orfx, tests/builder/orf) and nothing
// of the library but le.h and the platform file seam.
#pragma once

#include <cstdint>
#include <string>

#include "demo/recording.h"

namespace recording_test {

using demo::Channel;
using demo::DemoRecording;
using demo::ExtMarker;
using demo::ItemCount;
using demo::LastTime;
using demo::Marker;
using demo::Recording;
using demo::TimeDate;
using demo::WaveRun;

// Bytes per stored item of a channel of the 64-bit format (16-bit sample 2,
// float 4, event 8, marker 16, extended marker 16 + payload rounded up to 8).
uint32_t ItemSize(const Channel& chan);
// Writes rec as a 64-bit format file. False when the file cannot be written
// or rec cannot be laid out (a slot or kind out of range, items out of time
// order).
bool WriteOrfx(const Recording& rec, const std::string& path);

// Writes rec as an ORF file of the given version with blocks of blockBytes
// (512 to 65024; a channel's orfBlockBytes overrides it). Versions 6 to 9
// hold everything the ORF format can; older versions hold what those
// versions could (the reader brings them up to date). ORF times are 32-bit,
// so every time must lie in 0 to 2^31 - 1, else the result is false; texts
// beyond the ORF fields (title 9, units 5, comment 71, file comment 79
// characters) are cut, and scales and rates are stored as floats.
bool WriteOrf(const Recording& rec, const std::string& path, int version = 9,
              uint32_t blockBytes = 32768);

}  // namespace recording_test
