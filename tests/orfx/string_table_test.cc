#include "filelib/orfx/string_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "filelib/le.h"

namespace vslk64 {
namespace {

std::vector<uint8_t> Words(const std::vector<uint32_t>& words) {
  std::vector<uint8_t> bytes(words.size() * 4);
  for (size_t i = 0; i < words.size(); ++i) le::PutU32(&bytes[4 * i], words[i]);
  return bytes;
}

// Random Replace and Release calls against a map of identifier to text and
// holder count: texts are shared, the lowest free identifier is taken, a
// holder naming a free identifier (from a damaged file) holds nothing, and
// the table reads back the same after Serialise and Parse and goes on from
// there as before.
TEST(StringTable, RandomCallsAnswerAsAModel) {
  std::map<uint32_t, std::pair<std::string, uint32_t>> model;
  const char* texts[] = {"", "mV", "V", "Input", "a longer text", "\xC2\xB5V"};
  const auto expectModel = [&](const CStringTable& t) {
    EXPECT_EQ(t.Entries(), model.size());
    for (uint32_t id = 0; id < 12; ++id) {
      const auto it = model.find(id);
      EXPECT_EQ(t.Lookup(id), it == model.end() ? "" : it->second.first) << id;
      EXPECT_EQ(t.RefCount(id), it == model.end() ? 0u : it->second.second) << id;
    }
    // The words on disk: W, N (the highest identifier in use), then per
    // identifier its holder count and its text, ended by a zero and padded
    // to whole words (a free identifier: a zero count alone).
    std::vector<uint8_t> want = Words({0, model.empty() ? 0u : model.rbegin()->first});
    for (uint32_t id = 1; id <= le::GetU32(&want[4]); ++id) {
      const auto it = model.find(id);
      const std::vector<uint8_t> count = Words({it == model.end() ? 0 : it->second.second});
      want.insert(want.end(), count.begin(), count.end());
      if (it == model.end()) continue;
      const std::string& text = it->second.first;
      want.insert(want.end(), text.begin(), text.end());
      want.resize(want.size() + 4 - text.size() % 4, 0);
    }
    le::PutU32(&want[0], static_cast<uint32_t>(want.size() / 4));
    EXPECT_EQ(t.Serialise(), want);
  };
  const auto release = [&](uint32_t id) {
    const auto it = model.find(id);
    if (it != model.end() && --it->second.second == 0) model.erase(it);
  };
  std::mt19937 rng(7);
  CStringTable t;
  for (int step = 0; step < 3000; ++step) {
    SCOPED_TRACE(step);
    const uint32_t id = static_cast<uint32_t>(rng() % 12);
    if (rng() % 3 == 0) {
      t.Release(id);
      release(id);
    } else {
      // The new text is placed before the old holding is let go.
      const std::string text = texts[rng() % 6];
      const bool held = model.count(id) != 0;
      uint32_t want = 0;
      if (!text.empty()) {
        for (const auto& e : model) want = e.second.first == text ? e.first : want;
        if (want == 0) {
          while (model.count(++want)) {
          }
          model[want] = {text, 0};
        }
        ++model[want].second;
      }
      if (held) release(id);
      EXPECT_EQ(t.Replace(text, id), want);
    }
    expectModel(t);
    if (step % 50 == 0) {
      const std::vector<uint8_t> image = t.Serialise();
      CStringTable back;
      back.Replace("stale", 0);
      ASSERT_TRUE(back.Parse(image.data(), image.size() / 4));
      EXPECT_FALSE(back.Dirty());
      expectModel(back);
      t = back;  // the calls go on with the parsed table (its free identifiers)
    }
    if (HasFailure()) return;
  }
}

TEST(StringTable, ParseRefusesMalformedTables) {
  const std::vector<std::vector<uint8_t>> bad = {
      Words({1}),                    // W below 2
      Words({5, 1, 1, 0x61, 0}),     // W larger than the walk
      Words({3, 1, 1}),              // the text is missing
      Words({4, 1, 1, 0x61616161}),  // text runs past the last word
      Words({4, 3, 0, 0}),           // N names more identifiers than there are words
      Words({3, 1, 1, 0x61}),        // W is not the number of words handed over
  };
  for (const auto& image : bad) {
    CStringTable t;
    t.Replace("held", 0);
    EXPECT_FALSE(t.Parse(image.data(), image.size() / 4));
    EXPECT_EQ(t.Entries(), 0u);
    EXPECT_EQ(t.Lookup(1), "");
  }
  // W must be the number of words handed over.
  const std::vector<uint8_t> ok = Words({4, 1, 1, 0x61});
  CStringTable t;
  EXPECT_FALSE(t.Parse(ok.data(), 3));
}

// The answer is the room the whole text needs; the copy stops before a
// character that does not fit. Stray continuation bytes belong to no
// character and are cut like ASCII.
TEST(CopyTextOut, NeverSplitsAUtf8Character) {
  const struct {
    std::string text;
    int room;
    std::string copied;
  } cases[] = {
      {"ab\xC3\xA9", 4, "ab"},
      {"ab\xC3\xA9", 5, "ab\xC3\xA9"},
      {"a\xE2\x82\xAC", 4, "a"},
      {"\xF0\x9F\x98\x80", 4, ""},
      {"\xF0\x9F\x98\x80z", 5, "\xF0\x9F\x98\x80"},
      {"a\x80\x80\x80\x80", 4, "a\x80\x80"},
  };
  for (const auto& c : cases) {
    char buf[8];
    EXPECT_EQ(CopyTextOut(c.text, buf, c.room), static_cast<int>(c.text.size()) + 1) << c.text;
    EXPECT_EQ(std::string(buf), c.copied) << c.text;
  }
}

}  // namespace
}  // namespace vslk64
