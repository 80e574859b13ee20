// What a host program declares to use a Neuroshare library loaded at run
// time: its own copies of the records (4-byte packing, as the library lays
// them out), the signatures of the seventeen ns_ functions, and their lookup
// by name in a library loaded with dlopen or LoadLibrary (platform/host.h). A
// host never includes the library's own headers. Used by nsinfo and by the
// tests that load the built library as a host does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/host.h"

namespace nshost {

using ns_RESULT = int32_t;

constexpr ns_RESULT ns_OK = 0;
constexpr ns_RESULT ns_LIBERROR = -1;
constexpr ns_RESULT ns_TYPEERROR = -2;
constexpr ns_RESULT ns_FILEERROR = -3;
constexpr ns_RESULT ns_BADFILE = -4;
constexpr ns_RESULT ns_BADENTITY = -5;
constexpr ns_RESULT ns_BADSOURCE = -6;
constexpr ns_RESULT ns_BADINDEX = -7;

#pragma pack(push, 4)

struct ns_FILEDESC {
  char szDescription[32];
  char szExtension[8];
  char szMacCodes[8];
  char szMagicCode[16];
};

struct ns_LIBRARYINFO {
  uint32_t dwLibVersionMaj;
  uint32_t dwLibVersionMin;
  uint32_t dwAPIVersionMaj;
  uint32_t dwAPIVersionMin;
  char szDescription[64];
  char szCreator[64];
  uint32_t dwTime_Year;
  uint32_t dwTime_Month;
  uint32_t dwTime_Day;
  uint32_t dwFlags;
  uint32_t dwMaxFiles;
  uint32_t dwFileDescCount;
  ns_FILEDESC FileDesc[16];
};

struct ns_FILEINFO {
  char szFileType[32];
  uint32_t dwEntityCount;
  double dTimeStampResolution;
  double dTimeSpan;
  char szAppName[64];
  uint32_t dwTime_Year;
  uint32_t dwTime_Month;
  uint32_t dwTime_DayofWeek;
  uint32_t dwTime_Day;
  uint32_t dwTime_Hour;
  uint32_t dwTime_Min;
  uint32_t dwTime_Sec;
  uint32_t dwTime_MilliSec;
  char szFileComment[256];
};

struct ns_ENTITYINFO {
  char szEntityLabel[32];
  uint32_t dwEntityType;
  uint32_t dwItemCount;
};

struct ns_EVENTINFO {
  uint32_t dwEventType;
  uint32_t dwMinDataLength;
  uint32_t dwMaxDataLength;
  char szCSVDesc[128];
};

struct ns_ANALOGINFO {
  double dSampleRate;
  double dMinVal;
  double dMaxVal;
  char szUnits[16];
  double dResolution;
  double dLocationX;
  double dLocationY;
  double dLocationZ;
  double dLocationUser;
  double dHighFreqCorner;
  uint32_t dwHighFreqOrder;
  char szHighFilterType[16];
  double dLowFreqCorner;
  uint32_t dwLowFreqOrder;
  char szLowFilterType[16];
  char szProbeInfo[128];
};

struct ns_SEGMENTINFO {
  uint32_t dwSourceCount;
  uint32_t dwMinSampleCount;
  uint32_t dwMaxSampleCount;
  double dSampleRate;
  char szUnits[32];
};

struct ns_SEGSOURCEINFO {
  double dMinVal;
  double dMaxVal;
  double dResolution;
  double dSubSampleShift;
  double dLocationX;
  double dLocationY;
  double dLocationZ;
  double dLocationUser;
  double dHighFreqCorner;
  uint32_t dwHighFreqOrder;
  char szHighFilterType[16];
  double dLowFreqCorner;
  uint32_t dwLowFreqOrder;
  char szLowFilterType[16];
  char szProbeInfo[128];
};

struct ns_NEURALINFO {
  uint32_t dwSourceEntityID;
  uint32_t dwSourceUnitID;
  char szProbeInfo[128];
};

#pragma pack(pop)

static_assert(sizeof(ns_FILEDESC) == 64, "ns_FILEDESC");
static_assert(sizeof(ns_LIBRARYINFO) == 1192, "ns_LIBRARYINFO");
static_assert(offsetof(ns_LIBRARYINFO, FileDesc) == 168, "ns_LIBRARYINFO");
static_assert(sizeof(ns_FILEINFO) == 404, "ns_FILEINFO");
static_assert(offsetof(ns_FILEINFO, dTimeStampResolution) == 36, "ns_FILEINFO");
static_assert(offsetof(ns_FILEINFO, szFileComment) == 148, "ns_FILEINFO");
static_assert(sizeof(ns_ENTITYINFO) == 40, "ns_ENTITYINFO");
static_assert(sizeof(ns_EVENTINFO) == 140, "ns_EVENTINFO");
static_assert(sizeof(ns_ANALOGINFO) == 264, "ns_ANALOGINFO");
static_assert(offsetof(ns_ANALOGINFO, dLowFreqCorner) == 108, "ns_ANALOGINFO");
static_assert(sizeof(ns_SEGMENTINFO) == 52, "ns_SEGMENTINFO");
static_assert(offsetof(ns_SEGMENTINFO, dSampleRate) == 12, "ns_SEGMENTINFO");
static_assert(sizeof(ns_SEGSOURCEINFO) == 248, "ns_SEGSOURCEINFO");
static_assert(offsetof(ns_SEGSOURCEINFO, dLowFreqCorner) == 92, "ns_SEGSOURCEINFO");
static_assert(sizeof(ns_NEURALINFO) == 136, "ns_NEURALINFO");

// The seventeen entry points, looked up by their plain names.
struct NsApi {
  ns_RESULT (*GetLibraryInfo)(ns_LIBRARYINFO* info, uint32_t size) = nullptr;
  ns_RESULT (*OpenFile)(const char* path, uint32_t* fileId) = nullptr;
  ns_RESULT (*CloseFile)(uint32_t fileId) = nullptr;
  ns_RESULT (*GetLastErrorMsg)(char* buffer, uint32_t size) = nullptr;
  ns_RESULT (*GetFileInfo)(uint32_t fileId, ns_FILEINFO* info, uint32_t size) = nullptr;
  ns_RESULT (*GetEntityInfo)(uint32_t fileId, uint32_t entityId, ns_ENTITYINFO* info,
                             uint32_t size) = nullptr;
  ns_RESULT (*GetEventInfo)(uint32_t fileId, uint32_t entityId, ns_EVENTINFO* info,
                            uint32_t size) = nullptr;
  ns_RESULT (*GetEventData)(uint32_t fileId, uint32_t entityId, uint32_t index,
                            double* timeStamp, void* data, uint32_t dataSize,
                            uint32_t* dataRetSize) = nullptr;
  ns_RESULT (*GetSegmentInfo)(uint32_t fileId, uint32_t entityId, ns_SEGMENTINFO* info,
                              uint32_t size) = nullptr;
  ns_RESULT (*GetSegmentSourceInfo)(uint32_t fileId, uint32_t entityId, uint32_t sourceId,
                                    ns_SEGSOURCEINFO* info, uint32_t size) = nullptr;
  ns_RESULT (*GetSegmentData)(uint32_t fileId, uint32_t entityId, uint32_t index,
                              double* timeStamp, double* data, uint32_t dataBufferSize,
                              uint32_t* sampleCount, uint32_t* unitId) = nullptr;
  ns_RESULT (*GetNeuralInfo)(uint32_t fileId, uint32_t entityId, ns_NEURALINFO* info,
                             uint32_t size) = nullptr;
  ns_RESULT (*GetNeuralData)(uint32_t fileId, uint32_t entityId, uint32_t startIndex,
                             uint32_t indexCount, double* data) = nullptr;
  ns_RESULT (*GetAnalogInfo)(uint32_t fileId, uint32_t entityId, ns_ANALOGINFO* info,
                             uint32_t size) = nullptr;
  ns_RESULT (*GetAnalogData)(uint32_t fileId, uint32_t entityId, uint32_t startIndex,
                             uint32_t indexCount, uint32_t* contCount, double* data) = nullptr;
  ns_RESULT (*GetIndexByTime)(uint32_t fileId, uint32_t entityId, double time, int32_t flag,
                              uint32_t* index) = nullptr;
  ns_RESULT (*GetTimeByIndex)(uint32_t fileId, uint32_t entityId, uint32_t index,
                              double* time) = nullptr;
};

namespace detail {

template <typename Fn>
void Resolve(const platform::SharedLibrary& library, const char* name, Fn* slot,
             std::vector<std::string>* missing) {
  void* symbol = library.Symbol(name);
  if (symbol == nullptr) {
    missing->push_back(name);
    return;
  }
  *slot = reinterpret_cast<Fn>(symbol);
}

}  // namespace detail

// Looks up all seventeen functions in a loaded library. Returns true when
// every one was found; otherwise missing lists the names not found.
inline bool ResolveNsApi(const platform::SharedLibrary& library, NsApi* api,
                         std::vector<std::string>* missing) {
  missing->clear();
  detail::Resolve(library, "ns_GetLibraryInfo", &api->GetLibraryInfo, missing);
  detail::Resolve(library, "ns_OpenFile", &api->OpenFile, missing);
  detail::Resolve(library, "ns_CloseFile", &api->CloseFile, missing);
  detail::Resolve(library, "ns_GetLastErrorMsg", &api->GetLastErrorMsg, missing);
  detail::Resolve(library, "ns_GetFileInfo", &api->GetFileInfo, missing);
  detail::Resolve(library, "ns_GetEntityInfo", &api->GetEntityInfo, missing);
  detail::Resolve(library, "ns_GetEventInfo", &api->GetEventInfo, missing);
  detail::Resolve(library, "ns_GetEventData", &api->GetEventData, missing);
  detail::Resolve(library, "ns_GetSegmentInfo", &api->GetSegmentInfo, missing);
  detail::Resolve(library, "ns_GetSegmentSourceInfo", &api->GetSegmentSourceInfo, missing);
  detail::Resolve(library, "ns_GetSegmentData", &api->GetSegmentData, missing);
  detail::Resolve(library, "ns_GetNeuralInfo", &api->GetNeuralInfo, missing);
  detail::Resolve(library, "ns_GetNeuralData", &api->GetNeuralData, missing);
  detail::Resolve(library, "ns_GetAnalogInfo", &api->GetAnalogInfo, missing);
  detail::Resolve(library, "ns_GetAnalogData", &api->GetAnalogData, missing);
  detail::Resolve(library, "ns_GetIndexByTime", &api->GetIndexByTime, missing);
  detail::Resolve(library, "ns_GetTimeByIndex", &api->GetTimeByIndex, missing);
  return missing->empty();
}

// The name of a result code, for messages.
inline const char* ResultName(ns_RESULT code) {
  switch (code) {
    case ns_OK: return "ns_OK";
    case ns_LIBERROR: return "ns_LIBERROR";
    case ns_TYPEERROR: return "ns_TYPEERROR";
    case ns_FILEERROR: return "ns_FILEERROR";
    case ns_BADFILE: return "ns_BADFILE";
    case ns_BADENTITY: return "ns_BADENTITY";
    case ns_BADSOURCE: return "ns_BADSOURCE";
    case ns_BADINDEX: return "ns_BADINDEX";
    default: return "unknown result";
  }
}

}  // namespace nshost
