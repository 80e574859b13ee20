// CKel64File: the one interface through which every user of the file-access
// library reaches a recording, whatever its on-disk format.
//
// TKel64File (filelib/orfx/) serves the 64-bit format and TKel32File
// (filelib/orf/) the 32-bit one. The operations are declared in a fixed order,
// which is the layout of the class's table of virtual operations and is shared
// by both implementations; do not reorder them.
//
// Conventions: times are TSTime64 ticks, read ranges are half-open
// [tFrom, tUpto), an operation on an out-of-range or unused channel returns
// kErrNoChannel, a writing operation on a read-only file kErrReadOnly, and
// success is 0 (or a count, value or time) unless stated otherwise.
//
// Installed for recording programs as include/vslk64/ with the three headers
// it includes, which is why these four name one another by sibling name.
#pragma once

#include <cstdint>
#include <memory>

#include "kel64_types.h"
#include "mark_filter.h"
#include "status.h"

namespace vslk64 {

// Receives the stretches ReadWaveRuns finds, in time order.
class CWaveRunSink {
 public:
  // first: time of the stretch's first sample; count: its samples (at least
  // 1). False stops the walk.
  virtual bool Put(TSTime64 first, uint64_t count) = 0;

 protected:
  ~CWaveRunSink() = default;
};

// PrevNTime's answer when no such item lies in the range. It shares its
// number with kErrNoFile, as callers have always received it; a caller that
// needs to tell them apart asks whether a file is open.
constexpr TSTime64 kNoneFound = -1;

// Open's mode.
enum : int {
  kOpenReadWrite = 0,
  kOpenReadOnly = 1,
  kOpenFallback = -1,  // any negative mode: read-write, else read-only
};

// Open's flags.
enum : uint32_t {
  // Keep the handle of a file whose checks failed, for repair (newer format).
  kOpenKeepOnFailure = 2,
};

// Commit's flags, combined with |.
enum : int {
  kCommitFlushSystem = 1,   // also ask the system to write its buffers out
  kCommitHeadersOnly = 2,   // the file's own headers only, no channel commits
  kCommitEndBuffering = 4,  // newer format: then give up every channel's buffer
};

class CKel64File {
 public:
  virtual ~CKel64File() = default;

  // --- File lifecycle ---------------------------------------------------
  virtual int Create(const char* path, uint16_t nChans, uint32_t extraBytes) = 0;
  // mode kOpen... above; flags kOpenKeepOnFailure or 0.
  virtual int Open(const char* path, int mode, uint32_t flags) = 0;
  virtual int Close() = 0;
  virtual int EmptyFile() = 0;
  virtual bool CanWrite() = 0;
  virtual int GetFreeChan() = 0;
  virtual int Commit(int flags) = 0;
  virtual bool IsModified() = 0;
  virtual int FlushSysBuffers() = 0;

  // --- File properties --------------------------------------------------
  virtual double GetTimeBase() = 0;
  virtual void SetTimeBase(double secsPerTick) = 0;
  virtual int SetExtraData(const void* buf, uint32_t bytes, uint32_t offset) = 0;
  virtual int GetExtraData(void* buf, uint32_t bytes, uint32_t offset) = 0;
  virtual uint32_t GetExtraDataSize() = 0;
  virtual int SetFileComment(int n, const char* text) = 0;
  virtual int GetFileComment(int n, int bufSize, char* buf) = 0;
  virtual int MaxChans() = 0;
  virtual int AppID(TAppID* get, const TAppID* set) = 0;
  virtual int TimeDate(TTimeDate* get, const TTimeDate* set) = 0;
  virtual int GetVersion() = 0;
  virtual int64_t FileSize() = 0;
  virtual int64_t ChanBytes(uint16_t chan) = 0;
  virtual TSTime64 MaxTime(bool recompute) = 0;
  virtual void ExtendMaxTime(TSTime64 t) = 0;

  // --- Channel properties -----------------------------------------------
  virtual TDataKind ChanKind(uint16_t chan) = 0;
  virtual TSTime64 ChanDivide(uint16_t chan) = 0;
  virtual double IdealRate(uint16_t chan, double rate) = 0;
  virtual int PhyChan(uint16_t chan) = 0;
  virtual int SetChanComment(uint16_t chan, const char* text) = 0;
  virtual int GetChanComment(uint16_t chan, int bufSize, char* buf) = 0;
  virtual int SetChanTitle(uint16_t chan, const char* text) = 0;
  virtual int GetChanTitle(uint16_t chan, int bufSize, char* buf) = 0;
  virtual int SetChanScale(uint16_t chan, double scale) = 0;
  virtual int GetChanScale(uint16_t chan, double* scale) = 0;
  virtual int SetChanOffset(uint16_t chan, double offset) = 0;
  virtual int GetChanOffset(uint16_t chan, double* offset) = 0;
  virtual int SetChanUnits(uint16_t chan, const char* units) = 0;
  virtual int GetChanUnits(uint16_t chan, int bufSize, char* buf) = 0;
  virtual TSTime64 ChanMaxTime(uint16_t chan) = 0;
  // The time of the n-th item before tFrom, no earlier than tTo; kNoneFound
  // when there is none.
  virtual TSTime64 PrevNTime(uint16_t chan, TSTime64 tFrom, TSTime64 tTo, uint32_t n,
                             const CMarkFilter* filter, bool asWave) = 0;
  virtual int ChanDelete(uint16_t chan) = 0;
  virtual int ChanUndelete(uint16_t chan, int action) = 0;
  virtual int SetChanYRange(uint16_t chan, double low, double high) = 0;
  virtual int GetChanYRange(uint16_t chan, double* low, double* high) = 0;
  virtual int ItemSize(uint16_t chan) = 0;

  // --- Saving and buffering (files being written) -----------------------
  virtual void Save(int chan, TSTime64 t, bool save) = 0;
  virtual void SaveRange(int chan, TSTime64 tFrom, TSTime64 tUpto) = 0;
  virtual bool IsSaving(uint16_t chan) = 0;
  virtual int NoSaveList(uint16_t chan, TSTime64* times, uint32_t max, TSTime64 tFrom,
                         TSTime64 tUpto) = 0;
  virtual int LatestTime(int chan, TSTime64 t) = 0;
  virtual double SetBuffering(int chan, uint64_t bytes, double seconds) = 0;

  // --- Channel creation, writing and reading, by kind -------------------
  virtual int SetEventChan(uint16_t chan, double rate, TDataKind kind, uint32_t phyChan) = 0;
  virtual int WriteEvents(uint16_t chan, const TSTime64* times, uint64_t n) = 0;
  virtual int ReadEvents(uint16_t chan, TSTime64* times, int max, TSTime64 tFrom,
                         TSTime64 tUpto, const CMarkFilter* filter) = 0;
  virtual int SetMarkerChan(uint16_t chan, double rate, TDataKind kind, uint32_t phyChan) = 0;
  virtual int WriteMarkers(uint16_t chan, const TMarker* items, uint64_t n) = 0;
  virtual int ReadMarkers(uint16_t chan, TMarker* items, int max, TSTime64 tFrom,
                          TSTime64 tUpto, const CMarkFilter* filter) = 0;
  virtual int EditMarker(uint16_t chan, TSTime64 t, const TMarker* item, uint64_t bytes) = 0;
  virtual int SetLevelChan(uint16_t chan, double rate, uint32_t phyChan) = 0;
  virtual int SetInitLevel(uint16_t chan, bool level) = 0;
  virtual int WriteLevels(uint16_t chan, const TSTime64* times, uint64_t n) = 0;
  virtual int ReadLevels(uint16_t chan, TSTime64* times, int max, TSTime64 tFrom,
                         TSTime64 tUpto, bool* level) = 0;
  virtual int SetTextMarkChan(uint16_t chan, double rate, uint64_t maxChars,
                              uint32_t phyChan) = 0;
  virtual int SetExtMarkChan(uint16_t chan, double rate, TDataKind kind, uint64_t rows,
                             uint64_t cols, uint32_t phyChan, TSTime64 divide, int preTrig) = 0;
  virtual int GetExtMarkInfo(uint16_t chan, uint64_t* rows, uint64_t* cols) = 0;
  virtual int SetWaveChan(uint16_t chan, TSTime64 divide, TDataKind kind, double rate,
                          uint32_t phyChan) = 0;
  virtual TSTime64 WriteWaveF(uint16_t chan, const float* data, uint64_t n, TSTime64 tFrom) = 0;
  virtual TSTime64 WriteWaveS(uint16_t chan, const int16_t* data, uint64_t n,
                              TSTime64 tFrom) = 0;
  virtual int ReadWaveF(uint16_t chan, float* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                        TSTime64* tFirst, const CMarkFilter* filter) = 0;
  virtual int ReadWaveS(uint16_t chan, int16_t* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                        TSTime64* tFirst, const CMarkFilter* filter) = 0;
  virtual int WriteExtMarks(uint16_t chan, const TExtMark* items, uint64_t n) = 0;
  virtual int ReadExtMarks(uint16_t chan, TExtMark* items, int max, TSTime64 tFrom,
                           TSTime64 tUpto, const CMarkFilter* filter) = 0;

  // --- Reads for callers that index or convert whole recordings -------------
  // These follow the operations above, so their layout stays as it is. The
  // versions here are built on ReadWaveF and ReadWaveS and serve any
  // implementation; the two formats replace them with walks that touch only
  // what the answer needs.

  // ReadWaveF with the values widened to double: data[i] is exactly the
  // float ReadWaveF delivers for the same request. Kinds 1 and 9.
  virtual int ReadWaveD(uint16_t chan, double* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                        TSTime64* tFirst);
  // The stretches of contiguous samples of a waveform channel (kinds 1 and
  // 9) from the first sample at or after tFrom, in time order, each as the
  // time of its first sample and its sample count: exactly the runs that
  // successive ReadWaveS calls, each starting one divide after the last
  // sample of the one before, would deliver if their buffers never filled.
  // Samples are not read. 0 when the channel's data end (or the sink stops
  // the walk), else the status a read of the same data would give.
  virtual int ReadWaveRuns(uint16_t chan, TSTime64 tFrom, CWaveRunSink& sink);
};

// Factories for the two implementations, so that users of the interface need
// not include a format's headers.
std::unique_ptr<CKel64File> NewKel64File();  // 64-bit format (filelib/orfx/)
std::unique_ptr<CKel64File> NewKel32File();  // 32-bit format (filelib/orf/)

}  // namespace vslk64
