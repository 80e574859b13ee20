#include "platform/page_cache.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>
#endif

namespace platform {

#ifndef _WIN32

bool DropCachedPages(const char* path) {
  const int fd = ::open(path, O_RDONLY);
  if (fd < 0) return false;
  const bool ok = ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
  ::close(fd);
  return ok;
}

int64_t CachedBytes(const char* path) {
  const int fd = ::open(path, O_RDONLY);
  if (fd < 0) return -1;
  struct stat st;
  int64_t cached = -1;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    void* map = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    if (map != MAP_FAILED) {
      const long page = ::sysconf(_SC_PAGESIZE);
      std::vector<unsigned char> resident((static_cast<size_t>(st.st_size) + page - 1) / page);
      if (::mincore(map, static_cast<size_t>(st.st_size), resident.data()) == 0) {
        cached = 0;
        for (unsigned char r : resident) cached += (r & 1) ? page : 0;
      }
      ::munmap(map, static_cast<size_t>(st.st_size));
    }
  } else if (::fstat(fd, &st) == 0) {
    cached = 0;
  }
  ::close(fd);
  return cached;
}

#else

bool DropCachedPages(const char*) { return false; }
int64_t CachedBytes(const char*) { return -1; }

#endif

}  // namespace platform
