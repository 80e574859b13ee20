// Load and unload of the file-format libraries beneath the Neuroshare layer.
//
// The 32-bit format's filing library keeps global tables (its file slots)
// that are set up once when the library loads and released when it unloads,
// after every Neuroshare file is closed. The load and unload hook
// (ns_module.cc) calls these two functions and nothing else of the formats.
#pragma once

namespace nsv {

// Once, on the first process attach.
void NsAttachFormatLibraries();

// On process detach, after every open file has been closed and destroyed.
void NsReleaseFormatLibraries();

}  // namespace nsv
