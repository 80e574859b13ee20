// nsinfo: loads a Neuroshare library as an analysis host does (dlopen, then
// every ns_ function by name) and prints what the library says about itself
// and about the recordings named on the command line.
//
//   nsinfo [--lib PATH] [FILE...]
//
// Without --lib it loads libnsvslorfx.so from the build tree it belongs to:
// the directory above its own executable, then its own directory. The exit
// status is 0 when everything was read, 1 when a file could not be opened or
// described, 2 when the library could not be loaded or used.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/ns_host.h"

namespace {

using namespace nshost;

constexpr char kLibraryName[] = "libnsvslorfx.so";

// A fixed text field as a string, whether or not it holds a terminator.
std::string Field(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }

std::string ExecutableDir() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  std::string dir(path);
  const size_t slash = dir.rfind('/');
  return slash == std::string::npos ? "." : dir.substr(0, slash == 0 ? 1 : slash);
}

bool IsFile(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// The library next to the build tree this program was built in.
std::string DefaultLibrary() {
  const std::string dir = ExecutableDir();
  const std::string above = dir + "/../" + kLibraryName;
  if (IsFile(above)) return above;
  return dir + "/" + kLibraryName;
}

std::string LastError(const NsApi& api) {
  char text[256];
  if (api.GetLastErrorMsg(text, sizeof text) != ns_OK) return "(no message available)";
  return text;
}

const char* EntityTypeName(uint32_t type) {
  switch (type) {
    case 1: return "event";
    case 2: return "analog";
    case 3: return "segment";
    case 4: return "neural";
    default: return "unknown";
  }
}

bool PrintLibrary(const NsApi& api) {
  ns_LIBRARYINFO info = {};
  const ns_RESULT result = api.GetLibraryInfo(&info, sizeof info);
  if (result != ns_OK) {
    std::printf("ns_GetLibraryInfo failed: %d (%s): %s\n", result, ResultName(result),
                LastError(api).c_str());
    return false;
  }
  std::printf("Library version: %u.%u\n", info.dwLibVersionMaj, info.dwLibVersionMin);
  std::printf("API version:     %u.%u\n", info.dwAPIVersionMaj, info.dwAPIVersionMin);
  std::printf("Description:     %s\n", Field(info.szDescription, sizeof info.szDescription).c_str());
  std::printf("Creator:         %s\n", Field(info.szCreator, sizeof info.szCreator).c_str());
  std::printf("Date:            %04u-%02u-%02u\n", info.dwTime_Year, info.dwTime_Month,
              info.dwTime_Day);
  std::printf("Flags:           0x%x\n", info.dwFlags);
  std::printf("Max files:       %u\n", info.dwMaxFiles);
  const uint32_t types = info.dwFileDescCount < 16 ? info.dwFileDescCount : 16;
  std::printf("File types:      %u\n", info.dwFileDescCount);
  for (uint32_t i = 0; i < types; ++i) {
    const ns_FILEDESC& desc = info.FileDesc[i];
    std::printf("  %s (*.%s), type codes \"%s\", magic \"%s\"\n",
                Field(desc.szDescription, sizeof desc.szDescription).c_str(),
                Field(desc.szExtension, sizeof desc.szExtension).c_str(),
                Field(desc.szMacCodes, sizeof desc.szMacCodes).c_str(),
                Field(desc.szMagicCode, sizeof desc.szMagicCode).c_str());
  }
  return true;
}

bool PrintFile(const NsApi& api, const char* path) {
  std::printf("\nFile: %s\n", path);
  uint32_t fileId = 0;
  ns_RESULT result = api.OpenFile(path, &fileId);
  if (result != ns_OK) {
    std::printf("  ns_OpenFile failed: %d (%s): %s\n", result, ResultName(result),
                LastError(api).c_str());
    return false;
  }
  ns_FILEINFO info = {};
  result = api.GetFileInfo(fileId, &info, sizeof info);
  bool ok = result == ns_OK;
  if (!ok) {
    std::printf("  ns_GetFileInfo failed: %d (%s): %s\n", result, ResultName(result),
                LastError(api).c_str());
  } else {
    std::printf("  Handle:          %u\n", fileId);
    std::printf("  File type:       %s\n", Field(info.szFileType, sizeof info.szFileType).c_str());
    std::printf("  Application:     %s\n", Field(info.szAppName, sizeof info.szAppName).c_str());
    std::printf("  Recorded:        %04u-%02u-%02u %02u:%02u:%02u.%03u\n", info.dwTime_Year,
                info.dwTime_Month, info.dwTime_Day, info.dwTime_Hour, info.dwTime_Min,
                info.dwTime_Sec, info.dwTime_MilliSec);
    std::printf("  Tick:            %g s\n", info.dTimeStampResolution);
    std::printf("  Time span:       %g s\n", info.dTimeSpan);
    std::printf("  Comment:         %s\n",
                Field(info.szFileComment, sizeof info.szFileComment).c_str());
    std::printf("  Entities:        %u\n", info.dwEntityCount);
    for (uint32_t id = 0; id < info.dwEntityCount; ++id) {
      ns_ENTITYINFO entity = {};
      result = api.GetEntityInfo(fileId, id, &entity, sizeof entity);
      if (result != ns_OK) {
        std::printf("    %u: ns_GetEntityInfo failed: %d (%s): %s\n", id, result,
                    ResultName(result), LastError(api).c_str());
        ok = false;
        continue;
      }
      std::printf("    %u: %-7s %-31s %u items\n", id, EntityTypeName(entity.dwEntityType),
                  Field(entity.szEntityLabel, sizeof entity.szEntityLabel).c_str(),
                  entity.dwItemCount);
    }
  }
  result = api.CloseFile(fileId);
  if (result != ns_OK) {
    std::printf("  ns_CloseFile failed: %d (%s): %s\n", result, ResultName(result),
                LastError(api).c_str());
    ok = false;
  }
  return ok;
}

void Usage() { std::fprintf(stderr, "usage: nsinfo [--lib PATH] [FILE...]\n"); }

}  // namespace

int main(int argc, char** argv) {
  std::string library;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--lib") == 0) {
      if (i + 1 >= argc) {
        Usage();
        return 2;
      }
      library = argv[++i];
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      Usage();
      return 0;
    } else {
      files.push_back(argv[i]);
    }
  }
  if (library.empty()) library = DefaultLibrary();

  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "nsinfo: cannot load %s: %s\n", library.c_str(), dlerror());
    return 2;
  }
  NsApi api;
  std::vector<std::string> missing;
  if (!ResolveNsApi(handle, &api, &missing)) {
    std::fprintf(stderr, "nsinfo: %s lacks %zu of the Neuroshare functions:", library.c_str(),
                 missing.size());
    for (const std::string& name : missing) std::fprintf(stderr, " %s", name.c_str());
    std::fprintf(stderr, "\n");
    dlclose(handle);
    return 2;
  }

  std::printf("Library:         %s\n", library.c_str());
  int status = PrintLibrary(api) ? 0 : 2;
  for (const char* path : files) {
    if (!PrintFile(api, path) && status == 0) status = 1;
  }
  std::fflush(stdout);
  dlclose(handle);
  return status;
}
