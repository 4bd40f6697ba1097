// Linux backend, names: the record name that reports a change (what a line
// can hold), and reaching a directory by descriptors rather than by whole
// paths, so renamed roots and paths beyond PATH_MAX are reached all the same.

#include "watch.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The logic composes root, separator and record name in 32768 units, and a
// line's UTF-8 form, its line feed and its terminator in 32768 bytes.
constexpr size_t longest_composed_units = 32767;
constexpr size_t longest_line_bytes = 32766;

static bool holds_line_break(std::string_view text) { return text.find_first_of("\n\r") != std::string_view::npos; }

bool compose_record_name(const std::vector<std::string_view>& dirs, const char* item, const NameLimits& limits,
                         std::string& out) {
  // A directory fits when its line fits, and so does the "dir/." that names it.
  auto fits = [&](size_t units, size_t bytes) {
    return limits.root_bytes + 1 + bytes <= longest_line_bytes &&
           limits.root_units + 1 + units + 2 <= longest_composed_units;
  };
  out.clear();
  if (!fits(0, 0)) return false;
  size_t units = 0;
  bool whole = true;
  for (std::string_view dir : dirs) {
    size_t separator = out.empty() ? 0 : 1;
    size_t dir_units = utf16_units(dir.data(), dir.size());
    if (holds_line_break(dir) || !fits(units + separator + dir_units, out.size() + separator + dir.size())) {
      whole = false;
      break;
    }
    if (separator) out += '/';
    out.append(dir.data(), dir.size());
    units += separator + dir_units;
  }
  if (whole && item) {
    size_t separator = out.empty() ? 0 : 1;
    size_t item_bytes = std::strlen(item);
    if (limits.root_units + 1 + units + separator + utf16_units(item, item_bytes) <= longest_composed_units) {
      if (separator) out += '/';
      out.append(item, item_bytes);
      return true;
    }
  }
  if (!out.empty()) out += '/';
  out += '.';
  return true;
}

bool attached(const Node* node) {
  while (node->parent) node = node->parent;
  return node == node->root->top.get();
}

void node_components(const Node* node, std::vector<std::string_view>& out) {
  out.clear();
  for (const Node* n = node; n && n->parent; n = n->parent) out.push_back(n->name);
  for (size_t i = 0, j = out.size(); i + 1 < j; ++i, --j) std::swap(out[i], out[j - 1]);
}

Fd open_node(const Node* node, Scratch& scratch) {
  const Root* root = node->root;
  if (!attached(node)) {
    errno = ENOENT;
    return Fd();
  }
  node_components(node, scratch.components);
  std::string& path = scratch.path;
  path.clear();
  for (std::string_view name : scratch.components) {
    if (!path.empty()) path += '/';
    path.append(name.data(), name.size());
  }
  Fd fd(path.empty() ? openat(root->fd, ".", node_open_flags)
                     : open_below(root->fd, path.c_str(), path.size(), node_open_flags));
  if (!fd) return fd;
  struct stat st;
  if (fstat(fd.fd, &st) != 0 || Identity{st.st_dev, st.st_ino} != node->id) {
    errno = ESTALE;  // the name leads to another directory now
    return Fd();
  }
  return fd;
}

const char* descriptor_path(int fd, char (&out)[32]) {
  std::snprintf(out, sizeof out, "/proc/self/fd/%d", fd);
  return out;
}
