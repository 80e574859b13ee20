#include "neuroshare/ns_errors.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "neuroshare/ns_call.h"
#include "platform/module.h"

namespace nsv {
namespace {

// Zero-filled at load; vsnprintf keeps it terminated and cuts long texts.
char g_message[kNsMessageBytes];

}  // namespace

// The message templates below print "%u" followed by a literal "d": a handle
// of 7 reads "7d". Hosts and their users have long seen these exact texts, so
// they are kept as they are.

void NsSetMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(g_message, sizeof g_message, format, args);
  va_end(args);
}

const char* NsLastMessage() { return g_message; }

bool NsCheckBuffer(const char* name, const void* buffer, uint64_t size, uint64_t required) {
  if (size == 0) {
    NsSetMessage("%s was given zero byte size area for results", name);
    return false;
  }
  if (size < required) {
    NsSetMessage("%s was given %llud bytes for results, requires %llud", name,
                 static_cast<unsigned long long>(size), static_cast<unsigned long long>(required));
    return false;
  }
  if (size > SIZE_MAX || !platform::IsWritable(buffer, static_cast<size_t>(size))) {
    NsSetMessage("%s does not have write access to %llud bytes provided for results", name,
                 static_cast<unsigned long long>(size));
    return false;
  }
  return true;
}

ns_RESULT NsReport(const char* name, ns_RESULT code, uint32_t fileId, uint32_t entityId,
                   uint32_t index) {
  switch (code) {
    case ns_LIBERROR:
      NsSetMessage("Memory allocation error in function %s, hFile %ud", name, fileId);
      break;
    case ns_TYPEERROR:
      NsSetMessage("Bad file %s found (not of correct type) in function nsOpenFile", name);
      break;
    case ns_FILEERROR:
      NsSetMessage("File read error occurred in function %s with entity %ud, index %ud", name,
                   entityId, index);
      break;
    case ns_BADFILE:
      NsSetMessage("Bad file handle (%ud) passed to function %s", fileId, name);
      break;
    case ns_BADENTITY:
      NsSetMessage("Bad entity number (%ud) passed to function %s", entityId, name);
      break;
    case ns_BADSOURCE:
      NsSetMessage("Bad segment source index (%ud) for entity %ud passed to function %s", index,
                   entityId, name);
      break;
    case ns_BADINDEX:
      NsSetMessage("Bad index or time (%ud) for entity %ud passed to function %s", index,
                   entityId, name);
      break;
    default:
      break;
  }
  return code;
}

}  // namespace nsv

using namespace nsv;

ns_RESULT NS_CALL ns_GetLastErrorMsg(char* buffer, uint32_t size) {
  return NsLockedCall(kOpGetLastErrorMessage, 0, [&]() -> ns_RESULT {
    if (!NsCheckBuffer(kOpGetLastErrorMessage, buffer, size, 0)) return ns_LIBERROR;
    // Copies the text and zero-fills the rest of the caller's area; the last
    // byte is always a terminator, so a size of 1 yields an empty string.
    std::strncpy(buffer, g_message, size);
    buffer[size - 1] = '\0';
    return ns_OK;
  });
}
