// error.txt and the exit codes: the watcher's only diagnostics.
//
// log_error appends one line with the system's text for a code; the four
// direct writes replace the whole file with one line and end the process.
#include "dir_watcher.h"
#include "wide_text.h"

// The system's text for a code; longer texts are cut, never overrun.
static wchar message_text[wide_buffer_units];
// One error.txt line: two paths, an errno text and the format's own words.
static wchar log_line[2 * wide_buffer_units + errno_text_units + 64];

void log_error(const wchar* step, uint32_t code) {
  // A code the system has no text for still gets its line, with the
  // message left empty.
  message_text[0] = 0;
  platform_message_text(code, message_text, wide_buffer_units);
  message_text[wide_buffer_units - 1] = 0;

  WideWriter line = wide_writer(log_line, sizeof log_line / sizeof *log_line);
  put_text(line, step);
  put_text(line, u" 0x");
  put_hex(line, code, 4);
  put_char(line, u' ');
  put_text(line, message_text);
  put_char(line, u'\n');
  platform_append_log_line(error_log_path, log_line);
}

void log_error_and_exit(const wchar* step, uint32_t code, uint32_t exit_code) {
  log_error(step, code);
  platform_exit(exit_code);
}

// Starts a direct line in log_line.
static WideWriter direct_line() { return wide_writer(log_line, sizeof log_line / sizeof *log_line); }

// ") failed: (<errno>) <errno text>\n": how three direct lines end.
static void put_errno_tail(WideWriter& line, int error) {
  errno_text[0] = 0;
  platform_errno_text(error, errno_text, errno_text_units);
  errno_text[errno_text_units - 1] = 0;
  put_text(line, u") failed: (");
  put_decimal(line, error, 0);
  put_text(line, u") ");
  put_text(line, errno_text);
  put_char(line, u'\n');
}

// A direct line replaces everything error.txt held; it is the run's last.
[[noreturn]] static void replace_log_and_exit(uint32_t exit_code) {
  platform_replace_log_line(error_log_path, log_line);
  platform_exit(exit_code);
}

// "<call>(<path>) failed: (<errno>) <errno text>\n".
[[noreturn]] static void write_list_failure(const wchar* call, const wchar* list_path, int error) {
  WideWriter line = direct_line();
  put_text(line, call);
  put_char(line, u'(');
  put_text(line, list_path);
  put_errno_tail(line, error);
  replace_log_and_exit(exit_list_file);
}

void write_list_open_failure(const wchar* list_path, int error) { write_list_failure(u"_wfopen", list_path, error); }

void write_list_read_failure(const wchar* list_path, int error) { write_list_failure(u"fgetws", list_path, error); }

void write_buffer_overrun(uint64_t offset, uint32_t bytes) {
  WideWriter line = direct_line();
  put_text(line, u"process_dir_watcher_results buffer overrun ");
  put_decimal(line, static_cast<int64_t>(offset), 0);
  put_char(line, u' ');
  put_decimal(line, bytes, 0);
  put_char(line, u'\n');
  replace_log_and_exit(exit_buffer_overrun);
}

void write_rename_failure(int error) {
  WideWriter line = direct_line();
  put_text(line, u"_wrename(");
  put_text(line, temp_changelog_path);
  put_text(line, u", ");
  put_text(line, batch_path);
  put_errno_tail(line, error);
  replace_log_and_exit(exit_rename);
}
