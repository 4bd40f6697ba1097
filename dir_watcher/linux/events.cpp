// Linux backend, events: each inotify event becomes a change record for
// every root whose tree holds its directory, and moves the tree along with
// the directories it names.  A rename comes as two events (IN_MOVED_FROM,
// IN_MOVED_TO) joined by a cookie; a directory between the two is held in
// transit, and one whose second half never comes has left its root.

#include "watch.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

// Bounds one wait's work when events never stop; 16 reads of 64 KiB hold
// more than the kernel's default queue of 16,384 events.
constexpr int reads_per_wait = 16;
constexpr int move_pairing_ms = 10;  // how long a lone IN_MOVED_FROM waits for its IN_MOVED_TO
constexpr int move_pairing_rounds = 4;

// Events come fast (a burst) when a window of burst_window_ns and the one
// before it hold burst_events: a few files a millisecond make three each
// (create, modify, close); one program saving one file makes fewer.
constexpr int64_t burst_window_ns = 10'000'000;
constexpr uint32_t burst_events = 16;

// Counts in windows: the current one and the one before.
static void roll_windows(Port& port, int64_t now) {
  int64_t age = now - port.window_start_ns;
  if (age < burst_window_ns) return;
  port.previous_window_events = age < 2 * burst_window_ns ? port.window_events : 0;
  port.window_events = 0;
  port.window_start_ns = now;
}

static void note_events(Port& port, uint32_t count) {
  int64_t now = monotonic_ns();
  port.last_event_ns = now;
  roll_windows(port, now);
  port.window_events += count;
}

bool events_in_burst(Port& port, int64_t now) {
  roll_windows(port, now);
  return port.window_events + port.previous_window_events >= burst_events;
}

static uint32_t action_of(uint32_t mask) {
  if (mask & IN_CREATE) return file_action_added;
  if (mask & IN_DELETE) return file_action_removed;
  if (mask & IN_MOVED_FROM) return file_action_renamed_old_name;
  if (mask & IN_MOVED_TO) return file_action_renamed_new_name;
  return file_action_modified;
}

static Node* child_named(Node* parent, const char* name) {
  auto it = parent->children.find(std::string_view(name));
  return it == parent->children.end() ? nullptr : it->second.get();
}

// IN_MOVED_FROM: the directory leaves the tree until its IN_MOVED_TO.
static void detach_child(Node* parent, const char* name, uint32_t cookie) {
  auto it = parent->children.find(std::string_view(name));
  if (it == parent->children.end()) return;
  std::unique_ptr<Node> moved = std::move(it->second);
  parent->children.erase(it);
  moved->parent = nullptr;
  parent->root->moving.push_back(MovingNode{cookie, std::move(moved)});
}

// IN_MOVED_TO: the directory in transit with the same cookie lands here; a
// directory with no such partner came from outside the root.
static void land_child(Port& port, Node* parent, const char* name, uint32_t cookie) {
  std::vector<MovingNode>& moving = parent->root->moving;
  for (size_t i = 0; i < moving.size(); ++i) {
    if (moving[i].cookie != cookie) continue;
    std::unique_ptr<Node> moved = std::move(moving[i].node);
    moving.erase(moving.begin() + static_cast<ptrdiff_t>(i));
    directory_moved(port, parent, name, std::move(moved));
    return;
  }
  directory_arrived(port, parent, name);
}

static void event_for_node(Port& port, Node* node, const inotify_event* e) {
  Root* root = node->root;
  if (root->gone) return;
  bool is_top = node == root->top.get();
  if (e->mask & (IN_IGNORED | IN_UNMOUNT)) {
    if (is_top)
      root->gone = true;
    else
      drop_node(port, node);
    return;
  }
  if (e->mask & IN_DELETE_SELF) {
    if (is_top) root->gone = true;
    return;
  }
  if (!attached(node)) {
    // In transit (another process's change came between the two halves
    // of a rename): listed again once it has landed.
    mark_pending(node);
    return;
  }
  if (e->len == 0 || e->name[0] == 0) {
    // About the directory itself (the parent's event names it): a moved
    // root is still watched through its descriptor; an attribute change
    // may have made it, or what it holds, readable.
    if (e->mask & IN_ATTRIB) {
      port.access_changed = true;
      attribute_changed(port, node);
    }
    return;
  }
  queue_change(port, node, e->name, action_of(e->mask));
  if (!(e->mask & IN_ISDIR)) return;
  // A directory searchable now, or moved out from under one that is not,
  // may open the way to directories that could not be reached.
  if (e->mask & (IN_ATTRIB | IN_MOVED_TO)) port.access_changed = true;
  if (e->mask & IN_CREATE) {
    directory_arrived(port, node, e->name);
  } else if (e->mask & IN_ATTRIB) {
    Node* child = child_named(node, e->name);
    if (!child || child->unreadable) directory_arrived(port, node, e->name);
  } else if (e->mask & IN_MOVED_FROM) {
    detach_child(node, e->name, e->cookie);
  } else if (e->mask & IN_MOVED_TO) {
    land_child(port, node, e->name, e->cookie);
  } else if (e->mask & IN_DELETE) {
    forget_child(port, node, e->name);
  }
}

static void overflow_all(Port& port) {
  for (Root* root : port.roots) {
    if (!root->armed || root->gone) continue;
    rebuild_root(port, root);
  }
}

static void handle_event(Port& port, const inotify_event* e) {
  if (e->mask & IN_Q_OVERFLOW) {
    overflow_all(port);
    return;
  }
  auto it = port.watches.find(e->wd);
  if (it == port.watches.end()) return;
  std::vector<Node*>& targets = port.scratch.targets;
  targets = it->second;
  for (Node* node : targets) {
    // Handling one target may have dropped another (a directory seen twice in one root).
    auto now = port.watches.find(e->wd);
    if (now == port.watches.end()) return;
    if (std::find(now->second.begin(), now->second.end(), node) == now->second.end()) continue;
    event_for_node(port, node, e);
  }
}

// Reads what the inotify queue holds now; false when it held nothing.
static bool read_events(Port& port) {
  ssize_t n = read(port.fd, port.events, sizeof port.events);
  if (n <= 0) return false;
  uint32_t count = 0;
  for (ssize_t pos = 0; pos < n; ++count) {
    const inotify_event* e = reinterpret_cast<const inotify_event*>(port.events + pos);
    handle_event(port, e);
    pos += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
  }
  note_events(port, count);
  return true;
}

static bool any_moving(const Port& port) {
  for (const Root* root : port.roots)
    if (!root->moving.empty()) return true;
  return false;
}

static bool events_waiting(const Port& port) {
  pollfd p = {port.fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

void drain_events(Port& port) {
  for (int i = 0; i < reads_per_wait && read_events(port); ++i) {
  }
  // The two halves of a rename may straddle two reads: give a lone
  // IN_MOVED_FROM a moment to meet its partner before calling it a move out.
  for (int i = 0; i < move_pairing_rounds && any_moving(port); ++i) {
    pollfd p = {port.fd, POLLIN, 0};
    if (poll(&p, 1, move_pairing_ms) <= 0) break;
    read_events(port);
  }
  forget_moved_out(port);
  report_moved(port);
  retry_blocked(port);
  bool settled = !events_waiting(port);
  if (any_pending(port)) settle_pending(port, settled);
  if (settled) note_removed_roots(port);
}
