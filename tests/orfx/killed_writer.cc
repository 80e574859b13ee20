// A recording process that dies mid-recording, for the crash test in
// lifecycle_test.cc: it creates an ORFX file with two event channels (the
// second buffered) and a buffered 16-bit waveform channel, writes the times
// 100, 107, 114, ... to both event channels and the samples i * 13 from
// time 0 in steps of 5 (committed times and 40000 samples, then a commit
// that flushes the operating system's buffers, then later more times and
// the rest of 3 * 32752 samples without a commit) and kills itself as an
// outside kill would, leaving whatever reached the file.
//   killed_writer PATH COMMITTED LATER
// Exits with 1 when any step fails or the arguments are bad.
#include <cstdlib>
#include <memory>
#include <vector>

#include "filelib/kel64_file.h"
#include "filelib/status.h"
#include "platform/host.h"

int main(int argc, char** argv) {
  using namespace vslk64;
  if (argc != 4) return 1;
  const long committed = std::strtol(argv[2], nullptr, 10);
  const long later = std::strtol(argv[3], nullptr, 10);
  if (committed < 1 || later < 1 || committed > 10000000 || later > 10000000) return 1;
  std::vector<TSTime64> times(static_cast<size_t>(committed + later));
  for (size_t i = 0; i < times.size(); ++i) times[i] = 100 + 7 * static_cast<TSTime64>(i);

  std::vector<int16_t> samples(3 * 32752);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i * 13);
  const uint64_t samplesCommitted = 40000;
  const uint64_t first = static_cast<uint64_t>(committed);
  const uint64_t rest = static_cast<uint64_t>(later);

  std::unique_ptr<CKel64File> f = NewKel64File();
  if (f->Create(argv[1], 32, 0) != kOk || f->SetEventChan(0, 1.0, EventA, 0) != kOk ||
      f->SetEventChan(1, 1.0, EventA, 0) != kOk || f->SetWaveChan(2, 5, Adc, 0, 0) != kOk) {
    return 1;
  }
  f->SetBuffering(1, 1000 * 8, 0.0);
  f->SetBuffering(2, 3000 * 2, 0.0);
  if (f->WriteEvents(0, times.data(), first) != kOk || f->WriteEvents(1, times.data(), first) != kOk ||
      f->WriteWaveS(2, samples.data(), samplesCommitted, 0) != 5 * 40000 || f->Commit(1) != kOk ||
      f->WriteEvents(0, times.data() + first, rest) != kOk ||
      f->WriteEvents(1, times.data() + first, rest) != kOk ||
      f->WriteWaveS(2, samples.data() + samplesCommitted, samples.size() - samplesCommitted,
                    5 * 40000) < 0) {
    return 1;
  }
  platform::KillCurrentProcess();
}
