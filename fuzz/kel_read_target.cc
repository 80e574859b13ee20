// CKel64File's read operations over a file image from the fuzzer's input:
// the input's first two bytes give the length of a script of read calls
// (ranges, filters, buffer sizes and channels all taken from it), the rest is
// the image (zero-run coded, fuzz/image_code.h), opened read-only. Every count
// returned must fit the buffer, and nothing may write to the image.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "filelib/kel64_file.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/image_code.h"
#include "fuzz/targets.h"
#include "platform/file.h"
#include "tests/support/memory_files.h"

namespace nsv_fuzz {
namespace {

using vslk64::CKel64File;
using vslk64::CMarkFilter;
using vslk64::TSTime64;

constexpr int kMaxCalls = 48;
constexpr uint32_t kMaxItems = 2048;
// Bytes of extended-marker buffer one call may use, whatever item size the
// file claims.
constexpr uint64_t kMaxItemBytes = 1 << 20;

// A marker filter set from the script: a mode, layers and a few codes.
void MakeFilter(FuzzInput& in, CMarkFilter* filter) {
  filter->SetMode(in.U8() & 1);
  filter->SetLayerCount(in.U8() % 6);
  filter->SetColumn(in.U8() % 4);
  for (int n = in.U8() % 4; n > 0; --n) {
    filter->SetItem(in.U8() % 5 - 1, static_cast<int>(in.U16() % 260) - 1, in.U8() % 3 - 1);
  }
}

class CountingSink : public vslk64::CWaveRunSink {
 public:
  explicit CountingSink(int limit) : limit_(limit) {}
  bool Put(TSTime64, uint64_t) override { return ++runs_ < limit_; }

 private:
  int limit_;
  int runs_ = 0;
};

void Text(int (CKel64File::*get)(uint16_t, int, char*), CKel64File& f, uint16_t chan,
          FuzzInput& in) {
  const int size = static_cast<int>(in.U16() % 300) - 1;  // -1 and 0 too
  std::vector<char> buf(static_cast<size_t>(std::max(size, 1)));
  const int r = (f.*get)(chan, size, size > 0 ? buf.data() : nullptr);
  if (r >= 0 && size > 0) {
    Check(std::memchr(buf.data(), 0, buf.size()) != nullptr, "a text read is terminated");
  }
}

void Settings(CKel64File& f, uint16_t chan, FuzzInput& in) {
  double a = 0, b = 0;
  uint64_t rows = 0, cols = 0;
  f.ChanKind(chan);
  f.ChanDivide(chan);
  f.IdealRate(chan, -1.0);
  f.PhyChan(chan);
  f.GetChanScale(chan, &a);
  f.GetChanOffset(chan, &a);
  f.GetChanYRange(chan, &a, &b);
  f.ItemSize(chan);
  f.GetExtMarkInfo(chan, &rows, &cols);
  f.ChanMaxTime(chan);
  f.ChanBytes(chan);
  f.IsSaving(chan);
  f.MaxTime(in.Bool());
  f.GetTimeBase();
  vslk64::TAppID app;
  f.AppID(&app, nullptr);
  vslk64::TTimeDate date;
  f.TimeDate(&date, nullptr);
  f.GetVersion();
  f.FileSize();
  f.CanWrite();
  f.IsModified();
  const uint32_t bytes = in.U16() % 4096;
  const uint32_t offset = in.U32() % 70000;
  std::vector<uint8_t> extra(std::max<uint32_t>(bytes, 1));
  f.GetExtraData(extra.data(), bytes, offset);
  f.GetExtraDataSize();
  char comment[100];
  f.GetFileComment(static_cast<int>(in.U8() % 10) - 1, sizeof comment, comment);
}

void OneCall(CKel64File& f, FuzzInput& in) {
  const uint8_t op = in.U8();
  const uint16_t chan = static_cast<uint16_t>(in.Below(static_cast<uint32_t>(f.MaxChans()) + 2));
  const int max = static_cast<int>(in.Below(kMaxItems + 1));
  const TSTime64 from = in.Time();
  const TSTime64 upto = in.Time();
  CMarkFilter filter;
  const CMarkFilter* filt = nullptr;
  if (op & 0x80) {
    MakeFilter(in, &filter);
    filt = &filter;
  }
  const size_t room = static_cast<size_t>(std::max(max, 1));
  switch ((op & 0x7f) % 12) {
    case 0: {
      std::vector<TSTime64> times(room);
      const int n = f.ReadEvents(chan, times.data(), max, from, upto, filt);
      Check(n <= max, "events fit the buffer");
      break;
    }
    case 1: {
      std::vector<vslk64::TMarker> items(room);
      const int n = f.ReadMarkers(chan, items.data(), max, from, upto, filt);
      Check(n <= max, "markers fit the buffer");
      break;
    }
    case 2: {
      std::vector<TSTime64> times(room);
      bool level = false;
      const int n = f.ReadLevels(chan, times.data(), max, from, upto, &level);
      Check(n <= max, "levels fit the buffer");
      break;
    }
    case 3: {
      const int itemSize = f.ItemSize(chan);
      if (itemSize < static_cast<int>(sizeof(vslk64::TExtMark))) break;
      const uint64_t fit = kMaxItemBytes / static_cast<uint64_t>(itemSize);
      const int capped = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(max), fit));
      // Whole items of the channel's size, aligned for the 16-byte head.
      const size_t words = (static_cast<size_t>(std::max(capped, 1)) * itemSize + 7) / 8;
      std::vector<uint64_t> buf(words);
      const int n = f.ReadExtMarks(chan, reinterpret_cast<vslk64::TExtMark*>(buf.data()),
                                   capped, from, upto, filt);
      Check(n <= capped, "extended markers fit the buffer");
      break;
    }
    case 4: {
      std::vector<float> data(room);
      TSTime64 first = -1;
      const int n = f.ReadWaveF(chan, data.data(), max, from, upto, &first, filt);
      Check(n <= max, "real samples fit the buffer");
      break;
    }
    case 5: {
      std::vector<int16_t> data(room);
      TSTime64 first = -1;
      const int n = f.ReadWaveS(chan, data.data(), max, from, upto, &first, filt);
      Check(n <= max, "short samples fit the buffer");
      break;
    }
    case 6: {
      std::vector<double> data(room);
      TSTime64 first = -1;
      const int n = f.ReadWaveD(chan, data.data(), max, from, upto, &first);
      Check(n <= max, "double samples fit the buffer");
      break;
    }
    case 7:
      f.PrevNTime(chan, from, upto, in.U16(), filt, in.Bool());
      break;
    case 8:
      Text(&CKel64File::GetChanTitle, f, chan, in);
      Text(&CKel64File::GetChanUnits, f, chan, in);
      Text(&CKel64File::GetChanComment, f, chan, in);
      break;
    case 9:
      Settings(f, chan, in);
      break;
    case 10: {
      CountingSink sink(1 + in.U8() % 16);
      f.ReadWaveRuns(chan, from, sink);
      break;
    }
    default: {
      std::vector<TSTime64> times(room);
      f.NoSaveList(chan, times.data(), static_cast<uint32_t>(max), from, upto);
      break;
    }
  }
}

void KelRead(const uint8_t* data, size_t size, std::unique_ptr<CKel64File> f, const char* path) {
  FuzzInput head(data, size);
  const size_t scriptBytes = std::min<size_t>(head.U16(), size >= 2 ? size - 2 : 0);
  const uint8_t* script = data + std::min<size_t>(size, 2);
  const uint8_t* coded = script + scriptBytes;
  std::vector<Piece> image;
  DecodeImage(coded, size - static_cast<size_t>(coded - data), &image);

  testing_support::MemoryFiles files;
  files.PutView(path, image);
  platform::ScopedFileSystem scoped(&files);
  if (f->Open(path, 1, 0) == vslk64::kOk) {
    Check(!f->CanWrite(), "a file opened read-only cannot be written");
    FuzzInput in(script, scriptBytes);
    for (int call = 0; call < kMaxCalls && !in.Empty(); ++call) OneCall(*f, in);
    f->Close();
  }
  f.reset();
  // The image is reachable only through read-only handles that refuse and
  // count every write.
  Check(files.readOnlyWrites == 0, "nothing writes to a file opened read-only");
}

}  // namespace

void Kel64Read(const uint8_t* data, size_t size) {
  KelRead(data, size, vslk64::NewKel64File(), "/fuzz/image.orfx");
}
void Kel32Read(const uint8_t* data, size_t size) {
  KelRead(data, size, vslk64::NewKel32File(), "/fuzz/image.orf");
}

}  // namespace nsv_fuzz
