#include "tests/neuroshare/memory_recording.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "neuroshare/ns_open.h"

namespace nsv_test {
namespace {

using vslk64::CMarkFilter;

bool IsItemKind(vslk64::TDataKind kind) {
  return kind >= vslk64::Marker && kind <= vslk64::TextMark;
}

bool Passes(const CMarkFilter* filter, const uint8_t code[4]) {
  return filter == nullptr || filter->Match(code);
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

// A real value in a 16-bit channel's steps, as the waveform reads convert
// floats: the nearest step, clipped to the 16-bit range.
int16_t ToShort(double x, double scale, double offset) {
  const double v = (x - offset) * 6553.6 / scale;
  if (v >= 32767.0) return 32767;
  if (v <= -32768.0) return -32768;
  return static_cast<int16_t>(v < 0 ? v - 0.5 : v + 0.5);
}

}  // namespace

MemoryRecording::MemoryRecording(int maxChans, std::shared_ptr<FileProbe> probe)
    : chans_(static_cast<size_t>(maxChans)), probe_(std::move(probe)) {}

MemoryRecording::~MemoryRecording() { probe_->destroyed = true; }

int MemoryRecording::Close() {
  ++probe_->closeCalls;
  return closeResult;
}

// --- Building ---------------------------------------------------------------

MemChannel& MemoryRecording::AddEvents(uint16_t chan, vslk64::TDataKind kind,
                                       std::vector<TSTime64> times) {
  MemChannel& c = Chan(chan);
  c.kind = kind;
  c.times = std::move(times);
  return c;
}

MemChannel& MemoryRecording::AddLevel(uint16_t chan, bool initLevel,
                                      std::vector<TSTime64> times) {
  MemChannel& c = AddEvents(chan, vslk64::Level, std::move(times));
  c.initLevel = initLevel;
  return c;
}

MemChannel& MemoryRecording::AddMarkers(uint16_t chan, std::vector<MemItem> items) {
  MemChannel& c = Chan(chan);
  c.kind = vslk64::Marker;
  c.items = std::move(items);
  return c;
}

MemChannel& MemoryRecording::AddWaveMarks(uint16_t chan, uint64_t rows, uint64_t cols,
                                          TSTime64 divide, std::vector<MemItem> items) {
  MemChannel& c = Chan(chan);
  c.kind = vslk64::WaveMark;
  c.rows = rows;
  c.cols = cols;
  c.divide = divide;
  c.items = std::move(items);
  for (MemItem& item : c.items) item.payload.resize(rows * cols * sizeof(int16_t));
  return c;
}

MemChannel& MemoryRecording::AddRealMarks(uint16_t chan, uint64_t rows,
                                          std::vector<MemItem> items) {
  MemChannel& c = Chan(chan);
  c.kind = vslk64::RealMark;
  c.rows = rows;
  c.items = std::move(items);
  for (MemItem& item : c.items) item.payload.resize(rows * sizeof(float));
  return c;
}

MemChannel& MemoryRecording::AddTextMarks(uint16_t chan, uint64_t maxChars,
                                          std::vector<MemItem> items) {
  MemChannel& c = Chan(chan);
  c.kind = vslk64::TextMark;
  c.rows = maxChars;
  c.items = std::move(items);
  for (MemItem& item : c.items) item.payload.resize(maxChars);
  return c;
}

MemChannel& MemoryRecording::AddAdc(uint16_t chan, TSTime64 divide, double scale,
                                    double offset) {
  MemChannel& c = Chan(chan);
  c.kind = vslk64::Adc;
  c.divide = divide;
  c.scale = scale;
  c.offset = offset;
  return c;
}

MemChannel& MemoryRecording::AddRealWave(uint16_t chan, TSTime64 divide) {
  MemChannel& c = Chan(chan);
  c.kind = vslk64::RealWave;
  c.divide = divide;
  return c;
}

void MemoryRecording::AddRun(uint16_t chan, TSTime64 start, const std::vector<int16_t>& samples) {
  MemChannel& c = Chan(chan);
  for (size_t i = 0; i < samples.size(); ++i) {
    c.sampleAt.push_back(start + static_cast<TSTime64>(i) * c.divide);
    c.shorts.push_back(samples[i]);
  }
}

void MemoryRecording::AddRealRun(uint16_t chan, TSTime64 start, const std::vector<float>& samples) {
  MemChannel& c = Chan(chan);
  for (size_t i = 0; i < samples.size(); ++i) {
    c.sampleAt.push_back(start + static_cast<TSTime64>(i) * c.divide);
    c.reals.push_back(samples[i]);
  }
}

std::vector<unsigned char> MemoryRecording::Shorts(const std::vector<int16_t>& values) {
  std::vector<unsigned char> bytes(values.size() * sizeof(int16_t));
  if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

std::vector<unsigned char> MemoryRecording::Floats(const std::vector<float>& values) {
  std::vector<unsigned char> bytes(values.size() * sizeof(float));
  if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

std::vector<unsigned char> MemoryRecording::Text(const std::string& text) {
  return std::vector<unsigned char>(text.begin(), text.end());
}

int MemoryRecording::TotalReads() const {
  int total = 0;
  for (const MemChannel& c : chans_) total += c.reads;
  return total;
}

void MemoryRecording::ResetReads() {
  for (MemChannel& c : chans_) c.reads = 0;
}

// --- File and channel properties -------------------------------------------

int MemoryRecording::GetFileComment(int n, int bufSize, char* buf) {
  if (n < 0 || n > 7) return vslk64::kErrBadArg;
  return CopyOut(n == 0 ? comment : std::string(), bufSize, buf);
}

int MemoryRecording::AppID(vslk64::TAppID* get, const vslk64::TAppID*) {
  if (get) *get = appId;
  return 0;
}

int MemoryRecording::TimeDate(vslk64::TTimeDate* get, const vslk64::TTimeDate*) {
  if (get) *get = timeDate;
  return timeDate.year != 0 ? 1 : 0;
}

TSTime64 MemoryRecording::MaxTime(bool) {
  if (maxTimeOverride > -2) return maxTimeOverride;
  TSTime64 last = -1;
  for (uint16_t c = 0; c < chans_.size(); ++c) last = std::max(last, ChanMaxTime(c));
  return last;
}

MemChannel* MemoryRecording::Used(uint16_t chan) {
  if (chan >= chans_.size() || chans_[chan].kind == vslk64::ChanOff) return nullptr;
  return &chans_[chan];
}

vslk64::TDataKind MemoryRecording::ChanKind(uint16_t chan) {
  const MemChannel* c = Used(chan);
  return c ? c->kind : vslk64::ChanOff;
}

TSTime64 MemoryRecording::ChanDivide(uint16_t chan) {
  const MemChannel* c = Used(chan);
  return c ? c->divide : 1;
}

int MemoryRecording::GetChanComment(uint16_t chan, int bufSize, char* buf) {
  const MemChannel* c = Used(chan);
  return c ? CopyOut(c->comment, bufSize, buf) : vslk64::kErrNoChannel;
}

int MemoryRecording::GetChanTitle(uint16_t chan, int bufSize, char* buf) {
  const MemChannel* c = Used(chan);
  return c ? CopyOut(c->title, bufSize, buf) : vslk64::kErrNoChannel;
}

int MemoryRecording::GetChanUnits(uint16_t chan, int bufSize, char* buf) {
  const MemChannel* c = Used(chan);
  return c ? CopyOut(c->units, bufSize, buf) : vslk64::kErrNoChannel;
}

int MemoryRecording::GetChanScale(uint16_t chan, double* scale) {
  const MemChannel* c = Used(chan);
  if (c == nullptr) return vslk64::kErrNoChannel;
  const bool scaled = c->kind == vslk64::Adc || c->kind == vslk64::WaveMark ||
                      c->kind == vslk64::RealWave;
  if (scale) *scale = scaled ? c->scale : 1.0;
  return 0;
}

int MemoryRecording::GetChanOffset(uint16_t chan, double* offset) {
  const MemChannel* c = Used(chan);
  if (c == nullptr) return vslk64::kErrNoChannel;
  const bool scaled = c->kind == vslk64::Adc || c->kind == vslk64::WaveMark ||
                      c->kind == vslk64::RealWave;
  if (offset) *offset = scaled ? c->offset : 0.0;
  return 0;
}

TSTime64 MemoryRecording::ChanMaxTime(uint16_t chan) {
  const MemChannel* c = Used(chan);
  if (c == nullptr) return vslk64::kErrNoChannel;
  if (!c->times.empty()) return c->times.back();
  if (!c->items.empty()) return c->items.back().time;
  if (!c->sampleAt.empty()) return c->sampleAt.back();
  return -1;
}

int MemoryRecording::GetChanYRange(uint16_t chan, double* low, double* high) {
  const MemChannel* c = Used(chan);
  if (c == nullptr) return vslk64::kErrNoChannel;
  if (low) *low = c->yLow;
  if (high) *high = c->yHigh;
  return 0;
}

int MemoryRecording::ItemSize(uint16_t chan) {
  const MemChannel* c = Used(chan);
  if (c == nullptr) return vslk64::kErrNoChannel;
  if (c->itemSizeOverride != 0) return c->itemSizeOverride;
  uint64_t payload = 0;
  switch (c->kind) {
    case vslk64::Adc: return 2;
    case vslk64::RealWave: return 4;
    case vslk64::EventA:
    case vslk64::EventB: return 8;
    case vslk64::WaveMark: payload = c->rows * c->cols * 2; break;
    case vslk64::RealMark: payload = c->rows * c->cols * 4; break;
    case vslk64::TextMark: payload = c->rows; break;
    default: break;  // Level, Marker: a bare TMarker
  }
  return static_cast<int>((16 + payload + 7) / 8 * 8);
}

int MemoryRecording::GetExtMarkInfo(uint16_t chan, uint64_t* rows, uint64_t* cols) {
  const MemChannel* c = Used(chan);
  if (c == nullptr) return vslk64::kErrNoChannel;
  if (c->kind < vslk64::WaveMark || c->kind > vslk64::TextMark) return vslk64::kErrWrongKind;
  if (rows) *rows = c->rows;
  if (cols) *cols = c->kind == vslk64::TextMark ? 1 : c->cols;
  return c->preTrig;
}

// --- Reads ------------------------------------------------------------------

MemChannel* MemoryRecording::ReadChannel(uint16_t chan, int* status) {
  MemChannel* c = Used(chan);
  *status = vslk64::kErrNoChannel;
  if (c == nullptr) return nullptr;
  ++c->reads;
  *status = vslk64::kErrRead;
  const bool fail = c->failReads || (c->failAfterReads >= 0 && c->reads > c->failAfterReads);
  return fail ? nullptr : c;
}

std::vector<size_t> MemoryRecording::Select(const MemChannel& c, int max, TSTime64 tFrom,
                                            TSTime64 tUpto, const CMarkFilter* filter) const {
  std::vector<size_t> found;
  if (max < 1 || tFrom >= tUpto || tUpto < 0) return found;
  if (IsItemKind(c.kind)) {
    for (size_t i = 0; i < c.items.size() && found.size() < static_cast<size_t>(max); ++i) {
      const MemItem& item = c.items[i];
      if (item.time >= tFrom && item.time < tUpto && Passes(filter, item.code)) {
        found.push_back(i);
      }
    }
  } else {
    for (size_t i = 0; i < c.times.size() && found.size() < static_cast<size_t>(max); ++i) {
      if (c.times[i] >= tFrom && c.times[i] < tUpto) found.push_back(i);
    }
  }
  return found;
}

int MemoryRecording::ReadEvents(uint16_t chan, TSTime64* times, int max, TSTime64 tFrom,
                                TSTime64 tUpto, const CMarkFilter* filter) {
  int status;
  MemChannel* c = ReadChannel(chan, &status);
  if (c == nullptr) return status;
  if (c->kind == vslk64::Adc || c->kind == vslk64::RealWave) return vslk64::kErrWrongKind;
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
  if (level) *level = c->initLevel ^ (before & 1);
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

int MemoryRecording::ReadRun(MemChannel& c, int max, TSTime64 tFrom, TSTime64 tUpto,
                             TSTime64* tFirst, const CMarkFilter* filter,
                             std::vector<double>* values, std::vector<int16_t>* raw) const {
  if (max < 1 || tFrom >= tUpto || tUpto < 0) return 0;
  auto put = [&](TSTime64 t, double value, int16_t sample) {
    if (values->empty() && tFirst) *tFirst = t;
    values->push_back(value);
    raw->push_back(sample);
  };
  if (c.kind == vslk64::Adc || c.kind == vslk64::RealWave) {
    size_t i = static_cast<size_t>(
        std::lower_bound(c.sampleAt.begin(), c.sampleAt.end(), tFrom) - c.sampleAt.begin());
    for (; i < c.sampleAt.size() && c.sampleAt[i] < tUpto && values->size() < size_t(max); ++i) {
      if (!values->empty() && c.sampleAt[i] != c.sampleAt[i - 1] + c.divide) break;  // a gap
      if (c.kind == vslk64::Adc) {
        put(c.sampleAt[i], c.shorts[i] * (c.scale * 0.000152587890625) + c.offset, c.shorts[i]);
      } else {
        put(c.sampleAt[i], c.reals[i], ToShort(c.reals[i], c.scale, c.offset));
      }
    }
    return static_cast<int>(values->size());
  }
  // WaveMark read as a waveform: one trace (the filter's column, else 0) of
  // the items that pass the filter, each item's points divide ticks apart.
  const int column = filter ? filter->GetColumn() : 0;
  const uint64_t trace = column < 0 || static_cast<uint64_t>(column) >= c.cols ? 0 : column;
  TSTime64 t = tFrom;
  for (const MemItem& item : c.items) {
    if (!Passes(filter, item.code) || c.rows == 0) continue;
    if (item.time + static_cast<TSTime64>(c.rows - 1) * c.divide < t) continue;
    uint64_t j = item.time < t ? static_cast<uint64_t>((t - item.time + c.divide - 1) / c.divide) : 0;
    TSTime64 at = item.time + static_cast<TSTime64>(j) * c.divide;
    if (!values->empty() && at != t) break;  // the next item does not continue the run
    for (; j < c.rows; ++j, at += c.divide) {
      if (at >= tUpto || values->size() == size_t(max)) return static_cast<int>(values->size());
      int16_t s;
      std::memcpy(&s, item.payload.data() + 2 * (j * c.cols + trace), sizeof s);
      put(at, s * (c.scale * 0.000152587890625) + c.offset, s);
    }
    t = at;
  }
  return static_cast<int>(values->size());
}

int MemoryRecording::ReadWaveF(uint16_t chan, float* data, int max, TSTime64 tFrom,
                               TSTime64 tUpto, TSTime64* tFirst, const CMarkFilter* filter) {
  int status;
  MemChannel* c = ReadChannel(chan, &status);
  if (c == nullptr) return status;
  if (c->kind != vslk64::Adc && c->kind != vslk64::RealWave && c->kind != vslk64::WaveMark) {
    return vslk64::kErrWrongKind;
  }
  std::vector<double> values;
  std::vector<int16_t> raw;
  const int n = ReadRun(*c, max, tFrom, tUpto, tFirst, filter, &values, &raw);
  for (int i = 0; i < n; ++i) data[i] = static_cast<float>(values[i]);
  return n;
}

int MemoryRecording::ReadWaveS(uint16_t chan, int16_t* data, int max, TSTime64 tFrom,
                               TSTime64 tUpto, TSTime64* tFirst, const CMarkFilter* filter) {
  int status;
  MemChannel* c = ReadChannel(chan, &status);
  if (c == nullptr) return status;
  if (c->kind != vslk64::Adc && c->kind != vslk64::RealWave && c->kind != vslk64::WaveMark) {
    return vslk64::kErrWrongKind;
  }
  std::vector<double> values;
  std::vector<int16_t> raw;
  const int n = ReadRun(*c, max, tFrom, tUpto, tFirst, filter, &values, &raw);
  for (int i = 0; i < n; ++i) data[i] = raw[i];
  return n;
}

uint32_t OpenInLayer(std::unique_ptr<MemoryRecording> rec, const char* path) {
  uint32_t fileId = 0;
  nsv::NsAdoptFile(path, std::move(rec), &fileId);
  return fileId;
}

}  // namespace nsv_test
