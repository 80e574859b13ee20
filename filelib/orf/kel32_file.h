// TKel32File: a 32-bit format (ORF) file behind the common interface
// CKel64File, for every user of the file-access library (the Neuroshare
// layer creates one for paths ending in ".orf").
//
// Its work is conversion onto the ORF filing library (kel_lib.h): 64-bit
// tick times and half-open ranges [tFrom, tUpto) to the ORF's inclusive
// 32-bit ranges [tFrom, tUpto - 1] (an open end of 2^31 or more reads to the
// end of the data; a start of 2^31 or more reads nothing), the ORF's 8-byte
// markers and packed extended markers to TMarker and TExtMark records, the
// common marker filter to the ORF filter, and ORF status codes to the common
// ones (Kel32StatusToCommon). ORF ticks and common ticks are the same unit.
//
// Files made by Create, or opened writable, take every writing operation
// (kel_write.h); on a read-only file they return kErrReadOnly.
#pragma once

#include <cstdint>

#include "filelib/kel64_file.h"
#include "filelib/orf/kel_lib.h"

namespace vslk64 {

// ORF status to common status (the table in kel32_file.cc): the no-file
// and no-slot codes become kErrNoFile, kKelChanOff becomes kErrNoChannel;
// everything else passes unchanged.
int Kel32StatusToCommon(int status);

class TKel32File final : public CKel64File {
 public:
  // createMode 1 or more: Create makes a version-9 (large) file, otherwise
  // version 8.
  explicit TKel32File(int32_t createMode = -1);
  ~TKel32File() override;
  TKel32File(const TKel32File&) = delete;
  TKel32File& operator=(const TKel32File&) = delete;

  // --- File lifecycle ---------------------------------------------------
  int Create(const char* path, uint16_t nChans, uint32_t extraBytes) override;
  int Open(const char* path, int mode, uint32_t flags) override;
  int Close() override;
  int EmptyFile() override;
  bool CanWrite() override;
  int GetFreeChan() override;
  int Commit(int flags) override;
  bool IsModified() override;
  int FlushSysBuffers() override;

  // --- File properties --------------------------------------------------
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
  int64_t FileSize() override;
  int64_t ChanBytes(uint16_t chan) override;
  TSTime64 MaxTime(bool recompute) override;
  void ExtendMaxTime(TSTime64 t) override;

  // --- Channel properties -----------------------------------------------
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

  // --- Saving and buffering ---------------------------------------------
  void Save(int chan, TSTime64 t, bool save) override;
  void SaveRange(int chan, TSTime64 tFrom, TSTime64 tUpto) override;
  bool IsSaving(uint16_t chan) override;
  int NoSaveList(uint16_t chan, TSTime64* times, uint32_t max, TSTime64 tFrom,
                 TSTime64 tUpto) override;
  int LatestTime(int chan, TSTime64 t) override;
  double SetBuffering(int chan, uint64_t bytes, double seconds) override;

  // --- Channel creation, writing and reading ----------------------------
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

 private:
  bool IsOpen() const { return m_file >= 0; }
  bool ReadOnly() const;
  // The status of a writing operation: no file, or a read-only file.
  int WriteRefused() const;
  bool ChanInRange(uint16_t chan) const;
  // The channel's record: 0, or the common status of a closed file or a
  // channel the filing library refuses.
  int ChanInfo(uint16_t chan, TKelChanInfo* info) const;

  int16_t m_file = -1;         // the ORF file number, -1 when nothing is open
  double m_bufSeconds = 0.0;   // default buffering time for SetBuffering
  int32_t m_createMode;
};

}  // namespace vslk64
