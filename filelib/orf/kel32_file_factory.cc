// The factory through which users of CKel64File obtain a 32-bit format file
// object without including the format's headers.
#include <memory>

#include "filelib/kel64_file.h"
#include "filelib/orf/kel32_file.h"

namespace vslk64 {

std::unique_ptr<CKel64File> NewKel32File() { return std::make_unique<TKel32File>(-1); }

}  // namespace vslk64
