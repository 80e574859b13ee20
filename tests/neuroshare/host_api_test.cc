// The built library loaded as a host loads it (dlopen or LoadLibrary), every export
// looked up by its plain name, and the records declared on the host's side.
// The argument checks are exercised with bad and free handles and with
// entities of the wrong type. What the recordings read as is checked by
// library_writer_test.cc, which compares every entity with the recording
// written.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/host.h"
#include "tests/builder/recording.h"
#include "tests/support/temp_dir.h"
#include "tools/ns_host.h"

namespace {

using namespace nshost;

// An address range that wraps the end of the address space: never writable,
// and never touched since the check refuses it.
void* const kUnwritable = reinterpret_cast<void*>(UINTPTR_MAX - 7);

class Host : public ::testing::Test {
 protected:
  // Loaded once and kept loaded for the whole program, as a host keeps it
  // (held by a static, so the leak checker sees it in use).
  static void SetUpTestSuite() {
    std::string why;
    library_ = platform::SharedLibrary::Load(NSV_LIBRARY_PATH, &why).release();
    std::vector<std::string> missing;
    if (library_ == nullptr || !ResolveNsApi(*library_, &api_, &missing)) api_ = NsApi{};
  }
  void SetUp() override {
    ASSERT_NE(api_.GetLastErrorMsg, nullptr)
        << NSV_LIBRARY_PATH << " does not load with every ns_ export";
  }

  static std::string Message() {
    char text[256];
    EXPECT_EQ(api_.GetLastErrorMsg(text, sizeof text), ns_OK);
    return text;
  }

  static platform::SharedLibrary* library_;
  static NsApi api_;
};

platform::SharedLibrary* Host::library_ = nullptr;
NsApi Host::api_;

// Each export checks its result area first, then the handle, then the
// entity: with a bad area and a bad handle the area is reported, with a good
// area the handle; on an open file each call that takes an entity refuses
// every entity of another type (calls on any entity: the one past the last),
// with its own name in the message.
TEST_F(Host, ArgumentsAreCheckedAreaFirstThenHandleThenEntity) {
  testing_support::TempDir dir;
  const std::string path = dir.File("demo.orfx");
  ASSERT_TRUE(recording_test::WriteOrfx(recording_test::DemoRecording(), path));
  uint32_t file = 0;
  ASSERT_EQ(api_.OpenFile(path.c_str(), &file), ns_OK);
  std::vector<uint32_t> types;  // of each entity
  for (ns_ENTITYINFO info; api_.GetEntityInfo(file, types.size(), &info, sizeof info) == ns_OK;)
    types.push_back(info.dwEntityType);
  // Entity types as the API numbers them; calls on any entity, or on none.
  enum : uint32_t { kEvent = 1, kAnalog, kSegment, kNeural, kAny = 99, kNone };
  struct Case {
    const char* op;
    uint32_t type;  // of the entities it takes
    uint32_t size;  // the record's size; 0: an area checked for access or emptiness, or none
    std::function<ns_RESULT(uint32_t h, uint32_t e, bool goodArea)> call;
    const char* areaMessage = nullptr;  // when size is 0
  };
  ns_FILEINFO fileInfo;
  ns_ENTITYINFO entity;
  ns_EVENTINFO event;
  ns_SEGMENTINFO segment;
  ns_SEGSOURCEINFO source;
  ns_NEURALINFO neural;
  ns_ANALOGINFO analog;
  double t, values[64];
  uint32_t n;
  auto* noArea = static_cast<double*>(kUnwritable);
  // A record of entity e, in an area one byte short unless the area is good.
  const auto info = [](auto get, auto* record, uint32_t size) {
    return [=](uint32_t h, uint32_t e, bool ok) { return get(h, e, record, size - !ok); };
  };
  const Case cases[] = {
      {"GetFileInfo", kNone, 404,
       [&](auto h, auto, bool ok) { return api_.GetFileInfo(h, &fileInfo, ok ? 404 : 403); }},
      {"GetEntityInfo", kAny, 40, info(api_.GetEntityInfo, &entity, 40)},
      {"GetEventInfo", kEvent, 140, info(api_.GetEventInfo, &event, 140)},
      {"GetSegmentInfo", kSegment, 52, info(api_.GetSegmentInfo, &segment, 52)},
      {"GetSegmentSourceInfo", kSegment, 248,
       [&](auto h, auto e, bool ok) {
         return api_.GetSegmentSourceInfo(h, e, 0, &source, 248 - !ok);
       }},
      {"GetNeuralInfo", kNeural, 136, info(api_.GetNeuralInfo, &neural, 136)},
      {"GetAnalogInfo", kAnalog, 264, info(api_.GetAnalogInfo, &analog, 264)},
      {"GetEventData", kEvent, 0,
       [&](auto h, auto e, bool ok) {
         return api_.GetEventData(h, e, 0, &t, ok ? values : kUnwritable, 16, &n);
       },
       "GetEventData does not have write access to 16d bytes provided for results"},
      {"GetSegmentData", kSegment, 0,
       [&](auto h, auto e, bool ok) {
         return api_.GetSegmentData(h, e, 0, &t, ok ? values : noArea, 16, &n, &n);
       },
       "GetSegmentData does not have write access to 16d bytes provided for results"},
      {"GetNeuralData", kNeural, 0,
       [&](auto h, auto e, bool ok) { return api_.GetNeuralData(h, e, 0, ok ? 4 : 0, values); },
       "GetNeuralData was given zero byte size area for results"},
      {"GetAnalogData", kAnalog, 0,
       [&](auto h, auto e, bool ok) { return api_.GetAnalogData(h, e, 0, ok ? 4 : 0, &n, values); },
       "GetAnalogData was given zero byte size area for results"},
      {"GetTimeByIndex", kAny, 0,
       [&](auto h, auto e, bool) { return api_.GetTimeByIndex(h, e, 0, &t); }},
      {"GetIndexByTime", kAny, 0,
       [&](auto h, auto e, bool) { return api_.GetIndexByTime(h, e, 0.0, 0, &n); }},
  };
  const auto badEntity = [](const Case& c, uint32_t e) {
    return "Bad entity number (" + std::to_string(e) + "d) passed to function " + c.op;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    if (c.size != 0 || c.areaMessage != nullptr) {
      EXPECT_EQ(c.call(0, 0, false), ns_LIBERROR);
      EXPECT_EQ(Message(),
                c.size == 0 ? c.areaMessage
                            : std::string(c.op) + " was given " + std::to_string(c.size - 1) +
                                  "d bytes for results, requires " + std::to_string(c.size) + "d");
    }
    EXPECT_EQ(c.call(0, 0, true), ns_BADFILE);
    EXPECT_EQ(Message(), std::string("Bad file handle (0d) passed to function ") + c.op);
    if (c.type == kAny) {
      EXPECT_EQ(c.call(file, types.size(), true), ns_BADENTITY);
      EXPECT_EQ(Message(), badEntity(c, types.size()));
    }
    for (uint32_t e = 0; e < types.size(); ++e) {
      if (types[e] == c.type || c.type == kAny || c.type == kNone) continue;
      EXPECT_EQ(c.call(file, e, true), ns_BADENTITY) << e;
      EXPECT_EQ(Message(), badEntity(c, e));
    }
  }
  EXPECT_EQ(api_.CloseFile(file), ns_OK);
}

// Error answers in order, each with the message it leaves: a success does
// not clear the message; element counts do not wrap; calls without an area
// check only the handle; a path that cannot be opened is a file error naming
// the path (a missing file's is library_writer_test.cc's), a file that is not a
// recording a type error, and neither leaves a handle.
TEST_F(Host, ErrorAnswersLeaveTheirMessages) {
  testing_support::TempDir dir;
  const std::string junk = dir.File("junk.ORF");
  ASSERT_TRUE(testing_support::WriteFileBytes(junk, "not a recording\n", 16));
  ns_LIBRARYINFO info;
  // The library record: nothing written to one too small, and of the host's
  // sixteen file descriptions only the two the library has. (Its texts are
  // library_writer_test.cc's.)
  std::memset(&info, 0xA5, sizeof info);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&info);
  EXPECT_EQ(api_.GetLibraryInfo(&info, sizeof info - 1), ns_LIBERROR);
  EXPECT_EQ(Message(), "GetLibraryInfo was given 1191d bytes for results, requires 1192d");
  EXPECT_EQ(std::count(bytes, bytes + sizeof info, 0xA5), long(sizeof info));
  ASSERT_EQ(api_.GetLibraryInfo(&info, sizeof info), ns_OK);
  EXPECT_EQ(info.dwFileDescCount, 2u);
  const size_t unused = offsetof(ns_LIBRARYINFO, FileDesc[2]);
  EXPECT_EQ(std::count(bytes + unused, bytes + sizeof info, 0xA5), long(sizeof info - unused));
  char text[300];
  uint32_t n;
  double t;
  // An open that leaves a handle answers 999.
  const auto open = [](const char* path) {
    uint32_t fileId = 77;
    const ns_RESULT r = api_.OpenFile(path, &fileId);
    return fileId == 0 ? r : 999;
  };
  struct Case {
    std::function<ns_RESULT()> call;
    ns_RESULT result;
    std::string message;
  };
  std::vector<Case> cases = {
      {[] { return api_.CloseFile(9); }, ns_BADFILE,
       "Bad file handle (9d) passed to function CloseFile"},
      {[&] { return api_.GetLibraryInfo(&info, sizeof info); }, ns_OK,
       "Bad file handle (9d) passed to function CloseFile"},
      {[&] { return api_.GetLastErrorMsg(text, 0); }, ns_LIBERROR,
       "GetLastErrorMessage was given zero byte size area for results"},
      {[] { return api_.GetLastErrorMsg(nullptr, 10); }, ns_LIBERROR,
       "GetLastErrorMessage does not have write access to 10d bytes provided for results"},
      // 2^29 doubles are 2^32 bytes: refused as unwritable, not taken for zero.
      {[&] { return api_.GetAnalogData(1, 0, 0, 1u << 29, &n, nullptr); }, ns_LIBERROR,
       "GetAnalogData does not have write access to 4294967296d bytes provided for results"},
      {[&] { return api_.GetEventData(3, 0, 0, &t, kUnwritable, 0, &n); }, ns_BADFILE,
       "Bad file handle (3d) passed to function GetEventData"},
      {[&] { return api_.GetSegmentData(4, 0, 0, &t, nullptr, 64, &n, &n); }, ns_BADFILE,
       "Bad file handle (4d) passed to function GetSegmentData"},
      // Exactly ".orf" is too short to be taken for the older format.
      {[&] { return open(".orf"); }, ns_FILEERROR,
       "File read error occurred in function .orf with entity 0d, index 0d"},
      {[&] { return open(nullptr); }, ns_FILEERROR,
       "File read error occurred in function OpenFile with entity 0d, index 0d"},
      {[&] { return open(junk.c_str()); }, ns_TYPEERROR,
       "Bad file " + junk + " found (not of correct type) in function nsOpenFile"},
      {[] { return api_.OpenFile("/no/such/file.orfx", nullptr); }, ns_LIBERROR,
       "OpenFile was given a null pointer for the file handle"},
  };
  for (uint32_t handle : {0u, 1u, 64u, 65u, UINT32_MAX}) {
    cases.push_back(
        {[handle] { return api_.CloseFile(handle); }, ns_BADFILE,
         "Bad file handle (" + std::to_string(handle) + "d) passed to function CloseFile"});
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(cases[i].call(), cases[i].result) << "case " << i;
    EXPECT_EQ(Message(), cases[i].message) << "case " << i;
  }
  // The message is copied as far as the buffer holds, and nothing past it.
  std::memset(text, 'x', sizeof text);
  ASSERT_EQ(api_.GetLastErrorMsg(text, 10), ns_OK);
  EXPECT_STREQ(text, "Bad file ");
  EXPECT_EQ(text[10], 'x');
  ASSERT_EQ(api_.GetLastErrorMsg(text, 1), ns_OK);
  EXPECT_STREQ(text, "");
}

// Calls from several threads each complete as if alone: the message a thread
// reads is always one whole message, never a mixture of two.
TEST_F(Host, ConcurrentCallsLeaveWholeMessages) {
  std::set<std::string> whole;
  for (int k = 0; k < 4; ++k)
    whole.insert("Bad file handle (" + std::to_string(10 + k) + "d) passed to function CloseFile");
  std::atomic<int> torn{0};
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([&, k] {
      char text[256];
      for (int i = 0; i < 2000; ++i) {
        api_.CloseFile(10 + k);
        torn += api_.GetLastErrorMsg(text, sizeof text) != ns_OK || whole.count(text) == 0;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(torn, 0);
}

// Unloading the library closes every file it still holds (the unload hook;
// DllMain's process detach on Windows), so that a writer may then take them
// over unshared. A copy of the library is loaded, so that this load is its
// only one.
TEST(HostUnload, UnloadClosesTheFilesLeftOpen) {
  testing_support::TempDir dir;
  std::string image;
  ASSERT_TRUE(testing_support::ReadFileBytes(NSV_LIBRARY_PATH, &image));
  const std::string copy = dir.File(platform::SharedLibraryFileName("nsvcopy"));
  ASSERT_TRUE(testing_support::WriteFileBytes(copy, image.data(), image.size()));
  const recording_test::Recording demo = recording_test::DemoRecording();
  const std::string paths[] = {dir.File("left.orfx"), dir.File("left.orf")};
  ASSERT_TRUE(recording_test::WriteOrfx(demo, paths[0]));
  ASSERT_TRUE(recording_test::WriteOrf(demo, paths[1]));
  auto takeOver = [](const std::string& path) {
    return platform::NativeFiles().Open(path.c_str(), platform::Access::kReadWrite,
                                        platform::Disposition::kOpenExisting,
                                        platform::Share::kNone) != nullptr;
  };
  {
    std::string why;
    std::unique_ptr<platform::SharedLibrary> library = platform::SharedLibrary::Load(copy, &why);
    ASSERT_NE(library, nullptr) << why;
    NsApi api;
    std::vector<std::string> missing;
    ASSERT_TRUE(ResolveNsApi(*library, &api, &missing));
    for (const std::string& path : paths) {
      uint32_t handle = 0;
      ASSERT_EQ(api.OpenFile(path.c_str(), &handle), ns_OK) << path;
      EXPECT_FALSE(takeOver(path)) << path << " is open in the library";
    }
  }
  for (const std::string& path : paths) EXPECT_TRUE(takeOver(path)) << path;
}

}  // namespace
