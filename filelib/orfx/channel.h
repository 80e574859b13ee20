// The channel classes of the 64-bit format: CKel64Chan, the state and
// operations every channel shares, and one class per stored item layout
// (CAdcChan, CEventChan, CMarkerChan, CExtMarkChan, CRealWChan).
//
// TKel64File keeps one object per used channel slot and calls it with its
// channel-table lock held. A channel object works on its own header record,
// which lives in the file's channel header table; all persistent properties
// of the channel are there. Texts are string-table identifiers in the record;
// the table itself belongs to the file and is reached through it.
//
// Reading: a channel walks its disk blocks in time order through its read
// cursor (CIndexCursor, which owns the one read block), then its write block,
// the last, not yet complete block of a channel being written. Everything
// inside a block is left to the block classes (data_block.h); the channel
// decides which block comes next, keeps the walk in time order and spends
// the range's block budget (TReadRange::nTries) so that a long read hands
// the channel back to other threads every few blocks.
//
// Writing: new items go into the write block; a block that fills is placed
// in the file and listed in the index through CIndexWriter, and the object
// is reused for the next block. Commit brings the incomplete last block, the
// write path's index nodes and the header record to the file.
//
// Locks: the channel mutex guards the header record and everything the
// object holds (cursor, read block, write path, write block). Texts are
// changed under the file's main mutex, taken inside the channel mutex; block
// transfers take the file's handle mutex, also inside it. Public members take
// the channel mutex themselves, so code that already holds it reads and
// changes head_ directly. The mutex is not recursive: an operation built on
// other public operations (ReadLevels, ReadWaveF) calls them without holding
// it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "filelib/kel64_file.h"
#include "filelib/kel64_types.h"
#include "filelib/mark_filter.h"
#include "filelib/orfx/chan_head.h"
#include "filelib/orfx/data_block.h"
#include "filelib/orfx/index_block.h"
#include "filelib/orfx/index_cursor.h"
#include "filelib/orfx/read_range.h"
#include "platform/locks.h"

namespace vslk64 {

class TKel64File;

class CKel64Chan {
 public:
  // Attaches to the header record of slot chan and stores kind in it. A
  // record still remembering a deleted channel is first cleared for reuse.
  CKel64Chan(TKel64File* file, uint16_t chan, TDataKind kind);
  virtual ~CKel64Chan() = default;
  CKel64Chan(const CKel64Chan&) = delete;
  CKel64Chan& operator=(const CKel64Chan&) = delete;

  uint16_t Chan() const { return chan_; }

  // --- Header properties ----------------------------------------------------
  TDataKind ChanKind();
  TSTime64 ChanDivide();
  // The ideal rate in Hz; a rate >= 0 also replaces it.
  double IdealRate(double rate);
  int PhyChan();
  void SetPhyChan(int32_t phyChan);
  // Texts: setters take null as the empty text and return 0; getters copy out
  // as CopyTextOut does and return the buffer size needed.
  int SetChanTitle(const char* text);
  int GetChanTitle(int bufSize, char* buf);
  int SetChanUnits(const char* text);
  int GetChanUnits(int bufSize, char* buf);
  int SetChanComment(const char* text);
  int GetChanComment(int bufSize, char* buf);
  // Waveform kinds (1, 6, 9) carry a scale and an offset; other kinds report
  // 1.0 and 0.0 whatever their record holds. Setting a scale of 0 is ignored.
  int SetChanScale(double scale);
  double GetChanScale();
  int SetChanOffset(double offset);
  double GetChanOffset();
  // The suggested display range; low = high is refused with kErrBadArg.
  int SetChanYRange(double low, double high);
  void GetChanYRange(double* low, double* high);
  int ItemSize();
  // Rows and columns of an extended-marker item (either pointer may be null);
  // returns the pre-trigger point count.
  int GetExtMarkInfo(uint64_t* rows, uint64_t* cols);
  // The level before the first change of a level channel (kind 4 only).
  int SetInitLevel(bool level);
  // Forgets a deleted channel that was remembered in this record: releases
  // its texts and resets the record for a new channel. kErrChannelUsed when
  // the record holds a live channel.
  int ClearDeleted();

  // --- Deleting, restoring and emptying ---------------------------------------
  // Deleting keeps the channel's blocks, index and texts in the file: the
  // record keeps its former kind in delKind with kind 0, so that the channel
  // can be restored with its data until a new channel takes the slot. Commits
  // before and after (the second write brings the deleted record to the
  // file); the first error is returned. The owner destroys the object after.
  int ChanDelete();
  // Restores a record marked deleted: 0, or kErrWrongKind when there is
  // nothing to restore. The file builds a new object for a restored record;
  // this serves an object still attached to one.
  int ChanUndelete();
  bool CanUndelete();
  // Marks the record as differing from the file (a record the file changed
  // before this object was made, such as a restored one).
  void MarkHeadChanged();
  // Empties the channel's data while keeping its blocks for reuse: commits,
  // then forgets the index path and the read block, drops the write block
  // and resets the record's block counts, lastTime and reuse stamp. Old
  // blocks beyond the new data stay listed in the index; the stamp and the
  // block counts keep them from being read. Returns the commit's result.
  virtual int EmptyData();
  // Index entry numbers of older files, set for a file opened for writing
  // (CIndexWriter::CheckEntryNumbers).
  int CheckEntryNumbers();
  // Channels that keep their newest data in memory hold a buffer; the plain
  // classes here have none and ignore a resize.
  virtual bool HasBuffer() { return false; }
  virtual void ResizeBuffer(uint64_t) {}
  // Items or samples held in the buffer.
  virtual uint64_t BufferCount() { return 0; }

  // --- Reading --------------------------------------------------------------
  // Each delivers into out from the range, narrowing it as items are
  // delivered, and returns the count delivered or a negative status: a
  // channel whose items cannot answer the request gives kErrWrongKind, a
  // damaged file kErrCorrupt (the cursor is then invalid and the next read
  // starts again from the top of the index). A closed range gives 0 without
  // taking the lock. A read that spends the range's block budget stops with
  // the range still open and tFrom past everything it examined, so that the
  // same call repeated with the budget re-armed continues where it stopped.
  // tFirst and level are never null.
  //
  // Times of items of kinds 2 to 8 (event, level, marker and extended-marker
  // channels).
  virtual int ReadEvents(TSTime64* out, TReadRange& range, const CMarkFilter* filter);
  // The TMarker part of items of kinds 4 to 8.
  virtual int ReadMarkers(TMarker* out, TReadRange& range, const CMarkFilter* filter);
  // Whole items of ItemSize() bytes each, kinds 6 to 8.
  virtual int ReadExtMarks(uint8_t* out, TReadRange& range, const CMarkFilter* filter);
  // Level changes (marker-kind channels): the change times as ReadEvents
  // gives them, and *level as CMarkerChan describes.
  virtual int ReadLevels(TSTime64* out, TReadRange& range, bool* level);
  // Waveform reads deliver one contiguous stretch of samples: from the first
  // sample at or after tFrom (its time goes to *tFirst) up to the end of the
  // range, nMax samples or the first gap, whichever comes first.
  virtual int ReadWaveS(int16_t* out, TReadRange& range, TSTime64* tFirst,
                        const CMarkFilter* filter);
  // Here: 16-bit samples read with ReadWaveS into the upper half of out (the
  // caller sizes it for nMax floats) and converted in place, so nothing is
  // allocated.
  virtual int ReadWaveF(float* out, TReadRange& range, TSTime64* tFirst, const CMarkFilter* filter);
  // ReadWaveF widened to double, each value exactly the float ReadWaveF
  // gives. Kinds 1 and 9 without a buffer convert straight from the block
  // images in one pass; anything else goes through ReadWaveF.
  int ReadWaveD(double* out, TReadRange& range, TSTime64* tFirst);
  // The stretches of contiguous samples from the first at or after tFrom,
  // as TKel64File::ReadWaveRuns gives them (wave_runs.cc): disk blocks are
  // visited through a cursor of the walk's own that reads only the part of
  // each block holding its run heads, then the write block.
  int ReadWaveRuns(TSTime64 tFrom, CWaveRunSink& sink);
  // The backward search: the time of the range's nMax-th item before tUpto,
  // no earlier than tFrom; -1 when there is none, kSearchBudgetSpent when the
  // block budget ran out first (the caller repeats the call with the same
  // range, which then runs to the end). Over samples (waveforms, or wave-mark
  // points with asWave) the samples stepped over must be contiguous: a gap
  // ends the search at the time where the contiguous data begin. Running out
  // of data at the start of the channel answers -1 for every kind: fewer than
  // nMax items lie before tUpto.
  virtual TSTime64 PrevNTime(TReadRange& range, const CMarkFilter* filter, bool asWave);
  // Time of the channel's last item, -1 when it holds none.
  virtual TSTime64 ChanMaxTime();
  // Bytes of data held: whole disk blocks, and the items of a write block
  // not yet on disk.
  virtual int64_t ChanBytes();
  // Whether anything of the channel differs from the file.
  virtual bool IsModified();
  // Brings everything unsaved to the file: the write block, a changed read
  // block, the dirty index levels of the write path and the header record.
  // Every step is tried; the first error is returned.
  virtual int Commit();
  // The level state of a level channel (see CMarkerChan); false for others.
  virtual bool LastLevel();

  // Sample conversions with the channel's scale and offset; the caller holds
  // the channel mutex. A 16-bit sample s stands for s * scale / 6553.6 +
  // offset. ShortsToFloats takes host-order 16-bit samples as bytes and may
  // convert in place from the upper half of a float buffer (in at out + k,
  // n <= 2k + 1): each float is written only after the samples it overlays
  // have been copied aside into a small stack piece. FloatsToShorts rounds
  // halves away from zero and clamps to the 16-bit range (reversed for a
  // negative scale).
  void ShortsToFloats(float* out, const void* in, uint64_t n) const;
  void FloatsToShorts(int16_t* out, const float* in, uint64_t n) const;

  // --- Writing ----------------------------------------------------------------
  // Appends are made in time order: a write whose first item is not after the
  // channel's last stored item, or one of whose items goes back in time, is
  // refused with kErrTimeOrder before anything is stored. Items of one call
  // may share a time. Full blocks go to
  // the file as they fill; the last, incomplete one stays in the write block
  // until Commit. Each returns 0 or a negative status; a channel whose items
  // have another layout gives kErrWrongKind.
  virtual int WriteEvents(const TSTime64* times, uint64_t n);
  virtual int WriteMarkers(const TMarker* items, uint64_t n);
  // Items of ItemSize() bytes each, laid out as ReadExtMarks delivers them.
  virtual int WriteExtMarks(const uint8_t* items, uint64_t n);
  // n samples, the first at time t, the rest one divide apart. Samples at or
  // before the channel's last stored sample overwrite stored samples (those
  // falling in gaps are dropped); the rest are appended, continuing the last
  // run when they follow it exactly and opening a new run after a gap.
  // Returns the time one divide after the last sample, or a negative status.
  virtual TSTime64 WriteWaveS(const int16_t* data, uint64_t n, TSTime64 t);
  virtual TSTime64 WriteWaveF(const float* data, uint64_t n, TSTime64 t);
  // Overwrites stored samples only; 0 or a negative status.
  virtual int ChangeWaveS(const int16_t* data, uint64_t n, TSTime64 t);
  virtual int ChangeWaveF(const float* data, uint64_t n, TSTime64 t);
  // Replaces bytes 8 to bytes - 1 (codes and payload) of the item at time t:
  // 1 when it was found, 0 when no item lies at t, kErrBadArg for more bytes
  // than an item holds.
  virtual int EditMarker(TSTime64 t, const uint8_t* item, uint64_t bytes);
  // Makes block the write block; when the channel has disk blocks its last
  // one is loaded into it, so that appending continues that block.
  int AttachWriteBlock(std::unique_ptr<CDataBlock> block);
  // The pre-trigger point count of an extended-marker channel.
  void SetPreTrig(uint16_t preTrig);

  // --- Saving (channels that buffer their newest data override these) ------
  virtual void Save(TSTime64 t, bool save);
  virtual void SaveRange(TSTime64 tFrom, TSTime64 tUpto);
  virtual bool IsSaving();
  virtual int NoSaveList(TSTime64* times, uint32_t max, TSTime64 tFrom, TSTime64 tUpto);
  virtual void LatestTime(TSTime64 t);

 protected:
  // Replaces the text whose identifier is held in *id; lock_ held.
  void ReplaceTextLocked(uint32_t* id, const char* text);

  // The time from which the write block holds the channel's data: its first
  // item, -1 while it is empty, or kMaxTime64 (which no stored time reaches)
  // without one. Disk blocks hold everything before it, and may hold the
  // start of a run of items at that time. lock_ held.
  TSTime64 WriteLimitLocked() const;
  // Whether block is the disk copy of the write block (a write block that
  // continues the last disk block, or was committed, has one); lock_ held.
  bool IsWriteBlockImageLocked(const CDataBlock& block) const;
  // The forward walk shared by every read: the disk blocks from the one
  // holding tFrom on, then the write block; read(block) reads one block.
  // wave: the range carries a waveform read, whose tFrom says where the
  // next contiguous sample must lie. reach: how long before tFrom an item
  // may begin and still hold a point at tFrom (a wave mark's points). lock_
  // held.
  template <typename Read>
  int ReadLocked(TReadRange& range, bool wave, Read read, TSTime64 reach = 0);
  // The reads of times, markers and extended markers, which kinds
  // lowestKind to 8 hold: the filter's summary, the lock, the kind, the walk.
  // read(block, filter) reads one block.
  template <typename Read>
  int ReadItems(TReadRange& range, const CMarkFilter* filter, uint8_t lowestKind, Read read);
  // 16-bit samples of a kind 1 channel, or one trace of the wave marks of a
  // kind 6 channel (the filter's trace selector picks it); lock_ held.
  int ReadShortsLocked(int16_t* out, TReadRange& range, TSTime64* tFirst,
                       const CMarkFilter* filter);
  // Time of the channel's last stored item or sample: the write block's
  // last, else the header's lastTime (-1 for none). lock_ held.
  TSTime64 LastTimeLocked() const;
  // Places block in the file (CIndexWriter) and extends the file's maximum
  // time to the channel's lastTime. lock_ held.
  int WriteBlock(CDataBlock& block);
  int AttachWriteBlockLocked(std::unique_ptr<CDataBlock> block);
  // The write block for an append, attaching a new one when there is none.
  int EnsureWriteBlockLocked();
  // A write block left empty (after a failed append) would hide the disk
  // blocks from reads; it is dropped. lock_ held.
  void DropEmptyWriteBlock();
  // Appends n items of itemBytes each from in (time at offset 0 of each) via
  // add(block, in, n), writing every block that fills. lock_ held.
  // continuing: the items go on from the last stored one, whose time the
  // first may repeat (a buffered channel writing out items it holds in time
  // order; equal times may then meet at the seam).
  template <typename Add>
  int AppendItemsLocked(const uint8_t* in, uint64_t n, uint64_t itemBytes, Add add,
                        bool continuing = false);
  // Appends items of the channel's own layout (times, markers or extended
  // markers) that continue the stored ones, as a buffered channel writes out
  // its buffer: the first may share the last stored time.
  int AppendContinuing(const uint8_t* items, uint64_t n);
  // LastTimeLocked under the lock.
  TSTime64 LastStoredTime();
  // The waveform write and overwrite, for 16-bit and float samples.
  template <typename Sample>
  TSTime64 WriteSamples(const Sample* data, uint64_t n, TSTime64 t);
  template <typename Sample>
  int ChangeSamplesLocked(const Sample* data, uint64_t n, TSTime64 t);
  // ChangeSamplesLocked under the lock.
  template <typename Sample>
  int ChangeSamples(const Sample* data, uint64_t n, TSTime64 t);
  // EditMarker on the block holding t. lock_ held.
  int EditItemLocked(TSTime64 t, const uint8_t* item, uint64_t bytes);

  // kOk when the channel's kind is one of the kinds [lo, hi]; else
  // kErrWrongKind, or kErrNoChannel for a slot without a kind. lock_ held.
  int CheckKindLocked(uint8_t lo, uint8_t hi) const;

  TKel64File* const file_;
  TChanHead* const head_;
  const uint16_t chan_;
  bool headChanged_ = false;  // the record differs from the file
  // The rightmost path of the index, lowest level first, as appending builds
  // it. Empty until the channel is written to.
  std::vector<TIndexNode> indexPath_;
  // The last, not yet complete block of a channel being written; null until
  // the first append.
  std::unique_ptr<CDataBlock> writeBlock_;
  // The read position in the index and the read block.
  CIndexCursor cursor_;
  platform::Mutex lock_;
};

// Kind 1.
class CAdcChan : public CKel64Chan {
 public:
  CAdcChan(TKel64File* file, uint16_t chan, TSTime64 divide);
  TSTime64 WriteWaveS(const int16_t* data, uint64_t n, TSTime64 t) override;
  int ChangeWaveS(const int16_t* data, uint64_t n, TSTime64 t) override;
  int ReadWaveS(int16_t* out, TReadRange& range, TSTime64* tFirst,
                const CMarkFilter* filter) override;
};

// Kind 9: float samples, delivered directly by ReadWaveF and converted to
// 16-bit samples by ReadWaveS.
class CRealWChan : public CKel64Chan {
 public:
  CRealWChan(TKel64File* file, uint16_t chan, TSTime64 divide);
  TSTime64 WriteWaveF(const float* data, uint64_t n, TSTime64 t) override;
  int ChangeWaveF(const float* data, uint64_t n, TSTime64 t) override;
  int ReadWaveS(int16_t* out, TReadRange& range, TSTime64* tFirst,
                const CMarkFilter* filter) override;
  int ReadWaveF(float* out, TReadRange& range, TSTime64* tFirst, const CMarkFilter* filter) override;
};

// Kinds 2 and 3.
class CEventChan : public CKel64Chan {
 public:
  CEventChan(TKel64File* file, uint16_t chan, TDataKind kind);
  int WriteEvents(const TSTime64* times, uint64_t n) override;
};

// Kinds 4 and 5. A level channel (kind 4) stores its changes as markers
// whose first code byte alternates. ReadLevels sets *level from the first
// code byte of the first change in the range (true when it is not 0); with
// no change in the range, from that of the last change before it (true when
// it is 0); with no change before either, from the initial level in flags
// bit 0 (true when it is clear). LastLevel is the first code byte of the
// write block's last change (not 0), or without one the initial level.
// The markers a level channel stores for change times: codes alternating
// from the level after `level` (true: high), two equal adjacent times
// cancelling each other.
std::vector<TMarker> LevelChangeMarkers(const TSTime64* times, uint64_t n, bool level);

// WriteEvents (level channels only) stores change times as markers whose
// code alternates from the level after LastLevel; two equal adjacent times
// cancel and neither is stored.
class CMarkerChan : public CKel64Chan {
 public:
  CMarkerChan(TKel64File* file, uint16_t chan, TDataKind kind);
  int WriteEvents(const TSTime64* times, uint64_t n) override;
  int WriteMarkers(const TMarker* items, uint64_t n) override;
  int EditMarker(TSTime64 t, const uint8_t* item, uint64_t bytes) override;
  int ReadLevels(TSTime64* out, TReadRange& range, bool* level) override;
  bool LastLevel() override;
};

// Kinds 6, 7 and 8. Kind 6 can also be read as a waveform of one trace.
class CExtMarkChan : public CKel64Chan {
 public:
  CExtMarkChan(TKel64File* file, uint16_t chan, TDataKind kind, uint16_t rows, uint16_t cols,
               TSTime64 divide);
  int WriteExtMarks(const uint8_t* items, uint64_t n) override;
  int EditMarker(TSTime64 t, const uint8_t* item, uint64_t bytes) override;
  int ReadWaveS(int16_t* out, TReadRange& range, TSTime64* tFirst,
                const CMarkFilter* filter) override;
};

// Bytes per stored item of an extended-marker channel: the 16-byte marker
// head and rows × cols points of the kind's size, rounded up to a multiple
// of 8.
uint64_t ExtMarkItemSize(TDataKind kind, uint64_t rows, uint64_t cols);

// The channel object for the record of slot chan, as a file opened from disk
// makes it; null for an empty slot, an unknown kind, or a record whose shape
// no block could hold (a waveform without a sample interval, an
// extended-marker item without points or too large for a block).
std::unique_ptr<CKel64Chan> MakeChanFromRecord(TKel64File* file, uint16_t chan);

// The kind a deleted channel would be restored as, 0 when there is none.
TDataKind RestorableKind(const TChanHead& head);

// Empties a record's data while keeping its blocks: blocksAlloc counts the
// old blocks (unless some are still waiting to be reused), blocksUsed and
// lastTime restart, and the reuse stamp moves on when old blocks remain.
void ResetBlocksForReuse(TChanHead* head);

// Prepares a record for a new channel in its slot: the old data blocks are
// kept for reuse (blocksAlloc), the stamp that tells old blocks from new ones
// moves on, and the kind, shape, texts and rates are cleared.
void ResetForReuse(TChanHead* head);

}  // namespace vslk64
