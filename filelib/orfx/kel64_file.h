// TKel64File: a 64-bit format file behind the common CKel64File interface.
//
// It owns the open file: the operating-system handle, the decoded file header,
// the channel header table, the string table and one channel object per used
// channel slot. It maps the header space onto block 0 and its continuation
// blocks, hands out 64 KiB blocks and 4 KiB index blocks, and gives the
// channel and block classes their raw transfers (CBlockIo). Users reach it
// through CKel64File (NewKel64File); the channel classes through the members
// below the interface.
//
// Locks, outermost first (a thread holding one may take only those after it):
//   1. chanTableLock_  (shared_mutex) the channel table; shared for every
//                      channel operation, exclusive while Open rebuilds it
//      a buffered channel's buffer lock (buffered_channel.h), taken before
//   2. a channel's own mutex (CKel64Chan)
//   3. mainLock_       the file header copy, its dirty flag, the channel
//                      header table's layout and the string table
//   4. handleLock_     the handle; one positioned transfer at a time
// None of them is recursive. Members named ...Locked expect mainLock_ held.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "filelib/kel64_file.h"
#include "filelib/orfx/block_io.h"
#include "filelib/orfx/chan_head.h"
#include "filelib/orfx/file_head.h"
#include "filelib/orfx/string_table.h"
#include "platform/file.h"
#include "platform/locks.h"

namespace vslk64 {

class CKel64Chan;

// A file may extend this far past the end of its last allocated block (a
// block being written when the recording stopped) and still open.
constexpr int64_t kMaxTailBytes = 0xF000;

class TKel64File : public CKel64File, public CBlockIo {
 public:
  TKel64File();
  ~TKel64File() override;
  TKel64File(const TKel64File&) = delete;
  TKel64File& operator=(const TKel64File&) = delete;

  // --- CKel64File ---------------------------------------------------------
  int Create(const char* path, uint16_t nChans, uint32_t extraBytes) override;
  int Open(const char* path, int mode, uint32_t flags) override;
  int Close() override;
  int EmptyFile() override;
  bool CanWrite() override;
  int GetFreeChan() override;
  int Commit(int flags) override;
  bool IsModified() override;
  int FlushSysBuffers() override;

  double GetTimeBase() override;
  void SetTimeBase(double secsPerTick) override;
  int SetExtraData(const void* buf, uint32_t bytes, uint32_t offset) override;
  int GetExtraData(void* buf, uint32_t bytes, uint32_t offset) override;
  uint32_t GetExtraDataSize() override;
  int SetFileComment(int n, const char* text) override;
  int GetFileComment(int n, int bufSize, char* buf) override;
  int MaxChans() override;
  int AppID(TAppID* get, const TAppID* set) override;
  int TimeDate(TTimeDate* get, const TTimeDate* set) override;
  int GetVersion() override;
  int64_t FileSize() override;  // also CBlockIo::FileSize
  int64_t ChanBytes(uint16_t chan) override;
  TSTime64 MaxTime(bool recompute) override;
  void ExtendMaxTime(TSTime64 t) override;

  TDataKind ChanKind(uint16_t chan) override;
  TSTime64 ChanDivide(uint16_t chan) override;
  double IdealRate(uint16_t chan, double rate) override;
  int PhyChan(uint16_t chan) override;
  int SetChanComment(uint16_t chan, const char* text) override;
  int GetChanComment(uint16_t chan, int bufSize, char* buf) override;
  int SetChanTitle(uint16_t chan, const char* text) override;
  int GetChanTitle(uint16_t chan, int bufSize, char* buf) override;
  int SetChanScale(uint16_t chan, double scale) override;
  int GetChanScale(uint16_t chan, double* scale) override;
  int SetChanOffset(uint16_t chan, double offset) override;
  int GetChanOffset(uint16_t chan, double* offset) override;
  int SetChanUnits(uint16_t chan, const char* units) override;
  int GetChanUnits(uint16_t chan, int bufSize, char* buf) override;
  TSTime64 ChanMaxTime(uint16_t chan) override;
  TSTime64 PrevNTime(uint16_t chan, TSTime64 tFrom, TSTime64 tTo, uint32_t n,
                     const CMarkFilter* filter, bool asWave) override;
  int ChanDelete(uint16_t chan) override;
  int ChanUndelete(uint16_t chan, int action) override;
  int SetChanYRange(uint16_t chan, double low, double high) override;
  int GetChanYRange(uint16_t chan, double* low, double* high) override;
  int ItemSize(uint16_t chan) override;

  void Save(int chan, TSTime64 t, bool save) override;
  void SaveRange(int chan, TSTime64 tFrom, TSTime64 tUpto) override;
  bool IsSaving(uint16_t chan) override;
  int NoSaveList(uint16_t chan, TSTime64* times, uint32_t max, TSTime64 tFrom,
                 TSTime64 tUpto) override;
  int LatestTime(int chan, TSTime64 t) override;
  double SetBuffering(int chan, uint64_t bytes, double seconds) override;

  int SetEventChan(uint16_t chan, double rate, TDataKind kind, uint32_t phyChan) override;
  int WriteEvents(uint16_t chan, const TSTime64* times, uint64_t n) override;
  int ReadEvents(uint16_t chan, TSTime64* times, int max, TSTime64 tFrom, TSTime64 tUpto,
                 const CMarkFilter* filter) override;
  int SetMarkerChan(uint16_t chan, double rate, TDataKind kind, uint32_t phyChan) override;
  int WriteMarkers(uint16_t chan, const TMarker* items, uint64_t n) override;
  int ReadMarkers(uint16_t chan, TMarker* items, int max, TSTime64 tFrom, TSTime64 tUpto,
                  const CMarkFilter* filter) override;
  int EditMarker(uint16_t chan, TSTime64 t, const TMarker* item, uint64_t bytes) override;
  int SetLevelChan(uint16_t chan, double rate, uint32_t phyChan) override;
  int SetInitLevel(uint16_t chan, bool level) override;
  int WriteLevels(uint16_t chan, const TSTime64* times, uint64_t n) override;
  int ReadLevels(uint16_t chan, TSTime64* times, int max, TSTime64 tFrom, TSTime64 tUpto,
                 bool* level) override;
  int SetTextMarkChan(uint16_t chan, double rate, uint64_t maxChars, uint32_t phyChan) override;
  int SetExtMarkChan(uint16_t chan, double rate, TDataKind kind, uint64_t rows, uint64_t cols,
                     uint32_t phyChan, TSTime64 divide, int preTrig) override;
  int GetExtMarkInfo(uint16_t chan, uint64_t* rows, uint64_t* cols) override;
  int SetWaveChan(uint16_t chan, TSTime64 divide, TDataKind kind, double rate,
                  uint32_t phyChan) override;
  TSTime64 WriteWaveF(uint16_t chan, const float* data, uint64_t n, TSTime64 tFrom) override;
  TSTime64 WriteWaveS(uint16_t chan, const int16_t* data, uint64_t n, TSTime64 tFrom) override;
  int ReadWaveF(uint16_t chan, float* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                TSTime64* tFirst, const CMarkFilter* filter) override;
  int ReadWaveS(uint16_t chan, int16_t* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                TSTime64* tFirst, const CMarkFilter* filter) override;
  int WriteExtMarks(uint16_t chan, const TExtMark* items, uint64_t n) override;
  int ReadExtMarks(uint16_t chan, TExtMark* items, int max, TSTime64 tFrom, TSTime64 tUpto,
                   const CMarkFilter* filter) override;
  int ReadWaveD(uint16_t chan, double* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                TSTime64* tFirst) override;
  int ReadWaveRuns(uint16_t chan, TSTime64 tFrom, CWaveRunSink& sink) override;

  // --- CBlockIo: raw transfers and block allocation -------------------------
  // Reads retry transient failures (platform::ReadFully); writes do not.
  int ReadRaw(void* buf, uint32_t n, int64_t pos) override;
  int WriteRaw(const void* buf, uint32_t n, int64_t pos) override;
  // Each hands out the next free unit and leaves the header dirty; 0 when the
  // file has none to give.
  int64_t AllocBlock() override;
  int64_t AllocIndexBlock() override;
  void Prefetch(uint64_t pos, uint32_t n) override;

  // --- For the channel classes ---------------------------------------------
  // The file's current length from the operating system: kErrNoFile with no
  // file, kErrRead when it cannot be obtained.
  int64_t FileLength();
  // Transfers of header-space bytes [offset, offset + n). A read beyond the
  // header space is -12; a write grows it as far as 128 continuation blocks
  // allow (else -12). Both take the main mutex.
  int ReadHeaderSpace(void* buf, uint32_t n, uint64_t offset);
  int WriteHeaderSpace(const void* buf, uint32_t n, uint64_t offset);
  // The header record of slot chan, which the channel object of that slot
  // keeps pointing at; chan must be below the table's size.
  TChanHead* ChanHeadRecord(uint16_t chan) { return &chanHeads_[chan]; }
  // Writes the header record of slot chan to its place in the header space.
  int WriteChanHead(uint16_t chan);
  // String-table work for the channels' texts, under the main mutex.
  int CopyText(uint32_t id, int bufSize, char* buf);
  uint32_t ReplaceText(const char* text, uint32_t oldId);
  void ReleaseText(uint32_t id);
  // Set by every Open that got a handle: channels created afterwards are
  // plain rather than buffered.
  bool OpenedExisting() const { return openedExisting_; }

 private:
  // The locks the file's sources (kel64_file.cc, kel64_dispatch.cc,
  // kel64_create.cc) take.
  using Guard = platform::LockGuard;
  using SharedGuard = platform::SharedLock;
  using ExclusiveGuard = platform::ExclusiveLock;

  // The channel object of slot chan, or null; chanTableLock_ must be held.
  CKel64Chan* Chan(uint16_t chan) const;

  // Runs an operation on the channel of slot chan under the shared
  // channel-table lock; `absent` when the slot holds none.
  template <typename Absent, typename Op>
  auto Dispatch(uint16_t chan, Absent absent, Op op) -> decltype(op(std::declval<CKel64Chan&>()));
  // kErrReadOnly, kErrNoChannel or, for a channel that is there, the
  // refusal of a writing operation this file does not perform.
  int RefuseWrite(uint16_t chan);

  // Lays out and writes the header space of a new file.
  int CreateLocked(uint16_t nChans, uint32_t extraBytes);
  // The checks before a channel is made in slot chan: a writable open file,
  // a slot in range and not in use. chanTableLock_ held exclusively.
  int PrepareSlotLocked(uint16_t chan);
  // Makes the channel of slot chan: of class Plain in a file opened for
  // writing, of its buffered class in a file being created (only those
  // buffer), with its physical channel and ideal rate.
  template <class Plain, class Buffered, typename... Args>
  CKel64Chan& NewChanLocked(uint16_t chan, uint32_t phyChan, double rate, Args... args);

  int OpenLocked();
  // Sets the index entry numbers of older files in every channel of a file
  // opened for writing; chanTableLock_ held exclusively, mainLock_ not held.
  int CheckEntryNumbersOnOpen();
  int ReadStringTableLocked();
  int BuildChannelsLocked();
  int ReadHeaderSpaceLocked(void* buf, uint32_t n, uint64_t offset);
  int WriteHeaderSpaceLocked(const void* buf, uint32_t n, uint64_t offset);
  int GrowHeaderSpaceLocked(uint64_t end);
  int64_t AllocBlockLocked();
  int WriteHeadLocked();
  int WriteStringTableLocked();
  int CloseHandle();

  template <typename Item, typename Call>
  int ReadLoop(uint16_t chan, Item* out, int max, TSTime64 tFrom, TSTime64 tUpto, Call call);
  // ReadLoop for the item reads that take a code filter.
  template <typename Item, typename Read>
  int ReadFiltered(uint16_t chan, Item* out, int max, TSTime64 tFrom, TSTime64 tUpto,
                   const CMarkFilter* filter, Read read);
  // ReadLoop for the waveform reads: read(channel, out, range, first) with
  // first never null.
  template <typename Sample, typename Read>
  int ReadWaveLoop(uint16_t chan, Sample* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                   TSTime64* tFirst, Read read);

  platform::SharedMutex chanTableLock_;
  platform::Mutex mainLock_;
  platform::Mutex handleLock_;

  std::unique_ptr<platform::File> file_;  // guarded by handleLock_
  std::atomic<bool> readOnly_{false};
  bool openedExisting_ = false;

  TFileHead head_;  // guarded by mainLock_, as are the three below
  bool headDirty_ = false;
  CStringTable strings_;
  // Seconds of data the channels' buffers were last sized for, all
  // channels together (SetBuffering).
  double bufferSeconds_ = 0.0;
  std::vector<TChanHead> chanHeads_;
  // Declared after chanHeads_ so the channels, which point into it, go first.
  std::vector<std::unique_ptr<CKel64Chan>> chans_;
};

}  // namespace vslk64
