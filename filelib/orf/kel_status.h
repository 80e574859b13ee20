// Status codes of the ORF filing library (the Kel functions).
//
// Every Kel function returns 0 or a positive count, value, time or address
// on success and one of these on failure. TKel32File translates them to the
// common codes of filelib/status.h (Kel32StatusToCommon).
#pragma once

namespace vslk64 {

constexpr int kKelOk = 0;
constexpr int kKelNoFile = -1;        // no such file, or the file number is not open
// -4 and -6: file-level failures the status convention reserves. This
// library never returns them; the common mapping still treats them as "no file".
constexpr int kKelReservedFile4 = -4;
constexpr int kKelNoLinks = -5;       // data reads need the successor links (linksComplete)
constexpr int kKelReservedFile6 = -6;
constexpr int kKelNoMemory = -8;
constexpr int kKelNoChannel = -9;     // no such channel, or its kind does not allow the operation
constexpr int kKelChanUsed = -10;
constexpr int kKelChanOff = -11;      // the channel has kind 0
constexpr int kKelOutOfRange = -12;   // position beyond the addressable end of the file
constexpr int kKelNotOrf = -13;       // not an ORF file, or a version that cannot be read
constexpr int kKelExtraRange = -14;   // no extra data, or a request outside it
constexpr int kKelNoSlot = -16;       // every file slot is in use
constexpr int kKelRead = -17;         // a read failed or was short
constexpr int kKelWrite = -18;
constexpr int kKelCorrupt = -19;      // a header or block fails a check
constexpr int kKelNegativePos = -20;
constexpr int kKelReadOnly = -21;     // read-only file, or the open in the requested mode failed
constexpr int kKelBadArg = -22;

}  // namespace vslk64
