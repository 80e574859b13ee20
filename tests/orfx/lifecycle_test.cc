// Channel and file lifecycle in the 64-bit format: buffer sizing, and what a
// recording that was killed after a commit leaves readable. Emptying a file,
// deleting and restoring channels are in the file model (write_test.cc).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "filelib/kel64_file.h"
#include "filelib/status.h"
#include "platform/host.h"
#include "tests/orfx/chan_file_util.h"
#include "tests/support/temp_dir.h"

namespace vslk64 {
namespace {

using testing_support::TempDir;

constexpr int kEventsPerBlock = 65520 / 8;

using chantest::OpenFile;
using chantest::ReadEvents;
using chantest::Times;

TEST(Buffering, SecondsFollowFromBytesAndTheChannelsRates) {
  TempDir dir;
  const std::string path = dir.File("b.orfx");
  std::unique_ptr<CKel64File> f = NewKel64File();
  ASSERT_EQ(f->Create(path.c_str(), 32, 0), kOk);
  ASSERT_EQ(f->SetEventChan(0, 1000.0, EventA, 0), kOk);  // 8000 bytes a second
  ASSERT_EQ(f->SetWaveChan(1, 10, Adc, 0.0, 0), kOk);     // 100 kHz: 200000 bytes a second
  EXPECT_EQ(f->SetBuffering(5, 1000, 1.0), kErrNoChannel);
  // One channel: the smaller of the bytes and the time decides.
  EXPECT_DOUBLE_EQ(f->SetBuffering(1, 100000, 1.0), 0.5);
  EXPECT_DOUBLE_EQ(f->SetBuffering(1, 0, 2.0), 2.0);
  // All channels: 1e6 bytes hold 1e6 / 208000 seconds, which are kept.
  EXPECT_DOUBLE_EQ(f->SetBuffering(-1, 1000000, 10.0), 1000000.0 / 208000);
  EXPECT_DOUBLE_EQ(f->SetBuffering(-1, 10000000, 2.0), 2.0);
  EXPECT_DOUBLE_EQ(f->SetBuffering(1, 0, -1.0), 2.0);  // the kept time
  ASSERT_EQ(f->Commit(4), kOk);                        // sizes every buffer to nothing
  EXPECT_DOUBLE_EQ(f->SetBuffering(1, 0, -1.0), 0.0);
  ASSERT_EQ(f->Close(), kOk);
  f = OpenFile(path, 1);
  EXPECT_DOUBLE_EQ(f->SetBuffering(-1, 1000, 1.0), 0.0);
}

// A recording process killed after a commit: what was committed reads back
// whole, and blocks written after the commit do not make the file unusable.
TEST(Crash, CommittedDataSurviveAKilledWriter) {
  TempDir dir;
  const std::string path = dir.File("c.orfx");
  const std::vector<TSTime64> committed = Times(100, 7, 2 * kEventsPerBlock + 500);
  const std::vector<TSTime64> later = Times(committed.back() + 7, 7, 4 * kEventsPerBlock);
  // The writer is a program of its own (killed_writer.cc) that kills itself
  // after the later writes: SIGKILL, or TerminateProcess on Windows.
  // Channel 0 writes straight through; channel 1 buffers its items and
  // channel 2 its samples: a commit writes out what they hold, and what
  // they move out later goes to blocks after it.
  const platform::ProgramRun run =
      platform::RunProgram(NSV_KILLED_WRITER_PATH,
                           {path, std::to_string(committed.size()), std::to_string(later.size())});
  ASSERT_TRUE(run.killed) << "writer exit code " << run.exitCode << "\n" << run.output;

  std::unique_ptr<CKel64File> f = NewKel64File();
  ASSERT_EQ(f->Open(path.c_str(), 1, 0), kOk);
  for (uint16_t chan : {0, 1}) {
    SCOPED_TRACE(chan);
    const std::vector<TSTime64> got = ReadEvents(*f, chan, 0, committed.size() + later.size());
    ASSERT_GE(got.size(), committed.size());
    EXPECT_TRUE(std::equal(committed.begin(), committed.end(), got.begin()));
    // Anything beyond is what the writer appended next, in order.
    EXPECT_TRUE(std::equal(got.begin() + committed.size(), got.end(), later.begin()));
    EXPECT_EQ(f->ChanMaxTime(chan), committed.back());
  }
  // The samples i * 13, 40000 of them committed, of 3 * 32752 written.
  std::vector<int16_t> wave(3 * 32752 + 1);
  TSTime64 first = -1;
  const int n =
      f->ReadWaveS(2, wave.data(), static_cast<int>(wave.size()), 0, kMaxTime64, &first, nullptr);
  ASSERT_GE(n, 40000);
  ASSERT_LE(n, 3 * 32752);
  EXPECT_EQ(first, 0);
  for (int i = 0; i < n; ++i) ASSERT_EQ(wave[i], static_cast<int16_t>(i * 13)) << i;
  f.reset();
  // The file also opens for writing and takes new data after the committed.
  f = OpenFile(path, 0);
  const TSTime64 next[] = {later.back() + 1000};
  EXPECT_EQ(f->WriteEvents(0, next, 1), kOk);
}

}  // namespace
}  // namespace vslk64
