// The extended-marker channels (wave marks, real marks, text marks):
// CExtMarkChan and the item size of its kinds. The class is in channel.h.
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

CExtMarkChan::CExtMarkChan(TKel64File* file, uint16_t chan, TDataKind kind, uint16_t rows,
                           uint16_t cols, TSTime64 divide)
    : CKel64Chan(file, chan, kind) {
  const uint32_t size = static_cast<uint32_t>(ExtMarkItemSize(kind, rows, cols));
  headChanged_ = size != head_->itemSize || rows != head_->rows || cols != head_->cols ||
                 divide != head_->divide;
  head_->itemSize = size;
  head_->pointBytes = kind == WaveMark ? 2 : kind == RealMark ? 4 : 1;
  head_->rows = rows;
  head_->cols = cols;
  head_->divide = divide;
}

int CExtMarkChan::WriteExtMarks(const uint8_t* items, uint64_t n) {
  if (n == 0) return kOk;
  Guard g(lock_);
  return AppendItemsLocked(items, n, head_->itemSize, AddExtMarkItems);
}

int CExtMarkChan::EditMarker(TSTime64 t, const uint8_t* item, uint64_t bytes) {
  Guard g(lock_);
  return EditItemLocked(t, item, bytes);
}

int CExtMarkChan::ReadWaveS(int16_t* out, TReadRange& range, TSTime64* tFirst,
                            const CMarkFilter* filter) {
  if (!range.IsOpen()) return 0;
  Guard g(lock_);
  return ReadShortsLocked(out, range, tFirst, filter);
}

uint64_t ExtMarkItemSize(TDataKind kind, uint64_t rows, uint64_t cols) {
  // A text marker's characters are one trace whatever cols says.
  const uint64_t traces = kind == TextMark ? 1 : cols;
  const uint64_t payload = rows * traces * AttachedPointBytes(kind);
  return (16 + payload + 7) & ~uint64_t{7};
}

}  // namespace vslk64
