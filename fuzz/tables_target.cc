// The small parsers on their own: the 64-bit format's string table and the
// 32-bit format's saved lookup table, each fed raw bytes and, once accepted,
// checked to round-trip or to answer within its bounds.
#include <cstring>
#include <vector>

#include "filelib/orf/lookup_table.h"
#include "filelib/orfx/string_table.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/targets.h"

namespace nsv_fuzz {

void StringTable(const uint8_t* data, size_t size) {
  // Words, as the table is read from a file: a copy with nothing past it.
  const size_t words = size / 4;
  std::vector<uint8_t> bytes(data, data + words * 4);
  vslk64::CStringTable table;
  if (!table.Parse(bytes.data(), words)) {
    Check(table.Entries() == 0, "a rejected table is left empty");
    return;
  }
  const std::vector<uint8_t> saved = table.Serialise();
  vslk64::CStringTable again;
  Check(again.Parse(saved.data(), saved.size() / 4), "a serialised table parses");
  Check(again.Serialise() == saved, "a table survives a round trip");
  Check(again.Entries() == table.Entries(), "a round trip keeps every text");
  for (uint32_t id = 0; id <= table.Entries() + 1; ++id) {
    Check(table.Lookup(id) == again.Lookup(id), "both tables give the same text");
  }
  // Replace and release from the parsed state, as a writer editing texts.
  FuzzInput in(data, size);
  for (int i = 0; i < 8; ++i) {
    const uint32_t id = in.U8();
    const uint32_t now = table.Replace(std::string(in.U8() % 4, 'x'), id);
    Check(now == 0 || table.RefCount(now) > 0, "a replaced text is referenced");
    table.Release(in.U8());
  }
}

void LookupTable(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  int32_t control[vslk64::kLookupControlWords];
  for (int32_t& w : control) w = static_cast<int32_t>(in.U32());
  const uint32_t blocks = in.U32();
  vslk64::CKelLookup table;
  if (vslk64::LookupControlValid(control, blocks)) {
    std::vector<vslk64::TLookupEntry> entries(static_cast<size_t>(control[0]));
    for (auto& e : entries) {
      e.addr = static_cast<int32_t>(in.U32());
      e.start = static_cast<int32_t>(in.U32());
      e.end = static_cast<int32_t>(in.U32());
    }
    vslk64::LookupChecksum(control, entries);
    if (table.Load(control, entries)) {
      Check(table.Used() <= table.Capacity(), "a loaded table holds no more than it has room for");
    }
  }
  // Blocks offered and times looked up, as a chain walk does.
  for (int i = 0; i < 64 && !in.Empty(); ++i) {
    if (in.Bool()) {
      vslk64::TLookupBlock b;
      b.addr = static_cast<int32_t>(in.U32());
      b.prev = static_cast<int32_t>(in.U32());
      b.next = static_cast<int32_t>(in.U32());
      b.start = static_cast<int32_t>(in.U32());
      b.end = static_cast<int32_t>(in.U32());
      table.Offer(b);
    } else {
      const int32_t at = table.Locate(static_cast<int32_t>(in.U32()));
      Check(at >= -1 && at < table.Used(), "a located entry is one of the table's");
    }
    Check(table.Used() <= table.Capacity(), "the table holds no more than it has room for");
  }
  int32_t back[vslk64::kLookupControlWords];
  table.GetControl(back);
}

}  // namespace nsv_fuzz
