// TKel32File's lifecycle, file and channel properties, and the mapping of
// ORF status codes; channel data (saving, writing, reading) is in
// kel32_data.cc.
#include "filelib/orf/kel32_file.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "filelib/le.h"
#include "filelib/orf/kel_read.h"
#include "filelib/orf/kel_lib.h"
#include "filelib/orf/kel32_adapt.h"
#include "filelib/orf/orf_format.h"

namespace vslk64 {
namespace {

constexpr int kFileCommentSize = orf::kFileCommentBytes;     // 80
constexpr int kChanCommentSize = orf::kChanCommentBytes;     // 72
constexpr int kTitleSize = orf::kTitleBytes;                 // 10
constexpr int kUnitsSize = orf::kUnitsBytes;                 // 6
constexpr int kCommonFileComments = 9;  // numbers 5 to 8 exist only in the newer format

// A text for a field of `limit` bytes: when the cut at `limit` would split
// a multi-byte UTF-8 character (the byte after it continues one), the text
// is cut before that character instead, so no field ends in half a
// character.
std::string Trimmed(const char* text, size_t limit) {
  if (text == nullptr) return std::string();
  std::string s(text);
  if (s.size() > limit && (static_cast<uint8_t>(s[limit]) & 0xC0) == 0x80) {
    size_t cut = limit;
    while (cut > 0 && (static_cast<uint8_t>(s[cut]) & 0xC0) == 0x80) --cut;
    s.resize(cut);
  }
  return s;
}

// Copies an empty text into a caller's buffer, when there is room.
void EmptyText(char* buf, int bufSize) {
  if (buf != nullptr && bufSize >= 1) buf[0] = '\0';
}

}  // namespace

namespace {

// The ORF codes whose common code differs. Every other code, and every
// non-negative value, passes unchanged: the two sets of codes share their
// numbers otherwise (-5, -8, -10, -12 to -14, -17 to -22).
struct TStatusMapping {
  int orf;
  int common;
};
constexpr TStatusMapping kStatusMappings[] = {
    {kKelNoFile, kErrNoFile},
    {kKelReservedFile4, kErrNoFile},
    {kKelReservedFile6, kErrNoFile},
    {kKelNoSlot, kErrNoFile},
    {kKelNoChannel, kErrNoChannel},
    {kKelChanOff, kErrNoChannel},
};

}  // namespace

int Kel32StatusToCommon(int status) {
  for (const TStatusMapping& m : kStatusMappings) {
    if (m.orf == status) return m.common;
  }
  return status;
}

TKel32File::TKel32File(int32_t createMode) : m_createMode(createMode) {}

TKel32File::~TKel32File() {
  if (IsOpen()) Close();
}

bool TKel32File::ReadOnly() const { return KelIsReadOnly(m_file) != 0; }

int TKel32File::WriteRefused() const { return IsOpen() ? kErrReadOnly : kErrNoFile; }

int TKel32File::ChanInfo(uint16_t chan, TKelChanInfo* info) const {
  if (!IsOpen()) return kErrNoFile;
  const int st = KelChanInfo(m_file, chan, info);
  return st == kKelOk ? kOk : Kel32StatusToCommon(st);
}

bool TKel32File::ChanInRange(uint16_t chan) const {
  return IsOpen() && chan < KelChanCount(m_file);
}

// --- File lifecycle ----------------------------------------------------------

int TKel32File::Create(const char* path, uint16_t nChans, uint32_t extraBytes) {
  if (nChans > orf::kMaxChans || extraBytes > 0xFFFF) return kErrBadArg;
  if (IsOpen()) return kErrChannelUsed;
  const int f = KelCreateFile(path, nChans, extraBytes, m_createMode >= 1);
  if (f < 0) return Kel32StatusToCommon(f);
  m_file = static_cast<int16_t>(f);
  // No channel exists yet, so every extended-marker channel this file will
  // have is laid out with items padded to 4 bytes.
  KelSetAlignExt(m_file);
  return kOk;
}

int TKel32File::Open(const char* path, int mode, uint32_t) {
  if (IsOpen()) return kErrChannelUsed;
  if (mode < 0) mode = kKelOpenFallback;
  const int f = KelOpenFile(path, mode);
  if (f < 0) return Kel32StatusToCommon(f);
  m_file = static_cast<int16_t>(f);
  return kOk;
}

int TKel32File::Close() {
  if (!IsOpen()) return kErrNoFile;
  const int st = KelCloseFile(m_file);
  m_file = -1;
  return Kel32StatusToCommon(st);
}

int TKel32File::EmptyFile() {
  if (!IsOpen()) return kErrNoFile;
  return Kel32StatusToCommon(KelEmptyFile(m_file));
}

bool TKel32File::CanWrite() { return IsOpen() && !ReadOnly(); }

int TKel32File::GetFreeChan() {
  if (!IsOpen()) return kErrNoFile;
  const int n = KelChanCount(m_file);
  for (int c = 0; c < n; ++c)
    if (KelChanKind(m_file, c) == 0) return c;
  return kErrNoChannel;
}

int TKel32File::Commit(int flags) {
  if (!IsOpen()) return kErrNoFile;
  return Kel32StatusToCommon(
      KelCommit(m_file, (flags & kCommitHeadersOnly) == 0, (flags & kCommitFlushSystem) != 0));
}

bool TKel32File::IsModified() { return IsOpen() && KelIsModified(m_file) == 1; }

int TKel32File::FlushSysBuffers() { return IsOpen() ? kOk : kErrNoFile; }

// --- File properties ---------------------------------------------------------

double TKel32File::GetTimeBase() {
  if (!IsOpen()) return 0.0;
  return KelGetTimeBase(m_file) * KelTickMultiplier(m_file);
}

void TKel32File::SetTimeBase(double secsPerTick) {
  if (IsOpen()) KelSetTimeBase(m_file, secsPerTick);
}

int TKel32File::SetExtraData(const void* buf, uint32_t bytes, uint32_t offset) {
  if (!IsOpen()) return kErrNoFile;
  if (bytes > 0xFFFF || offset > 0xFFFF) return kErrBadArg;
  return Kel32StatusToCommon(KelSetExtraData(m_file, buf, bytes, offset));
}

int TKel32File::GetExtraData(void* buf, uint32_t bytes, uint32_t offset) {
  if (!IsOpen()) return kErrNoFile;
  if (bytes > 0xFFFF || offset > 0xFFFF) return kErrBadArg;
  return Kel32StatusToCommon(KelGetExtraData(m_file, buf, bytes, offset));
}

uint32_t TKel32File::GetExtraDataSize() {
  return IsOpen() ? static_cast<uint32_t>(KelExtraBytes(m_file)) : 0;
}

int TKel32File::SetFileComment(int n, const char* text) {
  if (!IsOpen()) return kErrNoFile;
  if (n < 0 || n >= kCommonFileComments) return kErrBadArg;
  if (n >= orf::kFileComments) return kOk;
  const std::string s = Trimmed(text, kFileCommentSize - 1);
  return Kel32StatusToCommon(KelSetFileComment(m_file, n, s.c_str()));
}

int TKel32File::GetFileComment(int n, int bufSize, char* buf) {
  if (!IsOpen()) return kErrNoFile;
  if (n < 0 || n >= kCommonFileComments) return kErrBadArg;
  if (buf == nullptr || bufSize < 1) return kFileCommentSize;
  if (n < orf::kFileComments) {
    KelGetFileComment(m_file, n, buf, bufSize);
  } else {
    EmptyText(buf, bufSize);
  }
  return kFileCommentSize;
}

int TKel32File::MaxChans() { return IsOpen() ? KelChanCount(m_file) : kErrNoFile; }

int TKel32File::AppID(TAppID* get, const TAppID* set) {
  if (!IsOpen()) return kErrNoFile;
  uint8_t id[orf::kAppIdBytes];
  int st = KelAppId(m_file, id, nullptr);
  if (get != nullptr) std::memcpy(get->chID, id, sizeof id);
  if (set != nullptr) {
    std::memcpy(id, set->chID, sizeof id);
    st = KelAppId(m_file, nullptr, id);
  }
  return Kel32StatusToCommon(st);
}

int TKel32File::TimeDate(TTimeDate* get, const TTimeDate* set) {
  if (!IsOpen()) return kErrNoFile;
  uint8_t old[orf::kTimeDateBytes];
  uint8_t now[orf::kTimeDateBytes];
  if (set != nullptr) {
    now[0] = set->hun;
    now[1] = set->sec;
    now[2] = set->min;
    now[3] = set->hour;
    now[4] = set->day;
    now[5] = set->mon;
    le::PutU16(now + 6, set->year);
  }
  const int st = KelTimeDate(m_file, old, set ? now : nullptr);
  if (get != nullptr) {
    get->hun = old[0];
    get->sec = old[1];
    get->min = old[2];
    get->hour = old[3];
    get->day = old[4];
    get->mon = old[5];
    get->year = le::GetU16(old + 6);
  }
  return Kel32StatusToCommon(st);
}

int TKel32File::GetVersion() { return IsOpen() ? KelFileVersion(m_file) : kErrNoFile; }

int64_t TKel32File::FileSize() {
  if (!IsOpen()) return kErrNoFile;
  return KelFileBytesNeeded(m_file);
}

int64_t TKel32File::ChanBytes(uint16_t chan) {
  if (!IsOpen()) return kErrNoFile;
  return std::max<int64_t>(KelChanBytes(m_file, chan), 0);
}

TSTime64 TKel32File::MaxTime(bool) {
  if (!IsOpen()) return kErrNoFile;
  return KelFileMaxTime(m_file);
}

void TKel32File::ExtendMaxTime(TSTime64 t) {
  if (!IsOpen() || t < 0) return;
  KelExtendMaxTime(m_file, static_cast<int32_t>(std::min<TSTime64>(t, kMaxTime32)));
}

// --- Channel properties ------------------------------------------------------

TDataKind TKel32File::ChanKind(uint16_t chan) {
  if (!IsOpen()) return ChanOff;
  const int kind = KelChanKind(m_file, chan);
  return kind > 0 ? static_cast<TDataKind>(kind) : ChanOff;
}

TSTime64 TKel32File::ChanDivide(uint16_t chan) {
  if (!IsOpen()) return kErrNoFile;
  return Kel32StatusToCommon(KelChanDivide(m_file, chan));
}

double TKel32File::IdealRate(uint16_t chan, double rate) {
  if (!ChanInRange(chan)) return 0.0;
  return KelIdealRate(m_file, chan, rate);
}

int TKel32File::PhyChan(uint16_t chan) {
  if (!IsOpen()) return kErrNoFile;
  TKelChanInfo info;
  return KelChanInfo(m_file, chan, &info) == kKelOk ? info.phyChan : -1;
}

int TKel32File::SetChanComment(uint16_t chan, const char* text) {
  if (!IsOpen()) return kErrNoFile;
  // The field holds 71 characters: cut there, at a character's edge.
  const std::string s = Trimmed(text, kChanCommentSize - 1);
  return Kel32StatusToCommon(KelSetChanComment(m_file, chan, s.c_str()));
}

int TKel32File::GetChanComment(uint16_t chan, int bufSize, char* buf) {
  if (!IsOpen()) return kErrNoFile;
  if (!ChanInRange(chan)) return kErrNoChannel;
  if (buf != nullptr && bufSize >= 1) KelGetChanComment(m_file, chan, buf, bufSize);
  return kChanCommentSize;
}

int TKel32File::SetChanTitle(uint16_t chan, const char* text) {
  if (!IsOpen()) return kErrNoFile;
  const std::string s = Trimmed(text, kTitleSize - 1);
  return Kel32StatusToCommon(KelSetChanTitle(m_file, chan, s.c_str()));
}

int TKel32File::GetChanTitle(uint16_t chan, int bufSize, char* buf) {
  if (!IsOpen()) return kErrNoFile;
  if (!ChanInRange(chan)) return kErrNoChannel;
  if (buf != nullptr && bufSize >= 1) KelGetChanTitle(m_file, chan, buf, bufSize);
  return kTitleSize;
}

int TKel32File::SetChanScale(uint16_t chan, double scale) {
  if (!IsOpen()) return kErrNoFile;
  return Kel32StatusToCommon(KelSetChanScale(m_file, chan, static_cast<float>(scale)));
}

int TKel32File::GetChanScale(uint16_t chan, double* scale) {
  TKelChanInfo info;
  const int st = ChanInfo(chan, &info);
  if (st != kOk) return st;
  if (scale != nullptr) *scale = info.scale;
  return kOk;
}

int TKel32File::SetChanOffset(uint16_t chan, double offset) {
  if (!IsOpen()) return kErrNoFile;
  return Kel32StatusToCommon(KelSetChanOffset(m_file, chan, static_cast<float>(offset)));
}

int TKel32File::GetChanOffset(uint16_t chan, double* offset) {
  TKelChanInfo info;
  const int st = ChanInfo(chan, &info);
  if (st != kOk) return st;
  if (offset != nullptr) *offset = info.offset;
  return kOk;
}

int TKel32File::SetChanUnits(uint16_t chan, const char* units) {
  if (!IsOpen()) return kErrNoFile;
  const std::string s = Trimmed(units, kUnitsSize - 1);
  return Kel32StatusToCommon(KelSetChanUnits(m_file, chan, s.c_str()));
}

int TKel32File::GetChanUnits(uint16_t chan, int bufSize, char* buf) {
  if (!IsOpen()) return kErrNoFile;
  if (!ChanInRange(chan)) return kErrNoChannel;
  if (buf != nullptr && bufSize >= 1) KelGetChanUnits(m_file, chan, buf, bufSize);
  return kUnitsSize;
}

TSTime64 TKel32File::ChanMaxTime(uint16_t chan) {
  if (!IsOpen()) return kErrNoFile;
  return Kel32StatusToCommon(KelChanMaxTime(m_file, chan));
}

TSTime64 TKel32File::PrevNTime(uint16_t chan, TSTime64 tFrom, TSTime64 tTo, uint32_t n,
                               const CMarkFilter* filter, bool asWave) {
  if (!IsOpen()) return kErrNoFile;
  if (tFrom >= kTime32Limit || tTo >= kTime32Limit) return kErrOutOfRange;
  if (tFrom < 0) return kNoneFound;  // nothing lies before a negative time
  const int32_t to = static_cast<int32_t>(std::max<TSTime64>(tTo, INT32_MIN));
  TKelFilter orfFilter;
  const int32_t r = KelPrevNTime(m_file, chan, static_cast<int32_t>(tFrom), to, n, asWave,
                                 ToOrfFilter(filter, &orfFilter));
  // The file is open, so the ORF library's -1 here is its "none found".
  return r == kKelNoneFound ? kNoneFound : Kel32StatusToCommon(r);
}

int TKel32File::ChanDelete(uint16_t chan) {
  if (!IsOpen()) return kErrNoFile;
  return Kel32StatusToCommon(KelChanDelete(m_file, chan));
}

int TKel32File::ChanUndelete(uint16_t chan, int action) {
  TKelChanInfo info;
  const int st = ChanInfo(chan, &info);
  if (st != kOk) return st;
  if (action != 0) return kErrWrongKind;
  return info.kind == 0 && info.deletedCount > 0 && orf::IsUsable(info.nextDeleted) ? 1 : 0;
}

int TKel32File::SetChanYRange(uint16_t chan, double low, double high) {
  if (!IsOpen()) return kErrNoFile;
  return Kel32StatusToCommon(
      KelSetChanRange(m_file, chan, static_cast<float>(low), static_cast<float>(high)));
}

int TKel32File::GetChanYRange(uint16_t chan, double* low, double* high) {
  TKelChanInfo info;
  const int st = ChanInfo(chan, &info);
  if (st != kOk) return st;
  double lo = 0.0, hi = 1.0;
  switch (info.kind) {
    case Adc: case WaveMark: case RealWave:
      lo = static_cast<double>(info.offset) - 5.0 * info.scale;
      hi = static_cast<double>(info.offset) + 5.0 * info.scale;
      break;
    case EventA: case EventB: case Level: case Marker: case TextMark:
      hi = info.idealRate;
      break;
    case RealMark:
      lo = info.minValue;
      hi = info.maxValue;
      break;
    default: break;
  }
  if (low != nullptr) *low = lo;
  if (high != nullptr) *high = hi;
  return kOk;
}

int TKel32File::ItemSize(uint16_t chan) {
  TKelChanInfo info;
  const int st = ChanInfo(chan, &info);
  if (st != kOk) return st;
  switch (info.kind) {
    case ChanOff: return 0;
    case Adc: return 2;
    case EventA: case EventB: return 8;
    case Marker: return 16;
    case RealWave: return 4;
    default:
      // A level change reads as a marker; extended markers as TExtMark.
      return info.itemBytes < 2 ? 0 : static_cast<int>((info.itemBytes + 15) & ~7u);
  }
}

}  // namespace vslk64
