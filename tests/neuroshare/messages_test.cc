// The last-error message: each result code's text and the order of its
// arguments, the buffer check's three tests in order, and the store's limits.
#include "neuroshare/ns_errors.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace nsv {
namespace {

TEST(NsReport, FormatsEachCodeWithItsArgumentsInOrder) {
  struct Case {
    ns_RESULT code;
    const char* text;
  };
  const Case cases[] = {
      {ns_LIBERROR, "Memory allocation error in function Op, hFile 4d"},
      {ns_TYPEERROR, "Bad file Op found (not of correct type) in function nsOpenFile"},
      {ns_FILEERROR, "File read error occurred in function Op with entity 5d, index 6d"},
      {ns_BADFILE, "Bad file handle (4d) passed to function Op"},
      {ns_BADENTITY, "Bad entity number (5d) passed to function Op"},
      {ns_BADSOURCE, "Bad segment source index (6d) for entity 5d passed to function Op"},
      {ns_BADINDEX, "Bad index or time (6d) for entity 5d passed to function Op"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NsReport("Op", c.code, 4, 5, 6), c.code);
    EXPECT_STREQ(NsLastMessage(), c.text);
  }
}

TEST(NsReport, OtherCodesKeepTheLastFailure) {
  NsReport("CloseFile", ns_BADFILE, 9, 0, 0);
  for (ns_RESULT code : {ns_OK, 1, 1000, -8, -100}) {
    EXPECT_EQ(NsReport("Op", code, 1, 2, 3), code);
    EXPECT_STREQ(NsLastMessage(), "Bad file handle (9d) passed to function CloseFile");
  }
}

TEST(NsReport, LongTextsAreCutTo255Characters) {
  const std::string path = "/" + std::string(300, 'p');
  NsReport(path.c_str(), ns_TYPEERROR, 0, 0, 0);
  const std::string message = NsLastMessage();
  EXPECT_EQ(message.size(), 255u);
  EXPECT_EQ(message, ("Bad file " + path).substr(0, 255));
}

TEST(NsCheckBuffer, AppliesItsThreeTestsInOrder) {
  char area[8];
  EXPECT_FALSE(NsCheckBuffer("Op", nullptr, 0, 40));
  EXPECT_STREQ(NsLastMessage(), "Op was given zero byte size area for results");
  EXPECT_FALSE(NsCheckBuffer("Op", nullptr, 39, 40));
  EXPECT_STREQ(NsLastMessage(), "Op was given 39d bytes for results, requires 40d");
  EXPECT_FALSE(NsCheckBuffer("Op", nullptr, 40, 40));
  EXPECT_STREQ(NsLastMessage(), "Op does not have write access to 40d bytes provided for results");

  EXPECT_TRUE(NsCheckBuffer("Op", area, sizeof area, sizeof area));
  EXPECT_STREQ(NsLastMessage(), "Op does not have write access to 40d bytes provided for results")
      << "a passing check leaves the message";
  // That sizes are not cut to 32 bits is checked through the exports
  // (host_api_test.cc).
}

}  // namespace
}  // namespace nsv
