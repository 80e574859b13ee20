// The writing side of the ORF filing library, shared by its parts:
// kel_create.cc (new files, new channels, setters), kel_write.cc (disk
// writes, memory-held blocks, appending, overwriting, editing),
// kel_save_list.cc (store/discard switches) and kel_close.cc (flush, version
// choice, link repair, saved lookup tables, header writes).
//
// Memory-held blocks. Each channel of a file being written keeps its newest
// blocks in a ring of up to 128 (rt.memBlocks, oldest at rt.memOldest, the
// count in rt.memUsed); without buffering the ring holds one block, the
// channel's write buffer. A block leaves memory, oldest first, when a new
// block needs its slot, and at close; Commit writes without releasing. A
// block none of whose items is to be stored never reaches the disk.
//
// Chains on disk stay linked while a file is written: a block written
// while more data follows names its successor in advance (an address taken
// at fileEnd, which the channel's next stored block then occupies);
// otherwise the previous last block's nextBlock is pointed at each new
// block once that block is written. A successor named but never written is
// given back at close. The header on disk says linksComplete 0 until a
// clean close, so that a file left by a crashed writer is refused by
// readers (kKelNoLinks) until a writable open and close has rebuilt its
// links backward from the last committed block.
//
// All of this runs under the channel's lock; disk transfers take the file
// lock inside (lock order as in kel_file_rec.h).
#pragma once

#include <cstdint>

#include "filelib/orf/kel_file_rec.h"

namespace vslk64 {

constexpr int kMaxMemBlocks = 128;
constexpr int kMaxSwitches = 8;
constexpr uint32_t kMaxBlockBytes = 65023;

// Where a new file's first block goes: firstDataAddr rounded up to a whole
// 4 KiB page, so that blocks of page multiples (TKel32File's 32 KiB) lie
// on page boundaries; writes that straddle pages cost the disk a great
// deal. Readers find blocks through their addresses only. An address.
int64_t FirstBlockAddr(const TKelFileRec& rec);

// One positioned write of n bytes at byte position pos under the file lock:
// 0, kKelReadOnly, kKelNegativePos, kKelOutOfRange or kKelWrite.
int KelWriteAt(TKelFileRec& rec, const void* buf, uint32_t n, int64_t pos);

// The record of an open, writable file and a channel number in range:
// null with *status set otherwise.
TKelFileRec* WritableRecord(int f, int c, int* status);

// Writes the 512-byte header and the channel headers. `clean`: this is the
// final write of a close, so linksComplete goes to disk as it stands in
// memory; otherwise the disk copy says 0 (see above).
int WriteHeads(TKelFileRec& rec, bool clean);

// The close of a writable file before its record is released: flush,
// version choice, link repair, maximum times, saved lookup tables (large
// files) and the final header write. The first failure, or 0.
int KelCloseWritable(TKelFileRec& rec);

// Writes every memory-held block of channel c that holds items to store,
// oldest first; with `release` the ring is emptied afterwards.
int FlushChannel(TKelFileRec& rec, int c, bool release);

// Empties the channel's writer state (ring, switches, read caches) for a
// new or emptied channel.
void ResetChanWriter(TKelFileRec& rec, int c);

// Forgets what the channel's read path holds of blocks about to change.
void DropReadState(TKelFileRec& rec, int c);

// The channel's memory-held block at ring position k (0 = oldest).
inline TKelMemBlock& MemAt(TKelChanRt& rt, int k) {
  return rt.memBlocks[static_cast<size_t>((rt.memOldest + k) % static_cast<int>(rt.memBlocks.size()))];
}

// Applies the pending switches at or before t to the channel's store flag.
void ApplySwitchesUpTo(TKelChanRt& rt, int32_t t);

// Marks the items of the memory-held blocks in [tFrom, tTo] as to be
// stored or not.
void MarkMemItems(TKelFileRec& rec, int c, int32_t tFrom, int32_t tTo, bool save);

}  // namespace vslk64
