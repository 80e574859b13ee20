// A file refused as damaged says where: the library records the check that
// failed (LastCorruption) and a failed ns_OpenFile's message carries it, as
// `nsinfo --verbose` prints it.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "filelib/corruption.h"
#include "filelib/kel64_file.h"
#include "filelib/le.h"
#include "neuroshare/ns_api.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr uint32_t kStringsOffsetAt = 52;  // file head: where the string table starts
constexpr uint32_t kMaxChansAt = 56;

// A small valid recording with one event channel.
void WriteRecording(const std::string& path) {
  std::unique_ptr<vslk64::CKel64File> f = vslk64::NewKel64File();
  ASSERT_EQ(f->Create(path.c_str(), 32, 0), vslk64::kOk);
  ASSERT_EQ(f->SetEventChan(0, 1, vslk64::EventA, 0), vslk64::kOk);
  const vslk64::TSTime64 times[] = {10, 20, 30};
  ASSERT_EQ(f->WriteEvents(0, times, 3), vslk64::kOk);
  ASSERT_EQ(f->Close(), vslk64::kOk);
}

// Overwrites the 4 bytes at pos, found by `locate` from the file's bytes.
void Damage(const std::string& path, uint64_t (*locate)(const std::string&), uint32_t value) {
  std::string bytes;
  ASSERT_TRUE(testing_support::ReadFileBytes(path, &bytes));
  const uint64_t pos = locate(bytes);
  ASSERT_LE(pos + 4, bytes.size());
  vslk64::le::PutU32(reinterpret_cast<uint8_t*>(&bytes[pos]), value);
  ASSERT_TRUE(testing_support::WriteFileBytes(path, bytes.data(), bytes.size()));
}

uint64_t MaxChansField(const std::string&) { return kMaxChansAt; }
uint64_t StringTableWords(const std::string& bytes) {
  return vslk64::le::GetU32(reinterpret_cast<const uint8_t*>(bytes.data()) + kStringsOffsetAt);
}

TEST(DamageReport, AFailedOpenNamesTheCheckThatRefusedTheFile) {
  struct Case {
    const char* name;
    uint64_t (*locate)(const std::string&);
    uint32_t value;
    int code;
    const char* reason;  // a part of the recorded reason
  };
  const Case cases[] = {
      {"channel count", MaxChansField, 1, vslk64::kErrBadHeader, "channel count"},
      {"string-table words", StringTableWords, 1, vslk64::kErrCorrupt, "words < 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::TempDir dir;
    const std::string path = dir.File("damaged.orfx");
    WriteRecording(path);
    Damage(path, c.locate, c.value);

    vslk64::ClearCorruption();
    std::unique_ptr<vslk64::CKel64File> f = vslk64::NewKel64File();
    EXPECT_EQ(f->Open(path.c_str(), vslk64::kOpenReadOnly, 0), c.code);
    const vslk64::TCorruption damage = vslk64::LastCorruption();
    ASSERT_NE(damage.file, nullptr);
    EXPECT_STREQ(damage.file, "filelib/orfx/kel64_file.cc");
    EXPECT_GT(damage.line, 0);
    EXPECT_NE(std::strstr(damage.reason, c.reason), nullptr) << damage.reason;

    uint32_t handle = 0;
    EXPECT_EQ(ns_OpenFile(path.c_str(), &handle), ns_TYPEERROR);
    char message[256] = {};
    ASSERT_EQ(ns_GetLastErrorMsg(message, sizeof message), ns_OK);
    const std::string note = " (damaged: filelib/orfx/kel64_file.cc:" +
                             std::to_string(damage.line) + ": " + damage.reason + ")";
    EXPECT_NE(std::string(message).find(note), std::string::npos) << message;
  }
}

TEST(DamageReport, AnUndamagedFileOfAnotherKindGetsNoNote) {
  testing_support::TempDir dir;
  const std::string path = dir.File("junk.orfx");
  const std::string junk(4096, 'x');
  ASSERT_TRUE(testing_support::WriteFileBytes(path, junk.data(), junk.size()));
  uint32_t handle = 0;
  EXPECT_EQ(ns_OpenFile(path.c_str(), &handle), ns_TYPEERROR);
  char message[256] = {};
  ASSERT_EQ(ns_GetLastErrorMsg(message, sizeof message), ns_OK);
  EXPECT_EQ(std::strstr(message, "(damaged:"), nullptr) << message;
}

}  // namespace
