// Block reading, block checks and the search for the first block of a time
// range, for the callers inside the ORF filing library that already hold the
// channel's lock (the data reads, open and the public Kel functions).
//
// Data blocks form one doubly linked chain per channel. Every block read
// into a channel's buffer is checked: it names the channel, its prevBlock
// lies within the file, 0 <= startTime <= endTime, its items fit blockBytes
// and, for waveforms, endTime is the time of its last sample. A block with
// no items passes unchecked.
#pragma once

#include <cstdint>

#include "filelib/orf/kel_file_rec.h"
#include "filelib/orf/kel_lib.h"

namespace vslk64 {

TKelBlockHead DecodeBlockHead(const uint8_t* p);

// The checks above, on a block header of channel c: 0 or kKelCorrupt.
int CheckBlockHead(const TKelFileRec& rec, int c, const TKelBlockHead& h);

// Reads and checks the header of channel c's block at addr into *h; a
// nextBlock beyond the file reads as -1.
int ReadHeadChecked(TKelFileRec& rec, int c, int32_t addr, TKelBlockHead* h);

// KelReadBlock with the channel lock held; rt.block then points at the
// block. `ahead`: the caller is walking forward along the chain, so the
// file beyond the block is read with it (up to kReadAheadBytes) and the
// following blocks come from there when they lie in it.
int ReadBlockLocked(TKelFileRec& rec, int c, int32_t addr, bool ahead = false);

constexpr uint32_t kReadAheadBytes = 512 * 1024;
// Channels of one file that may hold a read-ahead window at once.
constexpr int kMaxWindows = 4;

// Gives back the channel's read-ahead window, for a writer about to change
// blocks it may hold.
void DropReadAhead(TKelFileRec& rec, TKelChanRt& rt);

// The header of the channel's current block.
inline TKelBlockHead BufferHead(const TKelChanRt& rt) { return DecodeBlockHead(rt.block); }

// Whether a chain walk may go on to `next` from a block of this channel:
// a usable address that does not lie above the channel's last block.
bool ChainContinues(const TKelChanRt& rt, int32_t next);

// A result of FindBlockLocked that is a status, not an address: memory
// references of blocks a writer holds are negative too.
inline bool IsFailure(int32_t addr) { return addr < 0 && !orf::IsMemRef(addr); }

// KelFindBlock with the channel lock held: a disk address, a memory
// reference, 0 when no block holds the range, or a status.
int32_t FindBlockLocked(TKelFileRec& rec, int c, int32_t tFrom, int32_t tTo);

// The channel's newest block with items: the newest one a writer holds in
// memory (a memory reference), else the last block on disk; 0 when the
// channel has none.
int32_t NewestBlockLocked(TKelFileRec& rec, int c);

// Sets the channel's walk limit from its block count and the file's size.
void SetWalkLimit(TKelFileRec& rec, int c);

// KelLoadLookup for a record being opened.
void LoadLookupTables(TKelFileRec& rec);

}  // namespace vslk64
