// Data blocks of a 64-bit format file: the 65536-byte block image and the
// block classes that search, read, append to and change the items of one
// block.
//
// Every item of channel data lives in a data block that belongs to one
// channel and holds one item layout. The block index (index_cursor.h) finds a
// channel's blocks; the channel classes hold a read block (owned by their
// cursor) and a write block, and leave all work inside a block to the
// classes here. Block operations do no I/O; LoadDataBlock moves a block from
// the file into an object and checks it before anything in it is used.
//
// Block image (TDataBlock, 65536 bytes): a TDiskBlockHead (disk_block_head.h)
// and a 65520-byte item area from offset 16. Item area layouts:
//
//   CEventBlock     items i64 times, ascending, packed            8190 max
//   CMarkerBlock    items 16-byte markers, ascending, packed      4095 max
//                     0 i64 time, 8 u8[4] codes, 12 four zero bytes
//   CExtMarkBlock   items records of the channel's item size S    65520 / S
//                   (a multiple of 8, at least 16): a marker head and
//                   the payload (kind 6: 16-bit points, trace-interleaved)
//   CAdcBlock       items runs of 16-bit samples
//   CRealWaveBlock  items runs of 32-bit float samples
//
// A waveform run is a 16-byte head and its samples; the next run starts at
// the run start + 16 + the sample bytes raised to a multiple of 8:
//
//   0 i64 time of the first sample   8 u32 samples   12 u32 reserved (0)
//   16 the samples; sample i lies at the start time + i * divide
//
// Runs of one block are in time order and never contiguous with each other:
// a sample one divide after the block's last sample extends the last run.
#pragma once

#include <cstdint>
#include <memory>

#include "filelib/kel64_types.h"
#include "filelib/mark_filter.h"
#include "filelib/orfx/block_io.h"
#include "filelib/orfx/chan_head.h"
#include "filelib/orfx/disk_block_head.h"
#include "filelib/orfx/read_range.h"

namespace vslk64 {

constexpr uint32_t kItemAreaAt = kDiskBlockHeadSize;
constexpr uint32_t kItemAreaSize = kDataBlockSize - kDiskBlockHeadSize;  // 65520

constexpr uint32_t kEventBytes = 8;
constexpr uint32_t kMarkerBytes = 16;
constexpr uint32_t kMarkerCodesAt = 8;  // within a marker or extended marker
constexpr uint32_t kMinExtMarkBytes = 16;

constexpr uint32_t kRunHeadBytes = 16;
constexpr uint32_t kRunStartAt = 0;
constexpr uint32_t kRunCountAt = 8;
constexpr uint32_t kRunReservedAt = 12;

constexpr uint64_t kMaxEventItems = kItemAreaSize / kEventBytes;                     // 8190
constexpr uint64_t kMaxMarkerItems = kItemAreaSize / kMarkerBytes;                   // 4095
constexpr uint64_t kMaxAdcSamples = (kItemAreaSize - kRunHeadBytes) / 2;             // 32752
constexpr uint64_t kMaxRealWaveSamples = (kItemAreaSize - kRunHeadBytes) / 4;        // 16376

// The 65536-byte image of a data block, read from and written to the file
// whole. Fields are reached through accessors at their on-disk offsets.
class TDataBlock : public TBlockImage<kDataBlockSize> {
 public:
  // Time of the first item (of the first sample of a waveform block): every
  // layout starts its item area with it. -1 when the block is empty.
  TSTime64 FirstTime() const { return Items() == 0 ? -1 : le::GetI64(bytes_ + kItemAreaAt); }
};

// A data block with the operations of its item layout. A typed operation
// that the layout does not support returns kErrWrongKind (-11).
//
// Forward reads take the output pointer by reference and advance it past
// what they copied; they return the number of items (times, records or
// samples) delivered and update the range as TReadRange describes. Backward
// searches return a time, or -1 when this block holds no answer.
class CDataBlock : public TDataBlock {
 public:
  explicit CDataBlock(uint16_t chan);
  virtual ~CDataBlock() = default;
  CDataBlock(const CDataBlock&) = delete;
  CDataBlock& operator=(const CDataBlock&) = delete;

  // Capacity in items (in samples of a single run for waveform blocks).
  virtual uint64_t MaxItems() const = 0;
  // Time of the last item or last sample; -1 when empty.
  virtual TSTime64 EndTime() const = 0;
  // Marker blocks: first code byte of the last marker (-1 when empty); 0 for
  // other layouts.
  virtual int LastCode() const { return 0; }

  virtual int ReadWaveF(float*& out, TReadRange& range, TSTime64* tFirst,
                        const CMarkFilter* filter);
  virtual int ReadWaveS(int16_t*& out, TReadRange& range, TSTime64* tFirst,
                        const CMarkFilter* filter);
  // Whole records of the channel's item size, laid out as TExtMark items of
  // that size: the time in host order, then the stored bytes.
  virtual int ReadExtMarks(uint8_t*& out, TReadRange& range, const CMarkFilter* filter);
  virtual int ReadMarkers(TMarker*& out, TReadRange& range, const CMarkFilter* filter);
  virtual int ReadEvents(TSTime64*& out, TReadRange& range, const CMarkFilter* filter);

  // The nMax-th item (sample) before tUpto, no earlier than tFrom.
  virtual TSTime64 PrevNTime(TReadRange& range, const CMarkFilter* filter) = 0;
  // Extended-marker blocks: the same over the points of wave marks of
  // `points` points `divide` ticks apart.
  virtual TSTime64 PrevNWaveTime(TReadRange& range, const CMarkFilter* filter,
                                 uint64_t points, TSTime64 divide);

  // Appending to a write block. Each takes up to n items from `in`, stores
  // them after the last item, advances `in` past them and returns their
  // number. A full event, marker or extended-marker block is first emptied
  // (no items, unplaced, clean): its owner has written it out and reuses the
  // object for the next disk block. Time order is the channel's to check.
  // Extended markers are read from `in` at the channel's item size, laid out
  // as ReadExtMarks delivers them.
  virtual int AddExtMarks(const uint8_t*& in, uint64_t n);
  virtual int AddMarkers(const TMarker*& in, uint64_t n);
  virtual int AddEvents(const TSTime64*& in, uint64_t n);
  // n samples, the first at time t. They extend the last run when t lies one
  // divide after the block's last sample, and otherwise open a new run after
  // it. 0 when the block has no room for another sample there (it is full)
  // or t cannot follow the stored samples.
  virtual int AddWaveF(const float*& in, uint64_t n, TSTime64 t);
  virtual int AddWaveS(const int16_t*& in, uint64_t n, TSTime64 t);
  // Overwrites the stored samples at the times of input sample k, t + k *
  // divide; input samples that fall in a gap between runs are dropped.
  // Returns -1 when the block has no runs or every input time lies before
  // them, 0 when t is after the block's last sample, and otherwise the number
  // of input samples inside the block's span, from *first, the index of the
  // first of them (set only for a positive result; clamped to INT_MAX).
  virtual int ChangeWaveF(const float* in, uint64_t n, TSTime64 t, uint64_t* first);
  virtual int ChangeWaveS(const int16_t* in, uint64_t n, TSTime64 t, uint64_t* first);
  // Replaces bytes 8 to bytes - 1 (codes and payload; never the time) of the
  // first item at time t with those of `item`. 1 when such an item is here,
  // 0 when not, kErrBadArg for more bytes than an item holds.
  virtual int EditMarker(TSTime64 t, const uint8_t* item, uint64_t bytes);

  // Waveform blocks cache the position of their last run; a block whose
  // image was replaced must drop it.
  virtual void ForgetLastRun() {}

  // Checks a block just read from the file before anything in it is used:
  // the owner (this block's channel), the reuse stamp (the channel's
  // reuseCount: a block of the channel's earlier contents is stale), the level in parentRef, the item count and
  // (waveform blocks) that every run lies inside the block and its times fit
  // the tick range. kOk or kErrCorrupt; on failure the block must not be
  // used (LoadDataBlock empties it).
  virtual int Validate(uint16_t reuseCount);

  // File position of the disk copy, 0 while the block has none.
  uint64_t FilePos() const { return filePos_; }
  void SetFilePos(uint64_t pos) { filePos_ = pos; }
  // The image differs from the disk copy.
  bool IsDirty() const { return dirty_ != 0; }
  void SetDirty(bool dirty) { dirty_ = dirty ? 1 : 0; }

  uint16_t Channel() const { return chan_; }

  // Makes the block an empty, unplaced, clean block of its channel.
  void Reset();

 protected:
  // Items that may be interpreted: the count, bounded by the capacity.
  uint32_t CountedItems() const;
  // Makes room for up to n packed items of itemBytes each: empties a full
  // block, counts the items taken as stored and marks the block dirty.
  // Returns how many fit; *at is where the first of them goes.
  uint64_t TakeItemRoom(uint64_t n, uint64_t itemBytes, uint8_t** at);
  // EditMarker over packed items of `stride` bytes.
  int EditItem(uint32_t stride, TSTime64 t, const uint8_t* item, uint64_t bytes);

  uint16_t chan_;
  uint64_t filePos_ = 0;
  uint8_t dirty_ = 0;
};

class CEventBlock : public CDataBlock {
 public:
  explicit CEventBlock(uint16_t chan) : CDataBlock(chan) {}
  uint64_t MaxItems() const override { return kMaxEventItems; }
  TSTime64 EndTime() const override;
  int ReadEvents(TSTime64*& out, TReadRange& range, const CMarkFilter* filter) override;
  TSTime64 PrevNTime(TReadRange& range, const CMarkFilter* filter) override;
  int AddEvents(const TSTime64*& in, uint64_t n) override;
};

class CMarkerBlock : public CDataBlock {
 public:
  explicit CMarkerBlock(uint16_t chan) : CDataBlock(chan) {}
  uint64_t MaxItems() const override { return kMaxMarkerItems; }
  TSTime64 EndTime() const override;
  int LastCode() const override;
  int ReadMarkers(TMarker*& out, TReadRange& range, const CMarkFilter* filter) override;
  int ReadEvents(TSTime64*& out, TReadRange& range, const CMarkFilter* filter) override;
  TSTime64 PrevNTime(TReadRange& range, const CMarkFilter* filter) override;
  int AddMarkers(const TMarker*& in, uint64_t n) override;
  int EditMarker(TSTime64 t, const uint8_t* item, uint64_t bytes) override;
};

class CExtMarkBlock : public CDataBlock {
 public:
  // itemSize: the channel's item size S. A size that is not a multiple of 8
  // between 16 and 65520 leaves the block without capacity, so that nothing
  // read from the file can be taken for its items.
  CExtMarkBlock(uint16_t chan, uint64_t itemSize);
  static bool UsableItemSize(uint64_t itemSize);

  uint64_t MaxItems() const override { return capacity_; }
  uint64_t ItemSize() const { return itemSize_; }
  TSTime64 EndTime() const override;
  // One trace of consecutive kind-6 records read as a waveform; the shape
  // (rows, columns, divide) comes from range.pHead.
  int ReadWaveS(int16_t*& out, TReadRange& range, TSTime64* tFirst,
                const CMarkFilter* filter) override;
  int ReadExtMarks(uint8_t*& out, TReadRange& range, const CMarkFilter* filter) override;
  int ReadMarkers(TMarker*& out, TReadRange& range, const CMarkFilter* filter) override;
  int ReadEvents(TSTime64*& out, TReadRange& range, const CMarkFilter* filter) override;
  TSTime64 PrevNTime(TReadRange& range, const CMarkFilter* filter) override;
  TSTime64 PrevNWaveTime(TReadRange& range, const CMarkFilter* filter, uint64_t points,
                         TSTime64 divide) override;
  int AddExtMarks(const uint8_t*& in, uint64_t n) override;
  int EditMarker(TSTime64 t, const uint8_t* item, uint64_t bytes) override;

 private:
  uint64_t capacity_;
  uint64_t itemSize_;
};

// The run handling shared by the two waveform layouts.
class CWaveBlock : public CDataBlock {
 public:
  uint64_t MaxItems() const override { return (kItemAreaSize - kRunHeadBytes) / sampleBytes_; }
  TSTime64 EndTime() const override;
  TSTime64 PrevNTime(TReadRange& range, const CMarkFilter* filter) override;
  void ForgetLastRun() override { lastRun_ = kNoRun; }
  int Validate(uint16_t reuseCount) override;

  TSTime64 Divide() const { return divide_; }

  // The forward read of either layout into doubles (wave_reads.cc): each
  // 16-bit sample s becomes the float of s * factor + offset worked out in
  // double precision, each float sample itself, and either is widened. out
  // is advanced past the values delivered.
  int ReadWaveD(double*& out, TReadRange& range, TSTime64* tFirst, double factor,
                double offset);

  // The runs in block order, each as its first sample's time and its count,
  // with whether it is the block's last (only a last run may continue into
  // the next block). The block has passed Validate, so every run is sound.
  template <typename Visit>
  void ForEachRun(Visit visit) const {
    TRun run;
    uint32_t at = kItemAreaAt;
    const uint32_t items = Items();
    for (uint32_t i = 0; i < items && RunAt(at, &run); ++i) {
      visit(run.start, run.count, i + 1 == items);
      at = run.next;
    }
  }
  // Whether every run head of the block lies in its first `bytes` bytes, so
  // that an image of only those bytes holds all the block's runs need.
  bool RunHeadsWithin(uint32_t bytes) const;

 protected:
  // divide: the channel's sample interval in ticks; values below 1 are taken
  // as 1 so that no arithmetic here can divide by zero.
  CWaveBlock(uint16_t chan, TSTime64 divide, uint32_t sampleBytes);

  static constexpr uint32_t kNoRun = 0;  // no run starts at block offset 0

  struct TRun {
    uint32_t at;     // block offset of the run head
    TSTime64 start;  // time of the first sample
    uint32_t count;  // samples, at least 1
    uint32_t next;   // block offset of the following run
  };
  // The run whose head is at block offset `at`, when head and samples lie
  // inside the block and hold at least one sample.
  bool RunAt(uint32_t at, TRun* run) const;
  // The last run, cached in lastRun_; false when the block has no runs.
  bool LastRun(TRun* run) const;
  // The time of sample i of a run (i at most the run's count).
  TSTime64 SampleTime(const TRun& run, uint64_t i) const;

  // The forward read common to both layouts: finds the samples to deliver,
  // updates the range and tFirst, and returns their number; *samples points
  // at the first of them.
  uint64_t PlanRead(TReadRange& range, TSTime64* tFirst, const uint8_t** samples);

  // Encodes n samples of the caller's array, from index `from`, at dst.
  using StoreFn = void (*)(uint8_t* dst, const void* in, uint64_t from, uint64_t n);
  // The append and overwrite common to both layouts (AddWave*, ChangeWave*).
  uint64_t AppendSamples(const void* in, uint64_t n, TSTime64 t, StoreFn store);
  // AppendSamples that moves `in` past what it appended; returns that count.
  template <typename Sample>
  int AppendAndAdvance(const Sample*& in, uint64_t n, TSTime64 t, StoreFn store) {
    const uint64_t m = AppendSamples(in, n, t, store);
    in += m;
    return static_cast<int>(m);
  }
  int ChangeSamples(const void* in, uint64_t n, TSTime64 t, uint64_t* first, StoreFn store);
  // PlanRead that copies the samples to `out` and moves it past them.
  template <typename Sample>
  int ReadAndAdvance(Sample*& out, TReadRange& range, TSTime64* tFirst);
  // Samples a run starting at `start` may hold so that the time one past
  // its last sample is still a tick time.
  uint64_t TimeRoom(TSTime64 start) const;

  TSTime64 divide_;
  uint32_t sampleBytes_;
  mutable uint32_t lastRun_ = kNoRun;
};

class CAdcBlock : public CWaveBlock {
 public:
  CAdcBlock(uint16_t chan, TSTime64 divide) : CWaveBlock(chan, divide, 2) {}
  int ReadWaveS(int16_t*& out, TReadRange& range, TSTime64* tFirst,
                const CMarkFilter* filter) override;
  int AddWaveS(const int16_t*& in, uint64_t n, TSTime64 t) override;
  int ChangeWaveS(const int16_t* in, uint64_t n, TSTime64 t, uint64_t* first) override;
};

class CRealWaveBlock : public CWaveBlock {
 public:
  CRealWaveBlock(uint16_t chan, TSTime64 divide) : CWaveBlock(chan, divide, 4) {}
  int ReadWaveF(float*& out, TReadRange& range, TSTime64* tFirst,
                const CMarkFilter* filter) override;
  int AddWaveF(const float*& in, uint64_t n, TSTime64 t) override;
  int ChangeWaveF(const float* in, uint64_t n, TSTime64 t, uint64_t* first) override;
};

// A block object of the class that holds the items of a channel with this
// header: kind 1 CAdcBlock, 2-3 CEventBlock, 4-5 CMarkerBlock, 6-8
// CExtMarkBlock, 9 CRealWaveBlock. Null when the header names no kind, or a
// waveform divide below 1 or an unusable extended-marker item size.
std::unique_ptr<CDataBlock> NewDataBlock(uint16_t chan, const TChanHead& head);

// Brings the data block at file position `pos` into `block`: nothing when
// the block already holds that position (with this reuse stamp); otherwise a dirty, placed,
// non-empty block is written back first, then the 65536 bytes are read and
// validated (Validate). Returns 0, the transfer's error, or kErrCorrupt for a
// position off the 64 KiB grid or outside the file or a block that fails the
// checks; after a failed read the block is empty and unplaced.
int LoadDataBlock(CBlockIo& io, CDataBlock& block, uint64_t pos, uint16_t reuseCount);

// The end of every load: rc, the status of reading the image at pos, then the
// block's checks; a failure empties the block, success marks it clean there.
int SettleLoadedBlock(CDataBlock& block, int rc, uint64_t pos, uint16_t reuseCount);

// The part of a waveform block that holds its head and (usually) all its
// run heads: a block of one long run needs only this much to be indexed.
constexpr uint32_t kRunHeadsReadBytes = 4096;

// LoadDataBlock for walks that want a waveform block's runs, not its
// samples: reads the first kRunHeadsReadBytes, and the whole block only when
// its run heads reach beyond them. The same checks and results as
// LoadDataBlock; the image beyond the part read is left as it was, so the
// block must not be read for samples (nor written back: it is never dirty).
// length: the file's length as the system reports it (negative: unknown); a
// block that does not lie wholly inside it is read whole.
int LoadRunHeads(CBlockIo& io, CWaveBlock& block, uint64_t pos, uint16_t reuseCount,
                 int64_t length);

}  // namespace vslk64
