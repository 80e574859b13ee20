#include "tools/converter.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "filelib/status.h"

namespace nsconvert {
namespace {

using namespace vslk64;

constexpr TSTime64 kEnd = 0x7000000000000000LL;  // the open end of a read
constexpr int kChunk = 1 << 16;                    // items or samples per transfer
constexpr int kTextBytes = 256;

std::string Text(int result, const char* what, int chan) {
  return std::string(what) + " of channel " + std::to_string(chan) + " failed (status " +
         std::to_string(result) + ")";
}

bool CopyFileProperties(CKel64File& in, CKel64File& out, std::string* error) {
  out.SetTimeBase(in.GetTimeBase());
  if (out.GetTimeBase() != in.GetTimeBase()) {
    *error = "the output format cannot hold the time base";
    return false;
  }
  char text[kTextBytes];
  for (int n = 0; n < 8; ++n) {
    if (in.GetFileComment(n, sizeof text, text) < 0) continue;
    if (text[0] != '\0' && out.SetFileComment(n, text) < 0) {
      *error = "file comment " + std::to_string(n) + " could not be stored";
      return false;
    }
  }
  TTimeDate td{};
  in.TimeDate(&td, nullptr);
  const TTimeDate unset{};
  if (std::memcmp(&td, &unset, sizeof td) != 0) out.TimeDate(nullptr, &td);
  TAppID id{};
  in.AppID(&id, nullptr);
  out.AppID(nullptr, &id);
  const uint32_t extra = std::min(in.GetExtraDataSize(), out.GetExtraDataSize());
  if (extra > 0) {
    std::vector<uint8_t> bytes(extra);
    if (in.GetExtraData(bytes.data(), extra, 0) != kOk || out.SetExtraData(bytes.data(), extra, 0) != kOk) {
      *error = "the user extra data could not be copied";
      return false;
    }
  }
  return true;
}

int MakeChannel(CKel64File& in, CKel64File& out, uint16_t c, TDataKind kind) {
  const double rate = in.IdealRate(c, -1.0);
  const uint32_t phy = static_cast<uint32_t>(in.PhyChan(c));
  switch (kind) {
    case Adc:
    case RealWave:
      return out.SetWaveChan(c, in.ChanDivide(c), kind, rate, phy);
    case EventA:
    case EventB:
      return out.SetEventChan(c, rate, kind, phy);
    case Level: {
      bool level = false;
      TSTime64 first;
      if (in.ReadLevels(c, &first, 1, 0, kEnd, &level) < 0) return kErrRead;
      // ReadLevels reports the level before the first change; SetInitLevel
      // takes the level that change turns on, its inverse.
      const int r = out.SetLevelChan(c, rate, phy);
      return r != kOk ? r : out.SetInitLevel(c, !level);
    }
    case Marker:
      return out.SetMarkerChan(c, rate, kind, phy);
    case WaveMark:
    case RealMark: {
      uint64_t rows = 0, cols = 0;
      const int preTrig = in.GetExtMarkInfo(c, &rows, &cols);
      if (preTrig < 0) return preTrig;
      return out.SetExtMarkChan(c, rate, kind, rows, cols, phy, in.ChanDivide(c), preTrig);
    }
    case TextMark: {
      uint64_t rows = 0, cols = 0;
      if (in.GetExtMarkInfo(c, &rows, &cols) < 0) return kErrRead;
      return out.SetTextMarkChan(c, rate, rows, phy);
    }
    default:
      return kErrWrongKind;
  }
}

int CopyTexts(CKel64File& in, CKel64File& out, uint16_t c) {
  char text[kTextBytes];
  int r = kOk;
  if (in.GetChanTitle(c, sizeof text, text) >= 0) r = out.SetChanTitle(c, text);
  if (r >= 0 && in.GetChanUnits(c, sizeof text, text) >= 0) r = out.SetChanUnits(c, text);
  if (r >= 0 && in.GetChanComment(c, sizeof text, text) >= 0) r = out.SetChanComment(c, text);
  double v = 0, lo = 0, hi = 0;
  if (r >= 0 && in.GetChanScale(c, &v) == kOk) r = out.SetChanScale(c, v);
  if (r >= 0 && in.GetChanOffset(c, &v) == kOk) r = out.SetChanOffset(c, v);
  if (r >= 0 && in.GetChanYRange(c, &lo, &hi) == kOk && lo < hi) r = out.SetChanYRange(c, lo, hi);
  out.IdealRate(c, in.IdealRate(c, -1.0));
  return r < 0 ? r : kOk;
}

// Copies the channel's data in chunks; `step` reports the bytes moved.
class CChannelCopy {
 public:
  CChannelCopy(CKel64File& in, CKel64File& out, uint16_t c, const std::function<void(uint64_t)>& step)
      : in_(in), out_(out), c_(c), step_(step) {}

  // The time of the last item or sample written, -1 before any.
  TSTime64 last() const { return last_; }

  int Run(TDataKind kind) {
    switch (kind) {
      case Adc: return Wave<int16_t>();
      case RealWave: return Wave<float>();
      case EventA: case EventB: return Events(false);
      case Level: return Events(true);
      case Marker: return Markers();
      default: return ExtMarks();
    }
  }

 private:
  template <class T>
  int Wave() {
    std::vector<T> data(kChunk);
    const TSTime64 divide = in_.ChanDivide(c_);
    TSTime64 t = 0;
    for (;;) {
      TSTime64 first = 0;
      int n;
      if constexpr (sizeof(T) == 2) {
        n = in_.ReadWaveS(c_, data.data(), kChunk, t, kEnd, &first, nullptr);
      } else {
        n = in_.ReadWaveF(c_, data.data(), kChunk, t, kEnd, &first, nullptr);
      }
      if (n <= 0) return n;
      TSTime64 next;
      if constexpr (sizeof(T) == 2) {
        next = out_.WriteWaveS(c_, data.data(), static_cast<uint64_t>(n), first);
      } else {
        next = out_.WriteWaveF(c_, data.data(), static_cast<uint64_t>(n), first);
      }
      if (next < 0) return static_cast<int>(next);
      if (next != first + n * divide) return kErrOutOfRange;  // cut at the format's last time
      step_(static_cast<uint64_t>(n) * sizeof(T));
      last_ = next - divide;
      t = next;
    }
  }

  int Events(bool levels) {
    std::vector<TSTime64> times(kChunk);
    TSTime64 t = 0;
    for (;;) {
      const int n = in_.ReadEvents(c_, times.data(), kChunk, t, kEnd, nullptr);
      if (n <= 0) return n;
      const int r = levels ? out_.WriteLevels(c_, times.data(), static_cast<uint64_t>(n))
                           : out_.WriteEvents(c_, times.data(), static_cast<uint64_t>(n));
      if (r < 0) return r;
      step_(static_cast<uint64_t>(n) * 8);
      last_ = times[static_cast<size_t>(n - 1)];
      t = last_ + 1;
    }
  }

  int Markers() {
    std::vector<TMarker> items(kChunk);
    TSTime64 t = 0;
    for (;;) {
      const int n = in_.ReadMarkers(c_, items.data(), kChunk, t, kEnd, nullptr);
      if (n <= 0) return n;
      const int r = out_.WriteMarkers(c_, items.data(), static_cast<uint64_t>(n));
      if (r < 0) return r;
      step_(static_cast<uint64_t>(n) * sizeof(TMarker));
      last_ = items[static_cast<size_t>(n - 1)].time;
      t = last_ + 1;
    }
  }

  // Extended markers: the two formats may lay items out at different
  // sizes; each item keeps its marker and as much of its data as both hold.
  int ExtMarks() {
    const int inSize = in_.ItemSize(c_), outSize = out_.ItemSize(c_);
    if (inSize < static_cast<int>(sizeof(TMarker)) || outSize < static_cast<int>(sizeof(TMarker)))
      return kErrWrongKind;
    const int chunk = std::max(1, (4 << 20) / inSize);
    std::vector<uint8_t> src(static_cast<size_t>(chunk) * inSize);
    std::vector<uint8_t> dst(static_cast<size_t>(chunk) * outSize);
    const size_t keep = static_cast<size_t>(std::min(inSize, outSize));
    TSTime64 t = 0;
    for (;;) {
      const int n = in_.ReadExtMarks(c_, reinterpret_cast<TExtMark*>(src.data()), chunk, t, kEnd, nullptr);
      if (n <= 0) return n;
      std::fill(dst.begin(), dst.end(), 0);
      for (int i = 0; i < n; ++i)
        std::memcpy(&dst[static_cast<size_t>(i) * outSize], &src[static_cast<size_t>(i) * inSize], keep);
      const int r = out_.WriteExtMarks(c_, reinterpret_cast<const TExtMark*>(dst.data()),
                                       static_cast<uint64_t>(n));
      if (r < 0) return r;
      step_(static_cast<uint64_t>(n) * inSize);
      std::memcpy(&last_, &src[static_cast<size_t>(n - 1) * inSize], sizeof last_);
      t = last_ + 1;
    }
  }

  CKel64File& in_;
  CKel64File& out_;
  uint16_t c_;
  const std::function<void(uint64_t)>& step_;
  TSTime64 last_ = -1;
};

}  // namespace

bool CopyRecording(CKel64File& in, CKel64File& out, const std::string& outPath,
                   const Progress& progress, std::string* error) {
  const int slots = in.MaxChans();
  if (slots < 0) {
    *error = "the input has no channel table";
    return false;
  }
  // The output needs as many slots as the highest used input slot.
  int used = 0;
  uint64_t total = 0;
  for (int c = 0; c < slots; ++c) {
    if (in.ChanKind(static_cast<uint16_t>(c)) == ChanOff) continue;
    used = c + 1;
    total += static_cast<uint64_t>(std::max<int64_t>(in.ChanBytes(static_cast<uint16_t>(c)), 0));
  }
  const int r = out.Create(outPath.c_str(), static_cast<uint16_t>(std::min(slots, 0xFFFF)),
                           in.GetExtraDataSize());
  if (r != kOk) {
    *error = "the output file could not be created (status " + std::to_string(r) + ")";
    return false;
  }
  bool ok = CopyFileProperties(in, out, error);
  if (ok && used > out.MaxChans()) {
    *error = "channel " + std::to_string(used - 1) + " does not fit the output's " +
             std::to_string(out.MaxChans()) + " channels";
    ok = false;
  }
  uint64_t done = 0;
  const std::function<void(uint64_t)> step = [&](uint64_t bytes) {
    done += bytes;
    if (progress) progress(std::min(done, total), total);
  };
  for (int c = 0; ok && c < used; ++c) {
    const uint16_t chan = static_cast<uint16_t>(c);
    const TDataKind kind = in.ChanKind(chan);
    if (kind == ChanOff) continue;
    int st = MakeChannel(in, out, chan, kind);
    if (st < 0) {
      *error = Text(st, "creating", c);
    } else if ((st = CopyTexts(in, out, chan)) < 0) {
      *error = Text(st, "setting the texts", c);
    } else {
      CChannelCopy copy(in, out, chan, step);
      st = copy.Run(kind);
      // A writer that stops before times its format cannot hold says so
      // only through the channel's end.
      if (st == kErrOutOfRange || (st >= 0 && out.ChanMaxTime(chan) < copy.last())) {
        *error = "channel " + std::to_string(c) + " holds times the output format cannot hold";
        st = kErrOutOfRange;
      } else if (st < 0) {
        *error = Text(st, "copying the data", c);
      }
    }
    ok = st >= 0;
  }
  if (ok && out.Commit(0) != kOk) {
    *error = "the output file could not be committed";
    ok = false;
  }
  const int closed = out.Close();
  if (ok && closed != kOk) {
    *error = "the output file could not be closed (status " + std::to_string(closed) + ")";
    ok = false;
  }
  if (ok && progress) progress(total, total);
  return ok;
}

}  // namespace nsconvert
