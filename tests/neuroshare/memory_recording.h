// MemoryRecording: a CKel64File that holds a whole recording in memory, for
// tests of the Neuroshare layer's catalogue, data calls and conversions
// without any file format underneath.
//
// Channels of every kind (1 to 9) are built by the test and read back under
// the same contracts as the real formats: half-open ranges, the marker
// filter, level reading with the level before the first change, extended
// markers of the channel's item size, and waveform reads that return one
// contiguous run (stopping at a gap) with its first time, in either sample
// type and, for WaveMark channels, one trace read as a waveform. Data reads
// are counted per channel, and a channel can be made to fail its reads, so
// tests can see what the layer reads and how it copes with failures.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "filelib/kel64_file.h"
#include "tests/neuroshare/fake_kel64_file.h"

namespace nsv_test {

using vslk64::TSTime64;

// An item of a Marker, WaveMark, RealMark or TextMark channel.
struct MemItem {
  TSTime64 time = 0;
  uint8_t code[4] = {};
  std::vector<unsigned char> payload;  // the bytes after the 16-byte head
};

struct MemChannel {
  vslk64::TDataKind kind = vslk64::ChanOff;
  std::string title;
  std::string units;
  std::string comment;
  TSTime64 divide = 1;
  double scale = 1.0;
  double offset = 0.0;
  double yLow = -1.0;
  double yHigh = 1.0;
  uint64_t rows = 0;
  uint64_t cols = 1;
  int preTrig = 0;
  int itemSizeOverride = 0;  // when not 0, what ItemSize reports
  bool initLevel = false;    // Level: the level before the first change

  std::vector<TSTime64> times;     // EventA, EventB, Level (change times)
  std::vector<MemItem> items;      // Marker to TextMark, in time order
  std::vector<TSTime64> sampleAt;  // Adc, RealWave: sample times in order
  std::vector<int16_t> shorts;     // Adc samples
  std::vector<float> reals;        // RealWave samples

  int reads = 0;              // data reads made on the channel
  bool failReads = false;     // data reads fail with a read error
  int failAfterReads = -1;    // when not -1, reads after this many fail
};

class MemoryRecording : public vslk64::CKel64File {
 public:
  explicit MemoryRecording(int maxChans = 32,
                           std::shared_ptr<FileProbe> probe = std::make_shared<FileProbe>());
  ~MemoryRecording() override;

  // --- Building the recording -------------------------------------------
  MemChannel& Chan(uint16_t chan) { return chans_.at(chan); }
  MemChannel& AddEvents(uint16_t chan, vslk64::TDataKind kind, std::vector<TSTime64> times);
  MemChannel& AddLevel(uint16_t chan, bool initLevel, std::vector<TSTime64> times);
  MemChannel& AddMarkers(uint16_t chan, std::vector<MemItem> items);
  // WaveMark: each item's payload holds rows × cols samples, point by point.
  MemChannel& AddWaveMarks(uint16_t chan, uint64_t rows, uint64_t cols, TSTime64 divide,
                           std::vector<MemItem> items);
  MemChannel& AddRealMarks(uint16_t chan, uint64_t rows, std::vector<MemItem> items);
  MemChannel& AddTextMarks(uint16_t chan, uint64_t maxChars, std::vector<MemItem> items);
  MemChannel& AddAdc(uint16_t chan, TSTime64 divide, double scale = 1.0, double offset = 0.0);
  MemChannel& AddRealWave(uint16_t chan, TSTime64 divide);
  // Appends samples divide ticks apart from start; a start that does not
  // follow the previous run's last sample by one divide leaves a gap.
  void AddRun(uint16_t chan, TSTime64 start, const std::vector<int16_t>& samples);
  void AddRealRun(uint16_t chan, TSTime64 start, const std::vector<float>& samples);

  // Payload helpers for items.
  static std::vector<unsigned char> Shorts(const std::vector<int16_t>& values);
  static std::vector<unsigned char> Floats(const std::vector<float>& values);
  static std::vector<unsigned char> Text(const std::string& text);

  // Data reads of all channels.
  int TotalReads() const;
  void ResetReads();

  // --- File properties the layer reads ------------------------------------
  double timeBase = 1e-6;
  std::string comment;
  vslk64::TTimeDate timeDate = {};
  vslk64::TAppID appId = {};
  TSTime64 maxTimeOverride = -2;  // above -2: what MaxTime reports
  int closeResult = 0;

  // --- CKel64File ------------------------------------------------------
  int Create(const char*, uint16_t, uint32_t) override { return vslk64::kErrReadOnly; }
  int Open(const char*, int, uint32_t) override { return vslk64::kErrAlreadyOpen; }
  int Close() override;
  int EmptyFile() override { return vslk64::kErrReadOnly; }
  bool CanWrite() override { return false; }
  int GetFreeChan() override { return vslk64::kErrNoChannel; }
  int Commit(int) override { return vslk64::kErrReadOnly; }
  bool IsModified() override { return false; }
  int FlushSysBuffers() override { return 0; }

  double GetTimeBase() override { return timeBase; }
  void SetTimeBase(double) override {}
  int SetExtraData(const void*, uint32_t, uint32_t) override { return vslk64::kErrReadOnly; }
  int GetExtraData(void*, uint32_t, uint32_t) override { return vslk64::kErrExtraRange; }
  uint32_t GetExtraDataSize() override { return 0; }
  int SetFileComment(int, const char*) override { return vslk64::kErrReadOnly; }
  int GetFileComment(int n, int bufSize, char* buf) override;
  int MaxChans() override { return static_cast<int>(chans_.size()); }
  int AppID(vslk64::TAppID* get, const vslk64::TAppID* set) override;
  int TimeDate(vslk64::TTimeDate* get, const vslk64::TTimeDate* set) override;
  int GetVersion() override { return 1; }
  int64_t FileSize() override { return 0; }
  int64_t ChanBytes(uint16_t) override { return 0; }
  TSTime64 MaxTime(bool recompute) override;
  void ExtendMaxTime(TSTime64) override {}

  vslk64::TDataKind ChanKind(uint16_t chan) override;
  TSTime64 ChanDivide(uint16_t chan) override;
  double IdealRate(uint16_t, double) override { return 0.0; }
  int PhyChan(uint16_t) override { return 0; }
  int SetChanComment(uint16_t, const char*) override { return vslk64::kErrReadOnly; }
  int GetChanComment(uint16_t chan, int bufSize, char* buf) override;
  int SetChanTitle(uint16_t, const char*) override { return vslk64::kErrReadOnly; }
  int GetChanTitle(uint16_t chan, int bufSize, char* buf) override;
  int SetChanScale(uint16_t, double) override { return vslk64::kErrReadOnly; }
  int GetChanScale(uint16_t chan, double* scale) override;
  int SetChanOffset(uint16_t, double) override { return vslk64::kErrReadOnly; }
  int GetChanOffset(uint16_t chan, double* offset) override;
  int SetChanUnits(uint16_t, const char*) override { return vslk64::kErrReadOnly; }
  int GetChanUnits(uint16_t chan, int bufSize, char* buf) override;
  TSTime64 ChanMaxTime(uint16_t chan) override;
  TSTime64 PrevNTime(uint16_t, TSTime64, TSTime64, uint32_t, const vslk64::CMarkFilter*,
                     bool) override {
    return -1;
  }
  int ChanDelete(uint16_t) override { return vslk64::kErrReadOnly; }
  int ChanUndelete(uint16_t, int) override { return 0; }
  int SetChanYRange(uint16_t, double, double) override { return vslk64::kErrReadOnly; }
  int GetChanYRange(uint16_t chan, double* low, double* high) override;
  int ItemSize(uint16_t chan) override;

  void Save(int, TSTime64, bool) override {}
  void SaveRange(int, TSTime64, TSTime64) override {}
  bool IsSaving(uint16_t) override { return false; }
  int NoSaveList(uint16_t, TSTime64*, uint32_t, TSTime64, TSTime64) override { return 0; }
  int LatestTime(int, TSTime64) override { return vslk64::kErrReadOnly; }
  double SetBuffering(int, uint64_t, double) override { return 0.0; }

  int SetEventChan(uint16_t, double, vslk64::TDataKind, uint32_t) override {
    return vslk64::kErrReadOnly;
  }
  int WriteEvents(uint16_t, const TSTime64*, uint64_t) override { return vslk64::kErrReadOnly; }
  int ReadEvents(uint16_t chan, TSTime64* times, int max, TSTime64 tFrom, TSTime64 tUpto,
                 const vslk64::CMarkFilter* filter) override;
  int SetMarkerChan(uint16_t, double, vslk64::TDataKind, uint32_t) override {
    return vslk64::kErrReadOnly;
  }
  int WriteMarkers(uint16_t, const vslk64::TMarker*, uint64_t) override {
    return vslk64::kErrReadOnly;
  }
  int ReadMarkers(uint16_t chan, vslk64::TMarker* items, int max, TSTime64 tFrom,
                  TSTime64 tUpto, const vslk64::CMarkFilter* filter) override;
  int EditMarker(uint16_t, TSTime64, const vslk64::TMarker*, uint64_t) override {
    return vslk64::kErrReadOnly;
  }
  int SetLevelChan(uint16_t, double, uint32_t) override { return vslk64::kErrReadOnly; }
  int SetInitLevel(uint16_t, bool) override { return vslk64::kErrReadOnly; }
  int WriteLevels(uint16_t, const TSTime64*, uint64_t) override { return vslk64::kErrReadOnly; }
  int ReadLevels(uint16_t chan, TSTime64* times, int max, TSTime64 tFrom, TSTime64 tUpto,
                 bool* level) override;
  int SetTextMarkChan(uint16_t, double, uint64_t, uint32_t) override {
    return vslk64::kErrReadOnly;
  }
  int SetExtMarkChan(uint16_t, double, vslk64::TDataKind, uint64_t, uint64_t, uint32_t,
                     TSTime64, int) override {
    return vslk64::kErrReadOnly;
  }
  int GetExtMarkInfo(uint16_t chan, uint64_t* rows, uint64_t* cols) override;
  int SetWaveChan(uint16_t, TSTime64, vslk64::TDataKind, double, uint32_t) override {
    return vslk64::kErrReadOnly;
  }
  TSTime64 WriteWaveF(uint16_t, const float*, uint64_t, TSTime64) override {
    return vslk64::kErrReadOnly;
  }
  TSTime64 WriteWaveS(uint16_t, const int16_t*, uint64_t, TSTime64) override {
    return vslk64::kErrReadOnly;
  }
  int ReadWaveF(uint16_t chan, float* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                TSTime64* tFirst, const vslk64::CMarkFilter* filter) override;
  int ReadWaveS(uint16_t chan, int16_t* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                TSTime64* tFirst, const vslk64::CMarkFilter* filter) override;
  int WriteExtMarks(uint16_t, const vslk64::TExtMark*, uint64_t) override {
    return vslk64::kErrReadOnly;
  }
  int ReadExtMarks(uint16_t chan, vslk64::TExtMark* items, int max, TSTime64 tFrom,
                   TSTime64 tUpto, const vslk64::CMarkFilter* filter) override;

 private:
  // The channel of a data read, counted; null (with *status set) when the
  // number is not a used channel or its reads fail.
  MemChannel* ReadChannel(uint16_t chan, int* status);
  MemChannel* Used(uint16_t chan);
  // The time-ordered entries of an item channel that pass the filter and lie
  // in [tFrom, tUpto), at most max of them, as indices.
  std::vector<size_t> Select(const MemChannel& c, int max, TSTime64 tFrom, TSTime64 tUpto,
                             const vslk64::CMarkFilter* filter) const;
  // One contiguous run of samples as doubles (real values) or raw 16-bit.
  int ReadRun(MemChannel& c, int max, TSTime64 tFrom, TSTime64 tUpto, TSTime64* tFirst,
              const vslk64::CMarkFilter* filter, std::vector<double>* values,
              std::vector<int16_t>* raw) const;

  std::vector<MemChannel> chans_;
  std::shared_ptr<FileProbe> probe_;
};

// Hands rec to the layer as ns_OpenFile does once a format has opened the
// file: the record is filled, the catalogue built and the record registered.
// Returns the handle, or 0 when the layer refused the file.
uint32_t OpenInLayer(std::unique_ptr<MemoryRecording> rec, const char* path = "/data/run.orfx");

}  // namespace nsv_test
