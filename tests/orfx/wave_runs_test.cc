// ReadWaveRuns, which walks run heads, against the walk that reads the
// samples (the CKel64File version, built on ReadWaveS), on a file being
// written: data on disk, data still in the write block, gaps on either
// side of the boundary between them, and walks from inside a run.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "filelib/kel64_file.h"
#include "tests/support/temp_dir.h"

namespace vslk64 {
namespace {

struct TCollect : CWaveRunSink {
  std::vector<std::pair<TSTime64, uint64_t>> runs;
  bool Put(TSTime64 first, uint64_t count) override {
    runs.emplace_back(first, count);
    return true;
  }
};

TEST(WaveRuns, RunHeadWalkMatchesTheReadingWalkOnAFileBeingWritten) {
  // A 16-bit block holds 32752 samples of one run; writes that fill blocks
  // put them on disk, the rest stays in the write block.
  const struct {
    const char* what;
    std::vector<std::pair<TSTime64, size_t>> writes;  // first time, samples (divide 4)
  } cases[] = {
      {"contiguous into the write block", {{0, 40000}, {160000, 10}}},
      {"a gap just before the write block", {{0, 32752}, {131012, 500}}},
      {"a gap inside the write block", {{8, 32752}, {131016, 100}, {140000, 30}}},
      {"only the write block", {{100, 7}, {200, 3}}},
      {"several blocks, then a gap", {{0, 70000}, {400000, 32752}, {531008, 20}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing_support::TempDir dir;
    auto f = NewKel64File();
    ASSERT_EQ(f->Create(dir.File("w.orfx").c_str(), 32, 0), kOk);
    ASSERT_EQ(f->SetWaveChan(0, 4, Adc, 0, 0), kOk);
    for (const auto& w : c.writes)
      ASSERT_GT(f->WriteWaveS(0, std::vector<int16_t>(w.second, 5).data(), w.second, w.first), 0);
    for (TSTime64 from : {TSTime64{0}, TSTime64{101}, TSTime64{131013}, TSTime64{160001}}) {
      TCollect heads, reads;
      ASSERT_EQ(f->ReadWaveRuns(0, from, heads), kOk);
      ASSERT_EQ(f->CKel64File::ReadWaveRuns(0, from, reads), kOk);
      EXPECT_EQ(heads.runs, reads.runs) << "from " << from;
    }
  }
}

}  // namespace
}  // namespace vslk64
