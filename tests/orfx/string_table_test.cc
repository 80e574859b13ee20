#include "filelib/orfx/string_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filelib/le.h"

namespace vslk64 {
namespace {

std::vector<uint8_t> Words(const std::vector<uint32_t>& words) {
  std::vector<uint8_t> bytes(words.size() * 4);
  for (size_t i = 0; i < words.size(); ++i) le::PutU32(&bytes[4 * i], words[i]);
  return bytes;
}

uint32_t Word(const std::vector<uint8_t>& bytes, size_t i) { return le::GetU32(&bytes[4 * i]); }

TEST(StringTable, HoldersShareATextUntilOneChangesIt) {
  CStringTable t;
  uint32_t units0 = t.Replace("mV", 0);
  const uint32_t units1 = t.Replace("mV", 0);
  EXPECT_EQ(units0, units1);
  EXPECT_EQ(t.RefCount(units0), 2u);
  EXPECT_EQ(t.Entries(), 1u);
  units0 = t.Replace("V", units0);
  EXPECT_NE(units0, units1);
  EXPECT_EQ(t.RefCount(units1), 1u);
  EXPECT_EQ(t.Lookup(units1), "mV");
  EXPECT_EQ(t.Lookup(units0), "V");
  // The empty text is identifier 0 and releases what was held.
  EXPECT_EQ(t.Replace("", units0), 0u);
  EXPECT_EQ(t.RefCount(units0), 0u);
  EXPECT_EQ(t.Lookup(0), "");
  EXPECT_EQ(t.Lookup(99), "");
}

TEST(StringTable, IdentifiersStayDense) {
  CStringTable t;
  for (const char* s : {"a", "b", "c", "d", "e"}) t.Replace(s, 0);
  t.Release(2);
  t.Release(4);
  t.Release(5);  // the highest: 4 above the next highest in use (3) goes too
  EXPECT_EQ(Word(t.Serialise(), 1), 3u);
  EXPECT_EQ(t.Replace("f", 0), 2u);  // the lowest free identifier
  EXPECT_EQ(t.Replace("g", 0), 4u);  // none free: one past the highest
  // A holder from a damaged file that names a free identifier holds no
  // reference: a new text taking that identifier keeps its own.
  t.Release(3);
  EXPECT_EQ(t.Replace("h", 3), 3u);
  EXPECT_EQ(t.RefCount(3), 1u);
  EXPECT_EQ(t.Lookup(3), "h");
  // Releasing the last entry empties the table.
  CStringTable one;
  one.Release(one.Replace("x", 0));
  EXPECT_EQ(one.Entries(), 0u);
  EXPECT_EQ(one.Serialise(), Words({2, 0}));
}

TEST(StringTable, SerialisedFormAndParseBack) {
  CStringTable t;
  t.Replace("ab", 0);
  t.Replace("ab", 0);
  t.Replace("xx", 0);
  t.Replace("abcdefg", 0);
  t.Release(2);
  const std::vector<uint8_t> image = t.Serialise();
  std::vector<uint8_t> want = Words({8, 3, 2, 0, 0, 1, 0, 0});
  std::memcpy(&want[12], "ab", 2);
  std::memcpy(&want[24], "abcdefg", 7);
  EXPECT_EQ(image, want);

  CStringTable back;
  back.Replace("stale", 0);
  ASSERT_TRUE(back.Parse(image.data(), image.size() / 4));
  EXPECT_FALSE(back.Dirty());
  EXPECT_EQ(back.Entries(), 2u);
  EXPECT_EQ(back.RefCount(1), 2u);
  EXPECT_EQ(back.RefCount(2), 0u);
  EXPECT_EQ(back.Lookup(3), "abcdefg");
  EXPECT_EQ(back.Replace("new", 0), 2u);
  EXPECT_EQ(back.Replace("ab", 0), 1u);
}

TEST(StringTable, ParseRefusesMalformedTables) {
  std::vector<uint8_t> ok = Words({4, 1, 1, 0});
  ok[12] = 'a';
  const std::vector<std::vector<uint8_t>> bad = {
      Words({1}),                    // W below 2
      Words({5, 1, 1, 0x61, 0}),     // W larger than the walk
      Words({3, 1, 1}),              // the text is missing
      Words({4, 1, 1, 0x61616161}),  // text runs past the last word
      Words({4, 3, 0, 0}),           // N names more identifiers than there are words
  };
  for (const auto& image : bad) {
    CStringTable t;
    t.Replace("held", 0);
    EXPECT_FALSE(t.Parse(image.data(), image.size() / 4));
    EXPECT_EQ(t.Entries(), 0u);
    EXPECT_EQ(t.Lookup(1), "");
  }
  // W must be the number of words handed over.
  CStringTable t;
  EXPECT_FALSE(t.Parse(ok.data(), 3));
  EXPECT_TRUE(t.Parse(ok.data(), 4));
  EXPECT_EQ(t.Lookup(1), "a");
}

TEST(CopyTextOut, NeverSplitsAUtf8Character) {
  char buf[8];
  const std::string eAcute = "ab\xC3\xA9";
  EXPECT_EQ(CopyTextOut(eAcute, buf, 4), 5);
  EXPECT_STREQ(buf, "ab");
  EXPECT_EQ(CopyTextOut(eAcute, buf, 5), 5);
  EXPECT_EQ(std::string(buf), eAcute);

  const std::string euro = "a\xE2\x82\xAC";  // three-byte character
  EXPECT_EQ(CopyTextOut(euro, buf, 4), 5);
  EXPECT_STREQ(buf, "a");
  const std::string face = "\xF0\x9F\x98\x80";  // four-byte character
  EXPECT_EQ(CopyTextOut(face, buf, 4), 5);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(CopyTextOut(face + "z", buf, 5), 6);
  EXPECT_EQ(std::string(buf), face);

  // Stray continuation bytes belong to no character and are cut like ASCII.
  const std::string stray = "a\x80\x80\x80\x80";
  EXPECT_EQ(CopyTextOut(stray, buf, 4), 6);
  EXPECT_EQ(std::string(buf), "a\x80\x80");
}

}  // namespace
}  // namespace vslk64
