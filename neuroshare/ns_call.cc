#include "neuroshare/ns_call.h"

namespace nsv {

platform::Mutex& NsLibraryMutex() {
  static NoDestructor<platform::Mutex> mutex;
  return mutex.get();
}

}  // namespace nsv
