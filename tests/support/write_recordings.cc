// Writes the tests' recordings into a folder, for comparing what builds on
// different platforms read from the very same files (scripts/conformance.sh):
// the demo recording laid out by the byte builders as an ORFX file and as ORF
// files of several versions and block sizes.
//   write_recordings FOLDER
// Prints the path of each file written, one a line; exits with 1 on failure.
#include <cstdio>
#include <string>

#include "platform/host.h"
#include "tests/builder/recording.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: write_recordings FOLDER\n");
    return 1;
  }
  const std::string folder = std::string(argv[1]) + platform::kPathSeparator;
  const recording_test::Recording demo = recording_test::DemoRecording();
  struct Orf {
    const char* name;
    int version;
    uint32_t blockBytes;
  };
  const Orf orfs[] = {{"demo-v9.orf", 9, 32768}, {"demo-v8.orf", 8, 512}, {"demo-v6.orf", 6, 1024}};
  bool ok = true;
  const std::string orfx = folder + "demo.orfx";
  if (recording_test::WriteOrfx(demo, orfx)) {
    std::printf("%s\n", orfx.c_str());
  } else {
    ok = false;
  }
  for (const Orf& o : orfs) {
    const std::string path = folder + o.name;
    if (recording_test::WriteOrf(demo, path, o.version, o.blockBytes)) {
      std::printf("%s\n", path.c_str());
    } else {
      ok = false;
    }
  }
  if (!ok) std::fprintf(stderr, "write_recordings: a recording could not be written\n");
  return ok ? 0 : 1;
}
