// CKel64Chan::ReadWaveRuns: the stretches of contiguous samples of a
// waveform channel, found from the run heads alone.
//
// A reader that indexes a recording wants where its samples lie, not the
// samples. Each run head gives a run's first time and count, and the heads
// of a block of one long run sit in its first 4 KiB, so the walk reads that
// much of each block (all of it only when its runs do not fit there) through
// a cursor of its own: the channel's read cursor and its block stay as they
// were. Stretches join and break exactly where waveform reads join and break
// them: a run continues the stretch before it only when that stretch ended
// with the last run of a block, the run is the first of the next block and
// it starts one divide after the stretch's last sample.
#include "filelib/orfx/channel.h"

#include "filelib/corruption.h"
#include "filelib/orfx/kel64_file.h"
#include "filelib/status.h"

namespace vslk64 {
namespace {

using Guard = platform::LockGuard;

// Joins runs into stretches and hands each finished one to the sink.
class CStretchJoiner {
 public:
  CStretchJoiner(CWaveRunSink& sink, TSTime64 from, TSTime64 divide)
      : sink_(sink), from_(from), divide_(divide) {}

  // One run, in time order; false when the sink stopped the walk. Every run
  // passed Validate (or was written by this library), so start + count *
  // divide is a tick time.
  bool Run(TSTime64 start, uint64_t count, bool firstInBlock, bool lastInBlock) {
    if (!started_) {
      // Reads start at the first sample at or after from.
      const TSTime64 last = start + static_cast<TSTime64>(count - 1) * divide_;
      if (last < from_) return true;
      if (start < from_) {
        const uint64_t skip = static_cast<uint64_t>((from_ - start + divide_ - 1) / divide_);
        start += static_cast<TSTime64>(skip) * divide_;
        count -= skip;
      }
      started_ = true;
    }
    if (open_ && joinable_ && firstInBlock && start == next_) {
      count_ += count;
    } else {
      if (open_ && !sink_.Put(first_, count_)) return false;
      first_ = start;
      count_ = count;
      open_ = true;
    }
    next_ = start + static_cast<TSTime64>(count) * divide_;
    joinable_ = lastInBlock;
    return true;
  }

  // The time the next sample would need to continue the open stretch, and
  // whether one may (the stretch ended with a block's last run).
  bool CanContinueAt(TSTime64 t) const { return !open_ || (joinable_ && next_ == t); }

  bool Finish() {
    if (!open_) return true;
    open_ = false;
    return sink_.Put(first_, count_);
  }

 private:
  CWaveRunSink& sink_;
  const TSTime64 from_;
  const TSTime64 divide_;
  bool started_ = false;
  bool open_ = false;
  bool joinable_ = false;
  TSTime64 first_ = 0;
  uint64_t count_ = 0;
  TSTime64 next_ = 0;
};

// Feeds the runs of one block to the joiner; false when the sink stopped.
bool FeedBlock(const CDataBlock& block, CStretchJoiner& joiner) {
  bool going = true;
  bool first = true;
  static_cast<const CWaveBlock&>(block).ForEachRun(
      [&](TSTime64 start, uint64_t count, bool last) {
        if (going) going = joiner.Run(start, count, first, last);
        first = false;
      });
  return going;
}

}  // namespace

int CKel64Chan::ReadWaveRuns(TSTime64 tFrom, CWaveRunSink& sink) {
  Guard g(lock_);
  const uint8_t kind = head_->kind;
  if (kind == ChanOff) return kErrNoChannel;
  if (kind != Adc && kind != RealWave) return kErrWrongKind;
  CIndexCursor cursor(chan_, head_, file_, &indexPath_);
  if (cursor.Block() == nullptr) return KEL_CORRUPT("cursor.Block() == nullptr");
  cursor.LoadRunHeadsOnly(file_->FileLength());
  const TSTime64 divide = static_cast<const CWaveBlock*>(cursor.Block())->Divide();
  CStretchJoiner joiner(sink, tFrom, divide);

  // Disk blocks hold everything before the write block's first time.
  const TSTime64 limit = WriteLimitLocked();
  if (tFrom < limit) {
    int rc = cursor.FindBlock(tFrom);
    if (rc < 0) return rc;
    while (rc == 0) {
      const CDataBlock& block = *cursor.Block();
      if (block.FirstTime() >= limit) break;
      if (!FeedBlock(block, joiner)) return kOk;
      rc = cursor.NextBlock();
      if (rc < 0) return rc;
    }
  }
  if (writeBlock_ && writeBlock_->Items() != 0) {
    // The write block's samples join the disk's only where they continue
    // them exactly; anything else is a gap.
    if (!joiner.CanContinueAt(limit) && !joiner.Finish()) return kOk;
    if (!FeedBlock(*writeBlock_, joiner)) return kOk;
  }
  joiner.Finish();
  return kOk;
}

}  // namespace vslk64
