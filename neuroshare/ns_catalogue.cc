#include "neuroshare/ns_catalogue.h"

#include <cstring>

namespace nsv {

int FillFileRecord(const char* /*path*/, TNsFile& record) {
  vslk64::CKel64File& file = *record.file;
  record.secsPerTick = 1e-6;
  record.appId = {};

  record.timeDate = {};
  file.TimeDate(&record.timeDate, nullptr);

  // Comment 0 without its trailing spaces; a comment of spaces only is empty.
  std::memset(record.comment, 0, sizeof record.comment);
  file.GetFileComment(0, sizeof record.comment, record.comment);
  record.comment[sizeof record.comment - 1] = '\0';
  for (size_t n = std::strlen(record.comment); n > 0 && record.comment[n - 1] == ' '; --n) {
    record.comment[n - 1] = '\0';
  }

  record.secsPerTick = file.GetTimeBase();
  file.AppID(&record.appId, nullptr);
  record.timeSpan = static_cast<double>(file.MaxTime(true)) * record.secsPerTick;
  return 0;
}

}  // namespace nsv
