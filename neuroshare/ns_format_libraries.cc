#include "neuroshare/ns_format_libraries.h"

#include "filelib/orf/kel_lib.h"

namespace nsv {

// The 64-bit format keeps no global state. The 32-bit format's table of file
// slots is set up once when the library loads and released when it unloads,
// after the Neuroshare table has closed every file.
void NsAttachFormatLibraries() { vslk64::KelInitLibrary(); }

void NsReleaseFormatLibraries() { vslk64::KelReleaseLibrary(); }

}  // namespace nsv
