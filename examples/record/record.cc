// A recording program in miniature: creates an ORFX file and, block by block
// as an acquisition loop receives them, writes a 10 kHz waveform, an event at
// every upward zero crossing of it and a marker every second whose code is
// the second's number; commits once a second, so that a crash loses at most
// the last second, and closes.
//
//   record OUTPUT.orfx [SECONDS]
//
// Prints what it wrote, one channel a line, for comparison with what a
// reader finds in the file.
#include <vslk64/kel64_file.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

using vslk64::TSTime64;

constexpr double kTick = 1e-6;              // seconds per clock tick
constexpr TSTime64 kDivide = 100;           // ticks per sample: 10 kHz
constexpr int kBlockSamples = 1000;         // what one acquisition pass delivers
constexpr int kBlocksPerSecond = 10;
constexpr double kSignalHz = 7.0;
constexpr double kPi = 3.14159265358979323846;
constexpr double kVoltsPerUnit = 1.0 / 6553.6;  // a sample s stands for s * scale / 6553.6
constexpr uint16_t kWave = 0, kCrossings = 1, kSeconds = 2;

// Stands in for the converter: a 7 Hz sine of 2 V with a little noise.
class FakeAdc {
 public:
  void Fill(std::vector<int16_t>& block, uint64_t firstSample) {
    for (size_t i = 0; i < block.size(); ++i) {
      const double t = static_cast<double>(firstSample + i) * kDivide * kTick;
      seed_ = seed_ * 6364136223846793005ULL + 1442695040888963407ULL;
      const double noise = (static_cast<double>(seed_ >> 40) / (1 << 24) - 0.5) * 0.01;
      const double volts = 2.0 * std::sin(2 * kPi * kSignalHz * t) + noise;
      block[i] = static_cast<int16_t>(std::lround(volts / kVoltsPerUnit));
    }
  }

 private:
  uint64_t seed_ = 1;
};

bool Check(int status, const char* what) {
  if (status < 0) std::fprintf(stderr, "record: %s failed with status %d\n", what, status);
  return status >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: record OUTPUT.orfx [SECONDS]\n");
    return 2;
  }
  const int seconds = argc == 3 ? std::atoi(argv[2]) : 5;
  if (seconds < 1 || seconds > 3600) {
    std::fprintf(stderr, "record: SECONDS must be 1 to 3600\n");
    return 2;
  }

  std::unique_ptr<vslk64::CKel64File> file = vslk64::NewKel64File();
  if (!Check(file->Create(argv[1], 32, 0), "Create")) return 1;
  file->SetTimeBase(kTick);
  bool ok = Check(file->SetFileComment(0, "Example recording: sine, zero crossings, seconds"),
                  "SetFileComment") &&
            Check(file->SetWaveChan(kWave, kDivide, vslk64::Adc, 1 / (kDivide * kTick), 0),
                  "SetWaveChan") &&
            Check(file->SetChanTitle(kWave, "Sine"), "SetChanTitle") &&
            Check(file->SetChanUnits(kWave, "V"), "SetChanUnits") &&
            Check(file->SetChanScale(kWave, 1.0), "SetChanScale") &&
            Check(file->SetChanYRange(kWave, -2.5, 2.5), "SetChanYRange") &&
            Check(file->SetEventChan(kCrossings, 2 * kSignalHz, vslk64::EventA, 1),
                  "SetEventChan") &&
            Check(file->SetChanTitle(kCrossings, "Crossings"), "SetChanTitle") &&
            Check(file->SetMarkerChan(kSeconds, 1.0, vslk64::Marker, 2), "SetMarkerChan") &&
            Check(file->SetChanTitle(kSeconds, "Seconds"), "SetChanTitle");

  FakeAdc adc;
  std::vector<int16_t> block(kBlockSamples);
  std::vector<TSTime64> crossings;
  uint64_t samples = 0, events = 0, markers = 0;
  int16_t last = 0;
  for (int b = 0; ok && b < seconds * kBlocksPerSecond; ++b) {
    const TSTime64 t = static_cast<TSTime64>(samples) * kDivide;
    adc.Fill(block, samples);
    const TSTime64 next = file->WriteWaveS(kWave, block.data(), block.size(), t);
    ok = next == t + static_cast<TSTime64>(block.size()) * kDivide;
    if (!ok) std::fprintf(stderr, "record: WriteWaveS returned %lld\n", (long long)next);

    // The events of this block: where the signal rises through zero.
    crossings.clear();
    for (size_t i = 0; i < block.size(); ++i) {
      if (samples + i > 0 && last < 0 && block[i] >= 0) {
        crossings.push_back(t + static_cast<TSTime64>(i) * kDivide);
      }
      last = block[i];
    }
    if (ok && !crossings.empty()) {
      ok = Check(file->WriteEvents(kCrossings, crossings.data(), crossings.size()), "WriteEvents");
      events += crossings.size();
    }
    samples += block.size();

    if (ok && (b + 1) % kBlocksPerSecond == 0) {
      vslk64::TMarker mark{};
      mark.time = t;  // the start of the second's last block
      mark.code[0] = static_cast<uint8_t>(markers + 1);
      ok = Check(file->WriteMarkers(kSeconds, &mark, 1), "WriteMarkers") &&
           Check(file->Commit(0), "Commit");
      ++markers;
    }
  }
  const bool closed = Check(file->Close(), "Close");
  if (!ok || !closed) return 1;
  std::printf("Sine: %llu samples\n", (unsigned long long)samples);
  std::printf("Crossings: %llu events\n", (unsigned long long)events);
  std::printf("Seconds: %llu markers\n", (unsigned long long)markers);
  return 0;
}
