#include "tests/support/ns_compare.h"

#include <map>

namespace ns_compare {
namespace {

using recording_test::Recording;

// What an entity should be, from the recording: its label, type and items,
// and the times (ticks) and, for waveforms, the values of its items.
struct Expected {
  std::string label;
  uint32_t type;
  std::vector<int64_t> times;         // item times; for waveforms each stretch's start
  std::vector<std::vector<double>> stretches;  // waveforms: values up to each gap
  uint32_t count;
  // Payloads: text markers' texts, markers' first codes; segments' traces
  // (source by source) and unit bits.
  std::vector<std::string> texts;
  std::vector<int> codes;
  std::vector<std::vector<double>> traces;
  std::vector<uint32_t> units;
};

std::vector<Expected> ExpectedEntities(const Recording& rec) {
  std::vector<Expected> out;
  for (const auto& entry : rec.channels) {
    const recording_test::Channel& ch = entry.second;
    Expected e{ch.title, ns_ENTITY_EVENT, {}, {}, static_cast<uint32_t>(recording_test::ItemCount(ch)), {}, {}, {}, {}};
    switch (ch.kind) {
      case 1:
      case 9:
        e.type = ns_ENTITY_ANALOG;
        for (const recording_test::WaveRun& run : ch.runs) {
          if (e.stretches.empty() || e.times.back() + static_cast<int64_t>(e.stretches.back().size()) * ch.divide != run.start) {
            e.times.push_back(run.start);
            e.stretches.emplace_back();
          }
          for (uint64_t i = 0; i < run.Size(); ++i) {
            e.stretches.back().push_back(
                ch.kind == 9 ? run.Float(i)
                             : static_cast<float>(run.Short(i) * (ch.scale * 0.000152587890625) + ch.offset));
          }
        }
        break;
      case 2: case 3: case 4: e.times = ch.times; break;
      case 5:
        for (const auto& m : ch.markers) {
          e.times.push_back(m.time);
          e.codes.push_back(m.code[0]);
        }
        break;
      default:
        for (const auto& m : ch.extMarks) {
          e.times.push_back(m.time);
          if (ch.kind == 8) e.texts.push_back(m.text);
          if (ch.kind != 6) continue;
          e.units.push_back(1u << m.code[0]);
          e.traces.emplace_back();
          for (uint32_t c = 0; c < ch.cols; ++c) {
            for (uint32_t p = 0; p < ch.rows; ++p) {
              e.traces.back().push_back(m.wave[p * ch.cols + c] * ch.scale / 6553.6 + ch.offset);
            }
          }
        }
        break;
    }
    if (ch.kind == 6) e.type = ns_ENTITY_SEGMENT;
    out.push_back(e);
    if (ch.kind != 6) continue;
    // One neural entity per code value the spikes carry, in code order.
    std::map<uint8_t, std::vector<int64_t>> units;
    for (const auto& m : ch.extMarks) {
      for (int k = 0; k < 4; ++k) {
        if (k == 0 || m.code[k] != 0) units[m.code[k]].push_back(m.time);
      }
    }
    for (const auto& unit : units) {
      out.push_back(Expected{ch.title, ns_ENTITY_NEURALEVENT, unit.second, {}, static_cast<uint32_t>(unit.second.size()), {}, {}, {}, {}});
    }
  }
  return out;
}

void ExpectSameEntity(const Pair& files, uint32_t e, const Expected& want) {
  const std::string at = "entity " + std::to_string(e) + " \"" + want.label + "\"";
  SCOPED_TRACE(at);
  const uint32_t n = want.count;
  const ns_ENTITYINFO info = files.Same<ns_ENTITYINFO>(
      at + " info", [e](uint32_t f, ns_ENTITYINFO* r) { return ns_GetEntityInfo(f, e, r, sizeof *r); }, ns_OK);
  EXPECT_EQ(want.label, info.szEntityLabel);
  EXPECT_EQ(want.type, info.dwEntityType);
  EXPECT_EQ(n, info.dwItemCount);
  const auto itemResult = [n](uint32_t i) { return i < n ? ns_OK : ns_BADINDEX; };

  switch (want.type) {
    case ns_ENTITY_EVENT: {
      files.Same<ns_EVENTINFO>(at + " event info", [e](uint32_t f, ns_EVENTINFO* r) {
        return ns_GetEventInfo(f, e, r, sizeof *r);
      }, ns_OK);
      struct Item {
        double time;
        uint32_t size;
        char data[64];
      };
      for (uint32_t i = 0; i <= n; ++i) {
        const Item item = files.Same<Item>(at + " item " + std::to_string(i), [e, i](uint32_t f, Item* r) {
          return ns_GetEventData(f, e, i, &r->time, r->data, sizeof r->data, &r->size);
        }, itemResult(i));
        if (i < n) {
          EXPECT_DOUBLE_EQ(want.times[i] * 1e-6, item.time) << "item " << i;
          if (!want.texts.empty()) {
            EXPECT_EQ(want.texts[i], std::string(item.data)) << "item " << i;
          }
          if (!want.codes.empty()) {
            EXPECT_EQ(want.codes[i], static_cast<uint8_t>(item.data[0])) << "item " << i;
          }
        }
      }
      break;
    }
    case ns_ENTITY_ANALOG: {
      files.Same<ns_ANALOGINFO>(at + " analog info", [e](uint32_t f, ns_ANALOGINFO* r) {
        return ns_GetAnalogInfo(f, e, r, sizeof *r);
      }, ns_OK);
      // Whole stretches up to each gap, then from the sample after it.
      uint32_t from = 0;
      for (const std::vector<double>& stretch : want.stretches) {
        std::vector<double> a(n - from), b(n - from);
        uint32_t ca = 0, cb = 0;
        ASSERT_EQ(ns_OK, ns_GetAnalogData(files.first(), e, from, n - from, &ca, a.data()));
        ASSERT_EQ(ns_OK, ns_GetAnalogData(files.second(), e, from, n - from, &cb, b.data()));
        ASSERT_EQ(stretch.size(), ca) << "samples from index " << from;
        ASSERT_EQ(stretch.size(), cb) << "samples from index " << from;
        for (uint32_t i = 0; i < cb; ++i) {
          ASSERT_EQ(stretch[i], a[i]) << "first file's sample " << from + i;
          ASSERT_EQ(stretch[i], b[i]) << "second file's sample " << from + i;
        }
        from += cb;
      }
      break;
    }
    case ns_ENTITY_SEGMENT: {
      const ns_SEGMENTINFO seg = files.Same<ns_SEGMENTINFO>(
          at + " segment info", [e](uint32_t f, ns_SEGMENTINFO* r) { return ns_GetSegmentInfo(f, e, r, sizeof *r); },
          ns_OK);
      for (uint32_t s = 0; s <= seg.dwSourceCount; ++s) {
        files.Same<ns_SEGSOURCEINFO>(at + " source " + std::to_string(s), [e, s](uint32_t f, ns_SEGSOURCEINFO* r) {
          return ns_GetSegmentSourceInfo(f, e, s, r, sizeof *r);
        }, s < seg.dwSourceCount ? ns_OK : ns_BADSOURCE);
      }
      struct Item {
        double time;
        uint32_t samples, unit;
        double data[256];
      };
      for (uint32_t i = 0; i <= n; ++i) {
        const Item item = files.Same<Item>(at + " item " + std::to_string(i), [e, i](uint32_t f, Item* r) {
          return ns_GetSegmentData(f, e, i, &r->time, r->data, sizeof r->data, &r->samples, &r->unit);
        }, itemResult(i));
        if (i < n) {
          EXPECT_DOUBLE_EQ(want.times[i] * 1e-6, item.time) << "item " << i;
          EXPECT_EQ(want.units[i], item.unit) << "item " << i;
          const std::vector<double>& trace = want.traces[i];
          ASSERT_EQ(trace.size(), static_cast<size_t>(item.samples) * seg.dwSourceCount) << "item " << i;
          for (size_t k = 0; k < trace.size(); ++k) ASSERT_NEAR(trace[k], item.data[k], 1e-9) << "item " << i;
        }
      }
      break;
    }
    case ns_ENTITY_NEURALEVENT: {
      files.Same<ns_NEURALINFO>(at + " neural info", [e](uint32_t f, ns_NEURALINFO* r) {
        return ns_GetNeuralInfo(f, e, r, sizeof *r);
      }, ns_OK);
      std::vector<double> a(n + 1, -1.0), b(n + 1, -1.0);
      EXPECT_EQ(ns_OK, ns_GetNeuralData(files.first(), e, 0, n + 1, a.data()));
      EXPECT_EQ(ns_OK, ns_GetNeuralData(files.second(), e, 0, n + 1, b.data()));
      EXPECT_EQ(a, b);
      for (uint32_t i = 0; i < n; ++i) EXPECT_DOUBLE_EQ(want.times[i] * 1e-6, b[i]) << "item " << i;
      break;
    }
  }

  for (uint32_t i = 0; i <= n; ++i) {
    files.Same<double>(at + " time of index " + std::to_string(i),
                       [e, i](uint32_t f, double* t) { return ns_GetTimeByIndex(f, e, i, t); }, itemResult(i));
  }
}

}  // namespace

void ExpectSameRecordings(const Recording& rec, const std::string& firstPath,
                          const std::string& secondPath) {
  uint32_t first = 0, second = 0;
  ASSERT_EQ(ns_OK, ns_OpenFile(firstPath.c_str(), &first));
  ASSERT_EQ(ns_OK, ns_OpenFile(secondPath.c_str(), &second));
  const Pair files(first, second);
  const ns_FILEINFO info = files.Same<ns_FILEINFO>(
      "file info", [](uint32_t f, ns_FILEINFO* r) { return ns_GetFileInfo(f, r, sizeof *r); }, ns_OK);
  const std::vector<Expected> entities = ExpectedEntities(rec);
  EXPECT_EQ(entities.size(), info.dwEntityCount);
  EXPECT_EQ(rec.comments[0], info.szFileComment);
  EXPECT_DOUBLE_EQ(9.9999, info.dTimeSpan);
  for (uint32_t e = 0; e < entities.size() && e < info.dwEntityCount; ++e) {
    ExpectSameEntity(files, e, entities[e]);
  }
  files.Same<ns_ENTITYINFO>("entity past the last", [&](uint32_t f, ns_ENTITYINFO* r) {
    return ns_GetEntityInfo(f, info.dwEntityCount, r, sizeof *r);
  }, ns_BADENTITY);
  EXPECT_EQ(ns_OK, ns_CloseFile(first));
  EXPECT_EQ(ns_OK, ns_CloseFile(second));
}

}  // namespace ns_compare
