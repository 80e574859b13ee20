// Recorder: one channel of a file being written, of any kind that holds
// item times or samples, driven through items of one shape (a time and a
// 32-bit value: the codes of markers, the first payload word of extended
// markers, a sample). Shared by the tests that write and read back items
// of every kind alike, in one channel of a file of its own or in several
// channels of one file.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "filelib/kel64_file.h"
#include "filelib/status.h"

namespace vslk64 {
namespace chantest {

struct Item {
  TSTime64 time;
  uint32_t value;  // codes (markers), payload (extended markers) or sample
  bool saved;
};

inline bool operator==(const Item& a, const Item& b) {
  return a.time == b.time && a.value == b.value;
}

// One kind of channel: how it is made, written and read.
struct Kind {
  const char* name;
  TDataKind kind;
  bool wave;
};

constexpr TSTime64 kWaveDivide = 3;  // of the waveform channels made here

// One of each kind these helpers write.
inline const Kind kAllKinds[] = {{"events", EventA, false},
                                 {"markers", Marker, false},
                                 {"text marks", TextMark, false},
                                 {"16-bit waveform", Adc, true},
                                 {"float waveform", RealWave, true}};

inline int ItemSize(TDataKind kind) {
  return kind == EventA ? 8 : kind == Marker ? 16 : kind == TextMark ? 24 : kind == Adc ? 2 : 4;
}

// Makes channel `chan` of the kind (text marks of 8 characters, waveforms
// sampled every kWaveDivide ticks); returns the status.
inline int MakeChannel(CKel64File& f, uint16_t chan, TDataKind kind) {
  return kind == EventA     ? f.SetEventChan(chan, 100, EventA, 0)
         : kind == Marker   ? f.SetMarkerChan(chan, 100, Marker, 0)
         : kind == TextMark ? f.SetTextMarkChan(chan, 100, 8, 0)
                            : f.SetWaveChan(chan, kWaveDivide, kind, 0, 0);
}

// Appends items (or samples from their first time); returns the status
// (for samples: the time after the last).
inline TSTime64 WriteItems(CKel64File& f, uint16_t chan, const Kind& k,
                           const std::vector<Item>& items) {
  const size_t n = items.size();
  if (k.wave) {
    std::vector<int16_t> s(n);
    std::vector<float> fl(n);
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<int16_t>(items[i].value);
    for (size_t i = 0; i < n; ++i) fl[i] = static_cast<float>(items[i].value);
    return k.kind == Adc ? f.WriteWaveS(chan, s.data(), n, items[0].time)
                         : f.WriteWaveF(chan, fl.data(), n, items[0].time);
  }
  const size_t size = static_cast<size_t>(ItemSize(k.kind));
  std::vector<uint8_t> bytes(n * size, 0);
  for (size_t i = 0; i < n; ++i) {
    std::memcpy(&bytes[i * size], &items[i].time, 8);
    if (size > 8) std::memcpy(&bytes[i * size + 8], &items[i].value, 4);
  }
  return k.kind == EventA   ? f.WriteEvents(chan, reinterpret_cast<TSTime64*>(bytes.data()), n)
         : k.kind == Marker ? f.WriteMarkers(chan, reinterpret_cast<TMarker*>(bytes.data()), n)
                            : f.WriteExtMarks(chan, reinterpret_cast<TExtMark*>(bytes.data()), n);
}

// Everything in [from, upto), at most max items (samples: every stretch).
inline std::vector<Item> ReadItems(CKel64File& f, uint16_t chan, const Kind& k, TSTime64 from,
                                   TSTime64 upto, int max) {
  std::vector<Item> out;
  if (k.wave) {
    std::vector<float> floats(static_cast<size_t>(max));
    std::vector<int16_t> shorts(static_cast<size_t>(max));
    for (;;) {
      TSTime64 first = -1;
      const int n = k.kind == Adc
                        ? f.ReadWaveS(chan, shorts.data(), max, from, upto, &first, nullptr)
                        : f.ReadWaveF(chan, floats.data(), max, from, upto, &first, nullptr);
      EXPECT_GE(n, 0);
      if (n <= 0) return out;
      for (int i = 0; i < n; ++i) {
        const int32_t v = k.kind == Adc ? shorts[i] : static_cast<int32_t>(floats[i]);
        out.push_back({first + i * kWaveDivide, static_cast<uint32_t>(v), true});
      }
      from = first + n * kWaveDivide;
    }
  }
  const size_t size = static_cast<size_t>(ItemSize(k.kind));
  std::vector<uint8_t> bytes(static_cast<size_t>(max) * size);
  uint8_t* p = bytes.data();
  const int n =
      k.kind == EventA
          ? f.ReadEvents(chan, reinterpret_cast<TSTime64*>(p), max, from, upto, nullptr)
      : k.kind == Marker
          ? f.ReadMarkers(chan, reinterpret_cast<TMarker*>(p), max, from, upto, nullptr)
          : f.ReadExtMarks(chan, reinterpret_cast<TExtMark*>(p), max, from, upto, nullptr);
  EXPECT_GE(n, 0);
  for (int i = 0; i < n; ++i) {
    Item it{0, 0, true};
    std::memcpy(&it.time, &bytes[i * size], 8);
    if (size > 8) std::memcpy(&it.value, &bytes[i * size + 8], 4);
    out.push_back(it);
  }
  return out;
}

// One channel, kChan, of a file of its own.
class Recorder {
 public:
  Recorder(const Kind& k, const std::string& path) : k_(k), path_(path) {}

  int ItemSize() const { return chantest::ItemSize(k_.kind); }

  void Create(uint64_t capacity) {
    f_ = NewKel64File();
    ASSERT_EQ(f_->Create(path_.c_str(), 32, 0), kOk);
    ASSERT_EQ(MakeChannel(*f_, kChan, k_.kind), kOk);
    Resize(capacity);
  }
  void Resize(uint64_t capacity) {
    f_->SetBuffering(kChan, 0, 0.0);  // a size is given only to a channel without one
    f_->SetBuffering(kChan, capacity * static_cast<uint64_t>(ItemSize()), 0.0);
  }

  // Appends items (or samples from their first time); returns the status.
  TSTime64 Write(const std::vector<Item>& items) { return WriteItems(*f_, kChan, k_, items); }

  // Everything in [from, upto), at most max items (samples: every stretch).
  std::vector<Item> Read(CKel64File& f, TSTime64 from, TSTime64 upto, int max) {
    return ReadItems(f, kChan, k_, from, upto, max);
  }

  CKel64File& File() { return *f_; }
  void Close() {
    EXPECT_EQ(f_->Close(), kOk);
    f_.reset();
  }

  static constexpr uint16_t kChan = 3;
  static constexpr TSTime64 kDivide = kWaveDivide;

 private:
  Kind k_;
  std::string path_;
  std::unique_ptr<CKel64File> f_;
};

}  // namespace chantest
}  // namespace vslk64
