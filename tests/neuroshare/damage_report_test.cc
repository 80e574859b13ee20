// Damaged files fail the open. Damage to what the waveform chunk index is
// built from at open (run heads, block headers) is a file error. Damage the
// file's own checks refuse is a type error whose message names the check that
// failed (LastCorruption), as `nsinfo --verbose` prints it; a file that is no
// recording gets no note. (Whether the index answers as the samples do is
// index_model_test.cc's.)
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "filelib/corruption.h"
#include "filelib/le.h"
#include "neuroshare/ns_api.h"
#include "tests/neuroshare/watched_file.h"
#include "tests/support/temp_dir.h"

namespace nsv_test {
namespace {

using Bytes = testing_support::MemoryFiles::Bytes;
using vslk64::le::GetI32;
using vslk64::le::GetU16;
using vslk64::le::GetU32;

// A 16-bit waveform, one tick per sample, of runs of the given lengths with
// gap ticks between them.
Channel Runs(const std::vector<size_t>& counts, int64_t gap) {
  Channel c = Wave(1, 1);
  int64_t t = 5;
  for (size_t n : counts) {
    AddRun(c, t, std::vector<int16_t>(n, 1));
    t += static_cast<int64_t>(n) + gap;
  }
  return c;
}

// Offsets into the files the builders lay out.
constexpr uint32_t kBlock = 65536;
constexpr uint32_t kRunCountAt = 16 + 8;   // in an ORFX block: the first run's count
constexpr uint32_t kStringsOffsetAt = 52;  // ORFX file head: where the string table starts
constexpr uint32_t kMaxChansAt = 56;

// The position of the n-th data block (in file order) of chan in an ORFX
// file: 64 KiB units whose head names the channel at level 0 with items.
int64_t OrfxBlockOf(const Bytes& bytes, uint16_t chan, int n) {
  for (size_t pos = kBlock; pos + kBlock <= bytes.size(); pos += kBlock) {
    const uint8_t* p = bytes.data() + pos;
    if (GetU16(p + 8) == chan && ((vslk64::le::GetU64(p) >> 8) & 7) == 0 && GetU32(p + 12) != 0 &&
        n-- == 0) {
      return static_cast<int64_t>(pos);
    }
  }
  return -1;
}

// The fifth full 1024-byte block of channel 0 in an ORF file.
int64_t OrfBlock(const Bytes& bytes) {
  int seen = 0;
  for (size_t pos = 512; pos + 1024 <= bytes.size(); pos += 512) {
    const uint8_t* p = bytes.data() + pos;
    if (GetU16(p + 16) == 1 && GetU16(p + 18) == (1024 - 20) / 2 &&
        GetI32(p + 12) - GetI32(p + 8) == (1024 - 20) / 2 - 1 && ++seen == 5) {
      return static_cast<int64_t>(pos);
    }
  }
  return -1;
}

class DamageReport : public LayerTest {};

TEST_F(DamageReport, AFailedOpenNamesTheCheckThatRefusedTheFile) {
  Recording events, waves, orf;
  events.channels[0] = Events(2, {10, 20, 30});
  waves.channels[0] = Runs({32752, 32752, 32752, 10}, 0);
  waves.channels[1] = Runs(std::vector<size_t>(1500, 3), 1);
  orf.channels[0] = Runs({20000}, 0);
  ASSERT_TRUE(recording_test::WriteOrfx(events, "/events.orfx"));
  ASSERT_TRUE(recording_test::WriteOrfx(waves, "/waves.orfx"));
  // The ORF builder writes through the real file system.
  testing_support::TempDir dir;
  std::string image;
  ASSERT_TRUE(recording_test::WriteOrf(orf, dir.File("waves.orf"), 9, 1024));
  ASSERT_TRUE(testing_support::ReadFileBytes(dir.File("waves.orf"), &image));
  files_.Put("/waves.orf", Bytes(image.begin(), image.end()));
  const Bytes& good = *files_.Get("/events.orfx");
  const Bytes& wave = *files_.Get("/waves.orfx");
  const Bytes& orfWave = *files_.Get("/waves.orf");
  const int64_t orfBlock = OrfBlock(orfWave);
  ASSERT_GE(orfBlock, 0);
  struct Case {
    const char* name;
    const char* file;
    int64_t at;      // the four bytes overwritten; below zero: the whole file
    uint32_t value;  // written there
    ns_RESULT result;
    int code = 0;                  // type errors: the file's own open's
    const char* reason = nullptr;  // type errors: a part of the recorded reason; null: no note
  };
  // Run heads of short runs are 24 bytes apart (16 + 3 samples rounded to
  // 8): head 200 lies beyond the first 4 KiB.
  const int64_t longRuns[] = {OrfxBlockOf(wave, 0, 1), OrfxBlockOf(wave, 0, 2)};
  const int64_t shortRuns = OrfxBlockOf(wave, 1, 0) + 16 + 200 * 24;
  ASSERT_TRUE(longRuns[0] > 0 && longRuns[1] > 0 && shortRuns > 16 + 200 * 24);
  const Case cases[] = {
      {"a run longer than its block", "/waves.orfx", longRuns[0] + kRunCountAt, 40000,
       ns_FILEERROR},
      {"a run of no samples", "/waves.orfx", longRuns[1] + kRunCountAt, 0, ns_FILEERROR},
      {"a run head beyond 4 KiB reaching past the block", "/waves.orfx", shortRuns + 8, 0x40000000,
       ns_FILEERROR},
      {"a run head beyond 4 KiB out of time order", "/waves.orfx", shortRuns, 3, ns_FILEERROR},
      {"an ORF block ending before it starts", "/waves.orf", orfBlock + 12,
       static_cast<uint32_t>(GetI32(orfWave.data() + orfBlock + 8) - 1), ns_FILEERROR},
      {"channel count", "/events.orfx", kMaxChansAt, 1, ns_TYPEERROR, vslk64::kErrBadHeader,
       "channel count"},
      {"string-table words", "/events.orfx", GetU32(good.data() + kStringsOffsetAt), 1,
       ns_TYPEERROR, vslk64::kErrCorrupt, "words < 2"},
      {"no recording", "/events.orfx", -1, 0, ns_TYPEERROR, vslk64::kErrBadHeader, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = *files_.Get(c.file);
    if (c.at >= 0) {
      vslk64::le::PutU32(&bytes.at(c.at + 3) - 3, c.value);
    } else {
      bytes.assign(4096, 'x');
    }
    const std::string path = std::string(c.file).insert(1, "damaged-");
    files_.Put(path, bytes);
    vslk64::ClearCorruption();
    if (c.result == ns_TYPEERROR) {
      EXPECT_EQ(vslk64::NewKel64File()->Open(path.c_str(), vslk64::kOpenReadOnly, 0), c.code);
    }
    const vslk64::TCorruption damage = vslk64::LastCorruption();
    uint32_t handle = 0;
    EXPECT_EQ(ns_OpenFile(path.c_str(), &handle), c.result);
    EXPECT_EQ(handle, 0u);
    if (c.result != ns_TYPEERROR) continue;
    char message[256] = {};
    ASSERT_EQ(ns_GetLastErrorMsg(message, sizeof message), ns_OK);
    if (c.reason == nullptr) {
      EXPECT_EQ(std::strstr(message, "(damaged:"), nullptr) << message;
      continue;
    }
    ASSERT_NE(damage.file, nullptr);
    EXPECT_STREQ(damage.file, "filelib/orfx/kel64_file.cc");
    EXPECT_NE(std::strstr(damage.reason, c.reason), nullptr) << damage.reason;
    const std::string note =
        " (damaged: filelib/orfx/kel64_file.cc:" + std::to_string(damage.line) + ": " +
        damage.reason + ")";
    EXPECT_NE(std::string(message).find(note), std::string::npos) << message;
  }
}

}  // namespace
}  // namespace nsv_test
