// nsconvert: copies a recording into a new file of either format.
//
//   nsconvert [--orf-version 8|9] IN OUT
//
// IN is read as ORF when its name ends in ".orf" (and as ORFX when that
// fails), otherwise as ORFX. OUT's extension picks the output format:
// ".orf" or ".orfx". An ORF output is written as a version-8 family file
// (saved under the lowest version its contents need) or, with
// --orf-version 9, as a large file. On a terminal a progress bar shows how
// much of the data has been copied. A failure leaves no output file behind:
// the copy is written under a temporary name beside OUT and renamed only
// when complete.

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "filelib/kel64_file.h"
#include "filelib/orf/kel32_file.h"
#include "filelib/status.h"
#include "platform/host.h"
#include "tools/converter.h"

namespace {

using vslk64::CKel64File;

bool EndsWith(const std::string& s, const std::string& end) {
  if (s.size() < end.size()) return false;
  for (size_t i = 0; i < end.size(); ++i) {
    const char a = s[s.size() - end.size() + i];
    if (std::tolower(static_cast<unsigned char>(a)) != end[i]) return false;
  }
  return true;
}

int Usage() {
  std::fprintf(stderr, "usage: nsconvert [--orf-version 8|9] IN OUT\n"
                       "  OUT ending in .orf writes ORF, in .orfx writes ORFX\n");
  return 2;
}

std::unique_ptr<CKel64File> OpenInput(const std::string& path, int* status) {
  if (EndsWith(path, ".orf")) {
    std::unique_ptr<CKel64File> f = vslk64::NewKel32File();
    if ((*status = f->Open(path.c_str(), 1, 0)) == vslk64::kOk) return f;
  }
  std::unique_ptr<CKel64File> f = vslk64::NewKel64File();
  if ((*status = f->Open(path.c_str(), 1, 0)) == vslk64::kOk) return f;
  return nullptr;
}

// A bar on stderr, redrawn when the percentage changes; only on a terminal
// and only for inputs large enough to take a moment.
class CProgressBar {
 public:
  explicit CProgressBar(bool show) : show_(show) {}
  ~CProgressBar() {
    if (drawn_) std::fputc('\n', stderr);
  }
  void operator()(uint64_t done, uint64_t total) {
    if (!show_ || total < kMinBytes) return;
    const int percent = static_cast<int>(done * 100 / total);
    if (percent == last_) return;
    last_ = percent;
    const int filled = percent * kWidth / 100;
    std::fprintf(stderr, "\r[%s%s] %3d%%", std::string(static_cast<size_t>(filled), '#').c_str(),
                 std::string(static_cast<size_t>(kWidth - filled), ' ').c_str(), percent);
    std::fflush(stderr);
    drawn_ = true;
  }

 private:
  static constexpr uint64_t kMinBytes = 8u << 20;
  static constexpr int kWidth = 40;
  bool show_;
  bool drawn_ = false;
  int last_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
  int orfVersion = 8;
  std::string in, out;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--orf-version" && i + 1 < argc) {
      const std::string v = argv[++i];
      if (v != "8" && v != "9") return Usage();
      orfVersion = v == "9" ? 9 : 8;
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage();
    } else if (in.empty()) {
      in = a;
    } else if (out.empty()) {
      out = a;
    } else {
      return Usage();
    }
  }
  if (in.empty() || out.empty()) return Usage();
  const bool toOrf = EndsWith(out, ".orf");
  if (!toOrf && !EndsWith(out, ".orfx")) {
    std::fprintf(stderr, "nsconvert: %s: the output name must end in .orf or .orfx\n", out.c_str());
    return 2;
  }

  int status = 0;
  std::unique_ptr<CKel64File> input = OpenInput(in, &status);
  if (!input) {
    std::fprintf(stderr, "nsconvert: %s: cannot open as a recording (status %d)\n", in.c_str(), status);
    return 1;
  }
  std::unique_ptr<CKel64File> output;
  if (toOrf) {
    output = std::make_unique<vslk64::TKel32File>(orfVersion == 9 ? 1 : -1);
  } else {
    output = vslk64::NewKel64File();
  }
  const std::string temp = out + ".nsconvert-partial";
  std::string error;
  bool ok;
  {
    CProgressBar bar(platform::StderrIsTerminal());
    ok = nsconvert::CopyRecording(*input, *output, temp,
                                  [&bar](uint64_t done, uint64_t total) { bar(done, total); }, &error);
  }
  input->Close();
  std::error_code ec;
  if (ok) {
    std::filesystem::rename(temp, out, ec);
    if (ec) {
      error = "cannot rename the finished copy to " + out + ": " + ec.message();
      ok = false;
    }
  }
  if (!ok) {
    std::filesystem::remove(temp, ec);
    std::fprintf(stderr, "nsconvert: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
