// The last-error message store: the one text no export failure shows (the
// library error with a handle), the codes that leave the message alone, the
// length limit, and the order of the buffer check's tests. Each export's own
// texts are checked through the exports (host_api_test.cc, event_data_test.cc).
#include <gtest/gtest.h>

#include <string>

#include "neuroshare/ns_errors.h"

namespace nsv {
namespace {

TEST(NsReport, FormatsTheLibraryErrorAndKeepsTheLastFailureForOtherCodes) {
  EXPECT_EQ(NsReport("Op", ns_LIBERROR, 4, 5, 6), ns_LIBERROR);
  EXPECT_STREQ(NsLastMessage(), "Memory allocation error in function Op, hFile 4d");
  NsReport("CloseFile", ns_BADFILE, 9, 0, 0);
  for (ns_RESULT code : {ns_OK, 1, 1000, -8, -100}) {
    EXPECT_EQ(NsReport("Op", code, 1, 2, 3), code);
    EXPECT_STREQ(NsLastMessage(), "Bad file handle (9d) passed to function CloseFile");
  }
}

TEST(NsReport, LongTextsAreCutTo255Characters) {
  const std::string path = "/" + std::string(300, 'p');
  NsReport(path.c_str(), ns_TYPEERROR, 0, 0, 0);
  EXPECT_EQ(NsLastMessage(), ("Bad file " + path).substr(0, 255));
}

TEST(NsCheckBuffer, ChecksTheSizeBeforeTheAreaAndLeavesTheMessageWhenItPasses) {
  char area[8];
  EXPECT_FALSE(NsCheckBuffer("Op", nullptr, 0, 40));
  EXPECT_STREQ(NsLastMessage(), "Op was given zero byte size area for results");
  EXPECT_FALSE(NsCheckBuffer("Op", nullptr, 39, 40));
  EXPECT_STREQ(NsLastMessage(), "Op was given 39d bytes for results, requires 40d");
  EXPECT_TRUE(NsCheckBuffer("Op", area, sizeof area, sizeof area));
  EXPECT_STREQ(NsLastMessage(), "Op was given 39d bytes for results, requires 40d");
}

}  // namespace
}  // namespace nsv
