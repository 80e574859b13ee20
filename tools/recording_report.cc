#include "tools/recording_report.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace nsinfo {
namespace {

using namespace nshost;

constexpr uint32_t kEventType = 1, kAnalogType = 2, kSegmentType = 3, kNeuralType = 4;
constexpr uint32_t kEventText = 0, kEventCsv = 1, kEventByte = 2, kEventWord = 3;
// How the library's message of a failed open begins its note of where the
// file was found damaged.
constexpr char kDamageNote[] = " (damaged: ";
// Samples asked for in one ns_GetAnalogData call of a CSV dump.
constexpr uint32_t kAnalogBatch = 100000;

std::string Field(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }

const char* TypeName(uint32_t type) {
  switch (type) {
    case kEventType: return "event";
    case kAnalogType: return "analog";
    case kSegmentType: return "segment";
    case kNeuralType: return "neural";
    default: return "unknown";
  }
}

// One open recording and the calls made on it; every failure is printed with
// the library's message and remembered.
class Session {
 public:
  Session(const NsApi& api, std::FILE* out, bool verbose)
      : api_(api), out_(out), verbose_(verbose) {}
  ~Session() {
    if (open_ && api_.CloseFile(fileId_) != ns_OK) Check(ns_FILEERROR, "ns_CloseFile");
  }

  bool Open(const char* path) {
    open_ = Check(api_.OpenFile(path, &fileId_), "ns_OpenFile");
    return open_;
  }

  // Prints a failed call's code and message; true when result is ns_OK.
  bool Check(ns_RESULT result, const char* call) {
    if (result == ns_OK) return true;
    char text[256] = "(no message available)";
    api_.GetLastErrorMsg(text, sizeof text);
    if (!verbose_) {
      char* note = std::strstr(text, kDamageNote);
      if (note != nullptr) *note = '\0';
    }
    std::fprintf(out_, "  %s failed: %d (%s): %s\n", call, result, ResultName(result), text);
    failed_ = true;
    return false;
  }

  const NsApi& api() const { return api_; }
  uint32_t id() const { return fileId_; }
  std::FILE* out() const { return out_; }
  bool failed() const { return failed_; }

 private:
  const NsApi& api_;
  std::FILE* out_;
  uint32_t fileId_ = 0;
  bool verbose_;
  bool open_ = false;
  bool failed_ = false;
};

struct Entity {
  uint32_t id = 0;
  ns_ENTITYINFO info = {};
  std::string units;
  double rate = 0;        // samples per second, 0 when the entity has none
  double low = 0, high = 0;
  bool hasRange = false;
  uint32_t sources = 0;   // segment traces
  uint32_t maxSamples = 0;
  ns_EVENTINFO event = {};
};

void PrintFileInfo(Session& s, const ns_FILEINFO& info) {
  std::FILE* out = s.out();
  std::fprintf(out, "  File type:       %s\n", Field(info.szFileType, sizeof info.szFileType).c_str());
  std::fprintf(out, "  Application:     %s\n", Field(info.szAppName, sizeof info.szAppName).c_str());
  std::fprintf(out, "  Recorded:        %04u-%02u-%02u %02u:%02u:%02u.%03u\n", info.dwTime_Year,
               info.dwTime_Month, info.dwTime_Day, info.dwTime_Hour, info.dwTime_Min,
               info.dwTime_Sec, info.dwTime_MilliSec);
  std::fprintf(out, "  Tick:            %g s\n", info.dTimeStampResolution);
  std::fprintf(out, "  Time span:       %.6f s\n", info.dTimeSpan);
  std::fprintf(out, "  Comment:         %s\n",
               Field(info.szFileComment, sizeof info.szFileComment).c_str());
  std::fprintf(out, "  Entities:        %u\n", info.dwEntityCount);
}

// The type-specific description of an entity: units, rate and value range.
bool Describe(Session& s, Entity& e) {
  const NsApi& api = s.api();
  switch (e.info.dwEntityType) {
    case kAnalogType: {
      ns_ANALOGINFO a = {};
      if (!s.Check(api.GetAnalogInfo(s.id(), e.id, &a, sizeof a), "ns_GetAnalogInfo")) return false;
      e.units = Field(a.szUnits, sizeof a.szUnits);
      e.rate = a.dSampleRate;
      e.low = a.dMinVal;
      e.high = a.dMaxVal;
      e.hasRange = true;
      return true;
    }
    case kSegmentType: {
      ns_SEGMENTINFO g = {};
      if (!s.Check(api.GetSegmentInfo(s.id(), e.id, &g, sizeof g), "ns_GetSegmentInfo"))
        return false;
      e.units = Field(g.szUnits, sizeof g.szUnits);
      e.rate = g.dSampleRate;
      e.sources = g.dwSourceCount;
      e.maxSamples = g.dwMaxSampleCount;
      ns_SEGSOURCEINFO src = {};
      if (e.sources > 0 &&
          s.Check(api.GetSegmentSourceInfo(s.id(), e.id, 0, &src, sizeof src),
                  "ns_GetSegmentSourceInfo")) {
        e.low = src.dMinVal;
        e.high = src.dMaxVal;
        e.hasRange = true;
      }
      return true;
    }
    case kEventType:
      return s.Check(api.GetEventInfo(s.id(), e.id, &e.event, sizeof e.event), "ns_GetEventInfo");
    case kNeuralType: {
      ns_NEURALINFO n = {};
      if (!s.Check(api.GetNeuralInfo(s.id(), e.id, &n, sizeof n), "ns_GetNeuralInfo")) return false;
      e.units = "unit " + std::to_string(n.dwSourceUnitID) + " of entity " +
                std::to_string(n.dwSourceEntityID);
      return true;
    }
    default:
      return true;
  }
}

// The value of event item `index` as text, per the entity's event type.
bool EventValue(Session& s, const Entity& e, uint32_t index, double* time, std::string* value) {
  std::vector<char> data(std::max<uint32_t>(e.event.dwMaxDataLength, 8) + 1, 0);
  uint32_t got = 0;
  if (!s.Check(s.api().GetEventData(s.id(), e.id, index, time, data.data(),
                                    static_cast<uint32_t>(data.size() - 1), &got),
               "ns_GetEventData")) {
    return false;
  }
  uint32_t v = 0;
  switch (e.event.dwEventType) {
    case kEventText:
    case kEventCsv:
      *value = std::string(data.data(), strnlen(data.data(), std::min<size_t>(got, data.size())));
      return true;
    case kEventByte: v = static_cast<uint8_t>(data[0]); break;
    case kEventWord: {
      uint16_t w;
      std::memcpy(&w, data.data(), sizeof w);
      v = w;
      break;
    }
    default: std::memcpy(&v, data.data(), sizeof v); break;
  }
  *value = std::to_string(v);
  return true;
}

void ShowEvents(Session& s, const Entity& e, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    double t = 0;
    std::string value;
    if (!EventValue(s, e, i, &t, &value)) return;
    std::fprintf(s.out(), "      [%u] %.6f s  %s\n", i, t, value.c_str());
  }
}

void ShowAnalog(Session& s, const Entity& e, uint32_t n) {
  std::vector<double> data(n);
  uint32_t cont = 0;
  double t0 = 0;
  if (!s.Check(s.api().GetTimeByIndex(s.id(), e.id, 0, &t0), "ns_GetTimeByIndex")) return;
  if (!s.Check(s.api().GetAnalogData(s.id(), e.id, 0, n, &cont, data.data()), "ns_GetAnalogData"))
    return;
  std::fprintf(s.out(), "      from %.6f s, %u contiguous:", t0, cont);
  for (uint32_t i = 0; i < cont; ++i) std::fprintf(s.out(), " %.6g", data[i]);
  std::fprintf(s.out(), " %s\n", e.units.c_str());
}

// Segment item i into data (trace-major), with its time, points per trace
// and unit mask.
bool ReadSegment(Session& s, const Entity& e, uint32_t i, std::vector<double>* data, double* t,
                 uint32_t* samples, uint32_t* unit) {
  return s.Check(s.api().GetSegmentData(s.id(), e.id, i, t, data->data(),
                                        static_cast<uint32_t>(data->size() * sizeof(double)),
                                        samples, unit),
                 "ns_GetSegmentData");
}

void ShowSegments(Session& s, const Entity& e, uint32_t n) {
  const uint32_t traces = std::max<uint32_t>(e.sources, 1);
  std::vector<double> data(static_cast<size_t>(traces) * std::max<uint32_t>(e.maxSamples, 1));
  for (uint32_t i = 0; i < n; ++i) {
    double t = 0;
    uint32_t samples = 0, unit = 0;
    if (!ReadSegment(s, e, i, &data, &t, &samples, &unit)) return;
    std::fprintf(s.out(), "      [%u] %.6f s  unit mask 0x%x, %u points x %u traces\n", i, t, unit,
                 samples, traces);
    for (uint32_t c = 0; c < traces; ++c) {
      std::fprintf(s.out(), "          trace %u:", c);
      const uint32_t shown = std::min<uint32_t>(samples, 8);
      for (uint32_t p = 0; p < shown; ++p)
        std::fprintf(s.out(), " %.4g", data[static_cast<size_t>(c) * samples + p]);
      std::fprintf(s.out(), "%s %s\n", samples > shown ? " ..." : "", e.units.c_str());
    }
  }
}

void ShowNeural(Session& s, const Entity& e, uint32_t n) {
  std::vector<double> times(n);
  if (!s.Check(s.api().GetNeuralData(s.id(), e.id, 0, n, times.data()), "ns_GetNeuralData")) return;
  std::fprintf(s.out(), "      times:");
  for (double t : times) std::fprintf(s.out(), " %.6f", t);
  std::fprintf(s.out(), " s\n");
}

void ShowItems(Session& s, const Entity& e, uint32_t count) {
  const uint32_t n = std::min(count, e.info.dwItemCount);
  std::fprintf(s.out(), "    Entity %u (%s \"%s\"), first %u of %u items:\n", e.id,
               TypeName(e.info.dwEntityType),
               Field(e.info.szEntityLabel, sizeof e.info.szEntityLabel).c_str(), n,
               e.info.dwItemCount);
  if (n == 0) return;
  switch (e.info.dwEntityType) {
    case kEventType: ShowEvents(s, e, n); break;
    case kAnalogType: ShowAnalog(s, e, n); break;
    case kSegmentType: ShowSegments(s, e, n); break;
    case kNeuralType: ShowNeural(s, e, n); break;
    default: break;
  }
}

// Values with the full precision of a double, for tools that read them back.
void CsvNumber(std::FILE* out, double v) { std::fprintf(out, "%.17g", v); }

void DumpCsv(Session& s, const Entity& e) {
  std::FILE* out = s.out();
  const uint32_t count = e.info.dwItemCount;
  switch (e.info.dwEntityType) {
    case kAnalogType: {
      std::fprintf(out, "index,time_s,value_%s\n", e.units.c_str());
      std::vector<double> data(kAnalogBatch);
      for (uint32_t first = 0; first < count;) {
        const uint32_t want = std::min(kAnalogBatch, count - first);
        uint32_t cont = 0;
        double t = 0;
        if (!s.Check(s.api().GetTimeByIndex(s.id(), e.id, first, &t), "ns_GetTimeByIndex") ||
            !s.Check(s.api().GetAnalogData(s.id(), e.id, first, want, &cont, data.data()),
                     "ns_GetAnalogData")) {
          return;
        }
        // A run ends at a gap (cont < want); its samples are equally spaced.
        const double step = e.rate > 0 ? 1.0 / e.rate : 0;
        for (uint32_t i = 0; i < cont; ++i) {
          std::fprintf(out, "%u,", first + i);
          CsvNumber(out, t + step * i);
          std::fputc(',', out);
          CsvNumber(out, data[i]);
          std::fputc('\n', out);
        }
        first += std::max<uint32_t>(cont, 1);
      }
      return;
    }
    case kEventType:
      std::fprintf(out, "index,time_s,value\n");
      for (uint32_t i = 0; i < count; ++i) {
        double t = 0;
        std::string value;
        if (!EventValue(s, e, i, &t, &value)) return;
        std::fprintf(out, "%u,", i);
        CsvNumber(out, t);
        // Text and float lists are quoted, with quotes doubled.
        std::string quoted = "\"";
        for (char c : value) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        std::fprintf(out, ",%s\"\n", quoted.c_str());
      }
      return;
    case kSegmentType: {
      const uint32_t traces = std::max<uint32_t>(e.sources, 1);
      std::fprintf(out, "index,time_s,unit_mask,trace,point,value_%s\n", e.units.c_str());
      std::vector<double> data(static_cast<size_t>(traces) * std::max<uint32_t>(e.maxSamples, 1));
      for (uint32_t i = 0; i < count; ++i) {
        double t = 0;
        uint32_t samples = 0, unit = 0;
        if (!ReadSegment(s, e, i, &data, &t, &samples, &unit)) return;
        for (uint32_t c = 0; c < traces; ++c) {
          for (uint32_t p = 0; p < samples; ++p) {
            std::fprintf(out, "%u,", i);
            CsvNumber(out, t);
            std::fprintf(out, ",%u,%u,%u,", unit, c, p);
            CsvNumber(out, data[static_cast<size_t>(c) * samples + p]);
            std::fputc('\n', out);
          }
        }
      }
      return;
    }
    case kNeuralType: {
      std::fprintf(out, "index,time_s\n");
      std::vector<double> times(count);
      if (count > 0 &&
          !s.Check(s.api().GetNeuralData(s.id(), e.id, 0, count, times.data()), "ns_GetNeuralData"))
        return;
      for (uint32_t i = 0; i < count; ++i) {
        std::fprintf(out, "%u,", i);
        CsvNumber(out, times[i]);
        std::fputc('\n', out);
      }
      return;
    }
    default:
      std::fprintf(out, "index\n");
      return;
  }
}

void PrintTableRow(Session& s, const Entity& e) {
  char rate[32] = "-", range[64] = "-";
  if (e.rate > 0) std::snprintf(rate, sizeof rate, "%g Hz", e.rate);
  if (e.hasRange) std::snprintf(range, sizeof range, "%g .. %g", e.low, e.high);
  std::string units = e.units;
  if (e.info.dwEntityType == kEventType) {
    static const char* const kinds[] = {"text", "csv", "byte", "word", "dword"};
    units = e.event.dwEventType < 5 ? kinds[e.event.dwEventType] : "?";
  }
  std::fprintf(s.out(), "  %4u  %-7s  %-31s  %9u  %-22s  %-12s  %s\n", e.id,
               TypeName(e.info.dwEntityType),
               Field(e.info.szEntityLabel, sizeof e.info.szEntityLabel).c_str(),
               e.info.dwItemCount, units.c_str(), rate, range);
}

}  // namespace

int InspectFile(const NsApi& api, const char* path, const InspectOptions& options,
                std::FILE* out) {
  Session s(api, out, options.verbose);
  if (!options.csv) std::fprintf(out, "\nFile: %s\n", path);
  if (!s.Open(path)) return 1;

  ns_FILEINFO info = {};
  if (!s.Check(api.GetFileInfo(s.id(), &info, sizeof info), "ns_GetFileInfo")) return 1;
  if (options.csv && (options.entity < 0 || options.entity >= info.dwEntityCount)) {
    std::fprintf(stderr, "nsinfo: --csv needs --entity N with N below %u\n", info.dwEntityCount);
    return 1;
  }

  std::vector<Entity> entities;
  for (uint32_t id = 0; id < info.dwEntityCount; ++id) {
    if (options.entity >= 0 && options.csv && id != options.entity) continue;
    Entity e;
    e.id = id;
    if (!s.Check(api.GetEntityInfo(s.id(), id, &e.info, sizeof e.info), "ns_GetEntityInfo")) continue;
    Describe(s, e);
    entities.push_back(e);
  }
  if (options.csv) {
    if (!entities.empty()) DumpCsv(s, entities.front());
    return s.failed() ? 1 : 0;
  }

  PrintFileInfo(s, info);
  if (options.wholeTable) {
    std::fprintf(out, "\n  %4s  %-7s  %-31s  %9s  %-22s  %-12s  %s\n", "ID", "type", "label",
                 "items", "units / event type", "rate", "range");
    for (const Entity& e : entities) PrintTableRow(s, e);
  }
  std::fprintf(out, "\n");
  for (const Entity& e : entities) {
    if (options.items > 0 && (options.entity < 0 || e.id == options.entity))
      ShowItems(s, e, options.items);
  }
  return s.failed() ? 1 : 0;
}

}  // namespace nsinfo
