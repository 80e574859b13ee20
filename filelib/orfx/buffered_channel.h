// The buffered channel classes of the 64-bit format: CBEventChan,
// CBMarkerChan, CBExtMarkChan, CBAdcChan and CBRealWChan. A file being
// recorded makes its channels of these classes (TKel64File::SetEventChan and
// the other channel-creating operations); SetBuffering gives them a buffer.
//
// With a buffer, a channel keeps its newest items in memory (circ_buffer.h)
// and a save list (save_list.h) records which stretches of time the recording
// program wants kept. Items reach the kind class's write path (channel.h),
// and so the disk, only through a write-out: when the buffer needs room for
// new items, at Commit, and before the buffer is resized. A write-out writes
// the items of saving stretches and passes over the others, which are lost
// when they leave the buffer. Items written out stay in the buffer, readable,
// until room is needed; `written_` counts those the write-outs have passed,
// so nothing is written twice.
//
// Readers see the disk and the buffer as one sequence: the disk (and write
// block) below the oldest buffered time, the buffer from there on. The buffer
// never begins inside a run of items that share a time, so no item lies both
// below the seam on disk and in the buffer.
//
// Without a buffer (the state after creation, or after SetBuffering with 0)
// every operation is the kind class's.
//
// Locks: every buffered operation takes bufferLock_ for its whole run and
// calls the kind class's operations inside it, which take the channel mutex:
// the order is always the buffer lock, then the channel mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>

#include "filelib/orfx/channel.h"
#include "filelib/orfx/circ_buffer.h"
#include "filelib/orfx/save_list.h"
#include "platform/locks.h"

namespace vslk64 {

// What the buffered item classes share: times, markers and extended markers
// buffered as whole items of the channel's item size.
template <class Kind>
class TBufferedItemChan : public Kind {
 public:
  using Kind::Kind;

  bool HasBuffer() override;
  void ResizeBuffer(uint64_t items) override;
  uint64_t BufferCount() override;
  int EmptyData() override;
  TSTime64 ChanMaxTime() override;
  int64_t ChanBytes() override;
  bool IsModified() override;
  int Commit() override;
  TSTime64 PrevNTime(TReadRange& range, const CMarkFilter* filter, bool asWave) override;
  int ReadEvents(TSTime64* out, TReadRange& range, const CMarkFilter* filter) override;
  int ReadMarkers(TMarker* out, TReadRange& range, const CMarkFilter* filter) override;
  int ReadExtMarks(uint8_t* out, TReadRange& range, const CMarkFilter* filter) override;
  int EditMarker(TSTime64 t, const uint8_t* item, uint64_t bytes) override;

  void Save(TSTime64 t, bool save) override;
  void SaveRange(TSTime64 tFrom, TSTime64 tUpto) override;
  bool IsSaving() override;
  int NoSaveList(TSTime64* times, uint32_t max, TSTime64 tFrom, TSTime64 tUpto) override;
  void LatestTime(TSTime64 t) override;

 protected:
  // The buffered append of n items of the channel's item size.
  int AppendBuffered(const uint8_t* items, uint64_t n);
  // The kind class's own append, used without a buffer.
  virtual int WriteDirect(const uint8_t* items, uint64_t n) = 0;
  // Writes out the buffered items at positions [written_, upto) that lie in
  // saving stretches. bufferLock_ held.
  int WriteOutLocked(uint64_t upto);
  // Writes the items of in[0..n), which are not buffered, that lie in
  // saving stretches. bufferLock_ held.
  int WriteThroughLocked(const uint8_t* in, uint64_t n);
  // The merged read: the kind class's read below the oldest buffered time,
  // then the buffered items. outBytes: bytes delivered per item.
  template <typename Disk>
  int MergedRead(uint8_t* out, uint64_t outBytes, TReadRange& range, const CMarkFilter* filter,
                 Disk disk);
  uint32_t ItemBytes() const { return this->head_->itemSize; }
  bool HasCodes() const { return this->head_->itemSize >= sizeof(TMarker); }
  bool BufferedLocked() const { return buffer_ && buffer_->Capacity() >= 2; }

  platform::Mutex bufferLock_;
  std::unique_ptr<CircBuffer> buffer_;
  uint64_t chunk_ = 0;    // the fewest items moved out of the buffer at a time
  uint64_t written_ = 0;  // oldest buffered items that write-outs have passed
  CSaveList saveList_;
};

class CBEventChan : public TBufferedItemChan<CEventChan> {
 public:
  using TBufferedItemChan::TBufferedItemChan;
  int WriteEvents(const TSTime64* times, uint64_t n) override;

 protected:
  int WriteDirect(const uint8_t* items, uint64_t n) override;
};

class CBMarkerChan : public TBufferedItemChan<CMarkerChan> {
 public:
  using TBufferedItemChan::TBufferedItemChan;
  int WriteMarkers(const TMarker* items, uint64_t n) override;
  // Level channels: the changes become markers whose codes alternate from
  // the level after LastLevel, which counts buffered changes.
  int WriteEvents(const TSTime64* times, uint64_t n) override;
  bool LastLevel() override;

 protected:
  int WriteDirect(const uint8_t* items, uint64_t n) override;
};

class CBExtMarkChan : public TBufferedItemChan<CExtMarkChan> {
 public:
  using TBufferedItemChan::TBufferedItemChan;
  int WriteExtMarks(const uint8_t* items, uint64_t n) override;
  // Wave marks read as a waveform: the disk part, then the buffered records
  // laid into block images and read as disk blocks are, so that trace
  // selection, the filter and the joining of records behave alike.
  int ReadWaveS(int16_t* out, TReadRange& range, TSTime64* tFirst,
                const CMarkFilter* filter) override;
  TSTime64 PrevNTime(TReadRange& range, const CMarkFilter* filter, bool asWave) override;

 protected:
  int WriteDirect(const uint8_t* items, uint64_t n) override;
};

// What the buffered waveform classes share.
template <class Kind, typename Sample>
class TBufferedWaveChan : public Kind {
  static constexpr bool kShorts = std::is_same_v<Sample, int16_t>;

 public:
  using Kind::Kind;

  bool HasBuffer() override;
  void ResizeBuffer(uint64_t items) override;
  uint64_t BufferCount() override;
  int EmptyData() override;
  TSTime64 ChanMaxTime() override;
  int64_t ChanBytes() override;
  bool IsModified() override;
  int Commit() override;
  TSTime64 PrevNTime(TReadRange& range, const CMarkFilter* filter, bool asWave) override;

  void Save(TSTime64 t, bool save) override;
  void SaveRange(TSTime64 tFrom, TSTime64 tUpto) override;
  bool IsSaving() override;
  int NoSaveList(TSTime64* times, uint32_t max, TSTime64 tFrom, TSTime64 tUpto) override;
  void LatestTime(TSTime64 t) override;

 protected:
  // The buffered append: samples at or before the newest buffered or stored
  // sample overwrite it, a gap starts a new stretch, and room is made by
  // writing out and dropping the oldest samples.
  TSTime64 WriteBuffered(const Sample* data, uint64_t n, TSTime64 t);
  // Changes buffered samples, then stored ones (those written out are both).
  int ChangeBuffered(const Sample* data, uint64_t n, TSTime64 t);
  // The merged read of samples of this channel's type.
  template <typename Disk>
  int MergedRead(Sample* out, TReadRange& range, TSTime64* tFirst, Disk disk);
  // Whether the channel stores (on disk or in its write block) a sample in
  // [from, upto).
  bool StoredIn(TSTime64 from, TSTime64 upto);
  // The change and the merged read the public calls of the sample type make.
  int ChangeWave(const Sample* data, uint64_t n, TSTime64 t);
  int ReadWave(Sample* out, TReadRange& range, TSTime64* tFirst, const CMarkFilter* filter);
  // The kind class's own write, change and read of this sample type.
  TSTime64 WriteDirect(const Sample* data, uint64_t n, TSTime64 t);
  int ChangeDirect(const Sample* data, uint64_t n, TSTime64 t);
  int ReadDirect(Sample* out, TReadRange& range, TSTime64* tFirst, const CMarkFilter* filter);
  // Writes out buffered samples [written_, upto) of saving stretches.
  int WriteOutLocked(uint64_t upto);
  // Writes the saving stretches of n unbuffered samples from time t.
  int WriteThroughLocked(const Sample* data, uint64_t n, TSTime64 t);
  bool BufferedLocked() const { return buffer_ && buffer_->Capacity() >= 2; }

  platform::Mutex bufferLock_;
  std::unique_ptr<CircWBuffer<Sample>> buffer_;
  uint64_t chunk_ = 0;
  uint64_t written_ = 0;
  CSaveList saveList_;
};

class CBAdcChan : public TBufferedWaveChan<CAdcChan, int16_t> {
 public:
  using TBufferedWaveChan::TBufferedWaveChan;
  TSTime64 WriteWaveS(const int16_t* data, uint64_t n, TSTime64 t) override {
    return WriteBuffered(data, n, t);
  }
  int ChangeWaveS(const int16_t* data, uint64_t n, TSTime64 t) override {
    return ChangeWave(data, n, t);
  }
  int ReadWaveS(int16_t* out, TReadRange& range, TSTime64* tFirst,
                const CMarkFilter* filter) override {
    return ReadWave(out, range, tFirst, filter);
  }
};

class CBRealWChan : public TBufferedWaveChan<CRealWChan, float> {
 public:
  using TBufferedWaveChan::TBufferedWaveChan;
  TSTime64 WriteWaveF(const float* data, uint64_t n, TSTime64 t) override {
    return WriteBuffered(data, n, t);
  }
  int ChangeWaveF(const float* data, uint64_t n, TSTime64 t) override {
    return ChangeWave(data, n, t);
  }
  int ReadWaveF(float* out, TReadRange& range, TSTime64* tFirst,
                const CMarkFilter* filter) override {
    return ReadWave(out, range, tFirst, filter);
  }
};

}  // namespace vslk64
