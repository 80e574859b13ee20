// CKel64File's writers driven by a script from the fuzzer's input: channels
// of every kind are created, written, overwritten, edited, deleted and
// undeleted, buffered and switched in and out of saving, the file committed
// and closed. A read-only reopen must then accept the file and give back
// what a simple model says was written: exactly, for channels written
// straight to disk; as a subsequence, for channels whose saving or buffering
// was switched (the writer may drop what it was told not to keep).
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "filelib/kel64_file.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/targets.h"
#include "platform/file.h"
#include "tests/support/memory_files.h"

namespace nsv_fuzz {
namespace {

using vslk64::CKel64File;
using vslk64::TDataKind;
using vslk64::TSTime64;

constexpr int kMaxCalls = 64;
constexpr int kChans = 12;

// An item as stored: the 16-byte head (time, codes, padding) and payload.
using Item = std::vector<uint8_t>;

TSTime64 ItemTime(const Item& item) {
  TSTime64 t;
  std::memcpy(&t, item.data(), sizeof t);
  return t;
}

struct Sample {
  TSTime64 time;
  float value;  // whole numbers for Adc channels
  bool operator==(const Sample& o) const { return time == o.time && value == o.value; }
};

struct ModelChan {
  TDataKind kind = vslk64::ChanOff;
  bool exact = true;      // false once saving or buffering could drop data
  bool known = true;      // false after an undelete, whose result is not modelled
  bool deleted = false;
  TSTime64 divide = 1;
  int itemSize = 0;
  size_t dataBytes = 0;   // extended markers: the payload bytes that carry data
  TSTime64 next = 0;      // items: earliest time of the next write; waves: next sample time
  std::vector<TSTime64> times;  // events and level changes
  std::vector<Item> items;      // markers and extended markers
  std::vector<Sample> samples;  // waveforms
};

bool IsWave(TDataKind k) { return k == vslk64::Adc || k == vslk64::RealWave; }
bool IsTimes(TDataKind k) {
  return k == vslk64::EventA || k == vslk64::EventB || k == vslk64::Level;
}
bool IsExt(TDataKind k) {
  return k == vslk64::WaveMark || k == vslk64::RealMark || k == vslk64::TextMark;
}

class Writer {
 public:
  Writer(CKel64File& f, FuzzInput& in) : f_(f), in_(in) {}

  void Run() {
    for (int call = 0; call < kMaxCalls && !in_.Empty(); ++call) OneCall();
  }
  ModelChan& Chan(int c) { return chans_[c]; }

 private:
  void OneCall() {
    const uint8_t op = in_.U8();
    const uint16_t c = static_cast<uint16_t>(in_.Below(kChans));
    ModelChan& m = chans_[c];
    switch (op % 14) {
      case 0: case 1: Create(c); break;
      case 2: case 3: case 4: Write(c, m); break;
      case 5: Overwrite(c, m); break;
      case 6: Edit(c, m); break;
      case 7:
        if (f_.ChanDelete(c) == vslk64::kOk) m.deleted = true;
        break;
      case 8:
        if (f_.ChanUndelete(c, in_.U8() % 3) == vslk64::kOk) {
          m.deleted = false;
          m.known = false;
        }
        break;
      case 9: f_.Commit(in_.U8() % 4); break;
      case 10: {
        const int chan = in_.Bool() ? -1 : c;
        f_.SetBuffering(chan, uint64_t{in_.U16()} * 16, in_.U8() / 16.0);
        Inexact(chan);
        break;
      }
      case 11: {
        const int chan = in_.Bool() ? -1 : c;
        const TSTime64 t = m.next + in_.U16() % 2000;
        if (in_.Bool()) {
          f_.Save(chan, t, in_.Bool());
        } else {
          f_.SaveRange(chan, t, t + in_.U16());
        }
        f_.LatestTime(chan, t);
        Inexact(chan);
        break;
      }
      case 12: Texts(c); break;
      default: {
        std::vector<TSTime64> times(16);
        f_.NoSaveList(c, times.data(), static_cast<uint32_t>(times.size()), 0, m.next + 1000);
        f_.IsSaving(c);
        f_.IsModified();
        f_.SetInitLevel(c, in_.Bool());
        break;
      }
    }
  }

  void Inexact(int chan) {
    for (int c = 0; c < kChans; ++c) {
      if (chan < 0 || chan == c) chans_[c].exact = false;
    }
  }

  void Create(uint16_t c) {
    const TDataKind kind = static_cast<TDataKind>(1 + in_.U8() % 9);
    const double rate = 1.0 + in_.U8();
    const uint32_t phy = in_.U8();
    TSTime64 divide = 1 + in_.U8() % 20;
    int r = vslk64::kErrBadArg;
    switch (kind) {
      case vslk64::Adc: case vslk64::RealWave: r = f_.SetWaveChan(c, divide, kind, rate, phy); break;
      case vslk64::EventA: case vslk64::EventB: r = f_.SetEventChan(c, rate, kind, phy); break;
      case vslk64::Level: r = f_.SetLevelChan(c, rate, phy); break;
      case vslk64::Marker: r = f_.SetMarkerChan(c, rate, kind, phy); break;
      case vslk64::TextMark: r = f_.SetTextMarkChan(c, rate, 1 + in_.U8() % 40, phy); break;
      default: {
        const uint64_t rows = 1 + in_.U8() % 8, cols = 1 + in_.U8() % 4;
        r = f_.SetExtMarkChan(c, rate, kind, rows, cols, phy, divide,
                              static_cast<int>(in_.U8() % rows));
        break;
      }
    }
    if (r != vslk64::kOk) return;
    ModelChan fresh;
    fresh.kind = kind;
    fresh.divide = f_.ChanDivide(c);
    fresh.itemSize = f_.ItemSize(c);
    if (IsExt(kind)) {
      // Items may be padded beyond their points; only the points are data.
      uint64_t rows = 0, cols = 0;
      f_.GetExtMarkInfo(c, &rows, &cols);
      const uint64_t point = kind == vslk64::WaveMark ? 2 : kind == vslk64::RealMark ? 4 : 1;
      fresh.dataBytes = static_cast<size_t>(
          std::min<uint64_t>(rows * cols * point, static_cast<uint64_t>(fresh.itemSize - 16)));
    }
    fresh.exact = !chans_[c].exact ? false : true;
    chans_[c] = fresh;
  }

  void Write(uint16_t c, ModelChan& m) {
    const TDataKind kind = m.kind == vslk64::ChanOff || m.deleted || !m.known
                               ? static_cast<TDataKind>(1 + in_.U8() % 9)
                               : m.kind;
    const bool modelled = m.kind == kind && !m.deleted && m.known;
    const int n = 1 + in_.U8() % 32;
    int r = 0;
    if (IsTimes(kind)) {
      std::vector<TSTime64> times;
      TSTime64 t = m.next;
      for (int i = 0; i < n; ++i, ++t) times.push_back(t += in_.U16() % 1000);
      r = kind == vslk64::Level ? f_.WriteLevels(c, times.data(), times.size())
                                : f_.WriteEvents(c, times.data(), times.size());
      if (modelled && r == vslk64::kOk) {
        m.times.insert(m.times.end(), times.begin(), times.end());
        m.next = t;
      }
    } else if (kind == vslk64::Marker || IsExt(kind)) {
      // Items of the size the channel really has, modelled or not, so that a
      // write never reads past the buffer it is given.
      const int actual = f_.ItemSize(c);
      const size_t size = std::max<size_t>(actual > 0 ? static_cast<size_t>(actual) : 16, 16);
      std::vector<Item> items;
      TSTime64 t = m.next;
      for (int i = 0; i < n; ++i, ++t) {
        t += in_.U16() % 1000;
        items.push_back(MakeItem(kind, size, t, static_cast<int>(size)));
      }
      std::vector<uint64_t> buf((size * items.size() + 7) / 8);
      for (size_t i = 0; i < items.size(); ++i) {
        std::memcpy(reinterpret_cast<uint8_t*>(buf.data()) + i * size, items[i].data(), size);
      }
      r = kind == vslk64::Marker
              ? f_.WriteMarkers(c, reinterpret_cast<const vslk64::TMarker*>(buf.data()), n)
              : f_.WriteExtMarks(c, reinterpret_cast<const vslk64::TExtMark*>(buf.data()), n);
      if (modelled && r == vslk64::kOk) {
        m.items.insert(m.items.end(), items.begin(), items.end());
        m.next = t;
      }
    } else {
      const int count = 1 + in_.U16() % 300;
      const TSTime64 gap = in_.U8() % 4 == 0 ? in_.U8() % 5 : 0;
      const TSTime64 from = m.next + gap * m.divide;
      std::vector<Sample> samples = MakeSamples(kind, count, from, m.divide);
      const TSTime64 end = WriteSamples(c, kind, samples);
      if (modelled && end >= 0) {
        m.samples.insert(m.samples.end(), samples.begin(), samples.end());
        m.next = from + count * m.divide;
      }
    }
  }

  // Writes new values over a stretch of samples already written, inside one
  // contiguous run.
  void Overwrite(uint16_t c, ModelChan& m) {
    if (!IsWave(m.kind) || m.deleted || !m.known || m.samples.empty()) return;
    const size_t at = in_.Below(static_cast<uint32_t>(m.samples.size()));
    size_t run = 1;
    while (at + run < m.samples.size() &&
           m.samples[at + run].time == m.samples[at].time + static_cast<TSTime64>(run) * m.divide &&
           run < 200) {
      ++run;
    }
    const int count = 1 + static_cast<int>(in_.Below(static_cast<uint32_t>(run)));
    std::vector<Sample> samples = MakeSamples(m.kind, count, m.samples[at].time, m.divide);
    if (WriteSamples(c, m.kind, samples) >= 0) {
      for (int i = 0; i < count; ++i) m.samples[at + i] = samples[i];
    }
  }

  void Edit(uint16_t c, ModelChan& m) {
    if (!(m.kind == vslk64::Marker || IsExt(m.kind)) || m.deleted || !m.known ||
        m.items.empty()) {
      return;
    }
    Item& item = m.items[in_.Below(static_cast<uint32_t>(m.items.size()))];
    vslk64::TMarker edit{};
    edit.time = ItemTime(item);
    for (uint8_t& code : edit.code) code = in_.U8();
    if (f_.EditMarker(c, edit.time, &edit, 12) == 1) std::memcpy(&item[8], edit.code, 4);
  }

  void Texts(uint16_t c) {
    std::string text(in_.U8() % 80, static_cast<char>('a' + in_.U8() % 26));
    f_.SetChanTitle(c, text.c_str());
    f_.SetChanUnits(c, text.c_str());
    f_.SetChanComment(c, text.c_str());
    f_.SetChanScale(c, 1.0 + in_.U8());
    f_.SetChanOffset(c, in_.U8() - 128.0);
    f_.SetChanYRange(c, -1.0 * in_.U8(), in_.U8());
    f_.SetFileComment(in_.U8() % 6, text.c_str());
    const uint8_t extra[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    f_.SetExtraData(extra, in_.U8() % 17, in_.U16() % 100);
  }

  Item MakeItem(TDataKind kind, size_t size, TSTime64 t, int itemSize) {
    Item item(size, 0);
    std::memcpy(item.data(), &t, sizeof t);
    for (size_t i = 8; i < 12; ++i) item[i] = in_.U8();
    const uint8_t seed = in_.U8();
    if (kind == vslk64::TextMark) {
      const size_t chars = itemSize > 16 ? seed % static_cast<size_t>(itemSize - 16) : 0;
      for (size_t i = 0; i < chars; ++i) item[16 + i] = static_cast<uint8_t>('A' + (seed + i) % 26);
    } else if (kind == vslk64::RealMark) {
      for (size_t i = 16; i + 4 <= size; i += 4) {
        const float v = static_cast<float>(seed) * 0.5f + static_cast<float>(i);
        std::memcpy(&item[i], &v, 4);
      }
    } else {
      for (size_t i = 16; i < size; ++i) item[i] = static_cast<uint8_t>(seed * 7 + i);
    }
    return item;
  }

  std::vector<Sample> MakeSamples(TDataKind kind, int count, TSTime64 from, TSTime64 divide) {
    std::vector<Sample> samples(static_cast<size_t>(count));
    const int16_t base = static_cast<int16_t>(in_.U16());
    const int step = static_cast<int8_t>(in_.U8());
    for (int i = 0; i < count; ++i) {
      const int16_t whole = static_cast<int16_t>(base + step * i);
      samples[i].time = from + i * divide;
      samples[i].value = kind == vslk64::Adc ? whole : whole / 8.0f;
    }
    return samples;
  }

  TSTime64 WriteSamples(uint16_t c, TDataKind kind, const std::vector<Sample>& samples) {
    if (kind == vslk64::Adc) {
      std::vector<int16_t> s;
      for (const Sample& x : samples) s.push_back(static_cast<int16_t>(x.value));
      return f_.WriteWaveS(c, s.data(), s.size(), samples.front().time);
    }
    std::vector<float> v;
    for (const Sample& x : samples) v.push_back(x.value);
    return f_.WriteWaveF(c, v.data(), v.size(), samples.front().time);
  }

  CKel64File& f_;
  FuzzInput& in_;
  ModelChan chans_[kChans];
};

// got equals want, or (not exact) is a subsequence of it.
template <typename T, typename Eq>
bool Matches(const std::vector<T>& got, const std::vector<T>& want, bool exact, Eq eq) {
  if (exact) {
    return got.size() == want.size() && std::equal(got.begin(), got.end(), want.begin(), eq);
  }
  size_t w = 0;
  for (const T& g : got) {
    while (w < want.size() && !eq(g, want[w])) ++w;
    if (w == want.size()) return false;
    ++w;
  }
  return true;
}

std::vector<Sample> ReadSamples(CKel64File& f, uint16_t chan, TDataKind kind, size_t max) {
  std::vector<Sample> out;
  TSTime64 from = 0;
  const TSTime64 divide = f.ChanDivide(chan);
  std::vector<float> buf(256);
  std::vector<int16_t> shorts(256);
  while (out.size() <= max) {
    TSTime64 first = -1;
    const int n = kind == vslk64::Adc
                      ? f.ReadWaveS(chan, shorts.data(), 256, from, vslk64::kMaxTime64, &first,
                                    nullptr)
                      : f.ReadWaveF(chan, buf.data(), 256, from, vslk64::kMaxTime64, &first,
                                    nullptr);
    Check(n >= 0, "a written waveform reads back");
    if (n == 0) break;
    Check(first >= from, "a waveform read starts at or after its start");
    for (int i = 0; i < n; ++i) {
      out.push_back({first + i * divide, kind == vslk64::Adc ? shorts[i] : buf[i]});
    }
    from = first + n * divide;
  }
  return out;
}

void Compare(CKel64File& f, uint16_t c, const ModelChan& m) {
  if (m.deleted) {
    Check(f.ChanKind(c) == vslk64::ChanOff, "a deleted channel stays deleted");
    return;
  }
  if (!m.known || m.kind == vslk64::ChanOff) return;
  Check(f.ChanKind(c) == m.kind, "a channel keeps its kind");
  if (IsTimes(m.kind)) {
    std::vector<TSTime64> got(m.times.size() + 1);
    bool level = false;
    const int n = m.kind == vslk64::Level
                      ? f.ReadLevels(c, got.data(), static_cast<int>(got.size()), 0,
                                     vslk64::kMaxTime64, &level)
                      : f.ReadEvents(c, got.data(), static_cast<int>(got.size()), 0,
                                     vslk64::kMaxTime64, nullptr);
    Check(n >= 0, "written events read back");
    got.resize(static_cast<size_t>(n));
    Check(Matches(got, m.times, m.exact, [](TSTime64 a, TSTime64 b) { return a == b; }),
          "events read back as written");
  } else if (m.kind == vslk64::Marker || IsExt(m.kind)) {
    const size_t size = static_cast<size_t>(m.itemSize);
    Check(f.ItemSize(c) == m.itemSize, "a channel keeps its item size");
    std::vector<uint64_t> buf(((m.items.size() + 1) * size + 7) / 8);
    const int n = m.kind == vslk64::Marker
                      ? f.ReadMarkers(c, reinterpret_cast<vslk64::TMarker*>(buf.data()),
                                      static_cast<int>(m.items.size() + 1), 0,
                                      vslk64::kMaxTime64, nullptr)
                      : f.ReadExtMarks(c, reinterpret_cast<vslk64::TExtMark*>(buf.data()),
                                       static_cast<int>(m.items.size() + 1), 0,
                                       vslk64::kMaxTime64, nullptr);
    Check(n >= 0, "written markers read back");
    std::vector<Item> got;
    for (int i = 0; i < n; ++i) {
      const uint8_t* p = reinterpret_cast<const uint8_t*>(buf.data()) + i * size;
      got.emplace_back(p, p + size);
    }
    const bool text = m.kind == vslk64::TextMark;
    const size_t data = m.dataBytes;
    auto same = [data, text](const Item& a, const Item& b) {
      if (std::memcmp(a.data(), b.data(), 12) != 0) return false;  // time and codes
      if (text) {
        return strncmp(reinterpret_cast<const char*>(&a[16]), reinterpret_cast<const char*>(&b[16]),
                       data) == 0;
      }
      return std::memcmp(&a[16], &b[16], data) == 0;
    };
    Check(Matches(got, m.items, m.exact, same), "markers read back as written");
  } else if (IsWave(m.kind)) {
    const std::vector<Sample> got = ReadSamples(f, c, m.kind, m.samples.size());
    Check(Matches(got, m.samples, m.exact, [](const Sample& a, const Sample& b) { return a == b; }),
          "samples read back as written");
  }
}

void KelWrite(const uint8_t* data, size_t size, std::unique_ptr<CKel64File> (*make)(),
              const char* path) {
  testing_support::MemoryFiles files;
  platform::ScopedFileSystem scoped(&files);
  FuzzInput in(data, size);
  std::unique_ptr<CKel64File> f = make();
  const uint16_t chans = static_cast<uint16_t>(kChans + in.U8() % 40);
  if (f->Create(path, chans, in.U8() % 2 ? in.U16() % 2048 : 0) != vslk64::kOk) return;
  Writer writer(*f, in);
  writer.Run();
  const int closed = f->Close();
  f.reset();
  if (closed != vslk64::kOk) return;

  std::unique_ptr<CKel64File> back = make();
  Check(back->Open(path, 1, 0) == vslk64::kOk, "a file the writer closed opens read-only");
  for (int c = 0; c < kChans; ++c) Compare(*back, static_cast<uint16_t>(c), writer.Chan(c));
  back->Close();
  Check(files.readOnlyWrites == 0, "nothing writes to a file opened read-only");
}

}  // namespace

void Kel64Write(const uint8_t* data, size_t size) {
  KelWrite(data, size, vslk64::NewKel64File, "/fuzz/written.orfx");
}
void Kel32Write(const uint8_t* data, size_t size) {
  KelWrite(data, size, vslk64::NewKel32File, "/fuzz/written.orf");
}

}  // namespace nsv_fuzz
