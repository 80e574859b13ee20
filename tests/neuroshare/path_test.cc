// Paths as hosts hand them to ns_OpenFile, with the platform's own separator
// (backslashes on Windows): the ".orf" suffix rule on real files. On Windows
// each path is also tried with forward slashes, which the system accepts as
// well. (How the conversion comment names the file from the last separator
// of either kind is checked in catalogue_test.cc.)
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "neuroshare/ns_api.h"
#include "tests/builder/recording.h"
#include "tests/support/temp_dir.h"

namespace {

using recording_test::Recording;
using testing_support::TempDir;

// The path as given and, where it differs, with forward slashes throughout.
std::vector<std::string> Spellings(const std::string& path) {
  std::string forward = path;
  std::replace(forward.begin(), forward.end(), '\\', '/');
  if (forward == path) return {path};
  return {path, forward};
}

// Names ending in ".orf", in any case, are tried as the older format first
// and then as the newer; every other name only as the newer.
TEST(Paths, SuffixRuleDecidesWhichFormatsAreTried) {
  TempDir dir;
  const Recording demo = recording_test::DemoRecording();
  struct Case {
    const char* name;
    bool orf;  // the format written
    ns_RESULT result;
  };
  const Case cases[] = {
      {"a.orf", true, ns_OK},         {"B.ORF", true, ns_OK},
      {"c.oRf", true, ns_OK},         {"d.orf", false, ns_OK},
      {"e.orfx", false, ns_OK},       {"f.dat", false, ns_OK},
      {"g.orfx", true, ns_TYPEERROR}, {"h.orf.bak", true, ns_TYPEERROR},
  };
  for (const Case& c : cases) {
    const std::string path = dir.File(c.name);
    ASSERT_TRUE(c.orf ? recording_test::WriteOrf(demo, path)
                      : recording_test::WriteOrfx(demo, path));
    for (const std::string& spelling : Spellings(path)) {
      uint32_t handle = 0;
      EXPECT_EQ(ns_OpenFile(spelling.c_str(), &handle), c.result) << spelling;
      if (handle != 0) {
        EXPECT_EQ(ns_CloseFile(handle), ns_OK);
      }
    }
  }
}

}  // namespace
