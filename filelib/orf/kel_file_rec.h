// The in-memory state of the ORF filing library: one record per open file,
// kept in a table of at most 256 slots indexed by file number, with the
// per-channel runtime records, and the positioned disk read every part of
// the library goes through.
//
// Internal to filelib/orf/; the Kel functions (kel_lib.h) are the interface.
//
// A channel walking forward along its chain may hold a read-ahead window, a
// span of the file read in one transfer (kel_block.h); at most a few
// channels of a file hold one at a time, and a walk that reaches the
// channel's last block gives it back. A writer must drop the windows of the
// blocks it rewrites.
//
// Locks: each record has a file lock, held from positioning to the end of
// each disk transfer, and one lock per channel, held for every operation on
// that channel's data. Lock order: a channel lock first, the file lock
// second. Opening and closing are not guarded against concurrent use of the
// same file number; callers serialise them.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "filelib/orf/lookup_table.h"
#include "filelib/orf/orf_format.h"
#include "platform/file.h"
#include "platform/locks.h"

namespace vslk64 {

// A block a writer holds in memory before it reaches the disk. Only files
// being written have any; a file opened for reading never does.
struct TKelMemBlock {
  int32_t diskAddr = orf::kNoBlock;  // -1 while the block has no place on disk
  // One flag per item: 1 when the item is to be stored. A block with no
  // item to store never reaches the disk.
  std::vector<uint8_t> store;
  bool modified = false;
  bool writtenOnce = false;
  std::vector<uint8_t> image;        // blockBytes bytes
};

// A pending store/discard switch: items from `time` on are stored or not.
struct TKelSwitch {
  int32_t time;
  bool save;
};

// The runtime record of one channel slot.
struct TKelChanRt {
  CKelLookup lookup;
  std::vector<uint8_t> buffer;          // one block of blockBytes bytes
  int32_t bufferAddr = orf::kNoBlock;   // the block now in the buffer
  // The current block's bytes: in `buffer`, or in the read-ahead window.
  uint8_t* block = nullptr;
  // Read-ahead for walks along the chain: a span of the file read in one
  // transfer, from which the following blocks are taken when they lie in it.
  std::vector<uint8_t> window;
  int64_t windowPos = -1;               // byte position of window[0]
  uint32_t windowLen = 0;
  // The most recent block read from disk: a one-block cache for the search.
  int32_t recentAddr = orf::kNoBlock;
  int32_t recentStart = 0;
  int32_t recentEnd = -1;
  // Copies of the channel header's lastBlock and block count, kept current
  // by a writer.
  int32_t lastBlock = orf::kNoBlock;
  uint32_t blockCount = 0;
  int32_t maxTime = -1;                 // cached maximum time
  // Ring of memory-held blocks, oldest first (files being written).
  std::vector<TKelMemBlock> memBlocks;
  int memUsed = 0;
  int memOldest = 0;
  int32_t memOldestStart = -1;
  // Writer state: the memory-held blocks wanted (1 to 128), the current
  // store flag and the pending switches (at most kMaxSwitches, in time
  // order), the latest time the caller promised, and whether the last
  // block on disk is known to end its chain (nextBlock -1 as we wrote it).
  int memWanted = 1;
  bool saving = true;
  std::vector<TKelSwitch> switches;
  int32_t latestTime = -1;
  bool lastNextOpen = false;
  // The address the last block on disk names as its successor, taken in
  // advance for the channel's next block (-1 when none is).
  int32_t reservedNext = orf::kNoBlock;
  // Most blocks a chain walk of this channel may visit; a longer walk means
  // a cycle or a corrupt count.
  uint32_t walkLimit = 0;
};

struct TKelFileRec {
  std::atomic<bool> inUse{false};
  bool buffersAllocated = false;
  bool modified = false;
  bool readOnly = true;
  std::unique_ptr<platform::File> handle;
  uint8_t head[orf::kFileHeadSize] = {};
  std::vector<uint8_t> chanHeads;       // chanAreaBytes bytes
  std::vector<TKelChanRt> chans;        // one per channel slot
  int64_t fileEnd = 0;                  // address at which the next new block goes
  int64_t fileBytes = 0;                // length of the file at open
  std::atomic<int> windowsHeld{0};      // channels holding a read-ahead window
  int16_t diskVersion = 0;              // the version found on disk
  platform::Mutex fileLock;
  std::array<platform::Mutex, orf::kMaxChans> chanLocks;

  bool created = false;                 // made by KelCreateFile: buffering applies

  bool Large() const { return diskVersion > orf::kCurrentVersion; }
  int ChanCount() const { return static_cast<int>(chans.size()); }
  uint8_t* ChanHead(int c) { return chanHeads.data() + orf::kChanHeadSize * static_cast<size_t>(c); }
  const uint8_t* ChanHead(int c) const {
    return chanHeads.data() + orf::kChanHeadSize * static_cast<size_t>(c);
  }
  bool AlignExt() const { return (head[orf::kHAlignFlags] & orf::kAlignExtMarks) != 0; }
  uint32_t ItemBytes(int c) const {
    const uint8_t* ch = ChanHead(c);
    return orf::ItemBytes(orf::ChanKind(ch), orf::ChanExtraBytes(ch), AlignExt());
  }
  int64_t AddrToPos(int32_t addr) const {
    return Large() ? static_cast<int64_t>(addr) * orf::kAddrUnit : addr;
  }
  // The bytes that fileEnd stands for.
  int64_t FileEndBytes() const { return Large() ? fileEnd * orf::kAddrUnit : fileEnd; }
  // Whether a disk address lies beyond what a block may occupy: for large
  // files at or beyond fileEnd, otherwise beyond fileEnd - 512.
  bool BeyondFile(int32_t addr) const {
    return Large() ? addr >= fileEnd : addr > fileEnd - static_cast<int64_t>(orf::kAddrUnit);
  }
};

// The record of an open file number, or null when f is not open.
TKelFileRec* KelRecord(int f);
// The record of an open file whose channel number c is in range; otherwise
// null, with *status kKelNoFile or kKelNoChannel (kKelOk on success).
TKelFileRec* KelChanRecord(int f, int c, int* status);

// Takes the lowest free slot and marks it in use: its file number, or
// kKelNoSlot. *rec receives the record.
int KelAcquireSlot(TKelFileRec** rec);

// Frees a record's buffers and handle and returns its slot to the free list.
void KelReleaseSlot(TKelFileRec& rec);

// One positioned read of exactly n bytes at byte position pos under the
// file lock: 0, kKelNegativePos, kKelOutOfRange or kKelRead.
int KelReadAt(TKelFileRec& rec, void* buf, uint32_t n, int64_t pos);

}  // namespace vslk64
