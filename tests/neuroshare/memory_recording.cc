#include "tests/neuroshare/memory_recording.h"

#include <algorithm>
#include <cstring>

#include "neuroshare/ns_open.h"

namespace nsv_test {
namespace {

bool IsItemKind(TDataKind kind) { return kind >= vslk64::Marker && kind <= vslk64::TextMark; }
bool IsWaveKind(TDataKind kind) { return kind == vslk64::Adc || kind == vslk64::RealWave; }

// The bytes after an item's 16-byte head.
uint64_t PayloadBytes(const MemChannel& c) {
  if (c.kind == vslk64::Marker || !IsItemKind(c.kind)) return 0;
  return c.rows * c.cols * (c.kind == vslk64::WaveMark ? 2 : c.kind == vslk64::RealMark ? 4 : 1);
}

// Copies a text zero-terminated within bufSize; returns the size it needs.
int CopyOut(const std::string& text, int bufSize, char* buf) {
  if (buf != nullptr && bufSize > 0) {
    const size_t n = std::min(text.size(), static_cast<size_t>(bufSize - 1));
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
  }
  return static_cast<int>(text.size()) + 1;
}

// A sample as the waveform reads give it: a real value, or for 16-bit reads
// the nearest step of the channel, clipped to the 16-bit range.
void Convert(const MemChannel& c, float sample, float* out) {
  *out = c.kind == vslk64::Adc ? static_cast<float>(sample * c.scale / 6553.6 + c.offset) : sample;
}
void Convert(const MemChannel& c, float sample, int16_t* out) {
  if (c.kind == vslk64::Adc) {
    *out = static_cast<int16_t>(sample);
    return;
  }
  const double v = (sample - c.offset) * 6553.6 / c.scale;
  *out = v >= 32767.0 ? 32767 : v <= -32768.0 ? -32768
                               : static_cast<int16_t>(v < 0 ? v - 0.5 : v + 0.5);
}

}  // namespace

// --- Building ---------------------------------------------------------------

MemChannel& MemoryRecording::AddEvents(uint16_t chan, TDataKind kind,
                                       std::vector<TSTime64> times) {
  MemChannel& c = Chan(chan);
  c.kind = kind;
  c.times = std::move(times);
  return c;
}

MemChannel& MemoryRecording::AddItems(uint16_t chan, TDataKind kind, uint64_t rows,
                                      uint64_t cols, std::vector<MemItem> items) {
  MemChannel& c = Chan(chan);
  c.kind = kind;
  c.rows = rows;
  c.cols = kind == vslk64::TextMark ? 1 : cols;
  c.items = std::move(items);
  for (MemItem& item : c.items) item.payload.resize(PayloadBytes(c));
  return c;
}

MemChannel& MemoryRecording::AddWave(uint16_t chan, TDataKind kind, TSTime64 divide,
                                     double scale, double offset) {
  MemChannel& c = Chan(chan);
  c.kind = kind;
  c.divide = divide;
  c.scale = scale;
  c.offset = offset;
  return c;
}

void MemoryRecording::AddRun(uint16_t chan, TSTime64 start, const std::vector<float>& samples) {
  MemChannel& c = Chan(chan);
  for (size_t i = 0; i < samples.size(); ++i) {
    c.sampleAt.push_back(start + static_cast<TSTime64>(i) * c.divide);
    c.samples.push_back(samples[i]);
  }
}

MemItem MemoryRecording::Item(TSTime64 time, std::vector<uint8_t> codes,
                              std::vector<unsigned char> payload) {
  MemItem item;
  item.time = time;
  for (size_t k = 0; k < codes.size() && k < 4; ++k) item.code[k] = codes[k];
  item.payload = std::move(payload);
  return item;
}

int MemoryRecording::TotalReads() const {
  int total = 0;
  for (const MemChannel& c : chans_) total += c.reads;
  return total;
}

// --- File and channel properties -------------------------------------------

int MemoryRecording::GetFileComment(int, int bufSize, char* buf) {
  return CopyOut(comment, bufSize, buf);
}

int MemoryRecording::TimeDate(vslk64::TTimeDate* get, const vslk64::TTimeDate*) {
  *get = timeDate;
  return timeDate.year != 0 ? 1 : 0;
}

MemChannel* MemoryRecording::Used(uint16_t chan) {
  if (chan >= chans_.size() || chans_[chan].kind == vslk64::ChanOff) return nullptr;
  return &chans_[chan];
}

TDataKind MemoryRecording::ChanKind(uint16_t chan) {
  const MemChannel* c = Used(chan);
  return c ? c->kind : vslk64::ChanOff;
}

int MemoryRecording::Text(uint16_t chan, std::string MemChannel::*text, int bufSize, char* buf) {
  const MemChannel* c = Used(chan);
  return c ? CopyOut(c->*text, bufSize, buf) : vslk64::kErrNoChannel;
}

int MemoryRecording::GetChanScale(uint16_t chan, double* scale) {
  const MemChannel* c = Used(chan);
  if (c == nullptr) return vslk64::kErrNoChannel;
  *scale = c->scale;
  return 0;
}

int MemoryRecording::GetChanOffset(uint16_t chan, double* offset) {
  const MemChannel* c = Used(chan);
  if (c == nullptr) return vslk64::kErrNoChannel;
  *offset = c->offset;
  return 0;
}

int MemoryRecording::GetChanYRange(uint16_t chan, double* low, double* high) {
  const MemChannel* c = Used(chan);
  if (c == nullptr) return vslk64::kErrNoChannel;
  *low = c->yLow;
  *high = c->yHigh;
  return 0;
}

int MemoryRecording::ItemSize(uint16_t chan) {
  const MemChannel* c = Used(chan);
  if (c == nullptr) return vslk64::kErrNoChannel;
  if (c->itemSizeOverride != 0) return c->itemSizeOverride;
  if (c->kind == vslk64::Adc) return 2;
  if (c->kind == vslk64::RealWave) return 4;
  if (c->kind == vslk64::EventA || c->kind == vslk64::EventB) return 8;
  return static_cast<int>((16 + PayloadBytes(*c) + 7) / 8 * 8);  // Level, Marker: a bare TMarker
}

int MemoryRecording::GetExtMarkInfo(uint16_t chan, uint64_t* rows, uint64_t* cols) {
  const MemChannel* c = Used(chan);
  if (c == nullptr) return vslk64::kErrNoChannel;
  if (c->kind < vslk64::WaveMark || c->kind > vslk64::TextMark) return vslk64::kErrWrongKind;
  *rows = c->rows;
  *cols = c->cols;
  return 0;
}

// --- Reads ------------------------------------------------------------------

MemChannel* MemoryRecording::ReadChannel(uint16_t chan, int* status) {
  MemChannel* c = Used(chan);
  *status = vslk64::kErrNoChannel;
  if (c == nullptr) return nullptr;
  ++c->reads;
  *status = vslk64::kErrRead;
  return c->failAfterReads >= 0 && c->reads > c->failAfterReads ? nullptr : c;
}

std::vector<size_t> MemoryRecording::Select(const MemChannel& c, int max, TSTime64 tFrom,
                                            TSTime64 tUpto, const CMarkFilter* filter) const {
  std::vector<size_t> found;
  if (max < 1 || tFrom >= tUpto || tUpto < 0) return found;
  const bool items = IsItemKind(c.kind);
  const size_t n = items ? c.items.size() : c.times.size();
  for (size_t i = 0; i < n && found.size() < static_cast<size_t>(max); ++i) {
    const TSTime64 t = items ? c.items[i].time : c.times[i];
    const bool passes = !items || filter == nullptr || filter->Match(c.items[i].code);
    if (t >= tFrom && t < tUpto && passes) found.push_back(i);
  }
  return found;
}

int MemoryRecording::ReadEvents(uint16_t chan, TSTime64* times, int max, TSTime64 tFrom,
                                TSTime64 tUpto, const CMarkFilter* filter) {
  int status;
  MemChannel* c = ReadChannel(chan, &status);
  if (c == nullptr) return status;
  if (IsWaveKind(c->kind)) return vslk64::kErrWrongKind;
  const std::vector<size_t> found = Select(*c, max, tFrom, tUpto, filter);
  for (size_t k = 0; k < found.size(); ++k) {
    times[k] = IsItemKind(c->kind) ? c->items[found[k]].time : c->times[found[k]];
  }
  return static_cast<int>(found.size());
}

int MemoryRecording::ReadMarkers(uint16_t chan, vslk64::TMarker* items, int max, TSTime64 tFrom,
                                 TSTime64 tUpto, const CMarkFilter* filter) {
  int status;
  MemChannel* c = ReadChannel(chan, &status);
  if (c == nullptr) return status;
  if (c->kind != vslk64::Level && !IsItemKind(c->kind)) return vslk64::kErrWrongKind;
  const std::vector<size_t> found = Select(*c, max, tFrom, tUpto, filter);
  for (size_t k = 0; k < found.size(); ++k) {
    vslk64::TMarker m = {};
    if (c->kind == vslk64::Level) {
      // A level change carries the level in force before it.
      m.time = c->times[found[k]];
      m.code[0] = static_cast<uint8_t>(c->initLevel ^ (found[k] & 1));
    } else {
      m.time = c->items[found[k]].time;
      std::memcpy(m.code, c->items[found[k]].code, sizeof m.code);
    }
    items[k] = m;
  }
  return static_cast<int>(found.size());
}

int MemoryRecording::ReadLevels(uint16_t chan, TSTime64* times, int max, TSTime64 tFrom,
                                TSTime64 tUpto, bool* level) {
  int status;
  MemChannel* c = ReadChannel(chan, &status);
  if (c == nullptr) return status;
  if (c->kind != vslk64::Level) return vslk64::kErrWrongKind;
  if (max < 1) return 0;
  // The level before the first change at or after tFrom: the initial level
  // flipped once for every change before it.
  const size_t before = static_cast<size_t>(
      std::lower_bound(c->times.begin(), c->times.end(), tFrom) - c->times.begin());
  *level = c->initLevel ^ (before & 1);
  const std::vector<size_t> found = Select(*c, max, tFrom, tUpto, nullptr);
  for (size_t k = 0; k < found.size(); ++k) times[k] = c->times[found[k]];
  return static_cast<int>(found.size());
}

int MemoryRecording::ReadExtMarks(uint16_t chan, vslk64::TExtMark* items, int max,
                                  TSTime64 tFrom, TSTime64 tUpto, const CMarkFilter* filter) {
  int status;
  MemChannel* c = ReadChannel(chan, &status);
  if (c == nullptr) return status;
  if (c->kind < vslk64::WaveMark || c->kind > vslk64::TextMark) return vslk64::kErrWrongKind;
  const size_t size = static_cast<size_t>(ItemSize(chan));
  unsigned char* out = reinterpret_cast<unsigned char*>(items);
  const std::vector<size_t> found = Select(*c, max, tFrom, tUpto, filter);
  for (size_t k = 0; k < found.size(); ++k) {
    const MemItem& item = c->items[found[k]];
    unsigned char* at = out + k * size;
    std::memset(at, 0, size);
    std::memcpy(at, &item.time, sizeof item.time);
    std::memcpy(at + 8, item.code, sizeof item.code);
    std::memcpy(at + 16, item.payload.data(), std::min(item.payload.size(), size - 16));
  }
  return static_cast<int>(found.size());
}

template <typename T>
int MemoryRecording::ReadRun(uint16_t chan, T* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                             TSTime64* tFirst) {
  int status;
  MemChannel* c = ReadChannel(chan, &status);
  if (c == nullptr) return status;
  if (!IsWaveKind(c->kind)) return vslk64::kErrWrongKind;
  if (max < 1 || tFrom >= tUpto || tUpto < 0) return 0;
  const auto& at = c->sampleAt;
  const size_t first =
      static_cast<size_t>(std::lower_bound(at.begin(), at.end(), tFrom) - at.begin());
  int n = 0;
  for (size_t i = first; i < at.size() && at[i] < tUpto && n < max; ++i, ++n) {
    if (n > 0 && at[i] != at[i - 1] + c->divide) break;  // a gap ends the run
    if (n == 0 && tFirst) *tFirst = at[i];
    Convert(*c, c->samples[i], &data[n]);
  }
  return n;
}

uint32_t OpenInLayer(std::unique_ptr<MemoryRecording> rec, const char* path) {
  uint32_t fileId = 0;
  nsv::NsAdoptFile(path, std::move(rec), &fileId);
  return fileId;
}

}  // namespace nsv_test
