// Writes the fuzzers' seed corpora: small recordings of both formats made by
// the library's own writers (in memory) and, for an older ORF version, by the
// tests' byte builder; the read scripts joined to those images; writer
// scripts; and the two small tables. Images are stored zero-run coded
// (fuzz/image_code.h), a few KB each.
//   make_seeds CORPUS_FOLDER
// Writes CORPUS_FOLDER/<target>/<seed> for every target; the folders must
// exist. The output is committed; run again only when the formats change.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "filelib/kel64_file.h"
#include "filelib/orf/kel32_file.h"
#include "filelib/orfx/string_table.h"
#include "fuzz/image_code.h"
#include "platform/file.h"
#include "tests/builder/orf/orf_builder.h"
#include "tests/support/memory_files.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace vslk64;

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

// The channels of a recording by kind, in the order LibraryRecording makes
// them: waveform, event, level, marker, waveform marker, real marker, text
// marker, real waveform.
constexpr uint16_t kKinds = 8;

// A recording with `copies` channels of every kind and a few items in each,
// made by one format's writer.
Bytes LibraryRecording(CKel64File& f, const char* path, testing_support::MemoryFiles& files,
                       uint16_t copies) {
  if (f.Create(path, 32, 32) != kOk) return {};
  std::vector<int16_t> shorts(100);
  std::vector<float> floats(100);
  for (int i = 0; i < 100; ++i) {
    shorts[i] = static_cast<int16_t>(i * 37 - 1000);
    floats[i] = static_cast<float>(i) / 4;
  }
  const TSTime64 times[] = {5, 17, 40, 41, 300, 800};
  for (uint16_t copy = 0; copy < copies; ++copy) {
    const uint16_t c = static_cast<uint16_t>(copy * kKinds);
    const int n = 3 + copy;  // the copies differ in their counts
    f.SetWaveChan(c, 10, Adc, 1000, c);
    f.SetEventChan(c + 1, 10, EventA, 1);
    f.SetLevelChan(c + 2, 10, 2);
    f.SetMarkerChan(c + 3, 10, Marker, 3);
    f.SetExtMarkChan(c + 4, 10, WaveMark, 6, 2, 4, 10, 2);
    f.SetExtMarkChan(c + 5, 10, RealMark, 3, 1, 5, 10, 0);
    f.SetTextMarkChan(c + 6, 10, 20, 6);
    f.SetWaveChan(c + 7, 5, RealWave, 2000, 7);
    f.SetChanTitle(c, "wave");
    f.SetChanUnits(c, "mV");
    f.WriteWaveS(c, shorts.data(), 20 * n, 0);
    f.WriteWaveS(c, shorts.data() + 60, 40, 1000);  // after a gap
    f.WriteWaveF(c + 7, floats.data(), 10 * n, 0);
    f.WriteEvents(c + 1, times, static_cast<uint64_t>(n));
    f.WriteLevels(c + 2, times, 6);
    TMarker markers[4] = {};
    for (int i = 0; i < 4; ++i) {
      markers[i].time = 10 + 100 * i;
      markers[i].code[0] = static_cast<uint8_t>(i + 1);
    }
    f.WriteMarkers(c + 3, markers, static_cast<uint64_t>(n));
    for (uint16_t chan = c + 4; chan <= c + 6; ++chan) {
      const int size = f.ItemSize(chan);
      std::vector<uint64_t> buf((static_cast<size_t>(size) * 3 + 7) / 8);
      uint8_t* p = reinterpret_cast<uint8_t*>(buf.data());
      for (int i = 0; i < 3; ++i) {
        TExtMark* item = reinterpret_cast<TExtMark*>(p + i * size);
        item->time = 20 + 50 * i;
        item->code[0] = static_cast<uint8_t>(i);
        for (int b = 16; b < size - 1; ++b) p[i * size + b] = static_cast<uint8_t>('a' + b % 26);
      }
      f.WriteExtMarks(chan, reinterpret_cast<TExtMark*>(p), 3);
    }
  }
  f.SetFileComment(0, "seed");
  f.Close();
  const Bytes* bytes = files.Get(path);
  return bytes ? *bytes : Bytes();
}

// A 64-bit recording written through buffers with saving switched off and on:
// events, markers and a waveform, of which only the saved stretches remain,
// and a save list.
Bytes BufferedRecording(const char* path, testing_support::MemoryFiles& files) {
  std::unique_ptr<CKel64File> f = NewKel64File();
  if (f->Create(path, 32, 0) != kOk) return {};
  f->SetEventChan(0, 100, EventA, 0);
  f->SetMarkerChan(1, 100, Marker, 0);
  f->SetWaveChan(2, 10, Adc, 0, 0);
  f->SetBuffering(-1, 4096, 0.0);
  f->Save(-1, 0, false);
  f->Save(-1, 200, true);
  f->Save(0, 500, false);
  f->Save(0, 700, true);
  TSTime64 times[20];
  TMarker markers[20] = {};
  std::vector<int16_t> samples(100);
  for (int i = 0; i < 20; ++i) {
    times[i] = 50 * i;
    markers[i].time = 50 * i + 1;
    markers[i].code[0] = static_cast<uint8_t>(i);
  }
  for (int i = 0; i < 100; ++i) samples[i] = static_cast<int16_t>(i * 11);
  f->WriteEvents(0, times, 20);
  f->WriteMarkers(1, markers, 20);
  f->WriteWaveS(2, samples.data(), 100, 0);
  f->Close();
  const Bytes* bytes = files.Get(path);
  return bytes ? *bytes : Bytes();
}

// An older ORF (version 6) laid out by the tests' builder: a waveform in two
// blocks, events, levels and markers.
Bytes BuilderRecording() {
  orf_builder::OrfFile file(6, 32);
  file.chan(0).kind = 1;
  file.chan(0).divide = 4;
  file.chan(1).kind = 2;
  file.chan(2).kind = 4;
  file.chan(3).kind = 5;
  file.chan(0).title = "wave";
  file.AddWave(0, 0, {1, 2, 3, 4, 5, 6});
  file.AddWave(0, 100, {7, 8, 9});
  file.AddEvents(1, {3, 9, 27});
  file.AddEvents(2, {10, 20, 30, 40});
  file.AddMarks(3, {{5, {1, 0, 0, 0}, {}}, {50, {2, 0, 0, 0}, {}}});
  const std::string bytes = file.Build();
  return Bytes(bytes.begin(), bytes.end());
}

// A read script of each operation on the given channels, with the 16-bit
// length in front, followed by the coded image.
Bytes ReadSeed(const Bytes& image, const std::vector<uint8_t>& chans) {
  Bytes script;
  for (uint8_t op = 0; op < 12; ++op) {
    for (uint8_t chan : chans) {
      const uint8_t call[] = {op, chan, 0, 0, 0,  // operation, channel (4 bytes)
                              200, 0, 0, 0,       // max
                              0,                  // from: 0
                              2};                 // upto: the largest time
      script.insert(script.end(), call, call + sizeof call);
    }
  }
  Bytes seed = {static_cast<uint8_t>(script.size() & 0xff), static_cast<uint8_t>(script.size() >> 8)};
  seed.insert(seed.end(), script.begin(), script.end());
  const Bytes coded = nsv_fuzz::EncodeImage(image);
  seed.insert(seed.end(), coded.begin(), coded.end());
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

  struct Image {
    const char* format;  // "orfx" or "orf"
    const char* name;
    Bytes bytes;
    std::vector<uint8_t> readChans;  // channels the read script visits
  };
  std::vector<Image> images;
  {
    std::unique_ptr<CKel64File> f = NewKel64File();
    images.push_back({"orfx", "one-of-each", LibraryRecording(*f, "/m/1.orfx", files, 1),
                      {0, 1, 2, 3, 4, 5, 6, 7}});
  }
  {
    std::unique_ptr<CKel64File> f = NewKel64File();
    images.push_back({"orfx", "two-of-each", LibraryRecording(*f, "/m/2.orfx", files, 2),
                      {8, 10, 12, 14, 15}});
  }
  images.push_back({"orfx", "buffered", BufferedRecording("/m/b.orfx", files), {0, 1, 2}});
  {
    TKel32File f(-1);  // version 8
    images.push_back({"orf", "v8-one-of-each", LibraryRecording(f, "/m/8.orf", files, 1),
                      {0, 1, 2, 3, 4, 5, 6, 7}});
  }
  {
    TKel32File f(1);  // version 9, with saved lookup tables
    images.push_back({"orf", "v9-two-of-each", LibraryRecording(f, "/m/9.orf", files, 2),
                      {8, 9, 11, 12, 13, 15}});
  }
  images.push_back({"orf", "v6-builder", BuilderRecording(), {0, 1, 2, 3}});
  for (const Image& image : images) {
    if (image.bytes.empty()) {
      std::fprintf(stderr, "make_seeds: the image %s could not be made\n", image.name);
      return 1;
    }
    const bool x = std::string(image.format) == "orfx";
    // A seed the readers refuse, or that does not decode to itself, would
    // only start the fuzzer at the front door.
    const Bytes coded = nsv_fuzz::EncodeImage(image.bytes);
    std::vector<nsv_fuzz::Piece> pieces;
    nsv_fuzz::DecodeImage(coded.data(), coded.size(), &pieces);
    Bytes decoded;
    for (const nsv_fuzz::Piece& p : pieces) {
      if (p.bytes != nullptr) {
        decoded.insert(decoded.end(), p.bytes, p.bytes + p.size);
      } else {
        decoded.resize(decoded.size() + p.size);
      }
    }
    const std::string check = std::string("/m/check.") + image.format;
    files.PutView(check, pieces);
    std::unique_ptr<CKel64File> reader = x ? NewKel64File() : NewKel32File();
    if (decoded != image.bytes || reader->Open(check.c_str(), 1, 0) != kOk) {
      std::fprintf(stderr, "make_seeds: the image %s does not read back\n", image.name);
      return 1;
    }
    reader->Close();
    Save(x ? "ns_open_orfx" : "ns_open_orf", image.name, coded);
    Save(x ? "kel64_read" : "kel32_read", image.name, ReadSeed(image.bytes, image.readChans));
  }

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

  CStringTable table;
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
