// A test-only platform: plain files in a temporary directory, an in-memory
// error.txt, and scripted completions, host process and failures, so the
// watcher's logic is tested apart from the real backends.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "dir_watcher.h"

// platform_exit throws this, so a test sees the exit code and everything
// the run left behind.
struct FakeExit {
  uint32_t code;
};

// One completion the next platform_wait hands out.
struct FakeCompletion {
  size_t dir_index;                    // position in watched_dirs
  std::vector<unsigned char> records;  // copied into the record's buffer
  uint32_t bytes;                      // the count the completion reports
  uint32_t error = 0;                  // non-zero: the read failed with it
};

struct FakeDirectory {
  std::string path;
  bool is_file;
};

struct FakePlatform {
  // process
  std::vector<std::u16string> args;
  std::vector<wchar*> arg_pointers;
  uint32_t command_line_failure = 0;
  uint32_t last_error = 0;
  size_t allocation_limit = SIZE_MAX;  // allocations that succeed
  std::vector<std::unique_ptr<unsigned char[]>> allocations;

  // port, host, completions
  bool port_fails = false;
  int bind_mode = 0;  // 0 the port, 1 null, 2 another port
  std::set<uint32_t> unopenable_pids;
  std::vector<uint32_t> opened_pids;
  int host_alive_queries = -1;  // queries answered "running"; -1: always
  bool exit_code_unreadable = false;
  int exit_code_queries = 0;
  std::deque<FakeCompletion> completions;
  int timeouts = 0;

  // directories and their reads
  std::vector<std::unique_ptr<FakeDirectory>> directories;
  uint32_t read_changes_error = 0;  // non-zero: every read fails with it
  int reads_issued = 0;

  // long paths
  std::map<std::u16string, std::u16string> long_forms;
  std::set<std::u16string> vanished;  // fail with ERROR_PATH_NOT_FOUND
  uint32_t long_path_demand = 0;      // non-zero: the size asked for
  int long_path_calls = 0;

  // files
  bool create_fails = false;
  bool write_fails = false;
  std::set<int> open_files;  // descriptors of open files

  // list files
  int list_read_error = 0;  // non-zero: reads fail with this errno

  // error.txt
  std::u16string error_log;
  int log_writes = 0;
};

extern FakePlatform fake;

// Clears the fake and the watcher's process-wide state.
void fake_reset();

std::string to_narrow(const std::u16string& text);  // UTF-8
std::u16string to_wide(const std::string& text);    // from UTF-8

// Runs a step of the watcher: the exit code it ended with, or no_exit.
constexpr uint32_t no_exit = UINT32_MAX;
uint32_t exit_code_of(const std::function<void()>& step);

// A fresh directory, removed with everything in it at the end.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string read(const std::string& name) const;
  void write(const std::string& name, const std::string& bytes) const;
  bool exists(const std::string& name) const;
  std::vector<std::string> names() const;  // sorted, without . and ..
  std::string path;
};
