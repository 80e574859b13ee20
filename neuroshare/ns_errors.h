// The last-error message of the Neuroshare layer and the two steps every
// export shares: the check of the caller's result buffer before anything else
// (NsCheckBuffer) and the final step that turns a result code into a message
// (NsReport). The host fetches the message with ns_GetLastErrorMsg.
//
// The message store is one library-wide array of kNsMessageBytes bytes,
// zero-filled at load. Each failure replaces the text (cut to 255 characters,
// always terminated); a success never clears it. Callers hold the library
// lock (ns_call.h). Used by every export in neuroshare/.
#pragma once

#include <cstdint>

#include "neuroshare/ns_api.h"

namespace nsv {

constexpr uint32_t kNsMessageBytes = 256;

// Operation names as they appear in the messages.
constexpr char kOpOpenFile[] = "OpenFile";
constexpr char kOpCloseFile[] = "CloseFile";
constexpr char kOpGetLibraryInfo[] = "GetLibraryInfo";
constexpr char kOpGetFileInfo[] = "GetFileInfo";
constexpr char kOpGetEntityInfo[] = "GetEntityInfo";
constexpr char kOpGetEventInfo[] = "GetEventInfo";
constexpr char kOpGetEventData[] = "GetEventData";
constexpr char kOpGetAnalogInfo[] = "GetAnalogInfo";
constexpr char kOpGetAnalogData[] = "GetAnalogData";
constexpr char kOpGetSegmentInfo[] = "GetSegmentInfo";
constexpr char kOpGetSegmentSourceInfo[] = "GetSegmentSourceInfo";
constexpr char kOpGetSegmentData[] = "GetSegmentData";
constexpr char kOpGetNeuralInfo[] = "GetNeuralInfo";
constexpr char kOpGetNeuralData[] = "GetNeuralData";
constexpr char kOpGetIndexByTime[] = "GetIndexByTime";
constexpr char kOpGetTimeByIndex[] = "GetTimeByIndex";
constexpr char kOpGetLastErrorMessage[] = "GetLastErrorMessage";

// Checks a caller's result area of size bytes against the required size, in
// this order: size 0, size below required, the area not writable. The first
// check that fails records its message and the result is false. size is wide
// so that element counts multiplied out by the caller never wrap.
bool NsCheckBuffer(const char* name, const void* buffer, uint64_t size, uint64_t required);

// Records the message of code (for -7 to -1) with the given arguments and
// returns code unchanged; any other code leaves the message alone.
ns_RESULT NsReport(const char* name, ns_RESULT code, uint32_t fileId, uint32_t entityId,
                   uint32_t index);

// Records a message of the library's own wording (for failures that have no
// row of their own among the result codes' messages).
void NsSetMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The current message (always zero-terminated).
const char* NsLastMessage();

}  // namespace nsv
