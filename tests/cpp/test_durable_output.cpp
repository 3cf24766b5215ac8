// The converted file is durable: its bytes reach the disk before it takes the final name, and the
// folder after; a failure at any of those steps leaves the old file or the complete new one.
// Watched from outside with strace (skipped when it is absent), which also injects the failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli_run.hpp"
#include "temp_dir.hpp"

namespace vornak {
namespace {

namespace fs = std::filesystem;
using testing::CommandResult;

const fs::path STRACE = "/usr/bin/strace";

#define SKIP_WITHOUT_STRACE()                                                          \
  do {                                                                                 \
    if (!fs::exists(STRACE)) GTEST_SKIP() << "strace not found at " << STRACE;         \
  } while (false)

CommandResult run(const std::string& program, const std::vector<std::string>& arguments) {
  const testing::TempDir capture;
  const pid_t child = testing::start_program(program, arguments, {}, capture.path() / "out", capture.path() / "err");
  CommandResult result;
  result.status = testing::wait_status(child);
  result.out = testing::file_text(capture.path() / "out");
  result.err = testing::file_text(capture.path() / "err");
  return result;
}

// `vornak convert` of the writer's sample to `target` under strace with `strace_options`. The leak
// checker of sanitizer builds cannot run under ptrace, so it is off in the traced command.
CommandResult traced_convert(const fs::path& sample, const fs::path& target, std::vector<std::string> strace_options) {
  strace_options.insert(strace_options.end(), {"-E", "ASAN_OPTIONS=detect_leaks=0", VORNAK_CLI_BIN, "convert",
                                               sample.string(), "-o", target.string(), "-q"});
  return run(STRACE.string(), strace_options);
}

fs::path make_sample(const fs::path& folder) {
  const CommandResult made = run(VORNAK_MAKE_SAMPLE_BIN, {(folder / "run.d").string()});
  if (made.status != 0) throw std::runtime_error("vornak-make-sample failed: " + made.err);
  return folder / "run.d";
}

std::vector<std::string> listing(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::ranges::sort(names);
  return names;
}

TEST(DurableOutput, TheFileIsSyncedBeforeTheRenameAndTheFolderAfter) {
  SKIP_WITHOUT_STRACE();
  const testing::TempDir dir;
  const fs::path sample = make_sample(dir.path());
  const fs::path out = dir.path() / "out";
  fs::create_directory(out);
  const fs::path log = dir.path() / "trace.log";
  const CommandResult converted = traced_convert(
      sample, out / "run.mzML",
      {"-f", "-qq", "-y", "-o", log.string(), "-e", "trace=fsync,fdatasync,rename,renameat,renameat2"});
  ASSERT_EQ(converted.status, 0) << converted.err;

  // for each traced call in order: the file's sync, the rename to the final name, the folder's sync
  std::vector<std::string> steps;
  for (const std::string& line : testing::lines_of(testing::file_text(log))) {
    if (line.find("sync(") != std::string::npos && line.find(".run.mzML.") != std::string::npos &&
        line.find("= 0") != std::string::npos) {
      steps.push_back("file sync");
    } else if (line.find("rename") != std::string::npos && line.find("run.mzML\"") != std::string::npos) {
      steps.push_back("rename");
    } else if (line.find("sync(") != std::string::npos && line.find("<" + out.string() + ">") != std::string::npos) {
      steps.push_back("folder sync");
    }
  }
  EXPECT_EQ(steps, (std::vector<std::string>{"file sync", "rename", "folder sync"})) << testing::file_text(log);
}

TEST(DurableOutput, AFailureAtAnyStepLeavesTheOldFileOrTheCompleteNewOne) {
  SKIP_WITHOUT_STRACE();
  const testing::TempDir dir;
  const fs::path sample = make_sample(dir.path());
  const fs::path out = dir.path() / "out";
  fs::create_directory(out);
  const fs::path target = out / "run.mzML";

  struct Case {
    std::string inject;    // strace's fault injection
    std::string message;   // in the error on stderr
    bool new_file;         // the final name holds the new, complete file
  };
  const Case cases[] = {
      {"inject=fsync:error=EIO:when=1", "cannot flush " + out.string() + "/.run.mzML.", false},
      {"inject=rename,renameat,renameat2:error=EXDEV", "cannot rename " + out.string() + "/.run.mzML.", false},
      {"inject=fsync:error=EIO:when=2",
       "I/O error: wrote " + target.string() + " but cannot flush its folder to disk: Input/output error", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.inject);
    std::ofstream(target) << "previous";
    const CommandResult converted = traced_convert(sample, target, {"-f", "-qq", "-o", "/dev/null", "-e", c.inject});
    EXPECT_EQ(converted.status, 1);
    EXPECT_NE(converted.err.find(c.message), std::string::npos) << converted.err;
    EXPECT_EQ(listing(out), std::vector<std::string>{"run.mzML"});
    const std::string written = testing::file_text(target);
    if (c.new_file) {
      EXPECT_TRUE(written.starts_with("<?xml") && written.ends_with("</indexedmzML>\n"));
    } else {
      EXPECT_EQ(written, "previous");
    }
  }
}

}  // namespace
}  // namespace vornak
