// The waveform-block work behind the whole-recording reads: converting a
// block's samples straight into doubles, and loading only the part of a
// block that holds its run heads.
#include <cstring>

#include "filelib/corruption.h"

#include "filelib/sample_convert.h"
#include "filelib/orfx/data_block.h"
#include "filelib/orfx/disk_block_head.h"
#include "filelib/status.h"

namespace vslk64 {

int CWaveBlock::ReadWaveD(double*& out, TReadRange& range, TSTime64* tFirst, double factor,
                          double offset) {
  const uint8_t* p = nullptr;
  const uint64_t n = PlanRead(range, tFirst, &p);
  // The float is formed first, exactly as ShortsToFloats forms it, so that
  // the double is that float widened and nothing more precise.
  if (sampleBytes_ == 2) {
    ShortsToDoubles(out, p, n, factor, offset);
  } else {
    FloatsToDoubles(out, p, n);
  }
  out += n;
  return static_cast<int>(n);
}

bool CWaveBlock::RunHeadsWithin(uint32_t bytes) const {
  TRun run;
  uint32_t at = kItemAreaAt;
  const uint32_t items = Items();
  for (uint32_t i = 0; i < items; ++i) {
    if (at + kRunHeadBytes > bytes) return false;
    // A head that fails here fails Validate too, on any image that holds it.
    if (!RunAt(at, &run)) return true;
    at = run.next;
  }
  return true;
}

int LoadRunHeads(CBlockIo& io, CWaveBlock& block, uint64_t pos, uint16_t reuseCount,
                 int64_t length) {
  if (pos != 0 && block.FilePos() == pos && block.ChanReuse() == reuseCount) return kOk;
  if (!DataBlockPosOk(pos, io.FileSize()))
    return KEL_CORRUPT("!DataBlockPosOk(pos, io.FileSize())");
  block.ForgetLastRun();
  // A block cut short by the end of the file is read whole, so that it fails
  // as a read of its samples would.
  const bool whole = length < 0 || pos > static_cast<uint64_t>(length) ||
                     static_cast<uint64_t>(length) - pos < kDataBlockSize;
  int rc = io.ReadRaw(block.Bytes(), whole ? kDataBlockSize : kRunHeadsReadBytes,
                      static_cast<int64_t>(pos));
  if (rc == kOk && !whole && !block.RunHeadsWithin(kRunHeadsReadBytes)) {
    rc = io.ReadRaw(block.Bytes(), kDataBlockSize, static_cast<int64_t>(pos));
  }
  return SettleLoadedBlock(block, rc, pos, reuseCount);
}

}  // namespace vslk64
