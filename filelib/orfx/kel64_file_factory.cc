// The factory through which users of CKel64File get a 64-bit format file
// without including its headers.
#include "filelib/kel64_file.h"
#include "filelib/orfx/kel64_file.h"

namespace vslk64 {
std::unique_ptr<CKel64File> NewKel64File() { return std::make_unique<TKel64File>(); }
}  // namespace vslk64
