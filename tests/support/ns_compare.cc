#include "tests/support/ns_compare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <ostream>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "neuroshare/ns_api.h"

namespace ns_compare {
namespace {

using recording_test::Recording;

// One item of an entity as read or as written: an event's time and text
// (a marker's first code), a waveform stretch's first time and its samples
// up to the gap, a segment's time, unit bits and traces (source after
// source), a neural item's time.
struct Item {
  double time = 0;
  std::string text;
  std::vector<double> values;
  uint32_t unit = 0;
};

bool operator==(const Item& a, const Item& b) {
  return std::fabs(a.time - b.time) < 1e-12 && a.text == b.text && a.unit == b.unit &&
         std::equal(a.values.begin(), a.values.end(), b.values.begin(), b.values.end(),
                    [](double x, double y) { return std::fabs(x - y) < 1e-9; });
}

std::ostream& operator<<(std::ostream& os, const Item& item) {
  os << "{time " << item.time << ", \"" << item.text << "\", unit " << item.unit << ", values";
  for (double v : item.values) os << ' ' << v;
  return os << '}';
}

// What an entity should be, from the recording.
struct Expected {
  std::string label;
  uint32_t type;
  uint32_t count;
  std::vector<Item> items;
  uint32_t source = 0, unit = 0;           // neural entities: their segment entity and code
  const recording_test::Channel* channel;  // neural entities: their segment entity's
};

std::vector<Expected> ExpectedEntities(const Recording& rec) {
  std::vector<Expected> out;
  for (const auto& entry : rec.channels) {
    const recording_test::Channel& ch = entry.second;
    const uint32_t type = ch.kind == 1 || ch.kind == 9 ? ns_ENTITY_ANALOG
                          : ch.kind == 6               ? ns_ENTITY_SEGMENT
                                                       : ns_ENTITY_EVENT;
    Expected e{ch.title, type, uint32_t(recording_test::ItemCount(ch)), {}, 0, 0, &ch};
    int64_t next = -1;  // where a run continues the stretch before it
    for (const recording_test::WaveRun& run : ch.runs) {
      if (run.start != next) e.items.push_back({run.start * 1e-6, "", {}, 0});
      for (uint64_t i = 0; i < run.Size(); ++i) {
        // A 16-bit sample s stands for s × scale / 6553.6 + offset.
        e.items.back().values.push_back(
            ch.kind == 9
                ? run.Float(i)
                : static_cast<float>(run.Short(i) * (ch.scale * 0.000152587890625) + ch.offset));
      }
      next = run.start + static_cast<int64_t>(run.Size()) * ch.divide;
    }
    for (const int64_t t : ch.times) e.items.push_back({t * 1e-6, "", {}, 0});
    for (const auto& m : ch.markers) {
      e.items.push_back({m.time * 1e-6, std::string(1, static_cast<char>(m.code[0])), {}, 0});
    }
    // One neural entity per code value the spikes carry, in code order.
    std::map<uint8_t, Expected> units;
    for (const auto& m : ch.extMarks) {
      e.items.push_back({m.time * 1e-6, ch.kind == 8 ? m.text : "", {}, 0});
      if (ch.kind != 6) continue;
      for (const uint8_t code : m.code)
        e.items.back().unit |= code >= 1 && code <= 31 ? 1u << code : 0;
      for (uint32_t c = 0; c < ch.cols; ++c) {
        for (uint32_t p = 0; p < ch.rows; ++p) {
          e.items.back().values.push_back(m.wave[p * ch.cols + c] * ch.scale / 6553.6 + ch.offset);
        }
      }
      for (int k = 0; k < 4; ++k) {
        if (k == 0 || m.code[k] != 0) units[m.code[k]].items.push_back({m.time * 1e-6, "", {}, 0});
      }
    }
    out.push_back(e);
    const uint32_t source = static_cast<uint32_t>(out.size() - 1);
    for (auto& unit : units) {
      const uint32_t n = static_cast<uint32_t>(unit.second.items.size());
      out.push_back(
          Expected{ch.title, ns_ENTITY_NEURALEVENT, n, unit.second.items, source, unit.first, &ch});
    }
  }
  return out;
}

// Item i of an entity of the given type (a waveform's stretch from sample i
// of n), as a file answers; eventType and sources from its information.
ns_RESULT Read(uint32_t file, uint32_t e, uint32_t type, uint32_t eventType, uint32_t sources,
               uint32_t i, uint32_t n, Item* item) {
  double values[256] = {};
  char* data = reinterpret_cast<char*>(values);
  uint32_t got = 0;
  ns_RESULT r = ns_OK;
  switch (type) {
    case ns_ENTITY_EVENT:
      r = ns_GetEventData(file, e, i, &item->time, data, sizeof values, &got);
      if (eventType == ns_EVENT_TEXT) item->text = data;
      if (eventType == ns_EVENT_DWORD) item->text.assign(data, 1);
      return r;
    case ns_ENTITY_ANALOG:
      item->values.resize(i < n ? n - i : 1);
      r = ns_GetTimeByIndex(file, e, i, &item->time);
      EXPECT_EQ(r, ns_GetAnalogData(file, e, i, static_cast<uint32_t>(item->values.size()), &got,
                                    item->values.data()))
          << "time and data of sample " << i << " answer differently";
      item->values.resize(got);
      return r;
    case ns_ENTITY_SEGMENT:
      r = ns_GetSegmentData(file, e, i, &item->time, values, sizeof values, &got, &item->unit);
      item->values.assign(values, values + (r == ns_OK ? got * sources : 0));
      return r;
    default:
      return ns_GetNeuralData(file, e, i, 1, &item->time);
  }
}

// The information records of a file or an entity (sources: of source s).
template <class T>
ns_RESULT Get(uint32_t f, uint32_t e, uint32_t s, T* r) {
  if constexpr (std::is_same_v<T, ns_FILEINFO>)
    return ns_GetFileInfo(f, r, sizeof *r);
  else if constexpr (std::is_same_v<T, ns_ENTITYINFO>)
    return ns_GetEntityInfo(f, e, r, sizeof *r);
  else if constexpr (std::is_same_v<T, ns_EVENTINFO>)
    return ns_GetEventInfo(f, e, r, sizeof *r);
  else if constexpr (std::is_same_v<T, ns_ANALOGINFO>)
    return ns_GetAnalogInfo(f, e, r, sizeof *r);
  else if constexpr (std::is_same_v<T, ns_SEGMENTINFO>)
    return ns_GetSegmentInfo(f, e, r, sizeof *r);
  else if constexpr (std::is_same_v<T, ns_NEURALINFO>)
    return ns_GetNeuralInfo(f, e, r, sizeof *r);
  else
    return ns_GetSegmentSourceInfo(f, e, s, r, sizeof *r);
}

// The two files compared.
struct Pair {
  uint32_t first, second;
};

// A record of entity e read from both files into zeroed records: results and
// records must agree, and the result be `want`. The second file's record.
template <class T>
T Info(const Pair& files, uint32_t e, ns_RESULT want = ns_OK, uint32_t s = 0) {
  T a, b;
  std::memset(&a, 0, sizeof a);
  std::memset(&b, 0, sizeof b);
  EXPECT_EQ(want, Get(files.first, e, s, &a)) << typeid(T).name();
  EXPECT_EQ(want, Get(files.second, e, s, &b)) << typeid(T).name();
  EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a)) << typeid(T).name() << ": the records differ";
  return b;
}

void ExpectSameEntity(const Pair& files, uint32_t e, const Expected& want) {
  SCOPED_TRACE("entity " + std::to_string(e) + " \"" + want.label + "\"");
  const uint32_t n = want.count;
  const recording_test::Channel& ch = *want.channel;
  const ns_ENTITYINFO info = Info<ns_ENTITYINFO>(files, e);
  EXPECT_EQ(want.label, info.szEntityLabel);
  EXPECT_EQ(want.type, info.dwEntityType);
  EXPECT_EQ(n, info.dwItemCount);
  using Values = std::vector<double>;
  using Texts = std::vector<std::string>;
  uint32_t eventType = 0, sources = 0;
  if (want.type == ns_ENTITY_NEURALEVENT) {
    const ns_NEURALINFO unit = Info<ns_NEURALINFO>(files, e);
    EXPECT_EQ((std::vector<uint32_t>{want.source, want.unit}),
              (std::vector<uint32_t>{unit.dwSourceEntityID, unit.dwSourceUnitID}));
    EXPECT_EQ(want.label, unit.szProbeInfo);
  } else if (want.type == ns_ENTITY_EVENT) {
    const ns_EVENTINFO event = Info<ns_EVENTINFO>(files, e);
    eventType = event.dwEventType;
    // By kind from 2: events give nothing, levels a byte, markers their four
    // codes, real markers up to 13 characters a value, text markers their
    // characters.
    const uint32_t types[] = {ns_EVENT_BYTE, ns_EVENT_BYTE, ns_EVENT_BYTE, ns_EVENT_DWORD,
                              ns_EVENT_BYTE, ns_EVENT_CSV,  ns_EVENT_TEXT};
    const uint32_t lengths[] = {0, 0, 1, 4, 0, 13u * ch.rows, ch.rows};
    EXPECT_EQ(
        (std::vector<uint32_t>{types[ch.kind - 2], lengths[ch.kind - 2], lengths[ch.kind - 2]}),
        (std::vector<uint32_t>{eventType, event.dwMinDataLength, event.dwMaxDataLength}));
    EXPECT_EQ(ch.comment, event.szCSVDesc);
  } else if (want.type == ns_ENTITY_ANALOG) {
    const ns_ANALOGINFO analog = Info<ns_ANALOGINFO>(files, e);
    EXPECT_NEAR(1e6 / ch.divide, analog.dSampleRate, 1e-6);  // ticks of 1 us
    EXPECT_EQ((Values{ch.yLow, ch.yHigh, ch.scale / 6553.6}),
              (Values{analog.dMinVal, analog.dMaxVal, analog.dResolution}));
    EXPECT_EQ((Texts{ch.units, ch.comment}), (Texts{analog.szUnits, analog.szProbeInfo}));
  } else {
    const ns_SEGMENTINFO seg = Info<ns_SEGMENTINFO>(files, e);
    sources = seg.dwSourceCount;
    EXPECT_EQ((std::vector<uint32_t>{ch.cols, ch.rows, ch.rows}),
              (std::vector<uint32_t>{sources, seg.dwMinSampleCount, seg.dwMaxSampleCount}));
    EXPECT_NEAR(1e6 / ch.divide, seg.dSampleRate, 1e-6);
    EXPECT_EQ(ch.units, seg.szUnits);
    for (uint32_t s = 0; s < sources; ++s) {
      const ns_SEGSOURCEINFO source = Info<ns_SEGSOURCEINFO>(files, e, ns_OK, s);
      EXPECT_EQ((Values{ch.yLow, ch.yHigh, ch.scale / 6553.6}),
                (Values{source.dMinVal, source.dMaxVal, source.dResolution}));
      EXPECT_EQ(ch.comment, source.szProbeInfo);
    }
    Info<ns_SEGSOURCEINFO>(files, e, ns_BADSOURCE, sources);
  }
  // Every item (waveforms: stretch after stretch), then the index past the last.
  for (uint32_t k = 0, i = 0; k <= want.items.size(); ++k) {
    Item a, b;
    const ns_RESULT ra = Read(files.first, e, want.type, eventType, sources, i, n, &a);
    const ns_RESULT rb = Read(files.second, e, want.type, eventType, sources, i, n, &b);
    EXPECT_EQ(ra, rb) << "item " << i;
    EXPECT_EQ(a, b) << "item " << i;
    EXPECT_EQ(k < want.items.size() ? ns_OK : ns_BADINDEX, rb) << "item " << i;
    if (k == want.items.size()) break;
    EXPECT_EQ(want.items[k], b) << "item " << i;
    i += want.type == ns_ENTITY_ANALOG ? static_cast<uint32_t>(b.values.size()) : 1;
  }
}

}  // namespace

void ExpectSameRecordings(const Recording& rec, const std::string& firstPath,
                          const std::string& secondPath) {
  Pair files{0, 0};
  ASSERT_EQ(ns_OK, ns_OpenFile(firstPath.c_str(), &files.first));
  ASSERT_EQ(ns_OK, ns_OpenFile(secondPath.c_str(), &files.second));
  const ns_FILEINFO info = Info<ns_FILEINFO>(files, 0);
  const std::vector<Expected> entities = ExpectedEntities(rec);
  EXPECT_EQ(entities.size(), info.dwEntityCount);
  EXPECT_EQ(rec.comments[0], info.szFileComment);
  EXPECT_EQ(rec.appId, info.szAppName);
  const recording_test::TimeDate& d = rec.timeDate;
  EXPECT_EQ(
      (std::vector<uint32_t>{d.year, d.mon, d.day, d.hour, d.min, d.sec, d.hun * 10u}),
      (std::vector<uint32_t>{info.dwTime_Year, info.dwTime_Month, info.dwTime_Day, info.dwTime_Hour,
                             info.dwTime_Min, info.dwTime_Sec, info.dwTime_MilliSec}));
  EXPECT_EQ(rec.timeBase, double(info.dTimeStampResolution));
  EXPECT_DOUBLE_EQ(9.9999, info.dTimeSpan);
  for (uint32_t e = 0; e < entities.size() && e < info.dwEntityCount; ++e) {
    ExpectSameEntity(files, e, entities[e]);
  }
  Info<ns_ENTITYINFO>(files, info.dwEntityCount, ns_BADENTITY);
  EXPECT_EQ(ns_OK, ns_CloseFile(files.first));
  EXPECT_EQ(ns_OK, ns_CloseFile(files.second));
}

}  // namespace ns_compare
