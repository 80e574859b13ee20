// Writes the fuzzers' seed corpora: small recordings made by the library's
// own writers (in memory; the tests' demo recording is over a megabyte, too
// large to mutate quickly), the read scripts
// joined to those images, writer scripts, and the two small tables.
//   make_seeds CORPUS_FOLDER
// Writes CORPUS_FOLDER/<target>/<seed> for every target; the folders must
// exist. The output is committed; run again only when the formats change.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "filelib/kel64_file.h"
#include "filelib/orfx/string_table.h"
#include "platform/file.h"
#include "tests/support/memory_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string g_folder;
bool g_ok = true;

void Save(const std::string& target, const std::string& name, const Bytes& bytes) {
  const std::string path = g_folder + "/" + target + "/" + name;
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "make_seeds: cannot write %s\n", path.c_str());
    g_ok = false;
  }
}

// A small recording with one channel of every kind, made by the library's
// writer of one format.
Bytes LibraryRecording(std::unique_ptr<vslk64::CKel64File> f, const char* path,
                       testing_support::MemoryFiles& files) {
  using namespace vslk64;
  if (f->Create(path, 10, 32) != kOk) return {};
  f->SetWaveChan(0, 10, Adc, 1000, 0);
  f->SetEventChan(1, 10, EventA, 1);
  f->SetLevelChan(2, 10, 2);
  f->SetMarkerChan(3, 10, Marker, 3);
  f->SetExtMarkChan(4, 10, WaveMark, 6, 2, 4, 10, 2);
  f->SetExtMarkChan(5, 10, RealMark, 3, 1, 5, 10, 0);
  f->SetTextMarkChan(6, 10, 20, 6);
  f->SetWaveChan(7, 5, RealWave, 2000, 7);
  f->SetChanTitle(0, "wave");
  f->SetChanUnits(0, "mV");
  f->SetFileComment(0, "seed");
  std::vector<int16_t> shorts(100);
  std::vector<float> floats(100);
  for (int i = 0; i < 100; ++i) {
    shorts[i] = static_cast<int16_t>(i * 37 - 1000);
    floats[i] = static_cast<float>(i) / 4;
  }
  f->WriteWaveS(0, shorts.data(), 60, 0);
  f->WriteWaveS(0, shorts.data() + 60, 40, 1000);  // after a gap
  f->WriteWaveF(7, floats.data(), 100, 0);
  const TSTime64 times[] = {5, 17, 40, 41, 300, 800};
  f->WriteEvents(1, times, 6);
  f->WriteLevels(2, times, 6);
  TMarker markers[4] = {};
  for (int i = 0; i < 4; ++i) {
    markers[i].time = 10 + 100 * i;
    markers[i].code[0] = static_cast<uint8_t>(i + 1);
  }
  f->WriteMarkers(3, markers, 4);
  for (uint16_t chan = 4; chan <= 6; ++chan) {
    const int size = f->ItemSize(chan);
    std::vector<uint64_t> buf((static_cast<size_t>(size) * 3 + 7) / 8);
    uint8_t* p = reinterpret_cast<uint8_t*>(buf.data());
    for (int i = 0; i < 3; ++i) {
      TExtMark* item = reinterpret_cast<TExtMark*>(p + i * size);
      item->time = 20 + 50 * i;
      item->code[0] = static_cast<uint8_t>(i);
      for (int b = 16; b < size - 1; ++b) p[i * size + b] = static_cast<uint8_t>('a' + b % 26);
    }
    f->WriteExtMarks(chan, reinterpret_cast<TExtMark*>(p), 3);
  }
  f->Close();
  const Bytes* bytes = files.Get(path);
  return bytes ? *bytes : Bytes();
}

// A read script exercising each operation on the first channels, with the
// 16-bit length in front, followed by the image.
Bytes ReadSeed(const Bytes& image) {
  Bytes script;
  for (uint8_t op = 0; op < 12; ++op) {
    for (uint8_t chan = 0; chan < 8; chan += 3) {
      const uint8_t call[] = {op, chan, 0, 0, 0,  // operation, channel (4 bytes)
                              200, 0, 0, 0,       // max
                              0,                  // from: 0
                              2};                 // upto: the largest time
      script.insert(script.end(), call, call + sizeof call);
    }
  }
  Bytes seed = {static_cast<uint8_t>(script.size() & 0xff), static_cast<uint8_t>(script.size() >> 8)};
  seed.insert(seed.end(), script.begin(), script.end());
  seed.insert(seed.end(), image.begin(), image.end());
  return seed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds CORPUS_FOLDER\n");
    return 1;
  }
  g_folder = argv[1];
  testing_support::MemoryFiles files;
  platform::ScopedFileSystem scoped(&files);

  const Bytes libX = LibraryRecording(vslk64::NewKel64File(), "/m/lib.orfx", files);
  const Bytes lib32 = LibraryRecording(vslk64::NewKel32File(), "/m/lib.orf", files);
  if (libX.empty() || lib32.empty()) {
    std::fprintf(stderr, "make_seeds: the library could not write its recording\n");
    return 1;
  }

  Save("ns_open_orfx", "library", libX);
  Save("ns_open_orf", "library", lib32);
  Save("kel64_read", "library", ReadSeed(libX));
  Save("kel32_read", "library", ReadSeed(lib32));

  // Writer scripts: chans byte, extra-data switch, then calls. Each creates
  // channels of several kinds, writes, edits, overwrites and switches saving.
  const Bytes scripts[] = {
      {0, 0, 0, 0, 0, 0, 0, 1, 5, 3, 0, 0, 0, 0, 2, 0, 0, 0, 0, 4, 0, 0, 0, 0, 5, 0, 0, 0, 0, 9},
      {0, 0, 1, 1, 0, 0, 0, 4, 9, 9, 1, 2, 2, 0, 0, 0, 1, 4, 6, 0, 0, 0, 8, 2, 1, 0, 0, 0, 3},
      {0, 1, 0, 2, 0, 0, 0, 5, 1, 7, 3, 2, 2, 2, 0, 0, 0, 10, 8, 0, 0, 0, 2, 3, 2, 0, 0, 0, 9},
      {0, 0, 0, 3, 0, 0, 0, 8, 9, 2, 2, 10, 3, 0, 0, 0, 0, 1, 0, 11, 3, 0, 0, 0, 0, 1, 2, 3, 0},
  };
  int n = 0;
  for (const Bytes& s : scripts) {
    Save("kel64_write", "script" + std::to_string(++n), s);
    Save("kel32_write", "script" + std::to_string(n), s);
  }

  vslk64::CStringTable table;
  table.Replace("mV", 0);
  table.Replace("a channel comment", 0);
  table.Replace("mV", 0);
  table.Replace("x", 0);
  Save("string_table", "three", table.Serialise());

  Bytes lookup;
  auto put = [&lookup](uint32_t v) {
    for (int i = 0; i < 4; ++i) lookup.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  for (uint32_t w : {64u, 64u, 1u, 0xffffffffu, 0u, 0u, 0u}) put(w);
  put(100);  // blocks in the channel
  for (uint32_t i = 0; i < 64; ++i) {
    put(512 * (i + 1));
    put(i * 100);
    put(i * 100 + 99);
  }
  Save("lookup_table", "valid", lookup);
  return g_ok ? 0 : 1;
}
