#include "neuroshare/ns_format_libraries.h"

namespace nsv {

// The 64-bit format keeps no global state. The 32-bit format's table of file
// slots is initialised and released here.
void NsAttachFormatLibraries() {}

void NsReleaseFormatLibraries() {}

}  // namespace nsv
