// Provisional: replaced when TKel32File lands.
#include "filelib/kel64_file.h"
namespace vslk64 {
std::unique_ptr<CKel64File> NewKel32File() { return nullptr; }
}  // namespace vslk64
