// The test-only platform described in fake_platform.h.
#include "fake_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "wide_text.h"

FakePlatform fake;

struct ListFile {
  std::u16string text;
  size_t at;
};
// Open lists, so those a failing run leaves open are still released.
static std::vector<std::unique_ptr<ListFile>> open_lists;

const wchar path_separator = u'/';

// A token for the port and the host process: any non-null address.
static char port_token, other_port_token, host_token;

void fake_reset() {
  for (int descriptor : fake.open_files)  // left open by a run that ended
    close(descriptor);
  fake = FakePlatform{};
  open_lists.clear();
  changelog_dir = nullptr;
  error_log_path[0] = temp_changelog_path[0] = batch_path[0] = 0;
  path_buffer[0] = name_buffer[0] = 0;
  batch_counter = 0;
  watched_dirs = nullptr;
  excluded_prefixes = nullptr;
}

std::string to_narrow(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    else if (c >= 0xD800 && c < 0xE000)
      c = 0xFFFD;  // a lone surrogate, as Windows converts it
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

uint32_t exit_code_of(const std::function<void()>& step) {
  try {
    step();
  } catch (const FakeExit& exit) {
    return exit.code;
  }
  return no_exit;
}

TempDir::TempDir() {
  char name[] = "/tmp/dir_watcher_test.XXXXXX";
  if (!mkdtemp(name)) throw std::runtime_error("mkdtemp failed");
  path = name;
}

TempDir::~TempDir() {
  std::string command = "rm -rf '" + path + "'";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path.c_str());
}

std::string TempDir::read(const std::string& name) const {
  std::ifstream in(path + "/" + name, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void TempDir::write(const std::string& name, const std::string& bytes) const {
  std::ofstream(path + "/" + name, std::ios::binary) << bytes;
}

bool TempDir::exists(const std::string& name) const {
  struct stat info;
  return stat((path + "/" + name).c_str(), &info) == 0;
}

std::vector<std::string> TempDir::names() const {
  std::vector<std::string> found;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') found.push_back(entry->d_name);
    closedir(dir);
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::u16string to_wide(const std::string& text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    uint32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra && i + k < text.size(); ++k)
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += extra + 1;
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

// ---- process ---------------------------------------------------------------

uint32_t platform_command_line(int* count, wchar*** args) {
  if (fake.command_line_failure) return fake.command_line_failure;
  fake.arg_pointers.clear();
  for (std::u16string& arg : fake.args) fake.arg_pointers.push_back(&arg[0]);
  *count = static_cast<int>(fake.args.size());
  *args = fake.arg_pointers.data();
  return 0;
}

uint32_t platform_last_error() { return fake.last_error; }

void platform_exit(uint32_t code) { throw FakeExit{code}; }

void* platform_alloc_zeroed(size_t bytes) {
  if (fake.allocations.size() >= fake.allocation_limit) {
    fake.last_error = error_not_enough_memory;
    return nullptr;
  }
  fake.allocations.emplace_back(new unsigned char[bytes]());
  return fake.allocations.back().get();
}

// ---- port and host -----------------------------------------------------------

Handle platform_create_port() {
  if (fake.port_fails) {
    fake.last_error = error_not_enough_memory;
    return nullptr;
  }
  return &port_token;
}

Handle platform_open_process(uint32_t pid) {
  fake.opened_pids.push_back(pid);
  if (fake.unopenable_pids.count(pid)) {
    fake.last_error = error_invalid_parameter;
    return nullptr;
  }
  return &host_token;
}

bool platform_exit_code(Handle process, uint32_t* code) {
  if (process != &host_token) throw std::logic_error("exit code asked of something not the host");
  ++fake.exit_code_queries;
  if (fake.exit_code_unreadable) return false;
  bool alive = fake.host_alive_queries < 0 || fake.exit_code_queries <= fake.host_alive_queries;
  *code = alive ? still_active : 0;
  return true;
}

bool platform_next_note(Handle, PlatformNote*) { return false; }

int platform_wait(Handle port, uint32_t timeout_ms, Overlapped** overlapped, uint32_t* bytes) {
  if (port != &port_token || timeout_ms != 1000)
    throw std::logic_error("wait on an unknown port or with another timeout");
  *overlapped = nullptr;
  if (fake.completions.empty()) {
    ++fake.timeouts;
    return 0;
  }
  FakeCompletion completion = std::move(fake.completions.front());
  fake.completions.pop_front();
  WatchedDir* dir = watched_dirs;
  for (size_t i = 0; i < completion.dir_index && dir; ++i) dir = dir->next;
  if (!dir) throw std::logic_error("completion for a directory that is not watched");
  if (!completion.records.empty()) std::memcpy(dir->buffer, completion.records.data(), completion.records.size());
  *overlapped = &dir->overlapped;
  *bytes = completion.bytes;
  if (completion.error) {
    fake.last_error = completion.error;
    return -1;
  }
  return 1;
}

// ---- directories ---------------------------------------------------------------

Handle platform_open_directory(const wchar* path) {
  std::string narrow = to_narrow(path);
  struct stat info;
  if (stat(narrow.c_str(), &info) != 0) {
    fake.last_error = error_path_not_found;
    return invalid_handle();
  }
  fake.directories.emplace_back(new FakeDirectory{narrow, !S_ISDIR(info.st_mode)});
  return fake.directories.back().get();
}

Handle platform_bind_to_port(Handle, Handle port) {
  if (fake.bind_mode == 1) {
    fake.last_error = error_access_denied;
    return nullptr;
  }
  return fake.bind_mode == 2 ? &other_port_token : port;
}

bool platform_read_changes(Handle directory, void* buffer, uint32_t size, Overlapped*) {
  if (!buffer || size != change_buffer_bytes) throw std::logic_error("read into a missing or odd-sized buffer");
  if (fake.read_changes_error) {
    fake.last_error = fake.read_changes_error;
    return false;
  }
  if (static_cast<FakeDirectory*>(directory)->is_file) {
    fake.last_error = error_invalid_parameter;
    return false;
  }
  ++fake.reads_issued;
  return true;
}

uint32_t platform_long_path(wchar* path, uint32_t capacity) {
  ++fake.long_path_calls;
  if (fake.long_path_demand) return fake.long_path_demand;
  std::u16string text(path);
  if (text.empty() || fake.vanished.count(text)) {
    fake.last_error = error_path_not_found;
    return 0;
  }
  auto long_form = fake.long_forms.find(text);
  if (long_form != fake.long_forms.end()) {
    if (long_form->second.size() + 1 > capacity) return static_cast<uint32_t>(long_form->second.size() + 1);
    text = long_form->second;
    std::memcpy(path, text.c_str(), (text.size() + 1) * sizeof(wchar));
  }
  return static_cast<uint32_t>(text.size());
}

// ---- files -----------------------------------------------------------------------

// A file handle is its descriptor plus one, so it is never null.
static int descriptor_of(Handle file) { return static_cast<int>(reinterpret_cast<intptr_t>(file)) - 1; }

Handle platform_create_file(const wchar* path) {
  if (fake.create_fails) {
    fake.last_error = error_access_denied;
    return invalid_handle();
  }
  int descriptor = open(to_narrow(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (descriptor < 0) {
    fake.last_error = error_path_not_found;
    return invalid_handle();
  }
  fake.open_files.insert(descriptor);
  return reinterpret_cast<Handle>(static_cast<intptr_t>(descriptor) + 1);
}

bool platform_write_file(Handle file, const void* bytes, uint32_t count) {
  if (fake.write_fails) {
    fake.last_error = error_disk_full;
    return false;
  }
  return write(descriptor_of(file), bytes, count) == static_cast<ssize_t>(count);
}

void platform_close_file(Handle file) {
  if (!fake.open_files.erase(descriptor_of(file))) throw std::logic_error("closing a file that is not open");
  close(descriptor_of(file));
}

int platform_rename(const wchar* from, const wchar* to) {
  std::string source = to_narrow(from), target = to_narrow(to);
  if (link(source.c_str(), target.c_str()) != 0) return errno;
  unlink(source.c_str());
  return 0;
}

int platform_to_utf8(const wchar* text, char* out, int capacity) {
  std::string bytes = to_narrow(text);
  if (bytes.size() + 1 > static_cast<size_t>(capacity)) {
    fake.last_error = error_insufficient_buffer;
    return 0;
  }
  std::memcpy(out, bytes.c_str(), bytes.size() + 1);
  return static_cast<int>(bytes.size() + 1);
}

// ---- list files ------------------------------------------------------------------

ListFile* platform_open_list(const wchar* path, int* error) {
  std::ifstream in(to_narrow(path), std::ios::binary);
  if (!in) {
    *error = ENOENT;
    return nullptr;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  std::string content = bytes.str();
  if (content.compare(0, 3, "\xEF\xBB\xBF") == 0) content.erase(0, 3);
  std::u16string wide = to_wide(content), text;
  for (size_t i = 0; i < wide.size(); ++i)  // text mode: CR LF reads as LF
    if (!(wide[i] == u'\r' && i + 1 < wide.size() && wide[i + 1] == u'\n')) text += wide[i];
  open_lists.emplace_back(new ListFile{text, 0});
  return open_lists.back().get();
}

int platform_read_list_line(ListFile* file, wchar* line, int capacity, int* error) {
  if (fake.list_read_error) {
    *error = fake.list_read_error;
    return -1;
  }
  if (file->at == file->text.size()) return 0;
  int length = 0;
  while (length < capacity - 1 && file->at < file->text.size()) {
    wchar unit = file->text[file->at++];
    line[length++] = unit;
    if (unit == u'\n') break;
  }
  line[length] = 0;
  return 1;
}

void platform_close_list(ListFile* file) {
  for (auto list = open_lists.begin(); list != open_lists.end(); ++list)
    if (list->get() == file) {
      open_lists.erase(list);
      return;
    }
  throw std::logic_error("closing a list that is not open");
}

// ---- error.txt -------------------------------------------------------------------

void platform_append_log_line(const wchar* path, const wchar* line) {
  if (std::u16string(path) != error_log_path) throw std::logic_error("log line for another file");
  fake.error_log += line;
  ++fake.log_writes;
}

void platform_replace_log_line(const wchar* path, const wchar* line) {
  if (std::u16string(path) != error_log_path) throw std::logic_error("log line for another file");
  fake.error_log = line;
  ++fake.log_writes;
}

// The system's texts from the watcher's own table, but for a few codes
// only, so the tests also meet a code the system has no text for.
void platform_message_text(uint32_t code, wchar* text, size_t capacity) {
  static const std::set<uint32_t> with_text = {error_file_not_found, error_path_not_found, error_access_denied,
                                               error_not_enough_memory, error_invalid_parameter};
  struct MessageText {
    uint32_t code;
    const wchar* text;
  };
#define WINDOWS_ERROR(code, name, errnos, text) {code, u"" text},
  static const MessageText texts[] = {
#include "windows_errors.def"
  };
#undef WINDOWS_ERROR
  if (!with_text.count(code)) return;
  for (const MessageText& entry : texts)
    if (entry.code == code) wide_copy(text, capacity, entry.text, wide_length(entry.text));
}

void platform_errno_text(int error, wchar* text, size_t capacity) {
  std::u16string message = to_wide(std::strerror(error));
  wide_copy(text, capacity, message.c_str(), message.size());
}
