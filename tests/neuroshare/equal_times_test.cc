// Items that share a time, written by the file-access library, come back
// through ns_GetEventData one index each, in the order they were written:
// inside one data block, across a block boundary and across the chunks the
// entity scan reads.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "filelib/kel64_file.h"
#include "filelib/status.h"
#include "neuroshare/ns_api.h"
#include "tests/support/temp_dir.h"

namespace {

using vslk64::TMarker;
using vslk64::TSTime64;

TEST(EqualTimes, EachItemOfARunHasItsOwnIndexInWritingOrder) {
  testing_support::TempDir dir;
  const std::string path = dir.File("same.orfx");
  // 4095 markers fill a data block; the scan reads 4000 items at a time.
  constexpr size_t kCount = 9000;
  std::vector<TSTime64> times(kCount);
  for (size_t i = 0; i < kCount; ++i) times[i] = 1000 + 10 * static_cast<TSTime64>(i);
  for (size_t from : {size_t{2}, size_t{3996}, size_t{4092}, size_t{7995}}) {
    for (size_t k = 1; k < 9; ++k) times[from + k] = times[from];
  }
  std::vector<TMarker> marks(kCount);
  for (size_t i = 0; i < kCount; ++i) {
    marks[i] = TMarker{};
    marks[i].time = times[i];
    const uint16_t id = static_cast<uint16_t>(i);
    std::memcpy(marks[i].code, &id, sizeof id);
  }
  {
    std::unique_ptr<vslk64::CKel64File> f = vslk64::NewKel64File();
    ASSERT_EQ(f->Create(path.c_str(), 32, 0), vslk64::kOk);
    ASSERT_EQ(f->SetEventChan(0, 1, vslk64::EventA, 0), vslk64::kOk);
    ASSERT_EQ(f->SetMarkerChan(1, 1, vslk64::Marker, 0), vslk64::kOk);
    ASSERT_EQ(f->WriteEvents(0, times.data(), kCount), vslk64::kOk);
    ASSERT_EQ(f->WriteMarkers(1, marks.data(), kCount), vslk64::kOk);
    ASSERT_EQ(f->Close(), vslk64::kOk);
  }
  uint32_t file = 0;
  ASSERT_EQ(ns_OpenFile(path.c_str(), &file), ns_OK);
  for (uint32_t entity : {0u, 1u}) {
    SCOPED_TRACE(entity);
    ns_ENTITYINFO info{};
    ASSERT_EQ(ns_GetEntityInfo(file, entity, &info, sizeof info), ns_OK);
    ASSERT_EQ(info.dwEntityType, ns_ENTITY_EVENT);
    ASSERT_EQ(info.dwItemCount, kCount);
    for (uint32_t i = 0; i < kCount; ++i) {
      double t = 0;
      uint8_t data[8] = {};
      uint32_t size = 0;
      ASSERT_EQ(ns_GetEventData(file, entity, i, &t, data, sizeof data, &size), ns_OK) << i;
      ASSERT_DOUBLE_EQ(t, static_cast<double>(times[i]) * 1e-6) << i;
      if (entity == 1) {
        uint16_t id = 0;
        std::memcpy(&id, data, sizeof id);
        ASSERT_EQ(id, static_cast<uint16_t>(i)) << i;
      }
    }
  }
  EXPECT_EQ(ns_CloseFile(file), ns_OK);
}

}  // namespace
