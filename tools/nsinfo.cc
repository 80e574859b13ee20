// nsinfo: the inspector. Loads a Neuroshare library as an analysis host does
// (dlopen or LoadLibrary, then every ns_ function by name) and shows what the library reads
// from a recording: the file information, a table of entities and each
// entity's first items, or one entity's data as CSV for other tools.
//
//   nsinfo [--lib PATH] [--entity N] [--items K] [--csv] [FILE]
//
// Without FILE it writes a built-in demo recording (every kind of channel)
// into a temporary folder and inspects that. The demo is written through the
// file-access library's own writing interface (demo/writer.h), the one
// part of this program that links the library; everything it shows is read
// through the loaded ns_ functions. Without --lib it loads the library of
// the tree it belongs to: installed, the one in the library folder beside its
// bin/; in a build tree libnsvslorfx.so (nsvslorfx.dll on Windows) from the
// directory above its own executable, then its own directory. The exit status
// is 0 when everything was read, 1 when a file could not be opened or read, 2
// when the library could not be loaded or used.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "demo/recording.h"
#include "demo/writer.h"
#include "platform/file.h"
#include "platform/host.h"
#include "tools/ns_host.h"
#include "tools/recording_report.h"

namespace {

using namespace nshost;

const std::string kLibraryName = platform::SharedLibraryFileName("nsvslorfx");

// A fixed text field as a string, whether or not it holds a terminator.
std::string Field(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }

std::string ExecutableDir() {
  const std::string path = platform::ExecutablePath();
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

bool IsFile(const std::string& path) { return platform::Files().Exists(path.c_str()); }

// The library of the tree this program belongs to. Installed, that is the
// library folder beside bin/ (NSINFO_INSTALLED_LIBRARY, relative to the
// program's folder, set by the install rules); in a build tree, the folder
// above the program's own (tools/), then its own. When none is there the last
// place is named, so that the error says where nsinfo looked.
std::string DefaultLibrary() {
  const std::string dir = ExecutableDir();
  const char sep = platform::kPathSeparator;
  std::vector<std::string> places;
#ifdef NSINFO_INSTALLED_LIBRARY
  places.push_back(dir + sep + NSINFO_INSTALLED_LIBRARY);
#endif
  places.push_back(dir + sep + ".." + sep + kLibraryName);
  places.push_back(dir + sep + kLibraryName);
  for (const std::string& place : places) {
    if (IsFile(place)) return place;
  }
  return places.back();
}

std::string LastError(const NsApi& api) {
  char text[256];
  if (api.GetLastErrorMsg(text, sizeof text) != ns_OK) return "(no message available)";
  return text;
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

// Writes the demo recording into a new temporary folder; empty on failure.
std::string WriteDemo(std::string* folder) {
  const std::string dir = platform::MakeTempDir("nsinfo-demo.");
  if (dir.empty()) return "";
  *folder = dir;
  const std::string path = dir + platform::kPathSeparator + "demo.orfx";
  return demo::WriteRecording(demo::DemoRecording(), path) ? path : "";
}

void Usage() {
  std::fprintf(stderr,
               "usage: nsinfo [--lib PATH] [--entity N] [--items K] [--csv] [--verbose] [FILE]\n"
               "  FILE        a recording (.orfx or .orf); without it, a built-in demo\n"
               "  --entity N  show the first items of entity N only\n"
               "  --items K   how many items to show per entity (default 5)\n"
               "  --csv       write entity N's data as CSV (needs --entity)\n"
               "  --verbose   when a file will not open, also where it was found damaged\n"
               "              (the library's source file and line, and the check)\n");
}

// A whole non-negative number argument, or -1.
long long Number(const char* text) {
  char* end = nullptr;
  const long long v = std::strtoll(text, &end, 10);
  return (end == text || *end != '\0' || v < 0) ? -1 : v;
}

}  // namespace

int main(int argc, char** argv) {
  std::string library;
  std::vector<const char*> files;
  nsinfo::InspectOptions options;
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--lib") == 0 && hasValue) {
      library = argv[++i];
    } else if (std::strcmp(argv[i], "--entity") == 0 && hasValue) {
      options.entity = Number(argv[++i]);
      if (options.entity < 0) {
        Usage();
        return 2;
      }
    } else if (std::strcmp(argv[i], "--items") == 0 && hasValue) {
      const long long n = Number(argv[++i]);
      if (n < 0 || n > 1000000) {
        Usage();
        return 2;
      }
      options.items = static_cast<uint32_t>(n);
    } else if (std::strcmp(argv[i], "--csv") == 0) {
      options.csv = true;
    } else if (std::strcmp(argv[i], "--verbose") == 0) {
      options.verbose = true;
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      Usage();
      return 0;
    } else if (argv[i][0] == '-' && argv[i][1] == '-') {
      Usage();
      return 2;
    } else {
      files.push_back(argv[i]);
    }
  }
  if (options.csv && (options.entity < 0 || files.size() > 1)) {
    Usage();
    return 2;
  }
  if (library.empty()) library = DefaultLibrary();

  // The same bytes on every platform: CSV dumps are compared across them.
  platform::SetBinaryStdout();
  std::string why;
  std::unique_ptr<platform::SharedLibrary> handle = platform::SharedLibrary::Load(library, &why);
  if (handle == nullptr) {
    std::fprintf(stderr, "nsinfo: cannot load %s: %s\n", library.c_str(), why.c_str());
    return 2;
  }
  NsApi api;
  std::vector<std::string> missing;
  if (!ResolveNsApi(*handle, &api, &missing)) {
    std::fprintf(stderr, "nsinfo: %s lacks %zu of the Neuroshare functions:", library.c_str(),
                 missing.size());
    for (const std::string& name : missing) std::fprintf(stderr, " %s", name.c_str());
    std::fprintf(stderr, "\n");
    return 2;
  }

  int status = 0;
  if (!options.csv) {
    std::printf("Library:         %s\n", library.c_str());
    status = PrintLibrary(api) ? 0 : 2;
  }
  std::string demoFolder, demoPath;
  if (files.empty()) {
    demoPath = WriteDemo(&demoFolder);
    if (demoPath.empty()) {
      std::fprintf(stderr, "nsinfo: cannot write the demo recording\n");
      return 2;
    }
    if (!options.csv) std::printf("\nNo recording given: inspecting the built-in demo.\n");
    files.push_back(demoPath.c_str());
  }
  for (const char* path : files) {
    if (nsinfo::InspectFile(api, path, options, stdout) != 0 && status == 0) status = 1;
  }
  if (!demoFolder.empty()) platform::RemoveTree(demoFolder);
  std::fflush(stdout);
  return status;
}
