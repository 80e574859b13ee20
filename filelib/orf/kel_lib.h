// The ORF filing library: plain functions (prefix Kel) over 32-bit format
// files, each identified by a small file number returned by KelOpenFile.
//
// TKel32File (kel32_file.h) presents it through CKel64File; tests use it
// directly. Every function returns 0 or a positive count, value, time or
// address on success and a negative ORF status (kel_status.h) on failure.
// Times are the format's signed 32-bit ticks and ranges are inclusive at
// both ends. A function given a file number that is not open returns
// kKelNoFile; a channel number at or beyond the channel count kKelNoChannel.
//
// The library keeps a table of up to 256 file records, created on first use
// and kept for reuse. KelInitLibrary and KelReleaseLibrary set it up and
// tear it down when the hosting library loads and unloads; without
// KelInitLibrary the table is set up on first use.
#pragma once

#include <cstdint>

#include "filelib/orf/kel_status.h"

namespace vslk64 {

// --- Library lifetime ------------------------------------------------------
void KelInitLibrary();
// Closes every file still open and frees every record.
void KelReleaseLibrary();

// --- Opening and closing ---------------------------------------------------
enum : int {
  kKelOpenReadWrite = 0,
  kKelOpenReadOnly = 1,
  kKelOpenFallback = 2,  // and above: read-write, else read-only
};

// Opens an existing file: its file number, or a status (kKelNoFile when the
// file does not exist, kKelReadOnly when it cannot be opened as asked,
// kKelNoSlot, kKelRead, kKelNotOrf for a header that fails validation,
// kKelNoMemory, kKelCorrupt for a channel header that fails its checks).
int KelOpenFile(const char* path, int mode);
// Closes the file. A writable file is flushed, saved under the version its
// contents need, its successor links repaired and its headers written; a
// read-only file is not written. The first failure, or 0.
int KelCloseFile(int f);

// --- File header -----------------------------------------------------------
int KelFileVersion(int f);  // the version found on disk
int KelChanCount(int f);
int KelChanKind(int f, int c);  // 0 for a channel number at or beyond the count
double KelGetTimeBase(int f);   // seconds; kKelNoFile when not open
int KelTickMultiplier(int f);
int KelAdcTicks(int f);
int KelIsReadOnly(int f);       // 1 or 0
int KelExtraBytes(int f);       // size of the user extra-data area
int32_t KelFileMaxTime(int f);
// The length of the file that its blocks account for, in bytes.
int64_t KelFileBytes(int f);

// Counted-string reads: up to min(max - 1, the field's limit) characters
// and a terminating zero; the result is the count copied. File comments n 0
// to 4 (79 characters), channel comment 71, title 9, units 5 (empty for
// kinds without units).
int KelGetFileComment(int f, int n, char* buf, int max);
int KelGetChanComment(int f, int c, char* buf, int max);
int KelGetChanTitle(int f, int c, char* buf, int max);
int KelGetChanUnits(int f, int c, char* buf, int max);

// Reads `bytes` bytes at `offset` of the user extra-data area; kKelExtraRange
// when the area is empty or the range passes its end.
int KelGetExtraData(int f, void* buf, uint32_t bytes, uint32_t offset);

// The 8-byte time-date record: copies it to `get` (when not null) and
// returns its validity (1 valid, 0 all zero, -1 invalid); a `set` record
// that is invalid gives kKelBadArg, a valid one kKelReadOnly on a read-only
// file.
int KelTimeDate(int f, uint8_t* get, const uint8_t* set);
// Validity of a time-date record as above.
int KelDateValidity(const uint8_t* date);
// The 8 application-id bytes; `set` on a read-only file gives kKelReadOnly.
int KelAppId(int f, uint8_t* get, const uint8_t* set);

// --- Channel header --------------------------------------------------------
int32_t KelChanDivide(int f, int c);  // 1 for a channel of kind 0
// Returns the ideal rate and stores `rate` when it is 0 or more (not on a
// read-only file); kKelNoFile or kKelNoChannel as a negative value.
double KelIdealRate(int f, int c, double rate);

// The decoded channel header, for callers that need several fields.
struct TKelChanInfo {
  int kind;
  int phyChan;
  int32_t divide;
  float idealRate;
  float scale;      // kinds 1, 6, 9; else 1
  float offset;     // kinds 1, 6, 9; else 0
  float minValue;   // kind 7
  float maxValue;   // kind 7
  uint32_t extraBytes;
  int preTrigger;
  int traces;       // kind 6
  uint32_t blockBytes;
  uint32_t itemsPerBlock;
  uint32_t itemBytes;  // bytes per item on disk
  uint32_t blockCount;
  uint32_t deletedCount;
  int32_t nextDeleted;
  int32_t firstBlock;
  int32_t lastBlock;
  int32_t maxTime;
  int initLevel;    // kind 4
  int finalLevel;   // kind 4
};
int KelChanInfo(int f, int c, TKelChanInfo* info);

// Bytes of data the channel's blocks can hold, capped at 4294967295.
int64_t KelChanBytes(int f, int c);

// --- Blocks and lookup -----------------------------------------------------
struct TKelBlockHead {
  int32_t prev;
  int32_t next;
  int32_t start;
  int32_t end;
  uint16_t chanField;
  uint16_t itemCount;
};

// Makes the block at addr the content of the channel's block buffer,
// checking it (kKelCorrupt when it fails a check).
int KelReadBlock(int f, int c, int32_t addr);
// Reads the header of the block at addr (a disk address).
int KelReadBlockHead(int f, int32_t addr, TKelBlockHead* head);
// The first block that may hold items in [tFrom, tTo]: its address, 0 when
// there is none, or a status (kKelNoLinks when the file's successor links
// are incomplete).
int32_t KelFindBlock(int f, int c, int32_t tFrom, int32_t tTo);
// Loads the saved lookup tables of a version-9 file (done by KelOpenFile).
int KelLoadLookup(int f);
// The control record of the channel's lookup table (seven words: capacity,
// used, stride, gapIndex, endCount, afterCount, beforeCount).
int KelLookupControl(int f, int c, int32_t words[7]);

// --- Data reads ------------------------------------------------------------
// The filter in the library's form. An item's four code bytes pass when,
// for each layer L of 0 to 3, code byte L is set in layer L; with
// kKelFilterAnyCode in `mode`, when code byte 0 is set in layer 0 or any
// non-zero code byte 1 to 3 is. `column` picks the trace of a waveform
// marker channel read as a waveform.
constexpr uint32_t kKelFilterAnyCode = 0x2000000;
struct TKelFilter {
  uint32_t mode;
  uint8_t layers[4][32];
  int32_t column;
};
bool KelFilterPass(const TKelFilter& filter, const uint8_t* code);

// Event times of kinds 2 to 8 in [tFrom, tTo]; the filter applies to kinds
// 5 to 8. With `level` (kinds 2 to 4), the level before the first time
// returned, or when none is, the level at tFrom.
int KelGetEventData(int f, int c, int32_t* times, int max, int32_t tFrom, int32_t tTo,
                    int* level, const TKelFilter* filter);
// Markers of kinds 5 to 8 as 8-byte items (time, four codes).
int KelGetMarkData(int f, int c, uint8_t* marks, int max, int32_t tFrom, int32_t tTo,
                   const TKelFilter* filter);
// Whole items of kinds 5 to 8, each of the channel's item size.
int KelGetExtMarkData(int f, int c, uint8_t* items, int max, int32_t tFrom, int32_t tTo,
                      const TKelFilter* filter);
// One contiguous run of samples of kinds 1, 6 and 9 from the first sample at
// or after tFrom up to tTo; *firstTime receives the first sample's time.
int KelGetWaveData(int f, int c, int16_t* samples, int max, int32_t tFrom, int32_t tTo,
                   int32_t* firstTime, const TKelFilter* filter);
int KelGetRealWaveData(int f, int c, float* values, int max, int32_t tFrom, int32_t tTo,
                       int32_t* firstTime, const TKelFilter* filter);
// The time of the n-th item (or sample) before tFrom, looking back no
// further than tTo; kKelNoneFound when there is none or tTo >= tFrom. That
// is kKelNoFile's number: on an open file it means only "none found".
constexpr int32_t kKelNoneFound = -1;
int32_t KelPrevNTime(int f, int c, int32_t tFrom, int32_t tTo, uint32_t n, bool asWave,
                     const TKelFilter* filter);
// The channel header's maxTime; kKelNoChannel for a channel of kind 0.
int32_t KelChanMaxTime(int f, int c);
// Recomputes every channel's maxTime from its last block, and the header's.
int KelRecomputeMaxTimes(int f);
// Units and shape of an extended-marker channel: points per item (kind 6
// per trace, kind 7 values, kind 8 characters), the returned value; units
// (up to 5 characters, zero-terminated, `units` of 6 bytes or null) and
// the pre-trigger points (kind 6).
int KelExtMarkInfo(int f, int c, char* units, int* points, int* preTrigger);

// --- Creating and writing (kel_create.cc, kel_write.cc, kel_save_list.cc,
// kel_close.cc) -------------------------------------------------------------
// Every writing function gives kKelReadOnly on a read-only file before
// anything changes.

// Creates (or replaces) a file with max(chans, 32) channel slots, `extra`
// bytes of user data rounded up to 512 (above 65024: kKelBadArg), version 9
// when `large`, else 8. The file number, or a status.
int KelCreateFile(const char* path, int chans, uint32_t extra, bool large);

// Writes the memory-held blocks that hold items to store (unless
// !flushChannels) and the headers, keeping the blocks in memory; with
// `flushSystem` the operating system's buffers are flushed too (failure:
// kKelNoLinks).
int KelCommit(int f, bool flushChannels, bool flushSystem);
// Drops every channel's blocks and cuts the file after its header areas.
int KelEmptyFile(int f);
// The memory-held blocks a channel (every channel when c < 0) of a file made
// by KelCreateFile may keep, from a byte count: (bytes + blockBytes / 2) /
// blockBytes, 1 to 128. Accepted and ignored on opened files.
int KelSetBuffering(int f, int c, uint64_t bytes);
// 1 when the header or a memory-held block is modified.
int KelIsModified(int f);
// The bytes the file will take once its memory-held blocks are written.
int64_t KelFileBytesNeeded(int f);

// Header setters. KelSetTimeBase sets tickMultiplier and adcTicks to 1 and,
// when secs > 0, timeBase; it returns the previous timeBase.
double KelSetTimeBase(int f, double secs);
int KelSetFileComment(int f, int n, const char* text);   // n 0 to 4
int KelSetExtraData(int f, const void* buf, uint32_t bytes, uint32_t offset);
int KelSetAlignExt(int f);  // sets bit 0 of alignFlags
int KelExtendMaxTime(int f, int32_t t);  // raises the header's maxTime

// Channel setters.
int KelSetChanComment(int f, int c, const char* text);
int KelSetChanTitle(int f, int c, const char* text);
int KelSetChanUnits(int f, int c, const char* text);  // kinds 1, 6, 7, 8, 9
int KelSetChanScale(int f, int c, float scale);       // kinds 1, 6, 9
int KelSetChanOffset(int f, int c, float offset);     // kinds 1, 6, 9
int KelSetChanRange(int f, int c, float low, float high);  // kind 7
// Level channels without data: the level before the first transition.
int KelSetInitLevel(int f, int c, int level);

// Channel creation; each needs a channel of kind 0 (else kKelChanUsed).
// blockSize is rounded up to a multiple of 512 (65023 at the top).
int KelSetEventChan(int f, int c, int phyChan, uint32_t blockSize, const char* comment,
                    const char* title, float rate, int kind);
int KelSetWaveChan(int f, int c, int phyChan, int32_t divide, uint32_t blockSize,
                   const char* comment, const char* title, float scale, float offset,
                   const char* units);
int KelSetRealWaveChan(int f, int c, int phyChan, int32_t divide, uint32_t blockSize,
                       const char* comment, const char* title, float scale, float offset,
                       const char* units);
int KelSetAdcMarkChan(int f, int c, int phyChan, int32_t divide, uint32_t blockSize,
                      const char* comment, const char* title, float scale, float offset,
                      const char* units, float rate, int points, int preTrigger, int traces);
int KelSetRealMarkChan(int f, int c, int phyChan, uint32_t blockSize, const char* comment,
                       const char* title, float rate, float low, float high, const char* units,
                       int points);
int KelSetTextMarkChan(int f, int c, int phyChan, uint32_t blockSize, const char* comment,
                       const char* title, float rate, const char* units, int chars);
// Turns the channel to kind 0; its blocks become the slot's reusable chain.
int KelChanDelete(int f, int c);

// Appending, in time order after the channel's last item (not checked).
// Event times (kinds 2 to 4), 8-byte markers (kind 5), whole items of the
// channel's item size (kinds 2 to 8): 0 or a status.
int KelWriteEvents(int f, int c, const int32_t* times, int n);
int KelWriteMarkers(int f, int c, const uint8_t* marks, int n);
int KelWriteExtMarks(int f, int c, const uint8_t* items, int n);
// Samples from tFrom (kind 1: 16-bit, kind 9: f32). Samples at or before the
// channel's maxTime replace stored ones (none is made in a gap); the rest
// are appended. n (the samples handled), or a status; the time after the
// last sample, tFrom + n x divide, may pass the format's 32 bits.
int KelWriteWave(int f, int c, const int16_t* samples, int n, int32_t tFrom);
int KelWriteRealWave(int f, int c, const float* values, int n, int32_t tFrom);
// Replaces the first `length` bytes of the item stored at time t (kinds 5
// to 8): 1 when changed, 0 when there is no such item or the new time
// would leave its neighbours' order.
int KelEditMarker(int f, int c, int32_t t, const uint8_t* item, int length);

// Store/discard controls (kel_save_list.cc); c < 0 means every channel.
int KelSetSave(int f, int c, int32_t t, bool save);
int KelSaveRange(int f, int c, int32_t tFrom, int32_t tTo);
int KelIsSaving(int f, int c);  // 1 or 0
// The pending switch times that change the store flag; see kel_save_list.cc.
int KelNoSaveList(int f, int c, int32_t* times, int max);
int KelLatestTime(int f, int c, int32_t t);
// The store flag in force at time t: the current flag with the pending
// switches at or before t applied.
int KelSavingAt(int f, int c, int32_t t);

}  // namespace vslk64
