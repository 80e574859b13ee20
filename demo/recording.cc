#include "demo/recording.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

namespace demo {

uint64_t WaveRun::Size() const {
  if (!shorts.empty()) return shorts.size();
  if (!floats.empty()) return floats.size();
  return count;
}

int16_t WaveRun::Short(uint64_t i) const { return shorts.empty() ? shortAt(i) : shorts[i]; }

float WaveRun::Float(uint64_t i) const { return floats.empty() ? floatAt(i) : floats[i]; }

namespace {

bool IsWave(int kind) { return kind == 1 || kind == 9; }
bool IsExtMark(int kind) { return kind >= 6 && kind <= 8; }

}  // namespace

int64_t LastTime(const Channel& ch) {
  if (IsWave(ch.kind)) {
    for (auto it = ch.runs.rbegin(); it != ch.runs.rend(); ++it) {
      if (it->Size() > 0) return it->start + static_cast<int64_t>(it->Size() - 1) * ch.divide;
    }
    return -1;
  }
  if (ch.kind >= 2 && ch.kind <= 4) return ch.times.empty() ? -1 : ch.times.back();
  if (ch.kind == 5) return ch.markers.empty() ? -1 : ch.markers.back().time;
  if (IsExtMark(ch.kind)) return ch.extMarks.empty() ? -1 : ch.extMarks.back().time;
  return -1;
}

uint64_t ItemCount(const Channel& ch) {
  if (IsWave(ch.kind)) {
    uint64_t n = 0;
    for (const WaveRun& run : ch.runs) n += run.Size();
    return n;
  }
  if (ch.kind >= 2 && ch.kind <= 4) return ch.times.size();
  if (ch.kind == 5) return ch.markers.size();
  if (IsExtMark(ch.kind)) return ch.extMarks.size();
  return 0;
}

namespace {

// A small deterministic generator, so the demo is the same on every run.
class Noise {
 public:
  // Uniform in [0, 1).
  double Next() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state_ >> 11) / 9007199254740992.0;
  }
  // Roughly normal, mean 0, standard deviation about 1.
  double Gauss() { return (Next() + Next() + Next() - 1.5) * 2.0; }

 private:
  uint64_t state_ = 0x2545F4914F6CDD1DULL;
};

constexpr double kPi = 3.14159265358979323846;
constexpr double kWaveScale = 2.0;  // 16-bit full scale is ±10 mV

int16_t ToShort(double mV) {
  const double s = std::lround(mV * 6553.6 / kWaveScale);
  return static_cast<int16_t>(std::max(-32768.0, std::min(32767.0, s)));
}

Channel Describe(int kind, const char* title, const char* units, const char* comment,
                 double rate, int32_t phyChan) {
  Channel ch;
  ch.kind = kind;
  ch.title = title;
  ch.units = units;
  ch.comment = comment;
  ch.idealRate = rate;
  ch.phyChan = phyChan;
  // The display range an ORF file implies, so both formats agree.
  ch.yLow = 0.0;
  ch.yHigh = rate;
  return ch;
}

void WaveScale(Channel& ch) {
  ch.scale = kWaveScale;
  ch.offset = 0.0;
  ch.yLow = -5 * kWaveScale;
  ch.yHigh = 5 * kWaveScale;
}

}  // namespace

Recording DemoRecording() {
  constexpr int64_t kSecond = 1000000;  // ticks of 1 µs
  constexpr int64_t kDivide = 100;      // 10 kHz
  constexpr int64_t kPauseFrom = 4500000, kPauseTo = 5000000, kEnd = 10 * kSecond;
  Noise noise;
  Recording rec;
  rec.timeBase = 1e-6;
  rec.comments = {"Demo recording: sine, spikes, events and notes", "Rig 2, electrode 3"};
  rec.timeDate = TimeDate{50, 30, 15, 10, 8, 3, 2016};
  rec.appId = "NSVDEMO1";

  Channel sine = Describe(1, "Sine", "mV", "Field potential with a 50 Hz test signal", 10000, 0);
  WaveScale(sine);
  sine.divide = kDivide;
  Channel copy = Describe(9, "Sine f", "mV", "Float copy of Sine", 10000, -1);
  WaveScale(copy);
  copy.divide = kDivide;
  for (const int64_t from : {int64_t{0}, kPauseTo}) {
    WaveRun run;
    run.start = from;
    WaveRun real;
    real.start = from;
    for (int64_t t = from; t < (from == 0 ? kPauseFrom : kEnd); t += kDivide) {
      const double mV = 4.0 * std::sin(2 * kPi * 50.0 * static_cast<double>(t) * 1e-6) + 0.25 * noise.Gauss();
      const int16_t s = ToShort(mV);
      run.shorts.push_back(s);
      real.floats.push_back(static_cast<float>(s * (kWaveScale * 0.000152587890625)));
    }
    sine.runs.push_back(std::move(run));
    copy.runs.push_back(std::move(real));
  }

  Channel spikes = Describe(6, "Spikes", "mV", "Two-trace spike snippets, units 1 and 2", 25, 1);
  WaveScale(spikes);
  spikes.divide = kDivide;
  spikes.rows = 32;
  spikes.cols = 2;
  spikes.preTrig = 10;
  for (int64_t t = 20000; t + 31 * kDivide < kEnd; t += kDivide * (200 + static_cast<int64_t>(noise.Next() * 400))) {
    if (t + 31 * kDivide >= kPauseFrom && t < kPauseTo) continue;
    ExtMarker m;
    m.time = t;
    const bool big = noise.Next() < 0.6;
    m.code[0] = big ? 1 : 2;
    for (int p = 0; p < 32; ++p) {
      const double x = p - 10.0;
      const double mV = big ? -3.0 * std::exp(-x * x / 2.0) + 1.0 * std::exp(-(x - 4) * (x - 4) / 9.0)
                            : -1.8 * std::exp(-x * x / 6.0) + 0.6 * std::exp(-(x - 6) * (x - 6) / 16.0);
      m.wave.push_back(ToShort(mV + 0.05 * noise.Gauss()));
      m.wave.push_back(ToShort(0.6 * mV + 0.05 * noise.Gauss()));
    }
    spikes.extMarks.push_back(std::move(m));
  }

  Channel trigger = Describe(2, "Trigger", "", "TTL trigger input", 2, 2);
  for (int k = 0; k < 19; ++k) trigger.times.push_back(500000 + k * 500000 + static_cast<int64_t>(noise.Next() * 1000));

  Channel licks = Describe(3, "Lick", "", "Lick sensor", 1.5, 3);
  for (int64_t t = 300000; t < kEnd; t += 200000 + static_cast<int64_t>(noise.Next() * 900000)) licks.times.push_back(t);

  Channel stim = Describe(4, "Stim", "", "Stimulator gate, 200 ms pulses", 2, 4);
  for (int k = 0; k < 10; ++k) {
    stim.times.push_back(1000000 + k * 800000);
    stim.times.push_back(1200000 + k * 800000);
  }

  Channel keys = Describe(5, "Keyboard", "", "Keys pressed during the recording", 0.5, -1);
  const std::pair<int64_t, char> presses[] = {{800000, 'B'}, {3000000, 'D'}, {4400000, 'P'},
                                              {5100000, 'R'}, {8000000, 'W'}, {9900000, 'E'}};
  for (const auto& press : presses) {
    Marker m;
    m.time = press.first;
    m.code[0] = static_cast<uint8_t>(press.second);
    keys.markers.push_back(m);
  }

  Channel fit = Describe(7, "Fit", "mV", "Spike fit: amplitude, half width (ms), baseline", 2.5, -1);
  fit.rows = 3;
  fit.cols = 1;
  fit.yLow = -5;
  fit.yHigh = 5;
  for (size_t i = 0; i < spikes.extMarks.size(); i += 8) {
    const ExtMarker& spike = spikes.extMarks[i];
    ExtMarker m;
    m.time = spike.time + 10 * kDivide;
    m.code[0] = spike.code[0];
    m.values = {static_cast<float>(spike.wave[20] * (kWaveScale / 6553.6)), spike.code[0] == 1 ? 0.25f : 0.5f,
                static_cast<float>(0.01 * static_cast<double>(i))};
    fit.extMarks.push_back(std::move(m));
  }

  Channel notes = Describe(8, "Notes", "", "Experimenter's notes", 0.5, -1);
  notes.rows = 40;
  notes.cols = 1;
  const std::pair<int64_t, const char*> lines[] = {
      {50000, "Baseline recording started"}, {3000000, "Drug A applied (10 uM)"},
      {4500000, "Recording paused"},         {5000000, "Recording resumed"},
      {8000000, "Washout"},                   {9950000, "End of protocol"}};
  for (const auto& line : lines) {
    ExtMarker m;
    m.time = line.first;
    m.text = line.second;
    notes.extMarks.push_back(std::move(m));
  }

  rec.channels[0] = std::move(sine);
  rec.channels[1] = std::move(copy);
  rec.channels[2] = std::move(spikes);
  rec.channels[3] = std::move(trigger);
  rec.channels[4] = std::move(stim);
  rec.channels[5] = std::move(keys);
  rec.channels[6] = std::move(fit);
  rec.channels[7] = std::move(notes);
  rec.channels[8] = std::move(licks);
  return rec;
}

}  // namespace demo
