// The nsinfo host program, run as a user runs it.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/host.h"
#include "tests/support/temp_dir.h"

namespace {

struct ToolRun {
  int status;
  std::string output;
};

// Runs nsinfo with the blank-separated arguments (none of which holds a blank).
ToolRun RunNsinfo(const std::string& arguments) {
  std::vector<std::string> args;
  std::istringstream words(arguments);
  for (std::string w; words >> w;) args.push_back(w);
  const platform::ProgramRun run = platform::RunProgram(NSV_NSINFO_PATH, args);
  return {run.exitCode, run.output};
}

TEST(Nsinfo, FindsItsLibraryAndReportsLibraryAndFileErrors) {
  const ToolRun plain = RunNsinfo("");
  EXPECT_EQ(plain.status, 0) << plain.output;
  for (const char* line :
       {"Library for Ondrix data", "API version:     1.3", "Creator:         Varsel Ltd",
        "Max files:       64", "Ondrix ORFX file (*.orfx), type codes \"ONDXORFX\"",
        "Ondrix ORF file (*.orf), type codes \"ONDXKEL \""}) {
    EXPECT_NE(plain.output.find(line), std::string::npos) << line << "\n" << plain.output;
  }

  testing_support::TempDir dir;
  const std::string missing = dir.File("missing.orf");
  const ToolRun failed = RunNsinfo("--lib " + std::string(NSV_LIBRARY_PATH) + " " + missing);
  EXPECT_EQ(failed.status, 1) << failed.output;
  EXPECT_NE(failed.output.find("Library for Ondrix data"), std::string::npos) << failed.output;
  EXPECT_NE(failed.output.find("-3 (ns_FILEERROR): File read error occurred in function " +
                               missing + " with entity 0d, index 0d"),
            std::string::npos)
      << failed.output;

  const ToolRun noLibrary = RunNsinfo("--lib " + dir.File(platform::SharedLibraryFileName("none")));
  EXPECT_EQ(noLibrary.status, 2) << noLibrary.output;
  EXPECT_NE(noLibrary.output.find("cannot load"), std::string::npos) << noLibrary.output;
}

TEST(Nsinfo, InspectsTheBuiltInDemoAndDumpsCsv) {
  const ToolRun demo = RunNsinfo("--items 2");
  ASSERT_EQ(demo.status, 0) << demo.output;
  for (const char* row : {"analog   Sine", "segment  Spikes", "neural   Spikes", "event    Notes"})
    EXPECT_NE(demo.output.find(row), std::string::npos) << row << "\n" << demo.output;
  EXPECT_NE(demo.output.find("Baseline recording started"), std::string::npos);

  const ToolRun csv = RunNsinfo("--entity 3 --csv");
  ASSERT_EQ(csv.status, 0) << csv.output;
  EXPECT_EQ(csv.output.rfind("index,time_s\n0,0.02\n", 0), 0u) << csv.output.substr(0, 80);

  EXPECT_EQ(RunNsinfo("--csv").status, 2);  // a CSV dump names its entity
}

}  // namespace
