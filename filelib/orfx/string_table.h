// CStringTable: the reference-counted table that holds every text of a 64-bit
// format file (file comments, channel titles, units and comments) once, and
// its serialised form in the header space. Also the copy-out of a text into a
// caller's buffer, which never splits a UTF-8 character.
//
// TKel64File owns one table per open file and reaches it only under its main
// mutex; channel objects go through the file to change their texts. Holders
// (header fields) store an identifier; 0 stands for the empty text.
//
// Serialised form, a sequence of little-endian u32 words:
//   word 0   W, the number of words including this one (at least 2)
//   word 1   N, the highest identifier
//   then for identifiers 1 to N: a reference count; 0 marks a free
//   identifier and nothing follows it; otherwise the text follows, its bytes
//   and a zero byte padded with zeros to a word boundary, (length + 4) / 4
//   words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace vslk64 {

class CStringTable {
 public:
  // The text of identifier id; the empty text for 0 or an unknown identifier.
  const std::string& Lookup(uint32_t id) const;

  // Makes a holder that referred to oldId refer to text instead, and returns
  // the identifier it should now store (0 for the empty text). A text already
  // in the table gains a reference; a new one takes the lowest free
  // identifier, or the next one up when none is free.
  uint32_t Replace(const std::string& text, uint32_t oldId);

  // Drops one reference to id (0 and unknown identifiers are ignored).
  void Release(uint32_t id);

  // The serialised table, 4 × W bytes.
  std::vector<uint8_t> Serialise() const;

  // Replaces the contents with the table serialised in `words` words at
  // `data`. False, leaving the table empty, when the words do not walk out to
  // exactly W = `words` words or a text runs past the end. The dirty flag is
  // clear afterwards either way.
  bool Parse(const uint8_t* data, size_t words);

  bool Dirty() const { return dirty_; }
  void ClearDirty() { dirty_ = false; }

  // The reference count of id; 0 when it is not in the table.
  uint32_t RefCount(uint32_t id) const;
  // Number of texts held.
  size_t Entries() const { return entries_; }

 private:
  struct Slot {
    std::string text;
    uint32_t count = 0;  // 0: the identifier is free
  };

  void Clear();
  uint32_t Insert(const std::string& text, uint32_t count, uint32_t id);

  // slots_[id] for identifiers 1 to N; slots_[0] is unused. The free
  // identifiers are the slots with a count of 0, also kept in free_ so that
  // the lowest is found at once.
  std::vector<Slot> slots_ = std::vector<Slot>(1);
  std::unordered_map<std::string, uint32_t> byText_;
  std::set<uint32_t> free_;
  size_t entries_ = 0;
  bool dirty_ = false;
};

// Copies text into buf (size bytes) zero-terminated and returns the size a
// buffer needs, text length + 1. With a null buffer or a size below 1 nothing
// is copied. A text that does not fit is cut to the longest prefix of at most
// size − 1 bytes that does not end inside a multi-byte UTF-8 character.
int CopyTextOut(const std::string& text, char* buf, int size);

}  // namespace vslk64
