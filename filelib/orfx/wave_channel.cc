// The waveform channels: 16-bit samples (CAdcChan) and floats
// (CRealWChan). The whole-recording reads they share with the base channel
// are in wave_reads.cc and wave_runs.cc; the classes are in channel.h.
#include "filelib/orfx/channel.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "filelib/orfx/block_io.h"
#include "filelib/orfx/channel_templates.h"
#include "filelib/orfx/disk_block_head.h"
#include "filelib/orfx/index_writer.h"
#include "filelib/orfx/kel64_file.h"
#include "filelib/status.h"

namespace vslk64 {
namespace {

using Guard = platform::LockGuard;

// Floats converted per pass when 16-bit samples are read from a float
// channel: the staging buffer stays small whatever the caller asks for.
constexpr uint64_t kFloatChunk = 16384;

// The typed block operations, chosen by sample type.
int AddSamples(CDataBlock& b, const int16_t*& in, uint64_t n, TSTime64 t) {
  return b.AddWaveS(in, n, t);
}
int AddSamples(CDataBlock& b, const float*& in, uint64_t n, TSTime64 t) {
  return b.AddWaveF(in, n, t);
}
int ChangeBlockSamples(CDataBlock& b, const int16_t* in, uint64_t n, TSTime64 t, uint64_t* first) {
  return b.ChangeWaveS(in, n, t, first);
}
int ChangeBlockSamples(CDataBlock& b, const float* in, uint64_t n, TSTime64 t, uint64_t* first) {
  return b.ChangeWaveF(in, n, t, first);
}

}  // namespace

// Sample writes and changes are templates over the sample type, used only
// by the two waveform kinds here.
template <typename Sample>
int CKel64Chan::ChangeSamplesLocked(const Sample* data, uint64_t n, TSTime64 t) {
  const TSTime64 divide = head_->divide;
  uint64_t remaining = n;  // leading samples still to be done
  const TSTime64 limit = WriteLimitLocked();
  if (writeBlock_ && writeBlock_->Items() != 0) {
    uint64_t first = 0;
    const int r = ChangeBlockSamples(*writeBlock_, data, n, t, &first);
    if (r == 0) return kOk;  // t lies after every stored sample
    if (r > 0) remaining = first;
    if (remaining == 0) return kOk;
  }
  int rc = cursor_.FindBlock(t);
  if (rc < 0) return rc;
  while (rc == 0 && remaining > 0) {
    CDataBlock& block = *cursor_.Block();
    // The write block holds the newer image of the channel's last block.
    if (block.FirstTime() >= limit) break;
    uint64_t first = 0;
    const int r = ChangeBlockSamples(block, data, remaining, t, &first);
    if (r < 0) break;  // every remaining sample lies before this block
    if (r > 0) {
      const uint64_t done = std::min<uint64_t>(first + static_cast<uint64_t>(r), remaining);
      data += done;
      remaining -= done;
      t += static_cast<TSTime64>(done) * divide;
    }
    if (block.IsDirty() && block.FilePos() != 0) {
      rc = file_->WriteRaw(block.Bytes(), kDataBlockSize, static_cast<int64_t>(block.FilePos()));
      if (rc < 0) return rc;
      block.SetDirty(false);
    }
    if (remaining > 0) rc = cursor_.NextBlock();
  }
  return rc < 0 ? rc : kOk;
}

template <typename Sample>
int CKel64Chan::ChangeSamples(const Sample* data, uint64_t n, TSTime64 t) {
  if (n == 0) return kOk;
  Guard g(lock_);
  return ChangeSamplesLocked(data, n, t);
}

template <typename Sample>
TSTime64 CKel64Chan::WriteSamples(const Sample* data, uint64_t n, TSTime64 t) {
  if (n == 0) return t;
  Guard g(lock_);
  const TSTime64 divide = head_->divide;
  if (t < 0 || t >= kMaxTime64 || divide < 1) return kErrOutOfRange;
  // Every sample time, and the time after the last, must be a tick time.
  if (n > static_cast<uint64_t>((kMaxTime64 - t) / divide)) return kErrOutOfRange;
  const TSTime64 last = LastTimeLocked();
  if (t <= last) {
    const int rc = ChangeSamplesLocked(data, n, t);
    if (rc < 0) return rc;
    const TSTime64 end = t + static_cast<TSTime64>(n) * divide;
    if (end - divide <= last) return end;
    const uint64_t k = static_cast<uint64_t>((last - t) / divide + 1);
    data += k;
    n -= k;
    t += static_cast<TSTime64>(k) * divide;
  }
  int rc = EnsureWriteBlockLocked();
  if (rc < 0) return rc;
  CDataBlock& block = *writeBlock_;
  while (n > 0) {
    const int m = AddSamples(block, data, n, t);
    if (m < 0) return m;
    if (m > 0) {
      n -= static_cast<uint64_t>(m);
      t += static_cast<TSTime64>(m) * divide;
      continue;
    }
    // Nothing fitted: with the block empty the samples can never be stored
    // (their times run out of the tick range); otherwise the block is full.
    if (block.Items() == 0) {
      DropEmptyWriteBlock();
      return kErrOutOfRange;
    }
    if (block.IsDirty()) {
      rc = WriteBlock(block);
      if (rc < 0) return rc;
    }
    block.Reset();
  }
  return t;
}

CAdcChan::CAdcChan(TKel64File* file, uint16_t chan, TSTime64 divide) : CKel64Chan(file, chan, Adc) {
  head_->itemSize = 2;
  head_->divide = divide;
}

TSTime64 CAdcChan::WriteWaveS(const int16_t* data, uint64_t n, TSTime64 t) {
  return WriteSamples(data, n, t);
}

int CAdcChan::ChangeWaveS(const int16_t* data, uint64_t n, TSTime64 t) {
  return ChangeSamples(data, n, t);
}

int CAdcChan::ReadWaveS(int16_t* out, TReadRange& range, TSTime64* tFirst,
                        const CMarkFilter* filter) {
  if (!range.IsOpen()) return 0;
  Guard g(lock_);
  return ReadShortsLocked(out, range, tFirst, filter);
}

CRealWChan::CRealWChan(TKel64File* file, uint16_t chan, TSTime64 divide)
    : CKel64Chan(file, chan, RealWave) {
  head_->itemSize = 4;
  head_->divide = divide;
}

TSTime64 CRealWChan::WriteWaveF(const float* data, uint64_t n, TSTime64 t) {
  return WriteSamples(data, n, t);
}

int CRealWChan::ChangeWaveF(const float* data, uint64_t n, TSTime64 t) {
  return ChangeSamples(data, n, t);
}

int CRealWChan::ReadWaveF(float* out, TReadRange& range, TSTime64* tFirst, const CMarkFilter*) {
  if (!range.IsOpen()) return 0;
  Guard g(lock_);
  const int rc = CheckKindLocked(RealWave, RealWave);
  if (rc != kOk) return rc;
  return ReadLocked(range, true, [&](CDataBlock& block) {
    return block.ReadWaveF(out, range, tFirst, nullptr);
  });
}

// Floats are read in pieces through a small buffer and converted; the range
// carries the read from one piece to the next, so the pieces join exactly as
// one read would.
int CRealWChan::ReadWaveS(int16_t* out, TReadRange& range, TSTime64* tFirst,
                          const CMarkFilter*) {
  if (!range.IsOpen()) return 0;
  const uint64_t wanted = range.nMax;
  std::vector<float> floats(static_cast<size_t>(std::min(wanted, kFloatChunk)));
  uint64_t total = 0;
  for (;;) {
    const uint64_t piece = std::min<uint64_t>(wanted - total, floats.size());
    range.nMax = piece;
    const int n = ReadWaveF(floats.data(), range, tFirst, nullptr);
    if (n < 0) return n;
    {
      Guard g(lock_);
      FloatsToShorts(out + total, floats.data(), static_cast<uint64_t>(n));
    }
    total += static_cast<uint64_t>(n);
    // nMax left above 0 means the read stopped short of the piece: the end
    // of the data or of the block budget. nMax 0 with the range closed is
    // the end of the range or a gap.
    const bool pieceFull = range.nMax == 0 && static_cast<uint64_t>(n) == piece;
    const bool closed = range.tFrom >= range.tUpto || range.tUpto < 1;
    if (!pieceFull || closed || total == wanted || range.nTries == 0) {
      if (!closed || range.nMax != 0) range.nMax = wanted - total;
      return static_cast<int>(total);
    }
  }
}

}  // namespace vslk64
