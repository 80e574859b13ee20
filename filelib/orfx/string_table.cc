#include "filelib/orfx/string_table.h"

#include <climits>
#include <cstring>

#include "filelib/le.h"

namespace vslk64 {
namespace {
const std::string kEmpty;

// Words taken by a text of `length` bytes with its zero byte and padding.
size_t TextWords(size_t length) { return (length + 4) / 4; }
}  // namespace

const std::string& CStringTable::Lookup(uint32_t id) const {
  if (id == 0 || id >= slots_.size() || slots_[id].count == 0) return kEmpty;
  return slots_[id].text;
}

uint32_t CStringTable::RefCount(uint32_t id) const {
  return id < slots_.size() ? slots_[id].count : 0;
}

uint32_t CStringTable::Replace(const std::string& text, uint32_t oldId) {
  if (text.empty()) {
    Release(oldId);
    return 0;
  }
  const auto found = byText_.find(text);
  if (found != byText_.end()) {
    const uint32_t id = found->second;
    if (id != oldId) {
      // A count read from a file may already be at the top; it then simply
      // never drops to zero.
      if (slots_[id].count != UINT32_MAX) ++slots_[id].count;
      Release(oldId);
      dirty_ = true;
    }
    return id;
  }
  uint32_t id;
  if (!free_.empty()) {
    id = *free_.begin();
    free_.erase(free_.begin());
  } else {
    id = static_cast<uint32_t>(slots_.size());
  }
  Insert(text, 1, id);
  // A holder read from a damaged file may refer to a free identifier, the
  // very one just taken: it held no reference, so there is none to drop.
  if (oldId != id) Release(oldId);
  dirty_ = true;
  return id;
}

void CStringTable::Release(uint32_t id) {
  if (id == 0 || id >= slots_.size() || slots_[id].count == 0) return;
  Slot& slot = slots_[id];
  dirty_ = true;
  if (--slot.count > 0) return;
  const auto indexed = byText_.find(slot.text);
  if (indexed != byText_.end() && indexed->second == id) byText_.erase(indexed);
  slot.text.clear();
  slot.text.shrink_to_fit();
  --entries_;
  if (id + 1 == slots_.size()) {
    // The highest identifier went: every free identifier above the next
    // highest one in use goes with it, so identifiers stay dense.
    while (slots_.size() > 1 && slots_.back().count == 0) {
      free_.erase(static_cast<uint32_t>(slots_.size() - 1));
      slots_.pop_back();
    }
  } else {
    free_.insert(id);
  }
}

std::vector<uint8_t> CStringTable::Serialise() const {
  size_t words = 2;
  for (size_t id = 1; id < slots_.size(); ++id) {
    words += 1 + (slots_[id].count ? TextWords(slots_[id].text.size()) : 0);
  }
  std::vector<uint8_t> out(words * 4, 0);
  le::PutU32(out.data(), static_cast<uint32_t>(words));
  le::PutU32(out.data() + 4, static_cast<uint32_t>(slots_.size() - 1));
  size_t pos = 8;
  for (size_t id = 1; id < slots_.size(); ++id) {
    const Slot& slot = slots_[id];
    le::PutU32(out.data() + pos, slot.count);
    pos += 4;
    if (slot.count == 0) continue;
    std::memcpy(out.data() + pos, slot.text.data(), slot.text.size());
    pos += 4 * TextWords(slot.text.size());
  }
  return out;
}

bool CStringTable::Parse(const uint8_t* data, size_t words) {
  Clear();
  dirty_ = false;
  if (words < 2 || le::GetU32(data) != words) return false;
  const uint32_t highest = le::GetU32(data + 4);
  const size_t endByte = words * 4;
  size_t pos = 2;  // in words
  for (uint32_t id = 1; id <= highest && id != 0; ++id) {
    if (pos >= words) {
      Clear();
      return false;
    }
    const uint32_t count = le::GetU32(data + 4 * pos);
    ++pos;
    if (count == 0) {
      slots_.emplace_back();
      continue;
    }
    const uint8_t* start = data + 4 * pos;
    const void* zero = std::memchr(start, 0, endByte - 4 * pos);
    if (zero == nullptr) {
      Clear();
      return false;
    }
    const size_t length = static_cast<size_t>(static_cast<const uint8_t*>(zero) - start);
    Insert(std::string(reinterpret_cast<const char*>(start), length), count, id);
    pos += TextWords(length);
  }
  if (pos != words) {
    Clear();
    return false;
  }
  // Free identifiers above the highest one in use carry nothing; dropping
  // them keeps the identifiers dense, as a table built here always is.
  while (slots_.size() > 1 && slots_.back().count == 0) slots_.pop_back();
  for (size_t id = 1; id < slots_.size(); ++id) {
    if (slots_[id].count == 0) free_.insert(static_cast<uint32_t>(id));
  }
  return true;
}

void CStringTable::Clear() {
  slots_.assign(1, Slot());
  byText_.clear();
  free_.clear();
  entries_ = 0;
}

uint32_t CStringTable::Insert(const std::string& text, uint32_t count, uint32_t id) {
  if (slots_.size() <= id) slots_.resize(static_cast<size_t>(id) + 1);
  slots_[id].text = text;
  slots_[id].count = count;
  // A text stored twice under different identifiers (never written here) is
  // found by text under the first of them.
  if (!text.empty()) byText_.emplace(text, id);
  ++entries_;
  return id;
}

int CopyTextOut(const std::string& text, char* buf, int size) {
  const size_t length = text.size();
  const int needed = length < static_cast<size_t>(INT_MAX) ? static_cast<int>(length) + 1 : INT_MAX;
  if (buf == nullptr || size < 1) return needed;
  size_t cut = length;
  if (length + 1 > static_cast<size_t>(size)) {
    cut = static_cast<size_t>(size) - 1;
    // Find the start of the character the cut falls in; a lead byte lies at
    // most three continuation bytes back.
    size_t start = cut;
    const auto continuation = [&](size_t i) {
      return (static_cast<uint8_t>(text[i]) & 0xC0) == 0x80;
    };
    while (start > 0 && cut - start < 3 && continuation(start)) --start;
    const uint8_t lead = static_cast<uint8_t>(text[start]);
    size_t span = 1;
    if (lead >= 0xF0) {
      span = 4;
    } else if (lead >= 0xE0) {
      span = 3;
    } else if (lead >= 0xC0) {
      span = 2;
    }
    if (start < cut && start + span > cut) cut = start;
  }
  std::memcpy(buf, text.data(), cut);
  buf[cut] = '\0';
  return needed;
}

}  // namespace vslk64
