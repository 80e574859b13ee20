// A recording process that dies mid-recording, for the crash test in
// kel_write_test.cc: it creates an ORF file with one event channel holding
// four blocks in memory, writes the times 10, 13, 16, ... (COMMITTED of them,
// then a commit, then the rest of 20000 without one) and kills itself as an
// outside kill would, leaving whatever reached the file.
//   orf_killed_writer PATH COMMITTED
// Exits with 1 when any step fails or the arguments are bad.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "filelib/kel64_types.h"
#include "filelib/orf/kel_lib.h"
#include "platform/host.h"

int main(int argc, char** argv) {
  using namespace vslk64;
  if (argc != 3) return 1;
  const long committed = std::strtol(argv[2], nullptr, 10);
  if (committed < 1 || committed >= 20000) return 1;
  std::vector<int32_t> t(20000);
  for (size_t i = 0; i < t.size(); ++i) t[i] = 10 + 3 * static_cast<int32_t>(i);
  const int n = static_cast<int>(committed);
  const int f = KelCreateFile(argv[1], 32, 0, false);
  if (f < 0 || KelSetEventChan(f, 2, 0, 512, "", "", 1, EventA) != 0) return 1;
  KelSetBuffering(f, 2, 4 * 512);
  if (KelWriteEvents(f, 2, t.data(), n) != 0 || KelCommit(f, true, false) != 0) return 1;
  KelWriteEvents(f, 2, t.data() + n, 20000 - n);
  platform::KillCurrentProcess();
}
