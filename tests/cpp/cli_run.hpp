// Running the vornak command in the tests: arguments without a shell, standard output and error
// captured through files, the exit status (128 + N when signal N ended it).
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace vornak::testing {

struct CommandResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Starts `program` with `arguments` in `folder` (the current one when empty), its standard
// output and error going to the two files; returns the child's process id.
inline pid_t start_program(const std::string& program, const std::vector<std::string>& arguments,
                           const std::filesystem::path& folder, const std::filesystem::path& out_file,
                           const std::filesystem::path& err_file) {
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    if (!folder.empty() && ::chdir(folder.c_str()) != 0) ::_exit(126);
    const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  return child;
}

// The exit status of a child, or 128 + the signal that ended it.
inline int wait_status(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline std::string file_text(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

// Runs the vornak command to completion.
inline CommandResult run_vornak(const std::vector<std::string>& arguments, const std::filesystem::path& folder = {}) {
  char pattern[] = "/tmp/vornak-cli-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  const std::filesystem::path capture = pattern;
  const pid_t child = start_program(VORNAK_CLI_BIN, arguments, folder, capture / "out", capture / "err");
  CommandResult result;
  result.status = wait_status(child);
  result.out = file_text(capture / "out");
  result.err = file_text(capture / "err");
  std::filesystem::remove_all(capture);
  return result;
}

// The lines of `text`, without their newlines.
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

}  // namespace vornak::testing
