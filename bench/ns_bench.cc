// The Neuroshare exports on large recordings, against raw sequential reads of
// the same files measured in the same run. Every figure is the median of
// three runs; "cold" figures drop the file's pages from the system's cache
// before each run (and report how much of the file the open brought back
// in, read-ahead included).
//
// An ORFX recording of about 512 MiB (a 16-bit waveform channel, a 500,000
// item event channel, marker and wave-mark channels) and an ORF recording
// of about 256 MiB (a 16-bit waveform and a 500,000 item event channel).
// Targets:
//   ns_OpenFile / raw read, warm and cold                 at most 0.25
//   ns_GetAnalogData of every sample, 100,000 a call / raw   at most 2
//   ns_GetIndexByTime, ns_GetTimeByIndex at random on the event entity
//                                                         at least 1,000,000 calls/s
//   random 1000-sample analog reads, ns_GetEventData over every event:
//                                                         no target (regression watch)
//
//   ns_bench [--mib N]   size of the ORFX waveform in MiB (default 512; ORF gets half)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/raw_read.h"
#include "bench/temp_folder.h"
#include "demo/recording.h"
#include "demo/writer.h"
#include "filelib/kel64_file.h"
#include "neuroshare/ns_api.h"
#include "platform/file.h"
#include "platform/page_cache.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kEvents = 500000;

double Since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The median of three runs of f, each of which returns its seconds.
double Median3(const std::function<double()>& f) {
  double t[3];
  for (double& x : t) x = f();
  std::sort(t, t + 3);
  return t[1];
}

double FileMiB(const std::string& path) {
  auto f = platform::NativeFiles().Open(path.c_str(), platform::Access::kRead,
                                        platform::Disposition::kOpenExisting,
                                        platform::Share::kReaders);
  return f ? f->Length() / 1048576.0 : 0;
}

int16_t Sample(uint64_t i) { return static_cast<int16_t>((i * 2654435761u) >> 17); }

demo::Recording Large(uint64_t samples, int64_t divide, bool withMarks) {
  demo::Recording rec;
  demo::Channel wave;
  wave.kind = 1;
  wave.title = "Wave";
  wave.units = "mV";
  wave.divide = divide;
  wave.idealRate = 1e6 / divide;
  wave.scale = 2.0;
  demo::WaveRun run;
  run.count = samples;
  run.shortAt = Sample;
  wave.runs.push_back(run);
  rec.channels[0] = wave;

  const int64_t span = static_cast<int64_t>(samples) * divide;
  demo::Channel events;
  events.kind = 2;
  events.title = "Events";
  for (uint32_t i = 0; i < kEvents; ++i) events.times.push_back(17 + i * (span / kEvents));
  rec.channels[1] = events;
  if (!withMarks) return rec;

  demo::Channel marks;
  marks.kind = 5;
  marks.title = "Marks";
  for (int64_t t = 5; t < span; t += span / 100000) {
    demo::Marker m;
    m.time = t;
    m.code[0] = static_cast<uint8_t>(t % 7);
    marks.markers.push_back(m);
  }
  rec.channels[2] = marks;

  demo::Channel spikes;
  spikes.kind = 6;
  spikes.title = "Spikes";
  spikes.divide = divide;
  spikes.rows = 32;
  spikes.cols = 1;
  spikes.preTrig = 8;
  for (int64_t t = 1000; t < span - 1000; t += span / 20000) {
    demo::ExtMarker m;
    m.time = t;
    m.code[0] = static_cast<uint8_t>(1 + t % 3);
    m.wave.assign(32, static_cast<int16_t>(t % 1000));
    spikes.extMarks.push_back(m);
  }
  rec.channels[3] = spikes;
  return rec;
}

void Fail(const char* what, uint32_t at) {
  std::fprintf(stderr, "%s failed at %u\n", what, at);
  std::exit(1);
}

uint32_t OpenOrDie(const std::string& path) {
  uint32_t file = 0;
  if (ns_OpenFile(path.c_str(), &file) != ns_OK) Fail("ns_OpenFile", 0);
  return file;
}

// One format's figures.
struct TFigures {
  double mib = 0;
  double rawWarm = 0, rawCold = 0;
  double openWarm = 0, openCold = 0;
  double openColdReadMiB = 0;  // of the file brought into the cache by a cold open
  double analogAll = 0;        // seconds
  double analogRandom = 0;     // calls/s
  double indexByTime = 0, timeByIndex = 0, eventData = 0;  // calls/s
};

TFigures Measure(const std::string& path, uint32_t waveEntity, uint32_t eventEntity) {
  TFigures f;
  f.mib = FileMiB(path);
  const char* p = path.c_str();
  bench::RawPass(path, 65536);  // warms the cache
  f.rawWarm = Median3([&] { return bench::RawPass(path, 65536); });
  f.rawCold = Median3([&] {
    platform::DropCachedPages(p);
    return bench::RawPass(path, 65536);
  });

  f.openCold = Median3([&] {
    platform::DropCachedPages(p);
    const auto t0 = Clock::now();
    const uint32_t h = OpenOrDie(path);
    const double s = Since(t0);
    f.openColdReadMiB = platform::CachedBytes(p) / 1048576.0;
    ns_CloseFile(h);
    return s;
  });
  bench::RawPass(path, 65536);
  f.openWarm = Median3([&] {
    const auto t0 = Clock::now();
    const uint32_t h = OpenOrDie(path);
    const double s = Since(t0);
    ns_CloseFile(h);
    return s;
  });

  const uint32_t h = OpenOrDie(path);
  ns_ENTITYINFO wave, events;
  ns_GetEntityInfo(h, waveEntity, &wave, sizeof wave);
  ns_GetEntityInfo(h, eventEntity, &events, sizeof events);
  if (events.dwItemCount != kEvents) Fail("event count", events.dwItemCount);
  std::vector<double> data(100000);
  f.analogAll = Median3([&] {
    const auto t0 = Clock::now();
    for (uint32_t first = 0; first < wave.dwItemCount; first += 100000) {
      const uint32_t n = std::min<uint32_t>(100000, wave.dwItemCount - first);
      uint32_t cont = 0;
      if (ns_GetAnalogData(h, waveEntity, first, n, &cont, data.data()) != ns_OK || cont != n) {
        Fail("ns_GetAnalogData", first);
      }
    }
    return Since(t0);
  });

  std::mt19937_64 rng(42);
  constexpr int kRandomReads = 20000;
  f.analogRandom = kRandomReads / Median3([&] {
    const auto t0 = Clock::now();
    for (int i = 0; i < kRandomReads; ++i) {
      const uint32_t first = static_cast<uint32_t>(rng() % (wave.dwItemCount - 1000));
      uint32_t cont = 0;
      if (ns_GetAnalogData(h, waveEntity, first, 1000, &cont, data.data()) != ns_OK) {
        Fail("random ns_GetAnalogData", first);
      }
    }
    return Since(t0);
  });

  ns_FILEINFO info;
  ns_GetFileInfo(h, &info, sizeof info);
  constexpr int kCalls = 1000000;
  std::uniform_real_distribution<double> when(0, info.dTimeSpan);
  uint32_t index = 0;
  f.indexByTime = kCalls / Median3([&] {
    const auto t0 = Clock::now();
    for (int i = 0; i < kCalls; ++i) ns_GetIndexByTime(h, eventEntity, when(rng), (i % 3) - 1, &index);
    return Since(t0);
  });
  double t = 0;
  f.timeByIndex = kCalls / Median3([&] {
    const auto t0 = Clock::now();
    for (int i = 0; i < kCalls; ++i) {
      ns_GetTimeByIndex(h, eventEntity, static_cast<uint32_t>(rng() % events.dwItemCount), &t);
    }
    return Since(t0);
  });
  f.eventData = events.dwItemCount / Median3([&] {
    char level[8];
    uint32_t got = 0;
    const auto t0 = Clock::now();
    for (uint32_t i = 0; i < events.dwItemCount; ++i) {
      if (ns_GetEventData(h, eventEntity, i, &t, level, sizeof level, &got) != ns_OK) {
        Fail("ns_GetEventData", i);
      }
    }
    return Since(t0);
  });
  ns_CloseFile(h);
  return f;
}

const char* Verdict(bool met) { return met ? "met" : "NOT MET"; }

void Table(const TFigures& x, const TFigures& o) {
  std::printf("\n| figure (median of 3) | ORFX %.0f MiB | ORF %.0f MiB | target |\n", x.mib, o.mib);
  std::printf("|---|---|---|---|\n");
  std::printf("| raw sequential read, 64 KiB pieces, warm | %.3f s | %.3f s | |\n", x.rawWarm,
              o.rawWarm);
  std::printf("| raw sequential read, 64 KiB pieces, cold | %.3f s | %.3f s | |\n", x.rawCold,
              o.rawCold);
  auto ratio = [](const char* what, double a, double ra, double b, double rb, double target) {
    std::printf("| %s | %.3f s = %.3f x raw | %.3f s = %.3f x raw | at most %.2f x: %s, %s |\n",
                what, a, a / ra, b, b / rb, target, Verdict(a / ra <= target),
                Verdict(b / rb <= target));
  };
  ratio("ns_OpenFile, warm", x.openWarm, x.rawWarm, o.openWarm, o.rawWarm, 0.25);
  ratio("ns_OpenFile, cold", x.openCold, x.rawCold, o.openCold, o.rawCold, 0.25);
  std::printf("| file read into the cache by a cold open | %.1f MiB | %.1f MiB | |\n",
              x.openColdReadMiB, o.openColdReadMiB);
  ratio("ns_GetAnalogData, every sample, 100,000 a call, warm", x.analogAll, x.rawWarm,
        o.analogAll, o.rawWarm, 2.0);
  auto rate = [](const char* what, double a, double b, double target) {
    std::printf("| %s | %.0f calls/s | %.0f calls/s |", what, a, b);
    if (target > 0) {
      std::printf(" at least %.0f: %s, %s |\n", target, Verdict(a >= target), Verdict(b >= target));
    } else {
      std::printf(" |\n");
    }
  };
  rate("ns_GetAnalogData, 1000 samples at random", x.analogRandom, o.analogRandom, 0);
  rate("ns_GetIndexByTime at random, 500,000 events", x.indexByTime, o.indexByTime, 1e6);
  rate("ns_GetTimeByIndex at random, 500,000 events", x.timeByIndex, o.timeByIndex, 1e6);
  rate("ns_GetEventData over every event", x.eventData, o.eventData, 0);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t mib = 512;
  if (argc == 3 && std::strcmp(argv[1], "--mib") == 0) mib = std::strtoull(argv[2], nullptr, 10);
  if (mib < 1) mib = 1;
  bench::TempFolder dir;

  const std::string orfx = dir.File("large.orfx");
  auto t0 = Clock::now();
  if (!demo::WriteRecording(Large(mib << 19, 10, true), orfx)) {
    std::fprintf(stderr, "cannot write %s\n", orfx.c_str());
    return 1;
  }
  std::printf("(built the ORFX recording in %.1f s)\n", Since(t0));
  const TFigures x = Measure(orfx, 0, 1);
  std::remove(orfx.c_str());

  // ORF times are 32-bit: half the samples at the same divide stay below 2^31.
  const std::string orf = dir.File("large.orf");
  t0 = Clock::now();
  if (!demo::WriteRecording(Large(mib << 18, 10, false), orf, *vslk64::NewKel32File())) {
    std::fprintf(stderr, "cannot write %s\n", orf.c_str());
    return 1;
  }
  std::printf("(built the ORF recording in %.1f s)\n", Since(t0));
  const TFigures o = Measure(orf, 0, 1);
  Table(x, o);
  return 0;
}
