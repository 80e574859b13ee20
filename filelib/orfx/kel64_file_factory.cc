// Provisional: replaced when TKel64File lands.
#include "filelib/kel64_file.h"
namespace vslk64 {
std::unique_ptr<CKel64File> NewKel64File() { return nullptr; }
}  // namespace vslk64
