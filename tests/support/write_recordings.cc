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
  const struct {
    const char* name;
    int version;  // ORF; 0: ORFX
    uint32_t blockBytes;
  } files[] = {{"demo.orfx", 0, 0},
               {"demo-v9.orf", 9, 32768},
               {"demo-v8.orf", 8, 512},
               {"demo-v6.orf", 6, 1024}};
  bool ok = true;
  for (const auto& f : files) {
    const std::string path = folder + f.name;
    const bool written = f.version == 0
                             ? recording_test::WriteOrfx(demo, path)
                             : recording_test::WriteOrf(demo, path, f.version, f.blockBytes);
    if (written) std::printf("%s\n", path.c_str());
    ok = ok && written;
  }
  if (!ok) std::fprintf(stderr, "write_recordings: a recording could not be written\n");
  return ok ? 0 : 1;
}
