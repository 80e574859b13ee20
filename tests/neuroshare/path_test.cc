// Paths as hosts hand them to ns_OpenFile, with the platform's own separator
// (backslashes on Windows): the ".orf" suffix rule on real files, and the
// conversion comment naming the file from the path's last separator. On
// Windows each path is also tried with forward slashes, which the system
// accepts as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "neuroshare/ns_api.h"
#include "platform/file.h"
#include "platform/host.h"
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

std::string TodayText() {
  const platform::LocalTime now = platform::Now();
  char text[16];
  std::snprintf(text, sizeof text, "%02d/%02d/%02d", now.month, now.day, now.year % 100);
  return text;
}

enum class Format { kOrf, kOrfx };

bool Write(const Recording& rec, Format format, const std::string& path) {
  return format == Format::kOrf ? recording_test::WriteOrf(rec, path)
                                : recording_test::WriteOrfx(rec, path);
}

// Names ending in ".orf", in any case, are tried as the older format first
// and then as the newer; every other name only as the newer.
TEST(Paths, SuffixRuleDecidesWhichFormatsAreTried) {
  TempDir dir;
  const Recording demo = recording_test::DemoRecording();
  struct Case {
    const char* name;
    Format format;
    ns_RESULT result;
  };
  const Case cases[] = {
      {"a.orf", Format::kOrf, ns_OK},        {"B.ORF", Format::kOrf, ns_OK},
      {"c.oRf", Format::kOrf, ns_OK},        {"d.orf", Format::kOrfx, ns_OK},
      {"e.orfx", Format::kOrfx, ns_OK},      {"f.dat", Format::kOrfx, ns_OK},
      {"g.orfx", Format::kOrf, ns_TYPEERROR}, {"h.orf.bak", Format::kOrf, ns_TYPEERROR},
  };
  for (const Case& c : cases) {
    const std::string path = dir.File(c.name);
    ASSERT_TRUE(Write(demo, c.format, path)) << path;
    for (const std::string& spelling : Spellings(path)) {
      uint32_t handle = 0;
      EXPECT_EQ(ns_OpenFile(spelling.c_str(), &handle), c.result) << spelling;
      if (handle != 0) {
        EXPECT_EQ(ns_CloseFile(handle), ns_OK);
      }
    }
  }
}

// A file without a comment is described by its name from the path's last
// separator on, the separator included, whichever the host used.
TEST(Paths, ConversionCommentNamesTheFileFromTheLastSeparator) {
  TempDir dir;
  Recording rec = recording_test::DemoRecording();
  rec.comments.clear();
  for (const char* name : {"run7.orfx", "run8.ORF"}) {
    const std::string path = dir.File(name);
    ASSERT_TRUE(Write(rec, name[5] == 'O' ? Format::kOrf : Format::kOrfx, path)) << path;
    for (const std::string& spelling : Spellings(path)) {
      uint32_t handle = 0;
      ASSERT_EQ(ns_OpenFile(spelling.c_str(), &handle), ns_OK) << spelling;
      ns_FILEINFO info;
      ASSERT_EQ(ns_GetFileInfo(handle, &info, sizeof info), ns_OK);
      const std::string separator = spelling.substr(spelling.size() - std::strlen(name) - 1, 1);
      EXPECT_EQ(std::string(info.szFileComment),
                "Converted from VSL ORF file " + separator + name + " on " + TodayText() + ".");
      EXPECT_EQ(ns_CloseFile(handle), ns_OK);
    }
  }
}

}  // namespace
