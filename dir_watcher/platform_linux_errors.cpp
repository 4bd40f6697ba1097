// Error codes on Linux: errno mapped to the Windows code the same failure
// gives there, and the Windows English system text for each code, so that
// error.txt reads the same whichever platform wrote it.

#include "platform_linux.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>

// An errno with no Windows counterpart keeps its value under the customer
// bit, so the log still tells which errno it was.
constexpr uint32_t customer_code_bit = 0x20000000;

static uint32_t last_error;

void set_last_error(uint32_t code) { last_error = code; }
uint32_t platform_last_error() { return last_error; }

// ERROR_FILE_NOT_FOUND when only the last component is missing (its parent
// is a directory), ERROR_PATH_NOT_FOUND when the way to it is broken.
static uint32_t missing_path_code(const char* path)
{
    if (!path) return error_file_not_found;
    std::string parent(path);
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    size_t cut = parent.rfind('/');
    if (cut == std::string::npos) parent = ".";
    else parent.resize(cut == 0 ? 1 : cut);
    struct stat st;
    if (stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return error_file_not_found;
    return error_path_not_found;
}

uint32_t windows_error_from_errno(int error, const char* path)
{
    switch (error) {
    case 0: return 0;
    case ENOENT: return missing_path_code(path);
    case EACCES: case EPERM: case EISDIR: return error_access_denied;
    case ENOMEM: return error_not_enough_memory;
    case EINVAL: case ESRCH: return error_invalid_parameter;
    case ENOTDIR: return 267;          // ERROR_DIRECTORY
    case ENAMETOOLONG: return 206;     // ERROR_FILENAME_EXCED_RANGE
    case ENOSPC: case EDQUOT: return 112; // ERROR_DISK_FULL (the watch limit is mapped where it is met)
    case EEXIST: return 183;           // ERROR_ALREADY_EXISTS
    case ENOTEMPTY: return 145;        // ERROR_DIR_NOT_EMPTY
    case EMFILE: case ENFILE: return 4; // ERROR_TOO_MANY_OPEN_FILES
    case EBADF: return error_invalid_handle;
    case EROFS: return 19;             // ERROR_WRITE_PROTECT
    case EBUSY: return 170;            // ERROR_BUSY
    case EXDEV: return 17;             // ERROR_NOT_SAME_DEVICE
    case ELOOP: return 1921;           // ERROR_CANT_RESOLVE_FILENAME
    case EIO: return 1117;             // ERROR_IO_DEVICE
    case EPIPE: return 109;            // ERROR_BROKEN_PIPE
    case EILSEQ: return error_no_unicode_translation;
    case ENOSYS: case EOPNOTSUPP: return 50; // ERROR_NOT_SUPPORTED
    case ETIMEDOUT: return 1460;       // ERROR_TIMEOUT
    default: return customer_code_bit | static_cast<uint32_t>(error);
    }
}

void set_last_error_from_errno(const char* path)
{
    int saved = errno;
    set_last_error(windows_error_from_errno(saved, path));
    errno = saved;
}

struct MessageText {
    uint32_t code;
    const char* text;
};

// The system's English texts, as FormatMessageW gives them (line break included).
static const MessageText message_texts[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {17, "The system cannot move the file to a different disk drive.\r\n"},
    {19, "The media is write protected.\r\n"},
    {50, "The request is not supported.\r\n"},
    {80, "The file exists.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {109, "The pipe has been ended.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {145, "The directory is not empty.\r\n"},
    {170, "The requested resource is in use.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {267, "The directory name is invalid.\r\n"},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {1117, "The request could not be performed because of an I/O device error.\r\n"},
    {1450, "Insufficient system resources exist to complete the requested service.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
    {1921, "The name of the file cannot be resolved by the system.\r\n"},
};

static void copy_ascii(const char* from, wchar* text, size_t capacity)
{
    if (capacity == 0) return;
    size_t i = 0;
    for (; from[i] && i + 1 < capacity; ++i) text[i] = static_cast<unsigned char>(from[i]);
    text[i] = 0;
}

void platform_message_text(uint32_t code, wchar* text, size_t capacity)
{
    for (const MessageText& m : message_texts) {
        if (m.code == code) {
            copy_ascii(m.text, text, capacity);
            return;
        }
    }
    copy_ascii("", text, capacity);
}

void platform_errno_text(int error, wchar* text, size_t capacity)
{
    if (capacity == 0) return;
    std::u16string wide;
    const char* s = strerror(error);
    utf8_to_wide(s, std::strlen(s), wide, false);
    size_t n = wide.size() < capacity - 1 ? wide.size() : capacity - 1;
    std::memcpy(text, wide.data(), n * sizeof(wchar));
    text[n] = 0;
}
