// The event and marker channels: CEventChan (kinds 2 and 3) and CMarkerChan
// (markers and level changes). The classes are in channel.h.
#include "filelib/orfx/channel.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "filelib/orfx/block_io.h"
#include "filelib/orfx/chan_appends.h"
#include "filelib/orfx/channel_templates.h"
#include "filelib/orfx/disk_block_head.h"
#include "filelib/orfx/index_writer.h"
#include "filelib/orfx/kel64_file.h"
#include "filelib/status.h"

namespace vslk64 {
namespace {

using Guard = platform::LockGuard;

}  // namespace

CEventChan::CEventChan(TKel64File* file, uint16_t chan, TDataKind kind)
    : CKel64Chan(file, chan, kind) {
  head_->itemSize = 8;
}

int CEventChan::WriteEvents(const TSTime64* times, uint64_t n) {
  if (n == 0) return kOk;
  Guard g(lock_);
  return AppendItemsLocked(reinterpret_cast<const uint8_t*>(times), n, kEventBytes,
                           AddEventItems);
}

CMarkerChan::CMarkerChan(TKel64File* file, uint16_t chan, TDataKind kind)
    : CKel64Chan(file, chan, kind) {
  head_->itemSize = 16;
}


int CMarkerChan::WriteMarkers(const TMarker* items, uint64_t n) {
  if (n == 0) return kOk;
  Guard g(lock_);
  return AppendItemsLocked(reinterpret_cast<const uint8_t*>(items), n, kMarkerBytes,
                           AddMarkerItems);
}

int CMarkerChan::WriteEvents(const TSTime64* times, uint64_t n) {
  if (n == 0) return kOk;
  Guard g(lock_);
  if (head_->kind != Level) return kErrWrongKind;
  // The level state must come from the last stored change, which the write
  // block holds once attached.
  int rc = EnsureWriteBlockLocked();
  if (rc < 0) return rc;
  const bool level = writeBlock_->Items() != 0 ? writeBlock_->LastCode() != 0
                                               : (head_->flags & kChanFlagInitLevel) != 0;
  const std::vector<TMarker> changes = LevelChangeMarkers(times, n, level);
  rc = AppendItemsLocked(reinterpret_cast<const uint8_t*>(changes.data()), changes.size(),
                         kMarkerBytes, AddMarkerItems);
  DropEmptyWriteBlock();
  return rc;
}

int CMarkerChan::EditMarker(TSTime64 t, const uint8_t* item, uint64_t bytes) {
  Guard g(lock_);
  return EditItemLocked(t, item, bytes);
}

int CMarkerChan::ReadLevels(TSTime64* out, TReadRange& range, bool* level) {
  if (range.nMax == 0) return 0;
  TMarker change{};
  TReadRange one(range.tFrom, range.tUpto, 1);
  int r = ReadMarkers(&change, one, nullptr);
  if (r < 0) return r;
  if (r > 0) {
    *level = change.code[0] != 0;
    return ReadEvents(out, range, nullptr);
  }
  // No change in the range: the last one before it decides.
  TReadRange back(-1, range.tFrom, 1);
  TSTime64 t;
  do {
    t = PrevNTime(back, nullptr, false);
  } while (t == kSearchBudgetSpent);
  if (t >= 0) {
    TReadRange at(t, t + 1, 1);
    r = ReadMarkers(&change, at, nullptr);
    if (r < 0) return r;
    if (r > 0) {
      *level = change.code[0] == 0;
      return 0;
    }
  } else if (t != -1) {
    return static_cast<int>(t);
  }
  Guard g(lock_);
  *level = (head_->flags & kChanFlagInitLevel) == 0;
  return 0;
}

bool CMarkerChan::LastLevel() {
  Guard g(lock_);
  if (writeBlock_ && writeBlock_->Items() != 0) return writeBlock_->LastCode() != 0;
  return (head_->flags & kChanFlagInitLevel) != 0;
}

std::vector<TMarker> LevelChangeMarkers(const TSTime64* times, uint64_t n, bool level) {
  const uint32_t c0 = level ? 0 : 1;
  std::vector<TMarker> changes;
  changes.reserve(static_cast<size_t>(std::min<uint64_t>(n, 1u << 20)));
  for (uint64_t i = 0; i < n; ++i) {
    if (i + 1 < n && times[i] == times[i + 1]) {
      ++i;  // a change and its reversal at the same time leave nothing
      continue;
    }
    TMarker m{};
    m.time = times[i];
    le::PutU32(m.code, i % 2 == 0 ? c0 : 1 - c0);
    changes.push_back(m);
  }
  return changes;
}


}  // namespace vslk64
