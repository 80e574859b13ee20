// Recordings for the tests of the Neuroshare layer: laid out by the byte
// builder (tests/builder/recording.h) in an in-memory file system, opened
// read-only as 64-bit format files, and handed to the layer as ns_OpenFile
// hands the file it opened. The file object is a WatchedFile: it counts the
// layer's event, extended-marker and waveform reads per channel and can make
// them fail or (event reads) come back short,
// records its close and destruction in a FileProbe the test keeps (alive
// whichever goes first), and can report values no writer stores (an unknown
// kind, a clock of zero, an item size that does not fit the channel, more
// channel slots than channel numbers).
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "filelib/orfx/kel64_file.h"
#include "neuroshare/ns_file_table.h"
#include "neuroshare/ns_open.h"
#include "platform/file.h"
#include "tests/builder/recording.h"
#include "tests/support/memory_files.h"

namespace nsv_test {

using recording_test::Channel;
using recording_test::ExtMarker;
using recording_test::Recording;
using vslk64::TSTime64;

struct FileProbe {
  int closeCalls = 0;
  bool destroyed = false;
};

class WatchedFile : public vslk64::TKel64File {
 public:
  explicit WatchedFile(std::shared_ptr<FileProbe> probe) : probe_(std::move(probe)) {}
  ~WatchedFile() override { probe_->destroyed = true; }

  std::map<uint16_t, int> reads;      // data reads made, by channel
  std::map<uint16_t, int> failAfter;  // reads of a channel after this many fail
  std::map<uint16_t, bool> short_;    // event reads of a channel lose their last time
  std::map<uint16_t, vslk64::TDataKind> kinds;
  std::map<uint16_t, TSTime64> divides;
  std::map<uint16_t, int> itemSizes;
  std::optional<double> timeBase;
  std::optional<TSTime64> maxTime;  // the stored maximum; the layer also scans the data
  std::optional<int> maxChans;      // channel slots
  int closeResult = 0;              // what Close reports

  int Close() override {
    ++probe_->closeCalls;
    TKel64File::Close();
    return closeResult;
  }
  double GetTimeBase() override { return timeBase ? *timeBase : TKel64File::GetTimeBase(); }
  TSTime64 MaxTime(bool scan) override { return maxTime ? *maxTime : TKel64File::MaxTime(scan); }
  int MaxChans() override { return maxChans ? *maxChans : TKel64File::MaxChans(); }
  vslk64::TDataKind ChanKind(uint16_t c) override {
    return kinds.count(c) ? kinds[c] : TKel64File::ChanKind(c);
  }
  TSTime64 ChanDivide(uint16_t c) override {
    return divides.count(c) ? divides[c] : TKel64File::ChanDivide(c);
  }
  int ItemSize(uint16_t c) override {
    return itemSizes.count(c) ? itemSizes[c] : TKel64File::ItemSize(c);
  }

  int ReadEvents(uint16_t c, TSTime64* times, int max, TSTime64 from, TSTime64 upto,
                 const vslk64::CMarkFilter* filter) override {
    if (!Counted(c)) return vslk64::kErrRead;
    const int n = TKel64File::ReadEvents(c, times, max, from, upto, filter);
    return short_[c] && n > 0 ? n - 1 : n;
  }
  int ReadExtMarks(uint16_t c, vslk64::TExtMark* items, int max, TSTime64 from, TSTime64 upto,
                   const vslk64::CMarkFilter* filter) override {
    return Counted(c) ? TKel64File::ReadExtMarks(c, items, max, from, upto, filter)
                      : vslk64::kErrRead;
  }
  int ReadWaveD(uint16_t c, double* data, int max, TSTime64 from, TSTime64 upto,
                TSTime64* first) override {
    return Counted(c) ? TKel64File::ReadWaveD(c, data, max, from, upto, first) : vslk64::kErrRead;
  }
  int ReadWaveRuns(uint16_t c, TSTime64 from, vslk64::CWaveRunSink& sink) override {
    return Counted(c) ? TKel64File::ReadWaveRuns(c, from, sink) : vslk64::kErrRead;
  }

 private:
  bool Counted(uint16_t c) {
    ++reads[c];
    return !failAfter.count(c) || reads[c] <= failAfter[c];
  }

  std::shared_ptr<FileProbe> probe_;
};

// Channel builders: events, level changes or markers (kinds 2 to 5), a
// waveform (kinds 1 and 9) of runs of 16-bit samples, extended markers
// (kinds 6 to 8).
inline Channel Events(int kind, std::vector<int64_t> times, std::string title = "") {
  Channel c;
  c.kind = kind;
  c.title = std::move(title);
  c.times = std::move(times);
  return c;
}
// Times 0, step, 2 × step, ...: n of them.
inline std::vector<int64_t> Every(int64_t step, size_t n) {
  std::vector<int64_t> times(n);
  for (size_t i = 0; i < n; ++i) times[i] = step * static_cast<int64_t>(i);
  return times;
}
inline Channel Wave(int kind, int64_t divide, double scale = 1.0) {
  Channel c;
  c.kind = kind;
  c.divide = divide;
  c.scale = scale;
  return c;
}
// Appends a run of samples (16-bit for kind 1, as floats for kind 9).
inline void AddRun(Channel& c, int64_t start, const std::vector<int16_t>& samples) {
  recording_test::WaveRun run;
  run.start = start;
  if (c.kind == 1) run.shorts = samples;
  if (c.kind != 1) run.floats.assign(samples.begin(), samples.end());
  c.runs.push_back(std::move(run));
}
inline Channel ExtMarks(int kind, uint16_t rows, uint16_t cols, std::vector<ExtMarker> items,
                        int64_t divide = 1, double scale = 1.0, double offset = 0.0) {
  Channel c = Wave(kind, divide, scale);
  c.rows = rows;
  c.cols = cols;
  c.offset = offset;
  c.extMarks = std::move(items);
  return c;
}
inline ExtMarker Ext(int64_t time, std::vector<uint8_t> codes) {
  ExtMarker m;
  m.time = time;
  for (size_t k = 0; k < codes.size() && k < 4; ++k) m.code[k] = codes[k];
  return m;
}

// Tests that open builder recordings in the layer. Every file lives in
// files_ (created 2020-01-02 03:04:05).
class LayerTest : public ::testing::Test {
 protected:
  void SetUp() override { nsv::NsCloseAllFiles(); }
  void TearDown() override { nsv::NsCloseAllFiles(); }

  // Writes rec, opens it as a WatchedFile (kept in file_), lets `prepare`
  // set it up and hands it to the layer. The handle, or 0 when refused.
  uint32_t Open(const Recording& rec, const std::function<void(WatchedFile&)>& prepare = nullptr,
                const char* path = "/data/run.orfx",
                std::shared_ptr<FileProbe> probe = std::make_shared<FileProbe>()) {
    EXPECT_TRUE(recording_test::WriteOrfx(rec, path));
    auto file = std::make_unique<WatchedFile>(std::move(probe));
    EXPECT_EQ(file->Open(path, vslk64::kOpenReadOnly, 0), 0);
    if (prepare) prepare(*file);
    file_ = file.get();
    uint32_t fileId = 0;
    nsv::NsAdoptFile(path, std::move(file), &fileId);
    return fileId;
  }

  testing_support::MemoryFiles files_;
  platform::ScopedFileSystem scoped_{&files_};
  WatchedFile* file_ = nullptr;
};

}  // namespace nsv_test
