// The description records: of the file, of each entity, and by entity type.
#include "neuroshare/ns_info_records.h"

#include <algorithm>
#include <cstring>

#include "filelib/kel64_types.h"
#include "neuroshare/ns_item_reads.h"

namespace nsv {
namespace {

// Filter types the files do not record.
constexpr char kUnknownFilter[] = "unknown";

// Copies a text of at most srcBytes characters into a fixed field, cut to
// the field and zero-filled to its end.
template <size_t N>
void CopyText(char (&field)[N], const char* text, size_t srcBytes) {
  size_t n = 0;
  while (n < N && n < srcBytes && text[n] != '\0') ++n;
  std::memcpy(field, text, n);
  std::memset(field + n, 0, N - n);
}

// Samples per second of a channel sampled every divide ticks.
double SampleRate(const TNsFile& file, const TNsEntity& entity) {
  return 1.0 / (static_cast<double>(entity.divide) * file.secsPerTick);
}

// The electrode location and the filter corners and orders, which no
// recording of either format holds: zeros, the high-pass filter type
// "unknown". Shared by the analog and segment-source records, which lay the
// same fields out at their own offsets.
template <typename R>
void NoLocationOrFilters(TNsRecordWriter<R>& info) {
  info.template F64<R::dLocationX>(0.0);
  info.template F64<R::dLocationY>(0.0);
  info.template F64<R::dLocationZ>(0.0);
  info.template F64<R::dLocationUser>(0.0);
  info.template F64<R::dHighFreqCorner>(0.0);
  info.template U32<R::dwHighFreqOrder>(0);
  info.template Text<R::szHighFilterType>(kUnknownFilter);
  info.template F64<R::dLowFreqCorner>(0.0);
  info.template U32<R::dwLowFreqOrder>(0);
}

}  // namespace

ns_RESULT NsFileInfo(const TNsFile& file, TNsRecordWriter<NsFileInfoRecord>& info) {
  using R = NsFileInfoRecord;
  info.Clear();
  info.Text<R::szFileType>("Ondrix data");
  info.U32<R::dwEntityCount>(static_cast<uint32_t>(file.entities.size()));
  info.F64<R::dTimeStampResolution>(file.secsPerTick);
  info.F64<R::dTimeSpan>(file.timeSpan);
  // The application id is eight characters without a terminator.
  info.Text<R::szAppName>(file.appId.chID, sizeof file.appId.chID);
  const vslk64::TTimeDate& td = file.timeDate;
  info.U32<R::dwTime_Year>(td.year);
  info.U32<R::dwTime_Month>(td.mon);
  info.U32<R::dwTime_DayofWeek>(0);
  info.U32<R::dwTime_Day>(td.day);
  info.U32<R::dwTime_Hour>(td.hour);
  info.U32<R::dwTime_Min>(td.min);
  info.U32<R::dwTime_Sec>(td.sec);
  info.U32<R::dwTime_MilliSec>(td.hun * 10u);
  info.Text<R::szFileComment>(file.comment, sizeof file.comment);
  return ns_OK;
}

ns_RESULT NsEntityInfo(TNsFile&, TNsEntity& entity, ns_ENTITYINFO* info) {
  info->dwEntityType = NsEntityType(entity.kind);
  if (info->dwEntityType == ns_ENTITY_UNKNOWN) {
    CopyText(info->szEntityLabel, "", 0);
    info->dwItemCount = 0;
  } else {
    // At most 31 characters, so the label is always terminated.
    CopyText(info->szEntityLabel, entity.title, sizeof info->szEntityLabel - 1);
    info->dwItemCount = entity.itemCount;
  }
  return ns_OK;
}

ns_RESULT NsEventInfo(TNsFile&, TNsEntity& entity, ns_EVENTINFO* info) {
  uint32_t type = ns_EVENT_BYTE;
  uint32_t length = 0;
  switch (entity.kind) {
    case vslk64::Level:
      length = 1;
      break;
    case vslk64::Marker:
      type = ns_EVENT_DWORD;
      length = 4;
      break;
    case vslk64::RealMark:
      type = ns_EVENT_CSV;
      length = static_cast<uint32_t>(
          std::min<uint64_t>(uint64_t{kNsCsvBytesPerValue} * entity.rows, UINT32_MAX));
      break;
    case vslk64::TextMark:
      type = ns_EVENT_TEXT;
      length = entity.rows;
      break;
    default:  // EventA, EventB: the time is all there is
      break;
  }
  info->dwEventType = type;
  info->dwMinDataLength = length;
  info->dwMaxDataLength = length;
  CopyText(info->szCSVDesc, entity.comment, sizeof entity.comment);
  return ns_OK;
}

ns_RESULT NsSegmentInfo(TNsFile& file, TNsEntity& entity,
                        TNsRecordWriter<NsSegmentInfoRecord>& info) {
  using R = NsSegmentInfoRecord;
  info.U32<R::dwSourceCount>(entity.cols);
  info.U32<R::dwMinSampleCount>(entity.rows);
  info.U32<R::dwMaxSampleCount>(entity.rows);
  info.F64<R::dSampleRate>(SampleRate(file, entity));
  info.Text<R::szUnits>(entity.units, sizeof entity.units);
  return ns_OK;
}

ns_RESULT NsSegmentSourceInfo(TNsFile&, TNsEntity& entity, uint32_t sourceId,
                              TNsRecordWriter<NsSegSourceInfoRecord>& info) {
  using R = NsSegSourceInfoRecord;
  if (sourceId >= entity.cols) return ns_BADSOURCE;
  // Every trace of a channel shares the channel's properties.
  info.F64<R::dMinVal>(entity.yLow);
  info.F64<R::dMaxVal>(entity.yHigh);
  info.F64<R::dResolution>(entity.resolution);
  info.F64<R::dSubSampleShift>(0.0);
  NoLocationOrFilters(info);
  info.Text<R::szLowFilterType>(kUnknownFilter);
  info.Text<R::szProbeInfo>(entity.comment, sizeof entity.comment);
  return ns_OK;
}

ns_RESULT NsNeuralInfo(TNsFile& file, TNsEntity& entity, ns_NEURALINFO* info) {
  info->dwSourceEntityID = entity.sourceEntity;
  info->dwSourceUnitID = entity.unitCode;
  const TNsEntity& source = *file.entities[entity.sourceEntity];
  CopyText(info->szProbeInfo, source.title, sizeof source.title);
  return ns_OK;
}

ns_RESULT NsAnalogInfo(TNsFile& file, TNsEntity& entity,
                       TNsRecordWriter<NsAnalogInfoRecord>& info) {
  using R = NsAnalogInfoRecord;
  info.F64<R::dSampleRate>(SampleRate(file, entity));
  info.F64<R::dMinVal>(entity.yLow);
  info.F64<R::dMaxVal>(entity.yHigh);
  info.Text<R::szUnits>(entity.units, sizeof entity.units);
  info.F64<R::dResolution>(entity.resolution);
  NoLocationOrFilters(info);
  info.EmptyText<R::szLowFilterType>();
  info.Text<R::szProbeInfo>(entity.comment, sizeof entity.comment);
  return ns_OK;
}

}  // namespace nsv
