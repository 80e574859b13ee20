// The Neuroshare 1.3 programming interface as this library exports it: the
// records, result codes and constants a host exchanges with the seventeen
// exported ns_ functions, and the declarations of those functions.
//
// Every record is laid out with 4-byte packing, so a double may sit at an
// offset that is a multiple of 4 only; the static_asserts below pin each size
// and field offset, since hosts depend on them byte for byte. Four records
// are also written with natural alignment for hosts that pass the naturally
// aligned size (ns_records.h). Used by every file in neuroshare/ and by its
// tests, and installed as include/nsvslorfx/ns_api.h for hosts that link the
// library rather than load it; hosts that load it declare their own copies.
#pragma once

#include <cstddef>
#include <cstdint>

// The seventeen ns_ functions are the only symbols the shared library
// exports; everything else is hidden by the build's default visibility.
#if defined(_WIN32)
#define NS_EXPORT __declspec(dllexport)
#define NS_CALL __stdcall
#else
#define NS_EXPORT __attribute__((visibility("default")))
#define NS_CALL
#endif

using ns_RESULT = int32_t;

// Result codes.
constexpr ns_RESULT ns_OK = 0;
constexpr ns_RESULT ns_LIBERROR = -1;
constexpr ns_RESULT ns_TYPEERROR = -2;
constexpr ns_RESULT ns_FILEERROR = -3;
constexpr ns_RESULT ns_BADFILE = -4;
constexpr ns_RESULT ns_BADENTITY = -5;
constexpr ns_RESULT ns_BADSOURCE = -6;
constexpr ns_RESULT ns_BADINDEX = -7;

// Entity types (ns_ENTITYINFO::dwEntityType).
constexpr uint32_t ns_ENTITY_UNKNOWN = 0;
constexpr uint32_t ns_ENTITY_EVENT = 1;
constexpr uint32_t ns_ENTITY_ANALOG = 2;
constexpr uint32_t ns_ENTITY_SEGMENT = 3;
constexpr uint32_t ns_ENTITY_NEURALEVENT = 4;

// Event data types (ns_EVENTINFO::dwEventType).
constexpr uint32_t ns_EVENT_TEXT = 0;
constexpr uint32_t ns_EVENT_CSV = 1;
constexpr uint32_t ns_EVENT_BYTE = 2;
constexpr uint32_t ns_EVENT_WORD = 3;
constexpr uint32_t ns_EVENT_DWORD = 4;

// Search rules of ns_GetIndexByTime.
constexpr int32_t ns_BEFORE = -1;
constexpr int32_t ns_CLOSEST = 0;
constexpr int32_t ns_AFTER = 1;

// Bits of ns_LIBRARYINFO::dwFlags.
constexpr uint32_t ns_LIBRARY_DEBUG = 0x01;
constexpr uint32_t ns_LIBRARY_MODIFIED = 0x02;
constexpr uint32_t ns_LIBRARY_PRERELEASE = 0x04;
constexpr uint32_t ns_LIBRARY_SPECIALBUILD = 0x08;
constexpr uint32_t ns_LIBRARY_MULTITHREADED = 0x10;

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

static_assert(sizeof(ns_FILEDESC) == 64, "ns_FILEDESC is 64 bytes");
static_assert(offsetof(ns_FILEDESC, szDescription) == 0, "ns_FILEDESC layout");
static_assert(offsetof(ns_FILEDESC, szExtension) == 32, "ns_FILEDESC layout");
static_assert(offsetof(ns_FILEDESC, szMacCodes) == 40, "ns_FILEDESC layout");
static_assert(offsetof(ns_FILEDESC, szMagicCode) == 48, "ns_FILEDESC layout");

static_assert(sizeof(ns_LIBRARYINFO) == 1192, "ns_LIBRARYINFO is 1192 bytes");
static_assert(offsetof(ns_LIBRARYINFO, dwLibVersionMaj) == 0, "ns_LIBRARYINFO layout");
static_assert(offsetof(ns_LIBRARYINFO, dwLibVersionMin) == 4, "ns_LIBRARYINFO layout");
static_assert(offsetof(ns_LIBRARYINFO, dwAPIVersionMaj) == 8, "ns_LIBRARYINFO layout");
static_assert(offsetof(ns_LIBRARYINFO, dwAPIVersionMin) == 12, "ns_LIBRARYINFO layout");
static_assert(offsetof(ns_LIBRARYINFO, szDescription) == 16, "ns_LIBRARYINFO layout");
static_assert(offsetof(ns_LIBRARYINFO, szCreator) == 80, "ns_LIBRARYINFO layout");
static_assert(offsetof(ns_LIBRARYINFO, dwTime_Year) == 144, "ns_LIBRARYINFO layout");
static_assert(offsetof(ns_LIBRARYINFO, dwTime_Month) == 148, "ns_LIBRARYINFO layout");
static_assert(offsetof(ns_LIBRARYINFO, dwTime_Day) == 152, "ns_LIBRARYINFO layout");
static_assert(offsetof(ns_LIBRARYINFO, dwFlags) == 156, "ns_LIBRARYINFO layout");
static_assert(offsetof(ns_LIBRARYINFO, dwMaxFiles) == 160, "ns_LIBRARYINFO layout");
static_assert(offsetof(ns_LIBRARYINFO, dwFileDescCount) == 164, "ns_LIBRARYINFO layout");
static_assert(offsetof(ns_LIBRARYINFO, FileDesc) == 168, "ns_LIBRARYINFO layout");

static_assert(sizeof(ns_FILEINFO) == 404, "ns_FILEINFO is 404 bytes");
static_assert(offsetof(ns_FILEINFO, szFileType) == 0, "ns_FILEINFO layout");
static_assert(offsetof(ns_FILEINFO, dwEntityCount) == 32, "ns_FILEINFO layout");
static_assert(offsetof(ns_FILEINFO, dTimeStampResolution) == 36, "ns_FILEINFO layout");
static_assert(offsetof(ns_FILEINFO, dTimeSpan) == 44, "ns_FILEINFO layout");
static_assert(offsetof(ns_FILEINFO, szAppName) == 52, "ns_FILEINFO layout");
static_assert(offsetof(ns_FILEINFO, dwTime_Year) == 116, "ns_FILEINFO layout");
static_assert(offsetof(ns_FILEINFO, dwTime_Month) == 120, "ns_FILEINFO layout");
static_assert(offsetof(ns_FILEINFO, dwTime_DayofWeek) == 124, "ns_FILEINFO layout");
static_assert(offsetof(ns_FILEINFO, dwTime_Day) == 128, "ns_FILEINFO layout");
static_assert(offsetof(ns_FILEINFO, dwTime_Hour) == 132, "ns_FILEINFO layout");
static_assert(offsetof(ns_FILEINFO, dwTime_Min) == 136, "ns_FILEINFO layout");
static_assert(offsetof(ns_FILEINFO, dwTime_Sec) == 140, "ns_FILEINFO layout");
static_assert(offsetof(ns_FILEINFO, dwTime_MilliSec) == 144, "ns_FILEINFO layout");
static_assert(offsetof(ns_FILEINFO, szFileComment) == 148, "ns_FILEINFO layout");

static_assert(sizeof(ns_ENTITYINFO) == 40, "ns_ENTITYINFO is 40 bytes");
static_assert(offsetof(ns_ENTITYINFO, szEntityLabel) == 0, "ns_ENTITYINFO layout");
static_assert(offsetof(ns_ENTITYINFO, dwEntityType) == 32, "ns_ENTITYINFO layout");
static_assert(offsetof(ns_ENTITYINFO, dwItemCount) == 36, "ns_ENTITYINFO layout");

static_assert(sizeof(ns_EVENTINFO) == 140, "ns_EVENTINFO is 140 bytes");
static_assert(offsetof(ns_EVENTINFO, dwEventType) == 0, "ns_EVENTINFO layout");
static_assert(offsetof(ns_EVENTINFO, dwMinDataLength) == 4, "ns_EVENTINFO layout");
static_assert(offsetof(ns_EVENTINFO, dwMaxDataLength) == 8, "ns_EVENTINFO layout");
static_assert(offsetof(ns_EVENTINFO, szCSVDesc) == 12, "ns_EVENTINFO layout");

static_assert(sizeof(ns_ANALOGINFO) == 264, "ns_ANALOGINFO is 264 bytes");
static_assert(offsetof(ns_ANALOGINFO, dSampleRate) == 0, "ns_ANALOGINFO layout");
static_assert(offsetof(ns_ANALOGINFO, dMinVal) == 8, "ns_ANALOGINFO layout");
static_assert(offsetof(ns_ANALOGINFO, dMaxVal) == 16, "ns_ANALOGINFO layout");
static_assert(offsetof(ns_ANALOGINFO, szUnits) == 24, "ns_ANALOGINFO layout");
static_assert(offsetof(ns_ANALOGINFO, dResolution) == 40, "ns_ANALOGINFO layout");
static_assert(offsetof(ns_ANALOGINFO, dLocationX) == 48, "ns_ANALOGINFO layout");
static_assert(offsetof(ns_ANALOGINFO, dLocationY) == 56, "ns_ANALOGINFO layout");
static_assert(offsetof(ns_ANALOGINFO, dLocationZ) == 64, "ns_ANALOGINFO layout");
static_assert(offsetof(ns_ANALOGINFO, dLocationUser) == 72, "ns_ANALOGINFO layout");
static_assert(offsetof(ns_ANALOGINFO, dHighFreqCorner) == 80, "ns_ANALOGINFO layout");
static_assert(offsetof(ns_ANALOGINFO, dwHighFreqOrder) == 88, "ns_ANALOGINFO layout");
static_assert(offsetof(ns_ANALOGINFO, szHighFilterType) == 92, "ns_ANALOGINFO layout");
static_assert(offsetof(ns_ANALOGINFO, dLowFreqCorner) == 108, "ns_ANALOGINFO layout");
static_assert(offsetof(ns_ANALOGINFO, dwLowFreqOrder) == 116, "ns_ANALOGINFO layout");
static_assert(offsetof(ns_ANALOGINFO, szLowFilterType) == 120, "ns_ANALOGINFO layout");
static_assert(offsetof(ns_ANALOGINFO, szProbeInfo) == 136, "ns_ANALOGINFO layout");

static_assert(sizeof(ns_SEGMENTINFO) == 52, "ns_SEGMENTINFO is 52 bytes");
static_assert(offsetof(ns_SEGMENTINFO, dwSourceCount) == 0, "ns_SEGMENTINFO layout");
static_assert(offsetof(ns_SEGMENTINFO, dwMinSampleCount) == 4, "ns_SEGMENTINFO layout");
static_assert(offsetof(ns_SEGMENTINFO, dwMaxSampleCount) == 8, "ns_SEGMENTINFO layout");
static_assert(offsetof(ns_SEGMENTINFO, dSampleRate) == 12, "ns_SEGMENTINFO layout");
static_assert(offsetof(ns_SEGMENTINFO, szUnits) == 20, "ns_SEGMENTINFO layout");

static_assert(sizeof(ns_SEGSOURCEINFO) == 248, "ns_SEGSOURCEINFO is 248 bytes");
static_assert(offsetof(ns_SEGSOURCEINFO, dMinVal) == 0, "ns_SEGSOURCEINFO layout");
static_assert(offsetof(ns_SEGSOURCEINFO, dMaxVal) == 8, "ns_SEGSOURCEINFO layout");
static_assert(offsetof(ns_SEGSOURCEINFO, dResolution) == 16, "ns_SEGSOURCEINFO layout");
static_assert(offsetof(ns_SEGSOURCEINFO, dSubSampleShift) == 24, "ns_SEGSOURCEINFO layout");
static_assert(offsetof(ns_SEGSOURCEINFO, dLocationX) == 32, "ns_SEGSOURCEINFO layout");
static_assert(offsetof(ns_SEGSOURCEINFO, dLocationY) == 40, "ns_SEGSOURCEINFO layout");
static_assert(offsetof(ns_SEGSOURCEINFO, dLocationZ) == 48, "ns_SEGSOURCEINFO layout");
static_assert(offsetof(ns_SEGSOURCEINFO, dLocationUser) == 56, "ns_SEGSOURCEINFO layout");
static_assert(offsetof(ns_SEGSOURCEINFO, dHighFreqCorner) == 64, "ns_SEGSOURCEINFO layout");
static_assert(offsetof(ns_SEGSOURCEINFO, dwHighFreqOrder) == 72, "ns_SEGSOURCEINFO layout");
static_assert(offsetof(ns_SEGSOURCEINFO, szHighFilterType) == 76, "ns_SEGSOURCEINFO layout");
static_assert(offsetof(ns_SEGSOURCEINFO, dLowFreqCorner) == 92, "ns_SEGSOURCEINFO layout");
static_assert(offsetof(ns_SEGSOURCEINFO, dwLowFreqOrder) == 100, "ns_SEGSOURCEINFO layout");
static_assert(offsetof(ns_SEGSOURCEINFO, szLowFilterType) == 104, "ns_SEGSOURCEINFO layout");
static_assert(offsetof(ns_SEGSOURCEINFO, szProbeInfo) == 120, "ns_SEGSOURCEINFO layout");

static_assert(sizeof(ns_NEURALINFO) == 136, "ns_NEURALINFO is 136 bytes");
static_assert(offsetof(ns_NEURALINFO, dwSourceEntityID) == 0, "ns_NEURALINFO layout");
static_assert(offsetof(ns_NEURALINFO, dwSourceUnitID) == 4, "ns_NEURALINFO layout");
static_assert(offsetof(ns_NEURALINFO, szProbeInfo) == 8, "ns_NEURALINFO layout");

extern "C" {

NS_EXPORT ns_RESULT NS_CALL ns_GetLibraryInfo(ns_LIBRARYINFO* info, uint32_t size);
NS_EXPORT ns_RESULT NS_CALL ns_OpenFile(const char* path, uint32_t* fileId);
NS_EXPORT ns_RESULT NS_CALL ns_CloseFile(uint32_t fileId);
NS_EXPORT ns_RESULT NS_CALL ns_GetLastErrorMsg(char* buffer, uint32_t size);

NS_EXPORT ns_RESULT NS_CALL ns_GetFileInfo(uint32_t fileId, ns_FILEINFO* info, uint32_t size);
NS_EXPORT ns_RESULT NS_CALL ns_GetEntityInfo(uint32_t fileId, uint32_t entityId,
                                             ns_ENTITYINFO* info, uint32_t size);

NS_EXPORT ns_RESULT NS_CALL ns_GetEventInfo(uint32_t fileId, uint32_t entityId, ns_EVENTINFO* info,
                                            uint32_t size);
NS_EXPORT ns_RESULT NS_CALL ns_GetEventData(uint32_t fileId, uint32_t entityId, uint32_t index,
                                            double* timeStamp, void* data, uint32_t dataSize,
                                            uint32_t* dataRetSize);
NS_EXPORT ns_RESULT NS_CALL ns_GetSegmentInfo(uint32_t fileId, uint32_t entityId,
                                              ns_SEGMENTINFO* info, uint32_t size);
NS_EXPORT ns_RESULT NS_CALL ns_GetSegmentSourceInfo(uint32_t fileId, uint32_t entityId,
                                                    uint32_t sourceId, ns_SEGSOURCEINFO* info,
                                                    uint32_t size);
NS_EXPORT ns_RESULT NS_CALL ns_GetSegmentData(uint32_t fileId, uint32_t entityId, uint32_t index,
                                              double* timeStamp, double* data,
                                              uint32_t dataBufferSize, uint32_t* sampleCount,
                                              uint32_t* unitId);
NS_EXPORT ns_RESULT NS_CALL ns_GetNeuralInfo(uint32_t fileId, uint32_t entityId,
                                             ns_NEURALINFO* info, uint32_t size);
NS_EXPORT ns_RESULT NS_CALL ns_GetNeuralData(uint32_t fileId, uint32_t entityId,
                                             uint32_t startIndex, uint32_t indexCount,
                                             double* data);

NS_EXPORT ns_RESULT NS_CALL ns_GetAnalogInfo(uint32_t fileId, uint32_t entityId,
                                             ns_ANALOGINFO* info, uint32_t size);
NS_EXPORT ns_RESULT NS_CALL ns_GetAnalogData(uint32_t fileId, uint32_t entityId,
                                             uint32_t startIndex, uint32_t indexCount,
                                             uint32_t* contCount, double* data);
NS_EXPORT ns_RESULT NS_CALL ns_GetIndexByTime(uint32_t fileId, uint32_t entityId, double time,
                                              int32_t flag, uint32_t* index);
NS_EXPORT ns_RESULT NS_CALL ns_GetTimeByIndex(uint32_t fileId, uint32_t entityId, uint32_t index,
                                              double* time);

}  // extern "C"
