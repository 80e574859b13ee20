// The nsinfo host program, run as a user runs it.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/temp_dir.h"

namespace {

struct ToolRun {
  int status;
  std::string output;
};

ToolRun RunNsinfo(const std::string& arguments) {
  const std::string command = std::string(NSV_NSINFO_PATH) + " " + arguments + " 2>&1";
  ToolRun run{-1, ""};
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char chunk[512];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) run.output.append(chunk, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

TEST(Nsinfo, FindsItsLibraryAndReportsLibraryAndFileErrors) {
  const ToolRun plain = RunNsinfo("");
  EXPECT_EQ(plain.status, 0) << plain.output;
  EXPECT_NE(plain.output.find("Library for Ondrix data"), std::string::npos) << plain.output;
  EXPECT_NE(plain.output.find("API version:     1.3"), std::string::npos) << plain.output;
  EXPECT_NE(plain.output.find("\"ONDXKEL \""), std::string::npos) << plain.output;

  testing_support::TempDir dir;
  const std::string missing = dir.File("missing.orf");
  const ToolRun failed = RunNsinfo("--lib " + std::string(NSV_LIBRARY_PATH) + " " + missing);
  EXPECT_EQ(failed.status, 1) << failed.output;
  EXPECT_NE(failed.output.find("Library for Ondrix data"), std::string::npos) << failed.output;
  EXPECT_NE(failed.output.find("-3 (ns_FILEERROR): File read error occurred in function " +
                               missing + " with entity 0d, index 0d"),
            std::string::npos)
      << failed.output;

  const ToolRun noLibrary = RunNsinfo("--lib " + dir.File("none.so"));
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
