// Runs a program as a process of its own, as its users run it, and collects its exit code and
// what it printed. Each stream goes through a file of a scratch folder, so that neither can
// fill up and stall the program while the other is read.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#ifndef _WIN32
extern char** environ;
#endif

namespace updtest {

// The program's path and its arguments, in the system's own strings (UTF-16 on Windows).
using Argv = std::vector<std::filesystem::path::string_type>;

struct Ran {
  bool started = false;
  bool exited = false;  // it ended by itself (not by a signal, nor stopped at the time limit)
  int code = -1;        // its exit code, when it exited
  std::string out, err;
};

struct RunOptions {
  std::filesystem::path cwd;        // where it runs; empty: where the test runs
  std::filesystem::path stdout_to;  // a file for its standard output, which is then not collected
#ifdef _WIN32
  std::chrono::milliseconds time_limit{120000};  // stopped after this long
#endif
};

inline std::string FileText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A folder for one run's output, removed afterwards. Named by the process and a count: the
// test programs of two locales run side by side under one Wine prefix, with one temporary
// folder, and each must keep its own files.
class OutputFolder {
 public:
  OutputFolder() {
    static std::atomic<unsigned> serial{0};
#ifdef _WIN32
    const unsigned long process = GetCurrentProcessId();
#else
    const long process = ::getpid();
#endif
    path_ = std::filesystem::temp_directory_path() /
            ("upd_run_" + std::to_string(process) + "_" + std::to_string(serial++));
    std::filesystem::create_directories(path_);
  }
  ~OutputFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

#ifdef _WIN32

// One argument quoted as the C runtime splits a command line: backslashes are doubled where a
// quote follows them (a folder's trailing backslash).
inline std::wstring QuoteArg(const std::wstring& arg) {
  std::wstring q = L"\"";
  std::size_t slashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    q.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
    slashes = 0;
    q += c;
  }
  q.append(2 * slashes, L'\\');
  return q + L"\"";
}

inline Ran RunProcess(const Argv& argv, const RunOptions& options = {}) {
  const OutputFolder io;
  const std::filesystem::path out = options.stdout_to.empty() ? io.path() / "stdout" : options.stdout_to;
  const std::filesystem::path err = io.path() / "stderr";
  std::wstring command;
  for (const std::wstring& arg : argv) command += (command.empty() ? L"" : L" ") + QuoteArg(arg);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const auto create = [&](const std::filesystem::path& file) {
    return CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  const HANDLE out_file = create(out), err_file = create(err);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = out_file;
  si.hStdError = err_file;
  PROCESS_INFORMATION pi{};
  Ran ran;
  ran.started = CreateProcessW(argv.at(0).c_str(), command.data(), nullptr, nullptr, TRUE,
                               CREATE_NO_WINDOW, nullptr,
                               options.cwd.empty() ? nullptr : options.cwd.c_str(), &si, &pi);
  const DWORD start_error = ran.started ? 0 : GetLastError();
  CloseHandle(out_file);
  CloseHandle(err_file);
  if (!ran.started) {
    ran.err = "CreateProcess failed, error " + std::to_string(start_error);
    return ran;
  }
  if (WaitForSingleObject(pi.hProcess, static_cast<DWORD>(options.time_limit.count())) == WAIT_OBJECT_0) {
    DWORD code = 0;
    ran.exited = GetExitCodeProcess(pi.hProcess, &code) != 0;
    if (ran.exited) ran.code = static_cast<int>(code);
  } else {
    TerminateProcess(pi.hProcess, 1);
    WaitForSingleObject(pi.hProcess, INFINITE);
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  if (options.stdout_to.empty()) ran.out = FileText(out);
  ran.err = FileText(err);
  return ran;
}

#else

inline Ran RunProcess(const Argv& argv, const RunOptions& options = {}) {
  const OutputFolder io;
  const std::filesystem::path out = options.stdout_to.empty() ? io.path() / "stdout" : options.stdout_to;
  const std::filesystem::path err = io.path() / "stderr";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
  std::vector<char*> args;
  std::vector<std::string> copies(argv.begin(), argv.end());
  for (std::string& arg : copies) args.push_back(arg.data());
  args.push_back(nullptr);
  pid_t pid = 0;
  Ran ran;
  ran.started = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  if (!ran.started) return ran;
  int status = 0;
  ::waitpid(pid, &status, 0);
  ran.exited = WIFEXITED(status);
  if (ran.exited) ran.code = WEXITSTATUS(status);
  if (options.stdout_to.empty()) ran.out = FileText(out);
  ran.err = FileText(err);
  return ran;
}

#endif

}  // namespace updtest
