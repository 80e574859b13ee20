// A recording process that dies mid-recording, for the crash test in
// lifecycle_test.cc: it creates an ORFX file with one event channel, writes
// the times 100, 107, 114, ... (committed of them, then a commit that
// flushes the operating system's buffers, then later more without a commit)
// and kills itself as an outside kill would, leaving whatever reached the file.
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

  std::unique_ptr<CKel64File> f = NewKel64File();
  if (f->Create(argv[1], 32, 0) != kOk || f->SetEventChan(0, 1.0, EventA, 0) != kOk ||
      f->WriteEvents(0, times.data(), static_cast<uint64_t>(committed)) != kOk || f->Commit(1) != kOk ||
      f->WriteEvents(0, times.data() + committed, static_cast<uint64_t>(later)) != kOk) {
    return 1;
  }
  platform::KillCurrentProcess();
}
