// A CKel64File that stands for an open recording without any file behind it,
// for tests of the Neuroshare layer's open-file table and open steps. It
// answers the properties the layer reads from fields the test sets, records
// its Close calls and its destruction in a FileProbe it shares with the test
// (so the probe outlives the file whichever goes first), and refuses
// everything else.
#pragma once

#include <cstring>
#include <memory>
#include <string>

#include "filelib/kel64_file.h"

namespace nsv_test {

// What a test learns about a fake file, alive beyond the file itself.
struct FileProbe {
  int closeCalls = 0;
  bool destroyed = false;
};

class FakeKel64File : public vslk64::CKel64File {
 public:
  explicit FakeKel64File(std::shared_ptr<FileProbe> probe) : probe_(std::move(probe)) {}
  ~FakeKel64File() override { probe_->destroyed = true; }

  // Properties reported to the Neuroshare layer.
  int closeResult = 0;
  double timeBase = 1e-6;
  std::string comment;
  vslk64::TTimeDate timeDate = {};
  vslk64::TAppID appId = {};
  vslk64::TSTime64 maxTime = 0;

  int Create(const char*, uint16_t, uint32_t) override { return vslk64::kErrReadOnly; }
  int Open(const char*, int, uint32_t) override { return vslk64::kErrAlreadyOpen; }
  int Close() override {
    ++probe_->closeCalls;
    return closeResult;
  }
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
  int GetFileComment(int n, int bufSize, char* buf) override {
    if (n != 0 || bufSize < 1) return vslk64::kErrBadArg;
    std::strncpy(buf, comment.c_str(), bufSize - 1);
    buf[bufSize - 1] = '\0';
    return static_cast<int>(comment.size()) + 1;
  }
  int MaxChans() override { return 0; }
  int AppID(vslk64::TAppID* get, const vslk64::TAppID*) override {
    if (get) *get = appId;
    return 0;
  }
  int TimeDate(vslk64::TTimeDate* get, const vslk64::TTimeDate*) override {
    if (get) *get = timeDate;
    return timeDate.year != 0 ? 1 : 0;
  }
  int GetVersion() override { return 1; }
  int64_t FileSize() override { return 0; }
  int64_t ChanBytes(uint16_t) override { return vslk64::kErrNoChannel; }
  vslk64::TSTime64 MaxTime(bool) override { return maxTime; }
  void ExtendMaxTime(vslk64::TSTime64) override {}

  vslk64::TDataKind ChanKind(uint16_t) override { return vslk64::ChanOff; }
  vslk64::TSTime64 ChanDivide(uint16_t) override { return 1; }
  double IdealRate(uint16_t, double) override { return 0.0; }
  int PhyChan(uint16_t) override { return vslk64::kErrNoChannel; }
  int SetChanComment(uint16_t, const char*) override { return vslk64::kErrNoChannel; }
  int GetChanComment(uint16_t, int, char*) override { return vslk64::kErrNoChannel; }
  int SetChanTitle(uint16_t, const char*) override { return vslk64::kErrNoChannel; }
  int GetChanTitle(uint16_t, int, char*) override { return vslk64::kErrNoChannel; }
  int SetChanScale(uint16_t, double) override { return vslk64::kErrNoChannel; }
  int GetChanScale(uint16_t, double*) override { return vslk64::kErrNoChannel; }
  int SetChanOffset(uint16_t, double) override { return vslk64::kErrNoChannel; }
  int GetChanOffset(uint16_t, double*) override { return vslk64::kErrNoChannel; }
  int SetChanUnits(uint16_t, const char*) override { return vslk64::kErrNoChannel; }
  int GetChanUnits(uint16_t, int, char*) override { return vslk64::kErrNoChannel; }
  vslk64::TSTime64 ChanMaxTime(uint16_t) override { return vslk64::kErrNoChannel; }
  vslk64::TSTime64 PrevNTime(uint16_t, vslk64::TSTime64, vslk64::TSTime64, uint32_t,
                             const vslk64::CMarkFilter*, bool) override {
    return vslk64::kErrNoChannel;
  }
  int ChanDelete(uint16_t) override { return vslk64::kErrNoChannel; }
  int ChanUndelete(uint16_t, int) override { return 0; }
  int SetChanYRange(uint16_t, double, double) override { return vslk64::kErrNoChannel; }
  int GetChanYRange(uint16_t, double*, double*) override { return vslk64::kErrNoChannel; }
  int ItemSize(uint16_t) override { return vslk64::kErrNoChannel; }

  void Save(int, vslk64::TSTime64, bool) override {}
  void SaveRange(int, vslk64::TSTime64, vslk64::TSTime64) override {}
  bool IsSaving(uint16_t) override { return false; }
  int NoSaveList(uint16_t, vslk64::TSTime64*, uint32_t, vslk64::TSTime64,
                 vslk64::TSTime64) override {
    return vslk64::kErrNoChannel;
  }
  int LatestTime(int, vslk64::TSTime64) override { return vslk64::kErrReadOnly; }
  double SetBuffering(int, uint64_t, double) override { return 0.0; }

  int SetEventChan(uint16_t, double, vslk64::TDataKind, uint32_t) override {
    return vslk64::kErrReadOnly;
  }
  int WriteEvents(uint16_t, const vslk64::TSTime64*, uint64_t) override {
    return vslk64::kErrReadOnly;
  }
  int ReadEvents(uint16_t, vslk64::TSTime64*, int, vslk64::TSTime64, vslk64::TSTime64,
                 const vslk64::CMarkFilter*) override {
    return vslk64::kErrNoChannel;
  }
  int SetMarkerChan(uint16_t, double, vslk64::TDataKind, uint32_t) override {
    return vslk64::kErrReadOnly;
  }
  int WriteMarkers(uint16_t, const vslk64::TMarker*, uint64_t) override {
    return vslk64::kErrReadOnly;
  }
  int ReadMarkers(uint16_t, vslk64::TMarker*, int, vslk64::TSTime64, vslk64::TSTime64,
                  const vslk64::CMarkFilter*) override {
    return vslk64::kErrNoChannel;
  }
  int EditMarker(uint16_t, vslk64::TSTime64, const vslk64::TMarker*, uint64_t) override {
    return vslk64::kErrReadOnly;
  }
  int SetLevelChan(uint16_t, double, uint32_t) override { return vslk64::kErrReadOnly; }
  int SetInitLevel(uint16_t, bool) override { return vslk64::kErrReadOnly; }
  int WriteLevels(uint16_t, const vslk64::TSTime64*, uint64_t) override {
    return vslk64::kErrReadOnly;
  }
  int ReadLevels(uint16_t, vslk64::TSTime64*, int, vslk64::TSTime64, vslk64::TSTime64,
                 bool*) override {
    return vslk64::kErrNoChannel;
  }
  int SetTextMarkChan(uint16_t, double, uint64_t, uint32_t) override {
    return vslk64::kErrReadOnly;
  }
  int SetExtMarkChan(uint16_t, double, vslk64::TDataKind, uint64_t, uint64_t, uint32_t,
                     vslk64::TSTime64, int) override {
    return vslk64::kErrReadOnly;
  }
  int GetExtMarkInfo(uint16_t, uint64_t*, uint64_t*) override { return vslk64::kErrNoChannel; }
  int SetWaveChan(uint16_t, vslk64::TSTime64, vslk64::TDataKind, double, uint32_t) override {
    return vslk64::kErrReadOnly;
  }
  vslk64::TSTime64 WriteWaveF(uint16_t, const float*, uint64_t, vslk64::TSTime64) override {
    return vslk64::kErrReadOnly;
  }
  vslk64::TSTime64 WriteWaveS(uint16_t, const int16_t*, uint64_t, vslk64::TSTime64) override {
    return vslk64::kErrReadOnly;
  }
  int ReadWaveF(uint16_t, float*, int, vslk64::TSTime64, vslk64::TSTime64, vslk64::TSTime64*,
                const vslk64::CMarkFilter*) override {
    return vslk64::kErrNoChannel;
  }
  int ReadWaveS(uint16_t, int16_t*, int, vslk64::TSTime64, vslk64::TSTime64, vslk64::TSTime64*,
                const vslk64::CMarkFilter*) override {
    return vslk64::kErrNoChannel;
  }
  int WriteExtMarks(uint16_t, const vslk64::TExtMark*, uint64_t) override {
    return vslk64::kErrReadOnly;
  }
  int ReadExtMarks(uint16_t, vslk64::TExtMark*, int, vslk64::TSTime64, vslk64::TSTime64,
                   const vslk64::CMarkFilter*) override {
    return vslk64::kErrNoChannel;
  }

 private:
  std::shared_ptr<FileProbe> probe_;
};

}  // namespace nsv_test
