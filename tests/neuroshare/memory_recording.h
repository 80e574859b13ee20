// MemoryRecording: a CKel64File that holds a whole recording in memory, for
// tests of the Neuroshare layer's open-file table, catalogue, data calls and
// conversions without any file format underneath.
//
// Channels of every kind are built by the test and read back under the same
// contracts as the real formats: half-open ranges, the marker filter, level
// reading with the level before the first change, extended markers of the
// channel's item size, and waveform reads that return one contiguous run
// (stopping at a gap) with its first time. Data reads are counted per
// channel, and a channel can be made to fail its reads. Close calls and the
// object's destruction are recorded in a FileProbe the test keeps, so the
// probe outlives the file whichever goes first. Everything that would write
// is refused.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "filelib/kel64_file.h"

namespace nsv_test {

using vslk64::CMarkFilter;
using vslk64::TDataKind;
using vslk64::TSTime64;

// What a test learns about a file, alive beyond the file itself.
struct FileProbe {
  int closeCalls = 0;
  bool destroyed = false;
};

// An item of a Marker, WaveMark, RealMark or TextMark channel.
struct MemItem {
  TSTime64 time = 0;
  uint8_t code[4] = {};
  std::vector<unsigned char> payload;  // the bytes after the 16-byte head
};

struct MemChannel {
  TDataKind kind = vslk64::ChanOff;
  std::string title, units, comment;
  TSTime64 divide = 1;
  double scale = 1.0, offset = 0.0, yLow = -1.0, yHigh = 1.0;
  uint64_t rows = 0, cols = 1;
  int itemSizeOverride = 0;  // when not 0, what ItemSize reports
  bool initLevel = false;    // Level: the level before the first change

  std::vector<TSTime64> times;     // EventA, EventB, Level (change times)
  std::vector<MemItem> items;      // Marker to TextMark, in time order
  std::vector<TSTime64> sampleAt;  // Adc, RealWave: sample times in order
  std::vector<float> samples;      // Adc (whole 16-bit values) and RealWave samples

  int reads = 0;            // data reads made on the channel
  int failAfterReads = -1;  // when not -1, reads after this many fail
};

class MemoryRecording : public vslk64::CKel64File {
 public:
  explicit MemoryRecording(int maxChans = 32,
                           std::shared_ptr<FileProbe> probe = std::make_shared<FileProbe>())
      : chans_(static_cast<size_t>(maxChans)), probe_(std::move(probe)) {}
  ~MemoryRecording() override { probe_->destroyed = true; }

  // --- Building the recording -------------------------------------------
  MemChannel& Chan(uint16_t chan) { return chans_.at(chan); }
  // EventA, EventB or Level (whose initLevel starts low).
  MemChannel& AddEvents(uint16_t chan, TDataKind kind, std::vector<TSTime64> times);
  // Items of kind Marker to TextMark; each payload is sized to the item's
  // rows × cols values (WaveMark: 16-bit, point by point; RealMark: floats;
  // TextMark: rows characters).
  MemChannel& AddItems(uint16_t chan, TDataKind kind, uint64_t rows, uint64_t cols,
                       std::vector<MemItem> items);
  MemChannel& AddWave(uint16_t chan, TDataKind kind, TSTime64 divide, double scale = 1.0,
                      double offset = 0.0);
  // Appends samples divide ticks apart from start; a start that does not
  // follow the previous run's last sample by one divide leaves a gap.
  void AddRun(uint16_t chan, TSTime64 start, const std::vector<float>& samples);

  static MemItem Item(TSTime64 time, std::vector<uint8_t> codes,
                      std::vector<unsigned char> payload = {});
  // The bytes of values as they lie in memory (an item's payload).
  template <typename T>
  static std::vector<unsigned char> Bytes(const std::vector<T>& values) {
    std::vector<unsigned char> bytes(values.size() * sizeof(T));
    if (!bytes.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
  }

  int TotalReads() const;
  void ResetReads() {
    for (MemChannel& c : chans_) c.reads = 0;
  }

  // --- File properties the layer reads ------------------------------------
  double timeBase = 1e-6;
  std::string comment;
  vslk64::TTimeDate timeDate = {};
  vslk64::TAppID appId = {};
  TSTime64 maxTime = -1;  // the stored maximum time; the layer also scans the data
  int closeResult = 0;

  // --- CKel64File: what the layer reads -----------------------------------
  int Close() override {
    ++probe_->closeCalls;
    return closeResult;
  }
  double GetTimeBase() override { return timeBase; }
  int GetFileComment(int, int bufSize, char* buf) override;
  int MaxChans() override { return static_cast<int>(chans_.size()); }
  int AppID(vslk64::TAppID* get, const vslk64::TAppID*) override {
    *get = appId;
    return 0;
  }
  int TimeDate(vslk64::TTimeDate* get, const vslk64::TTimeDate*) override;
  TSTime64 MaxTime(bool) override { return maxTime; }
  TDataKind ChanKind(uint16_t chan) override;
  TSTime64 ChanDivide(uint16_t chan) override { return Used(chan) ? chans_[chan].divide : 1; }
  int GetChanComment(uint16_t chan, int size, char* buf) override {
    return Text(chan, &MemChannel::comment, size, buf);
  }
  int GetChanTitle(uint16_t chan, int size, char* buf) override {
    return Text(chan, &MemChannel::title, size, buf);
  }
  int GetChanUnits(uint16_t chan, int size, char* buf) override {
    return Text(chan, &MemChannel::units, size, buf);
  }
  int GetChanScale(uint16_t chan, double* scale) override;
  int GetChanOffset(uint16_t chan, double* offset) override;
  int GetChanYRange(uint16_t chan, double* low, double* high) override;
  int ItemSize(uint16_t chan) override;
  int GetExtMarkInfo(uint16_t chan, uint64_t* rows, uint64_t* cols) override;
  int ReadEvents(uint16_t chan, TSTime64* times, int max, TSTime64 tFrom, TSTime64 tUpto,
                 const CMarkFilter* filter) override;
  int ReadMarkers(uint16_t chan, vslk64::TMarker* items, int max, TSTime64 tFrom,
                  TSTime64 tUpto, const CMarkFilter* filter) override;
  int ReadLevels(uint16_t chan, TSTime64* times, int max, TSTime64 tFrom, TSTime64 tUpto,
                 bool* level) override;
  int ReadWaveF(uint16_t chan, float* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                TSTime64* tFirst, const CMarkFilter*) override {
    return ReadRun(chan, data, max, tFrom, tUpto, tFirst);
  }
  int ReadWaveS(uint16_t chan, int16_t* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                TSTime64* tFirst, const CMarkFilter*) override {
    return ReadRun(chan, data, max, tFrom, tUpto, tFirst);
  }
  int ReadExtMarks(uint16_t chan, vslk64::TExtMark* items, int max, TSTime64 tFrom,
                   TSTime64 tUpto, const CMarkFilter* filter) override;

  // --- CKel64File: the rest, refused or inert -----------------------------
  static constexpr int kRO = vslk64::kErrReadOnly;
  int Create(const char*, uint16_t, uint32_t) override { return kRO; }
  int Open(const char*, int, uint32_t) override { return vslk64::kErrAlreadyOpen; }
  int EmptyFile() override { return kRO; }
  bool CanWrite() override { return false; }
  int GetFreeChan() override { return vslk64::kErrNoChannel; }
  int Commit(int) override { return kRO; }
  bool IsModified() override { return false; }
  int FlushSysBuffers() override { return 0; }
  void SetTimeBase(double) override {}
  int SetExtraData(const void*, uint32_t, uint32_t) override { return kRO; }
  int GetExtraData(void*, uint32_t, uint32_t) override { return vslk64::kErrExtraRange; }
  uint32_t GetExtraDataSize() override { return 0; }
  int SetFileComment(int, const char*) override { return kRO; }
  int GetVersion() override { return 1; }
  TSTime64 ChanMaxTime(uint16_t) override { return -1; }
  int64_t FileSize() override { return 0; }
  int64_t ChanBytes(uint16_t) override { return 0; }
  void ExtendMaxTime(TSTime64) override {}
  double IdealRate(uint16_t, double) override { return 0.0; }
  int PhyChan(uint16_t) override { return 0; }
  int SetChanComment(uint16_t, const char*) override { return kRO; }
  int SetChanTitle(uint16_t, const char*) override { return kRO; }
  int SetChanScale(uint16_t, double) override { return kRO; }
  int SetChanOffset(uint16_t, double) override { return kRO; }
  int SetChanUnits(uint16_t, const char*) override { return kRO; }
  TSTime64 PrevNTime(uint16_t, TSTime64, TSTime64, uint32_t, const CMarkFilter*,
                     bool) override { return -1; }
  int ChanDelete(uint16_t) override { return kRO; }
  int ChanUndelete(uint16_t, int) override { return 0; }
  int SetChanYRange(uint16_t, double, double) override { return kRO; }
  void Save(int, TSTime64, bool) override {}
  void SaveRange(int, TSTime64, TSTime64) override {}
  bool IsSaving(uint16_t) override { return false; }
  int NoSaveList(uint16_t, TSTime64*, uint32_t, TSTime64, TSTime64) override { return 0; }
  int LatestTime(int, TSTime64) override { return kRO; }
  double SetBuffering(int, uint64_t, double) override { return 0.0; }
  int SetEventChan(uint16_t, double, TDataKind, uint32_t) override { return kRO; }
  int WriteEvents(uint16_t, const TSTime64*, uint64_t) override { return kRO; }
  int SetMarkerChan(uint16_t, double, TDataKind, uint32_t) override { return kRO; }
  int WriteMarkers(uint16_t, const vslk64::TMarker*, uint64_t) override { return kRO; }
  int EditMarker(uint16_t, TSTime64, const vslk64::TMarker*, uint64_t) override { return kRO; }
  int SetLevelChan(uint16_t, double, uint32_t) override { return kRO; }
  int SetInitLevel(uint16_t, bool) override { return kRO; }
  int WriteLevels(uint16_t, const TSTime64*, uint64_t) override { return kRO; }
  int SetTextMarkChan(uint16_t, double, uint64_t, uint32_t) override { return kRO; }
  int SetExtMarkChan(uint16_t, double, TDataKind, uint64_t, uint64_t, uint32_t, TSTime64,
                     int) override { return kRO; }
  int SetWaveChan(uint16_t, TSTime64, TDataKind, double, uint32_t) override { return kRO; }
  TSTime64 WriteWaveF(uint16_t, const float*, uint64_t, TSTime64) override { return kRO; }
  TSTime64 WriteWaveS(uint16_t, const int16_t*, uint64_t, TSTime64) override { return kRO; }
  int WriteExtMarks(uint16_t, const vslk64::TExtMark*, uint64_t) override { return kRO; }

 private:
  MemChannel* Used(uint16_t chan);
  int Text(uint16_t chan, std::string MemChannel::*text, int bufSize, char* buf);
  // The channel of a data read, counted; null (with *status set) when the
  // number is not a used channel or its reads fail.
  MemChannel* ReadChannel(uint16_t chan, int* status);
  // Indices of the time-ordered entries that pass the filter and lie in
  // [tFrom, tUpto), at most max of them.
  std::vector<size_t> Select(const MemChannel& c, int max, TSTime64 tFrom, TSTime64 tUpto,
                             const CMarkFilter* filter) const;
  // One contiguous run of samples, as real values and as 16-bit steps.
  template <typename T>
  int ReadRun(uint16_t chan, T* data, int max, TSTime64 tFrom, TSTime64 tUpto, TSTime64* tFirst);

  std::vector<MemChannel> chans_;
  std::shared_ptr<FileProbe> probe_;
};

// Hands rec to the layer as ns_OpenFile does once a format has opened the
// file: the record is filled, the catalogue built and the record registered.
// Returns the handle, or 0 when the layer refused the file.
uint32_t OpenInLayer(std::unique_ptr<MemoryRecording> rec, const char* path = "/data/run.orfx");

}  // namespace nsv_test
