#include "demo/writer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "filelib/kel64_file.h"
#include "filelib/status.h"

namespace demo {

namespace {

using namespace vslk64;
// demo::Marker is the recording's marker item; the kind of channel is
// vslk64::Marker.
constexpr TDataKind kMarkerKind = vslk64::Marker;

// Samples handed to the library per call: big enough to fill blocks, small
// enough that a generated run never has to sit in memory whole.
constexpr uint64_t kWaveChunk = 1 << 16;

TDataKind KindOf(int kind) { return static_cast<TDataKind>(kind); }

// Creates the channel of slot with its kind and shape.
int MakeChannel(CKel64File& f, uint16_t slot, const Channel& ch) {
  const uint32_t phy = static_cast<uint32_t>(ch.phyChan);  // -1 means none
  switch (ch.kind) {
    case Adc:
    case RealWave:
      return f.SetWaveChan(slot, ch.divide, KindOf(ch.kind), ch.idealRate, phy);
    case EventA:
    case EventB:
      return f.SetEventChan(slot, ch.idealRate, KindOf(ch.kind), phy);
    case Level: {
      const int r = f.SetLevelChan(slot, ch.idealRate, phy);
      return r != kOk ? r : f.SetInitLevel(slot, ch.initLevel);
    }
    case kMarkerKind:
      return f.SetMarkerChan(slot, ch.idealRate, kMarkerKind, phy);
    case WaveMark:
    case RealMark:
      return f.SetExtMarkChan(slot, ch.idealRate, KindOf(ch.kind), ch.rows, ch.cols, phy,
                              ch.divide, ch.preTrig);
    case TextMark:
      return f.SetTextMarkChan(slot, ch.idealRate, ch.rows, phy);
    default:
      return kErrBadArg;
  }
}

int SetTexts(CKel64File& f, uint16_t slot, const Channel& ch) {
  int r = kOk;
  if (!ch.title.empty()) r = f.SetChanTitle(slot, ch.title.c_str());
  if (r == kOk && !ch.units.empty()) r = f.SetChanUnits(slot, ch.units.c_str());
  if (r == kOk && !ch.comment.empty()) r = f.SetChanComment(slot, ch.comment.c_str());
  if (r == kOk) r = f.SetChanScale(slot, ch.scale);
  if (r == kOk) r = f.SetChanOffset(slot, ch.offset);
  if (r == kOk) r = f.SetChanYRange(slot, ch.yLow, ch.yHigh);
  return r;
}

// Waveform runs in pieces; a run that starts where the last one ended
// simply continues it.
bool WriteWave(CKel64File& f, uint16_t slot, const Channel& ch) {
  std::vector<int16_t> shorts;
  std::vector<float> floats;
  for (const WaveRun& run : ch.runs) {
    const uint64_t size = run.Size();
    for (uint64_t at = 0; at < size;) {
      const uint64_t n = std::min(kWaveChunk, size - at);
      const TSTime64 t = run.start + static_cast<TSTime64>(at) * ch.divide;
      TSTime64 next;
      if (ch.kind == Adc) {
        const int16_t* data = nullptr;
        if (!run.shorts.empty()) {
          data = run.shorts.data() + at;
        } else {
          shorts.resize(n);
          for (uint64_t k = 0; k < n; ++k) shorts[k] = run.Short(at + k);
          data = shorts.data();
        }
        next = f.WriteWaveS(slot, data, n, t);
      } else {
        const float* data = nullptr;
        if (!run.floats.empty()) {
          data = run.floats.data() + at;
        } else {
          floats.resize(n);
          for (uint64_t k = 0; k < n; ++k) floats[k] = run.Float(at + k);
          data = floats.data();
        }
        next = f.WriteWaveF(slot, data, n, t);
      }
      if (next != t + static_cast<TSTime64>(n) * ch.divide) return false;
      at += n;
    }
  }
  return true;
}

TMarker MarkerOf(int64_t time, const uint8_t code[4]) {
  TMarker m{};
  m.time = time;
  std::memcpy(m.code, code, sizeof m.code);
  return m;
}

// Extended markers laid out at the channel's item size: the marker, then
// its samples, values or characters, zero-filled to the channel's shape.
bool WriteExtMarks(CKel64File& f, uint16_t slot, const Channel& ch) {
  const int itemSize = f.ItemSize(slot);
  if (itemSize < static_cast<int>(sizeof(TMarker))) return false;
  const size_t size = static_cast<size_t>(itemSize);
  const size_t room = size - sizeof(TMarker);
  std::vector<uint8_t> items(ch.extMarks.size() * size, 0);
  for (size_t i = 0; i < ch.extMarks.size(); ++i) {
    const ExtMarker& m = ch.extMarks[i];
    uint8_t* at = &items[i * size];
    const TMarker head = MarkerOf(m.time, m.code);
    std::memcpy(at, &head, sizeof head);
    const void* payload = nullptr;
    size_t bytes = 0;
    if (ch.kind == WaveMark) {
      payload = m.wave.data();
      bytes = m.wave.size() * sizeof(int16_t);
    } else if (ch.kind == RealMark) {
      payload = m.values.data();
      bytes = m.values.size() * sizeof(float);
    } else {
      payload = m.text.data();
      bytes = m.text.size();
    }
    if (bytes > room) return false;
    if (bytes > 0) std::memcpy(at + sizeof(TMarker), payload, bytes);
  }
  return ch.extMarks.empty() ||
         f.WriteExtMarks(slot, reinterpret_cast<const TExtMark*>(items.data()),
                         ch.extMarks.size()) == kOk;
}

bool WriteData(CKel64File& f, uint16_t slot, const Channel& ch) {
  switch (ch.kind) {
    case Adc:
    case RealWave:
      return WriteWave(f, slot, ch);
    case EventA:
    case EventB:
      return f.WriteEvents(slot, ch.times.data(), ch.times.size()) == kOk;
    case Level:
      return f.WriteLevels(slot, ch.times.data(), ch.times.size()) == kOk;
    case kMarkerKind: {
      std::vector<TMarker> items;
      items.reserve(ch.markers.size());
      for (const Marker& m : ch.markers) items.push_back(MarkerOf(m.time, m.code));
      return f.WriteMarkers(slot, items.data(), items.size()) == kOk;
    }
    default:
      return WriteExtMarks(f, slot, ch);
  }
}

bool WriteFileProperties(CKel64File& f, const Recording& rec) {
  f.SetTimeBase(rec.timeBase);
  if (f.GetTimeBase() != rec.timeBase || rec.comments.size() > 8 || rec.appId.size() > 8) {
    return false;
  }
  for (size_t n = 0; n < rec.comments.size(); ++n) {
    if (!rec.comments[n].empty() &&
        f.SetFileComment(static_cast<int>(n), rec.comments[n].c_str()) != kOk) {
      return false;
    }
  }
  TTimeDate td{};
  td.hun = rec.timeDate.hun;
  td.sec = rec.timeDate.sec;
  td.min = rec.timeDate.min;
  td.hour = rec.timeDate.hour;
  td.day = rec.timeDate.day;
  td.mon = rec.timeDate.mon;
  td.year = rec.timeDate.year;
  const TTimeDate unset{};
  if (std::memcmp(&td, &unset, sizeof td) != 0 && f.TimeDate(nullptr, &td) < 0) return false;
  TAppID id{};
  std::memcpy(id.chID, rec.appId.data(), rec.appId.size());
  return f.AppID(nullptr, &id) == kOk;
}

}  // namespace

bool WriteRecording(const Recording& rec, const std::string& path) {
  return WriteRecording(rec, path, *NewKel64File());
}

bool WriteRecording(const Recording& rec, const std::string& path, CKel64File& file) {
  if (rec.slots > 0xFFFF) return false;
  CKel64File* f = &file;
  if (f->Create(path.c_str(), static_cast<uint16_t>(rec.slots), 0) != kOk) return false;
  bool ok = WriteFileProperties(*f, rec);
  for (const auto& entry : rec.channels) {
    if (!ok) break;
    if (entry.first < 0 || entry.first >= f->MaxChans()) {
      ok = false;
      break;
    }
    const uint16_t slot = static_cast<uint16_t>(entry.first);
    const Channel& ch = entry.second;
    ok = MakeChannel(*f, slot, ch) == kOk && SetTexts(*f, slot, ch) == kOk &&
         WriteData(*f, slot, ch);
  }
  if (ok) ok = f->Commit(0) == kOk;
  return f->Close() == kOk && ok;
}

}  // namespace demo
