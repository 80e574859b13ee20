// A file refused as damaged says where: the library records the check that
// failed (LastCorruption) and a failed ns_OpenFile's message carries it, as
// `nsinfo --verbose` prints it. A file that is no recording gets no note.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "filelib/corruption.h"
#include "filelib/le.h"
#include "neuroshare/ns_api.h"
#include "tests/neuroshare/watched_file.h"

namespace nsv_test {
namespace {

constexpr uint32_t kStringsOffsetAt = 52;  // file head: where the string table starts
constexpr uint32_t kMaxChansAt = 56;

class DamageReport : public LayerTest {};

TEST_F(DamageReport, AFailedOpenNamesTheCheckThatRefusedTheFile) {
  Recording rec;
  rec.channels[0] = Events(2, {10, 20, 30});
  ASSERT_TRUE(recording_test::WriteOrfx(rec, "/good.orfx"));
  const testing_support::MemoryFiles::Bytes good = *files_.Get("/good.orfx");
  struct Case {
    const char* name;
    uint64_t at;  // the four bytes overwritten; past the end: the whole file
    uint32_t value;
    int code;
    const char* reason;  // a part of the recorded reason; null: no note
  };
  const Case cases[] = {
      {"channel count", kMaxChansAt, 1, vslk64::kErrBadHeader, "channel count"},
      {"string-table words", vslk64::le::GetU32(good.data() + kStringsOffsetAt), 1,
       vslk64::kErrCorrupt, "words < 2"},
      {"no recording", good.size(), 0, vslk64::kErrBadHeader, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::MemoryFiles::Bytes bytes = good;
    if (c.at + 4 <= bytes.size()) {
      vslk64::le::PutU32(&bytes[c.at], c.value);
    } else {
      bytes.assign(4096, 'x');
    }
    files_.Put("/damaged.orfx", bytes);
    vslk64::ClearCorruption();
    EXPECT_EQ(vslk64::NewKel64File()->Open("/damaged.orfx", vslk64::kOpenReadOnly, 0), c.code);
    const vslk64::TCorruption damage = vslk64::LastCorruption();
    uint32_t handle = 0;
    EXPECT_EQ(ns_OpenFile("/damaged.orfx", &handle), ns_TYPEERROR);
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
