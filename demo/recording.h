// A format-neutral description of a recording: the file's time base,
// comments, date and application id and its channels by slot, each with its
// kind, texts, sampling and display parameters and its data. nsinfo writes
// its built-in demo (DemoRecording) from it through the library's writer
// (demo/writer.h); the benchmarks describe their input files with it, and
// the tests lay the same content out with their own byte builders to check
// the library against them.
//
// A waveform run may give its samples through a generator (WaveRun::count
// with shortAt or floatAt), so a recording can be far larger than memory.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace demo {

// A run of equally spaced samples: sample i lies at start + i × divide.
// Kind 1 channels take shorts, kind 9 channels floats. A generated run leaves
// both vectors empty and gives `count` samples whose values are shortAt(i) or
// floatAt(i).
struct WaveRun {
  int64_t start = 0;
  std::vector<int16_t> shorts;
  std::vector<float> floats;
  uint64_t count = 0;
  std::function<int16_t(uint64_t)> shortAt;
  std::function<float(uint64_t)> floatAt;

  uint64_t Size() const;
  int16_t Short(uint64_t i) const;
  float Float(uint64_t i) const;
};

// A marker of a kind 5 channel.
struct Marker {
  int64_t time = 0;
  uint8_t code[4] = {0, 0, 0, 0};
};

// An item of a kind 6, 7 or 8 channel. Kind 6 uses `wave`: rows × cols
// samples stored point by point with the traces interleaved (point p of
// trace c at p × cols + c); kind 7 uses `values` in the same order; kind 8
// uses `text`, at most rows characters.
struct ExtMarker {
  int64_t time = 0;
  uint8_t code[4] = {0, 0, 0, 0};
  std::vector<int16_t> wave;
  std::vector<float> values;
  std::string text;
};

struct Channel {
  int kind = 0;  // 1 to 9
  std::string title;
  std::string units;
  std::string comment;
  double idealRate = 0.0;
  int32_t phyChan = -1;
  int64_t divide = 0;       // kinds 1, 6, 7, 9: ticks between samples or points
  double scale = 1.0;       // kinds 1, 6, 9: a sample s stands for s × scale / 6553.6 + offset
  double offset = 0.0;
  double yLow = -1.0;       // suggested display range
  double yHigh = 1.0;
  bool initLevel = false;   // kind 4: the level before the first change
  uint16_t rows = 0;        // kinds 6, 7: points per trace; kind 8: characters
  uint16_t cols = 0;        // kinds 6, 7: traces (1 for kind 8)
  uint16_t preTrig = 0;     // kind 6: points before the marker time
  uint32_t orfBlockBytes = 0;  // ORF block size of this channel; 0 = WriteOrf's

  // Data, in time order.
  std::vector<WaveRun> runs;         // kinds 1, 9; a gap lies between runs
  std::vector<int64_t> times;        // kinds 2, 3: events; kind 4: level changes
  std::vector<Marker> markers;       // kind 5
  std::vector<ExtMarker> extMarks;   // kinds 6, 7, 8
};

struct TimeDate {
  uint8_t hun = 0, sec = 0, min = 0, hour = 0, day = 0, mon = 0;
  uint16_t year = 0;
};

struct Recording {
  double timeBase = 1e-6;               // seconds per tick
  uint32_t slots = 32;                  // channel slots (ORFX 32 to 2000, ORF 32 to 451)
  std::vector<std::string> comments;    // file comments 0 to 7 (ORF keeps 0 to 4)
  TimeDate timeDate;
  std::string appId;                    // up to 8 characters
  std::map<int, Channel> channels;      // by slot
};

// The time of the channel's last item or sample; -1 without data.
int64_t LastTime(const Channel& chan);
// Number of items (samples for waveforms) the channel holds.
uint64_t ItemCount(const Channel& chan);

// A small realistic recording with a channel of every kind:
//   slot 0, kind 1 "Sine": a noisy 50 Hz sine sampled at 10 kHz (time base
//     1e-6, divide 100) for 10 s, paused from 4.5 s to 5 s (two runs);
//   slot 1, kind 9 "Sine f": the same samples as floats;
//   slot 2, kind 6 "Spikes": spike snippets of 32 points on two traces
//     (preTrig 10), unit codes 1 and 2;
//   slot 3, kind 2 "Trigger": events; slot 4, kind 4 "Stim": level changes;
//   slot 5, kind 5 "Keyboard": markers; slot 6, kind 7 "Fit": float markers
//     of three values; slot 7, kind 8 "Notes": text markers; slot 8, kind 3
//     "Lick": events.
// Texts fit the ORF fields and scales and rates are exact floats, so the
// demo reads the same from both formats.
Recording DemoRecording();

}  // namespace demo
