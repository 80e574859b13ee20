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
// Locks: the channel mutex guards the header record and everything the
// object holds. Texts are changed under the file's main mutex, taken inside
// the channel mutex. Public members take the channel mutex themselves, so code
// that already holds it reads and changes head_ directly.
#pragma once

#include <cstdint>
#include <memory>

#include "filelib/kel64_types.h"
#include "filelib/mark_filter.h"
#include "filelib/orfx/chan_head.h"
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

  // --- Reading --------------------------------------------------------------
  // Each delivers into out from the range, narrowing it as items are
  // delivered, and returns the count delivered or a negative status. A
  // channel whose items cannot answer the request returns kErrWrongKind.
  // tFirst and level are never null.
  virtual int ReadEvents(TSTime64* out, TReadRange& range, const CMarkFilter* filter);
  virtual int ReadMarkers(TMarker* out, TReadRange& range, const CMarkFilter* filter);
  // Whole items of ItemSize() bytes each.
  virtual int ReadExtMarks(uint8_t* out, TReadRange& range, const CMarkFilter* filter);
  virtual int ReadLevels(TSTime64* out, TReadRange& range, bool* level);
  virtual int ReadWaveS(int16_t* out, TReadRange& range, TSTime64* tFirst,
                        const CMarkFilter* filter);
  virtual int ReadWaveF(float* out, TReadRange& range, TSTime64* tFirst, const CMarkFilter* filter);
  // The backward search: the time of the range's nMax-th item before tUpto,
  // no earlier than tFrom; -1 when there is none, -3 when the block budget
  // ran out first (the caller repeats the call with the same range).
  virtual TSTime64 PrevNTime(TReadRange& range, const CMarkFilter* filter, bool asWave);
  // Time of the channel's last item, -1 when it holds none.
  virtual TSTime64 ChanMaxTime();
  // Bytes of data held.
  virtual int64_t ChanBytes();
  // Whether anything of the channel differs from the file.
  virtual bool IsModified();
  // Brings everything unsaved to the file; here, the header record.
  virtual int Commit();

  // --- Saving (channels that buffer their newest data override these) ------
  virtual void Save(TSTime64 t, bool save);
  virtual void SaveRange(TSTime64 tFrom, TSTime64 tUpto);
  virtual bool IsSaving();
  virtual int NoSaveList(TSTime64* times, uint32_t max, TSTime64 tFrom, TSTime64 tUpto);
  virtual void LatestTime(TSTime64 t);

 protected:
  // Replaces the text whose identifier is held in *id; lock_ held.
  void ReplaceTextLocked(uint32_t* id, const char* text);

  TKel64File* const file_;
  TChanHead* const head_;
  const uint16_t chan_;
  bool headChanged_ = false;  // the record differs from the file
  platform::Mutex lock_;
};

class CAdcChan : public CKel64Chan {
 public:
  CAdcChan(TKel64File* file, uint16_t chan, TSTime64 divide);
};

class CRealWChan : public CKel64Chan {
 public:
  CRealWChan(TKel64File* file, uint16_t chan, TSTime64 divide);
};

class CEventChan : public CKel64Chan {
 public:
  CEventChan(TKel64File* file, uint16_t chan, TDataKind kind);
};

class CMarkerChan : public CKel64Chan {
 public:
  CMarkerChan(TKel64File* file, uint16_t chan, TDataKind kind);
};

class CExtMarkChan : public CKel64Chan {
 public:
  CExtMarkChan(TKel64File* file, uint16_t chan, TDataKind kind, uint16_t rows, uint16_t cols,
               TSTime64 divide);
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

// Prepares a record for a new channel in its slot: the old data blocks are
// kept for reuse (blocksAlloc), the stamp that tells old blocks from new ones
// moves on, and the kind, shape, texts and rates are cleared.
void ResetForReuse(TChanHead* head);

}  // namespace vslk64
