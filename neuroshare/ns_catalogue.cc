#include "neuroshare/ns_catalogue.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "filelib/sample_convert.h"
#include "neuroshare/ns_api.h"
#include "neuroshare/ns_read_cache.h"
#include "platform/file.h"

namespace nsv {
namespace {

using vslk64::TSTime64;

// Seconds per tick of a file whose own value is unusable (not a positive
// finite number): the default clock of both formats.
constexpr double kDefaultSecsPerTick = 1e-6;


// Indices are 32-bit: items past the last addressable one are not indexed.
constexpr uint64_t kMaxItems = UINT32_MAX;

// Zero-terminates a text field a file object copied into.
template <size_t N>
void Terminate(char (&text)[N]) {
  text[N - 1] = '\0';
}

// The text of a file whose comment 0 is empty: the file's name from its last
// path separator on (the separator included) and today's date as MM/DD/YY.
void WriteConversionComment(const char* path, char (&comment)[kNsCommentBytes]) {
  const char* name = path ? path : "";
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') name = p;
  }
  const platform::LocalTime now = platform::Now();
  char date[40];
  std::snprintf(date, sizeof date, "%02d/%02d/%02d", now.month % 100, now.day % 100,
                now.year % 100);
  std::snprintf(comment, sizeof comment, "Converted from VSL ORF file %s on %8s.", name, date);
}

// Appends a chunk of n items (n ≥ 1) and counts them; n is cut so that no
// index passes the 32-bit range. Returns the number kept.
uint32_t AddChunk(TNsEntity& entity, TSTime64 first, TSTime64 last, uint32_t n) {
  const uint32_t room = static_cast<uint32_t>(kMaxItems - entity.itemCount);
  n = std::min(n, room);
  entity.chunks.push_back({first, last, entity.itemCount, n});
  entity.itemCount += n;
  return n;
}

// Waveforms: the stretches of contiguous samples, found from the channel's
// run heads without reading a sample, cut into chunks of kNsChunkSamples:
// the chunks that reads of kNsChunkSamples from time 0 on, each starting one
// divide after the last, would make (a read stops at a gap or when full).
class CChunkCutter : public vslk64::CWaveRunSink {
 public:
  explicit CChunkCutter(TNsEntity& entity) : entity_(entity) {}

  bool Put(TSTime64 first, uint64_t count) override {
    // Stretches come in time order, each after the last; anything else
    // would index samples twice or out of order.
    if (first < from_ || count == 0) {
      failed_ = true;
      return false;
    }
    const TSTime64 divide = entity_.divide;
    while (count > 0) {
      // Reads end before the open end of time; samples there are not indexed.
      if (first >= vslk64::kMaxTime64) return false;
      const uint64_t before = static_cast<uint64_t>((vslk64::kMaxTime64 - first - 1) / divide) + 1;
      const uint32_t n = static_cast<uint32_t>(
          std::min<uint64_t>({count, static_cast<uint64_t>(kNsChunkSamples), before}));
      TSTime64 span;
      TSTime64 last;
      if (__builtin_mul_overflow(static_cast<TSTime64>(n - 1), divide, &span) ||
          __builtin_add_overflow(first, span, &last)) {
        return false;  // samples beyond the range of tick times cannot be indexed
      }
      const uint32_t kept = AddChunk(entity_, first, last, n);
      if (kept < n || entity_.itemCount == kMaxItems) return false;
      if (__builtin_add_overflow(last, divide, &from_)) return false;
      first = from_;
      count -= n;
    }
    return true;
  }

  bool Failed() const { return failed_; }

 private:
  TNsEntity& entity_;
  TSTime64 from_ = 0;  // where the next chunk may start
  bool failed_ = false;
};

int ScanSamples(vslk64::CKel64File& file, TNsEntity& entity) {
  CChunkCutter cutter(entity);
  const int rc = file.ReadWaveRuns(entity.chan, 0, cutter);
  return rc < 0 || cutter.Failed() ? ns_FILEERROR : 0;
}

// Item kinds: reads of kNsChunkItems times (or markers, whose codes a
// WaveMark channel counts).
int ScanItems(vslk64::CKel64File& file, TNsEntity& entity, TNsScratch& scratch,
              bool asMarkers) {
  auto timeOf = [&](int i) { return asMarkers ? scratch.markers[i].time : scratch.times[i]; };
  TSTime64 from = 0;
  for (;;) {
    const int n = asMarkers ? file.ReadMarkers(entity.chan, scratch.markers, kNsChunkItems, from,
                                               vslk64::kMaxTime64, &entity.filter)
                            : file.ReadEvents(entity.chan, scratch.times, kNsChunkItems, from,
                                              vslk64::kMaxTime64, &entity.filter);
    if (n == 0) return 0;
    if (n < 0 || n > kNsChunkItems || timeOf(0) < from ||
        timeOf(n - 1) >= vslk64::kMaxTime64) {
      return ns_FILEERROR;
    }
    for (int i = 1; i < n; ++i) {
      if (timeOf(i) < timeOf(i - 1)) return ns_FILEERROR;  // items out of time order
    }
    // The next read starts after this chunk's last time, so a run of items
    // sharing one time must not be split at the end of a full read: the rest
    // of the run would never be read. A full read is followed by a look at
    // that time; when the run goes on, the chunk ends before it and the next
    // read starts at it (unless the run fills the whole read).
    int kept = n;
    if (n == kNsChunkItems) {
      const TSTime64 last = timeOf(n - 1);
      int run = 1;
      while (run < n && timeOf(n - 1 - run) == last) ++run;
      std::vector<TSTime64> peek(static_cast<size_t>(run) + 1);
      const int there = file.ReadEvents(entity.chan, peek.data(), run + 1, last, last + 1,
                                        &entity.filter);
      if (there < 0) return ns_FILEERROR;
      if (there > run && run < n) kept = n - run;
    }
    if (entity.kind == vslk64::WaveMark) {
      for (int i = 0; i < kept; ++i) {
        const uint8_t* code = scratch.markers[i].code;
        ++entity.codeCount[code[0]];
        for (int k = 1; k < 4; ++k) {
          if (code[k] != 0) ++entity.codeCount[code[k]];
        }
      }
    }
    const uint32_t added =
        AddChunk(entity, timeOf(0), timeOf(kept - 1), static_cast<uint32_t>(kept));
    if (added < static_cast<uint32_t>(kept) || entity.itemCount == kMaxItems) {
      entity.chunks.back().lastTime = timeOf(added - 1);
      return 0;
    }
    // Below kMaxTime64, so no overflow.
    from = kept < n ? timeOf(kept) : timeOf(kept - 1) + 1;
  }
}

}  // namespace

int ScanEntity(TNsFile& record, TNsEntity& entity) {
  TNsScratch& scratch = NsScratchForScan();
  entity.chunks.clear();
  entity.itemCount = 0;
  std::fill(std::begin(entity.codeCount), std::end(entity.codeCount), 0u);
  vslk64::CKel64File& file = *record.file;
  switch (entity.kind) {
    case vslk64::Adc:
    case vslk64::RealWave:
      return ScanSamples(file, entity);
    case vslk64::EventA:
    case vslk64::EventB:
    case vslk64::Level:
    case kNeuralUnit:
      return ScanItems(file, entity, scratch, false);
    case vslk64::Marker:
    case vslk64::WaveMark:
    case vslk64::RealMark:
    case vslk64::TextMark:
      return ScanItems(file, entity, scratch, true);
    default:
      return 0;  // nothing of an unknown kind is read
  }
}

int BuildEntities(TNsFile& record) {
  vslk64::CKel64File& file = *record.file;
  // The slot count is asked again after every channel; channel numbers are
  // 16-bit.
  for (int c = 0; c < file.MaxChans() && c <= UINT16_MAX; ++c) {
    const uint16_t chan = static_cast<uint16_t>(c);
    const vslk64::TDataKind kind = file.ChanKind(chan);
    if (kind == vslk64::ChanOff) continue;

    auto entity = std::make_unique<TNsEntity>();
    TNsEntity& e = *entity;
    e.id = static_cast<uint32_t>(record.entities.size());
    e.chan = chan;
    e.kind = kind;
    file.GetChanTitle(chan, sizeof e.title, e.title);
    Terminate(e.title);
    file.GetChanComment(chan, sizeof e.comment, e.comment);
    Terminate(e.comment);
    file.GetChanUnits(chan, sizeof e.units, e.units);
    Terminate(e.units);
    const int itemSize = file.ItemSize(chan);
    e.itemSize = itemSize > 0 ? static_cast<uint32_t>(itemSize) : 0;
    // A divide below one tick means nothing; any larger one is the channel's
    // true sample interval and is kept whole.
    e.divide = std::max<TSTime64>(file.ChanDivide(chan), 1);
    file.GetChanYRange(chan, &e.yLow, &e.yHigh);
    if (kind == vslk64::WaveMark || kind == vslk64::RealMark || kind == vslk64::TextMark) {
      uint64_t rows = 0;
      uint64_t cols = 1;
      file.GetExtMarkInfo(chan, &rows, &cols);
      e.rows = static_cast<uint32_t>(std::min<uint64_t>(rows, UINT32_MAX));
      // A trace count of 0 would leave nothing to divide a buffer by.
      if (kind == vslk64::WaveMark) {
        e.cols = static_cast<uint32_t>(std::clamp<uint64_t>(cols, 1, UINT32_MAX));
      }
    }
    if (kind == vslk64::Adc || kind == vslk64::WaveMark || kind == vslk64::RealWave) {
      double scale = 1.0;
      double offset = 0.0;
      file.GetChanScale(chan, &scale);
      file.GetChanOffset(chan, &offset);
      e.resolution = scale * vslk64::kUnitsPerStep;
      e.offset = offset;
    }
    e.filter.SetMode(1);  // every value in every layer: all items pass
    record.entities.push_back(std::move(entity));

    const int scanned = ScanEntity(record, e);
    if (scanned < 0) return scanned;

    if (kind == vslk64::WaveMark) {
      for (uint32_t v = 0; v < 256; ++v) {
        if (e.codeCount[v] == 0) continue;
        auto unit = std::make_unique<TNsEntity>(e);
        unit->kind = kNeuralUnit;
        unit->id = static_cast<uint32_t>(record.entities.size());
        unit->sourceEntity = e.id;
        unit->unitCode = v;
        unit->itemSize = sizeof(TSTime64);
        unit->rows = 0;
        unit->filter.SetItem(-1, -1, 0);
        unit->filter.SetItem(0, static_cast<int>(v), 1);
        TNsEntity& u = *unit;
        record.entities.push_back(std::move(unit));
        ScanEntity(record, u);  // a unit that cannot be read keeps what it found
      }
    }
  }
  return 0;
}

int FillFileRecord(const char* path, TNsFile& record) {
  vslk64::CKel64File& file = *record.file;
  record.secsPerTick = kDefaultSecsPerTick;
  record.appId = {};

  // A file without a stored date is dated by its creation.
  record.timeDate = {};
  file.TimeDate(&record.timeDate, nullptr);
  platform::LocalTime created;
  if (record.timeDate.year == 0 && path != nullptr &&
      platform::Files().CreationTime(path, &created)) {
    record.timeDate.hun = 0;
    record.timeDate.sec = static_cast<uint8_t>(created.second);
    record.timeDate.min = static_cast<uint8_t>(created.minute);
    record.timeDate.hour = static_cast<uint8_t>(created.hour);
    record.timeDate.day = static_cast<uint8_t>(created.day);
    record.timeDate.mon = static_cast<uint8_t>(created.month);
    record.timeDate.year = static_cast<uint16_t>(created.year);
  }

  // Comment 0 without its trailing spaces; a comment of spaces only is empty.
  std::memset(record.comment, 0, sizeof record.comment);
  file.GetFileComment(0, sizeof record.comment, record.comment);
  Terminate(record.comment);
  for (size_t n = std::strlen(record.comment); n > 0 && record.comment[n - 1] == ' '; --n) {
    record.comment[n - 1] = '\0';
  }
  if (record.comment[0] == '\0') WriteConversionComment(path, record.comment);

  // Every time the layer reports is ticks × secsPerTick and every index
  // lookup divides by it: a clock of zero, below zero or not a number would
  // turn them all into nonsense.
  const double secsPerTick = file.GetTimeBase();
  if (std::isfinite(secsPerTick) && secsPerTick > 0.0) record.secsPerTick = secsPerTick;
  file.AppID(&record.appId, nullptr);
  TSTime64 maxTime = file.MaxTime(true);

  const int built = BuildEntities(record);
  if (built < 0) return built;

  // The span reaches the last item found, also where the file's stored
  // maximum time lags behind its data; a file without data spans 0.
  for (const auto& entity : record.entities) {
    if (!entity->chunks.empty()) maxTime = std::max(maxTime, entity->chunks.back().lastTime);
  }
  record.spanTicks = std::max<TSTime64>(maxTime, 0);
  record.timeSpan = static_cast<double>(record.spanTicks) * record.secsPerTick;
  return 0;
}

}  // namespace nsv
