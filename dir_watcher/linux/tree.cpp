// Linux backend, the watch tree.
//
// inotify watches single directories, so each root's tree is watched
// directory by directory and kept as a tree of nodes (parent, name).  A
// node stands for one directory, known by its identity (device and inode;
// inotify gives one watch descriptor per inode); its name is what the
// events last said.  Events are read some time after they happen, so the
// names can lag behind the disk: a directory is never reached by a path
// rebuilt from older events without checking that the path leads to that
// very directory, and whenever the tree and the disk disagree, the
// directory concerned is listed again once the events have caught up, its
// new subdirectories watched and the directory reported, so the host
// rescans what may have been missed.
//
// Every directory is watched before it is listed, so anything made in it
// meanwhile is either listed or reported by its own event.

#include "watch.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

constexpr size_t queue_limit_bytes = 16u << 20;  // a root further behind than this is told to rescan
// Drains a directory may stay out of reach while events keep coming before
// it is searched for from its ancestors.
constexpr int pending_rounds_before_search = 8;

static Identity identity_of(const struct stat& st) { return Identity{st.st_dev, st.st_ino}; }

// Calls visit(node) for `top` and every node below it, parents first.  No
// stack: the walk climbs back through the parent links.  `visit` must not
// change the tree.
template <typename Visit>
static void for_each_in_subtree(Node* top, Visit visit) {
  Node* node = top;
  for (;;) {
    visit(node);
    if (!node->children.empty()) {
      node = node->children.begin()->second.get();
      continue;
    }
    for (;;) {
      if (node == top) return;
      Node* parent = node->parent;
      auto next = parent->children.upper_bound(node->name);
      if (next != parent->children.end()) {
        node = next->second.get();
        break;
      }
      node = parent;
    }
  }
}

// ---- records -------------------------------------------------------------------

static void put_record(Port& port, Root* root, uint32_t action) {
  if (queued_bytes(root->queue) == 0) root->queued_since_ns = monotonic_ns();
  put_change_record(root->queue, port.scratch.name, action, port.scratch.wide);
}

// A record naming every directory of the tree, parents first.  Not bound
// by the queue's limit: the tree is what the host needs to hear about.
static void name_every_directory(Port& port, Root* root) {
  Scratch& scratch = port.scratch;
  for_each_in_subtree(root->top.get(), [&](Node* node) {
    node_components(node, scratch.components);
    if (compose_record_name(scratch.components, nullptr, root->limits, scratch.name))
      put_record(port, root, file_action_modified);
  });
}

// Changes were lost: drops the undelivered records, completes the next
// read with zero bytes (the root's own line, as on Windows) and then names
// every directory of the tree, so a host that lists again each directory a
// line names ends exact.
static void overflow_root(Port& port, Root* root) {
  root->overflowed = true;
  clear_records(root->queue);
  if (root->top) name_every_directory(port, root);
}

void queue_change(Port& port, const Node* node, const char* item, uint32_t action) {
  Root* root = node->root;
  if (!attached(node)) return;
  Scratch& scratch = port.scratch;
  node_components(node, scratch.components);
  if (!compose_record_name(scratch.components, item, root->limits, scratch.name)) {
    // Not even the root fits a line: its own line is all there is.
    root->overflowed = true;
    clear_records(root->queue);
    return;
  }
  if (queued_bytes(root->queue) > queue_limit_bytes) {
    overflow_root(port, root);
    return;
  }
  put_record(port, root, action);
}

// A directory moved within its root: lines already written for what it
// holds named it where it was, and by the time the host reads them another
// directory may be there, or this one back again with contents the host
// last saw elsewhere.  Its whole subtree is reported where it lands, once
// the events read so far are handled (a directory renamed back and forth
// is reported once, not once per rename).
static void note_moved(Node* node) {
  if (node->moved) return;
  node->moved = true;
  node->root->moved.push_back(node);
}

void report_moved(Port& port) {
  for (Root* root : port.roots) {
    for (Node* node : root->moved) {
      bool covered = false;  // by a moved ancestor, reported whole too
      for (Node* n = node->parent; n && !covered; n = n->parent) covered = n->moved;
      if (covered || !attached(node)) continue;
      for_each_in_subtree(node, [&](Node* n) { queue_change(port, n, nullptr, file_action_modified); });
    }
    for (Node* node : root->moved) node->moved = false;
    root->moved.clear();
  }
}

// ---- watches -------------------------------------------------------------------

static void register_watch(Port& port, Node* node, int wd) {
  node->wd = wd;
  port.watches[wd].push_back(node);
}

static void erase_node(std::vector<Node*>& list, const Node* node) {
  list.erase(std::remove(list.begin(), list.end(), node), list.end());
}

static void unregister(Port& port, Node* node, bool remove_unused_watch) {
  if (node->pending) {
    erase_node(node->root->pending, node);
    node->pending = false;
  }
  if (node->moved) {
    erase_node(node->root->moved, node);
    node->moved = false;
  }
  if (node->blocked) {
    erase_node(node->root->blocked, node);
    node->blocked = false;
  }
  erase_node(port.scratch.nodes, node);  // a walk in progress does not list it
  if (node->wd < 0) return;
  auto it = port.watches.find(node->wd);
  if (it != port.watches.end()) {
    erase_node(it->second, node);
    if (it->second.empty()) {
      if (remove_unused_watch) inotify_rm_watch(port.fd, node->wd);
      port.watches.erase(it);
    }
  }
  node->wd = -1;
}

// Stops routing events to `node` and everything below it (the caller frees them).
static void unregister_subtree(Port& port, Node* top, bool remove_unused_watches) {
  for_each_in_subtree(top, [&](Node* node) { unregister(port, node, remove_unused_watches); });
}

void forget_child(Port& port, Node* parent, const std::string& name) {
  auto it = parent->children.find(name);
  if (it == parent->children.end()) return;
  unregister_subtree(port, it->second.get(), true);
  parent->children.erase(it);
}

void drop_node(Port& port, Node* node) {
  Root* root = node->root;
  if (node == root->top.get()) return;
  unregister_subtree(port, node, true);
  if (node->parent) {
    auto& siblings = node->parent->children;
    auto it = siblings.find(node->name);
    if (it != siblings.end() && it->second.get() == node) siblings.erase(it);  // frees node
    return;
  }
  for (size_t i = 0; i < root->moving.size(); ++i) {
    if (root->moving[i].node.get() == node) {
      root->moving.erase(root->moving.begin() + static_cast<ptrdiff_t>(i));
      return;
    }
  }
}

void mark_pending(Node* node) {
  if (node->pending) return;
  node->pending = true;
  node->root->pending.push_back(node);
}

// `node` cannot be reached because a directory on the way may not be
// searched: nothing tells when it can, so it waits for an attribute change
// or a move anywhere.
static void mark_blocked(Node* node) {
  if (node->blocked) return;
  node->blocked = true;
  node->root->blocked.push_back(node);
}

static bool access_denied(int error) { return error == EACCES || error == EPERM; }

// `node` could not be opened (errno says why): it waits for access, or
// for the events that tell where it went.
static void wait_for_reach(Node* node) {
  if (access_denied(errno))
    mark_blocked(node);
  else
    mark_pending(node);
}

bool any_pending(const Port& port) {
  for (const Root* root : port.roots)
    if (!root->pending.empty()) return true;
  return false;
}

// A failure other than "gone" or "not allowed": the watch limit (ENOSPC)
// above all.  The root's next read fails with it; the directory is
// reported, so that read comes.
static void record_watch_failure(Port& port, Node* dir, int error) {
  Root* root = dir->root;
  uint32_t code = error == ENOSPC ? error_no_system_resources : windows_error_from_errno(error);
  if (!root->watch_error) root->watch_error = code;
  queue_change(port, dir, nullptr, file_action_modified);
}

// A directory the watcher may not read: the run goes on without it, and
// error.txt says once which call failed (the logic logs the port's notes).
static void note_unreadable(Node* node, const char16_t* call, int error) {
  if (node->unreadable) return;
  node->unreadable = true;
  node->root->port->notes.push_back(PlatformNote{call, windows_error_from_errno(error)});
}

static Node* adopt(Node* parent, const char* name, Identity id) {
  std::unique_ptr<Node> node(new Node);
  node->parent = parent;
  node->root = parent->root;
  node->name = name;
  node->id = id;
  Node* raw = node.get();
  parent->children[raw->name] = std::move(node);
  return raw;
}

static Node* child_by_identity(Node* parent, Identity id) {
  if (id == Identity{}) return nullptr;
  for (auto& child : parent->children)
    if (child.second->id == id) return child.second.get();
  return nullptr;
}

// Gives child `node` of `parent` the name `name`.
static void rename_child(Node* parent, Node* node, const char* name) {
  auto it = parent->children.find(node->name);
  std::unique_ptr<Node> owned = std::move(it->second);
  parent->children.erase(it);
  node->name = name;
  parent->children[node->name] = std::move(owned);
}

// The child of `parent` that watch `wd` stands for already: the same
// directory under an older name.
static Node* child_watching(const Port& port, const Node* parent, int wd) {
  auto it = port.watches.find(wd);
  if (it == port.watches.end()) return nullptr;
  for (Node* node : it->second)
    if (node->parent == parent) return node;
  return nullptr;
}

// Watches directory `name` of `parent`, reached through `parent_fd`.  The
// node for it, or null when there is none (gone, no directory, failed).
// *added: newly watched (or readable at last), so the caller lists it.
static Node* watch_child(Port& port, Node* parent, int parent_fd, const char* name, bool* added) {
  *added = false;
  auto it = parent->children.find(std::string_view(name));
  Node* existing = it != parent->children.end() ? it->second.get() : nullptr;

  Fd fd(openat(parent_fd, name, node_open_flags));
  if (!fd) {
    int error = errno;
    if (error == EACCES || error == EPERM) {
      // The parent may be listed but not searched: not even its identity can be had.
      if (!existing) existing = adopt(parent, name, Identity{});
      note_unreadable(existing, u"openat", error);
      return existing;
    }
    // Gone, no directory, or a symbolic link: its own event tells.
    if (error != ENOENT && error != ENOTDIR && error != ELOOP) record_watch_failure(port, parent, error);
    return nullptr;
  }
  struct stat st;
  if (fstat(fd.fd, &st) != 0) {
    record_watch_failure(port, parent, errno);
    return nullptr;
  }
  Identity id = identity_of(st);
  if (existing && existing->id == id && !existing->unreadable) return existing;  // met already
  if (existing && existing->id != id) {
    // Another directory took the name.  Forgotten before the watch is
    // added: its subtree may hold this very directory, whose watch
    // would go with it.
    forget_child(port, parent, name);
    existing = nullptr;
  }

  char proc[32];
  int wd = inotify_add_watch(port.fd, descriptor_path(fd.fd, proc), watch_mask);
  if (wd < 0) {
    int error = errno;
    if (error == EACCES || error == EPERM) {
      if (!existing) existing = adopt(parent, name, id);
      note_unreadable(existing, u"inotify_add_watch", error);
      return existing;
    }
    if (error != ENOENT && error != ENOTDIR) record_watch_failure(port, parent, error);
    return nullptr;
  }
  if (existing) {
    // Readable now, or again: watched and listed from now on.
    existing->unreadable = false;
    if (existing->wd != wd) {
      unregister(port, existing, false);
      register_watch(port, existing, wd);
    }
    *added = true;
    return existing;
  }
  if (Node* renamed = child_watching(port, parent, wd)) {
    // The same directory under its new name: the tree lags behind a rename.
    rename_child(parent, renamed, name);
    note_moved(renamed);
    return renamed;
  }
  Node* node = adopt(parent, name, id);
  register_watch(port, node, wd);
  *added = true;
  return node;
}

// ---- the subtree walk ----------------------------------------------------------

// Lists directory `dir`, reached through `fd`, and watches every directory
// in it; those newly watched go on `todo`.  report: `dir` is reported.
// prune: children the disk no longer has are dropped.
static void list_directory(Port& port, Node* dir, int fd, bool report, bool prune, std::vector<Node*>& todo) {
  Fd listing(openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* d = listing ? fdopendir(listing.fd) : nullptr;
  if (!d) {
    int error = errno;
    if (error == EACCES || error == EPERM)
      note_unreadable(dir, u"opendir", error);
    else if (error != ENOENT && error != ENOTDIR)
      record_watch_failure(port, dir, error);
    return;
  }
  listing.release();  // closedir closes it
  if (dir->wd >= 0) dir->unreadable = false;
  unsigned generation = ++port.listing;
  while (dirent* entry = readdir(d)) {
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    bool is_dir = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st;
      is_dir = fstatat(dirfd(d), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    if (!is_dir) continue;
    bool added = false;
    Node* child = watch_child(port, dir, dirfd(d), name, &added);
    if (!child) continue;
    child->seen = generation;
    if (added) todo.push_back(child);
  }
  closedir(d);
  if (prune) {
    for (auto it = dir->children.begin(); it != dir->children.end();) {
      if (it->second->seen == generation) {
        ++it;
        continue;
      }
      unregister_subtree(port, it->second.get(), true);
      it = dir->children.erase(it);
    }
  }
  if (report) queue_change(port, dir, nullptr, file_action_modified);
}

// The one subtree walk: lists every directory on the port's walk list and
// everything newly watched below them.  A directory that cannot be reached
// where the tree says (renamed since it was watched) waits for the events
// that tell where it went.
static void walk(Port& port, bool report) {
  std::vector<Node*>& todo = port.scratch.nodes;
  while (!todo.empty()) {
    Node* dir = todo.back();
    todo.pop_back();
    Fd fd = open_node(dir, port.scratch);
    if (!fd) {
      wait_for_reach(dir);
      continue;
    }
    list_directory(port, dir, fd.fd, report, false, todo);
  }
}

// Lists `dir` again and walks what is new below it, reporting all of it.
static void list_again(Port& port, Node* dir, int fd, bool prune) {
  list_directory(port, dir, fd, true, prune, port.scratch.nodes);
  walk(port, true);
}

void retry_blocked(Port& port) {
  if (!port.access_changed) return;
  port.access_changed = false;
  for (Root* root : port.roots) {
    // One at a time off the list: listing one may drop another (a name
    // taken over), which leaves the list as it goes.
    size_t budget = root->blocked.size();
    while (budget-- > 0 && !root->blocked.empty()) {
      Node* node = root->blocked.front();
      root->blocked.erase(root->blocked.begin());
      node->blocked = false;
      if (!attached(node)) {
        mark_blocked(node);  // in transit: tried again once it has landed
        continue;
      }
      Fd fd = open_node(node, port.scratch);
      if (!fd) {
        wait_for_reach(node);
        continue;
      }
      // Watched, so the walk reaches what is new below it; lines
      // already told there still hold.
      list_again(port, node, fd.fd, false);
    }
  }
}

uint32_t arm_root(Port& port, Root* root) {
  struct stat st;
  if (fstat(root->fd, &st) != 0) return windows_error_from_errno(errno);
  char proc[32];
  int wd = inotify_add_watch(port.fd, descriptor_path(root->fd, proc), watch_mask);
  if (wd < 0) {
    int error = errno;
    return error == ENOSPC ? error_no_system_resources : windows_error_from_errno(error);
  }
  root->top.reset(new Node);
  root->top->root = root;
  root->top->id = identity_of(st);
  register_watch(port, root->top.get(), wd);
  port.scratch.nodes.push_back(root->top.get());
  walk(port, false);
  return root->watch_error;
}

void rebuild_root(Port& port, Root* root) {
  // Watches are removed only once the new tree is built, so a directory
  // watched before and after keeps its descriptor throughout.
  std::vector<int> old_watches;
  auto drop = [&](Node* top) {
    for_each_in_subtree(top, [&](Node* node) {
      if (node->wd >= 0) old_watches.push_back(node->wd);
      unregister(port, node, false);
    });
  };
  if (root->top) drop(root->top.get());
  for (MovingNode& m : root->moving) drop(m.node.get());
  root->moving.clear();
  root->top.reset();
  uint32_t error = arm_root(port, root);
  if (error && !root->watch_error) root->watch_error = error;
  for (int wd : old_watches) {
    if (!port.watches.count(wd)) inotify_rm_watch(port.fd, wd);
  }
  overflow_root(port, root);
}

// ---- directories coming and going ----------------------------------------------

void directory_arrived(Port& port, Node* parent, const char* name) {
  Fd fd = open_node(parent, port.scratch);
  if (!fd) {
    // Out of reach for want of access on the way: listed again when
    // that may have changed.  Else the parent has moved on: listed
    // again once the events say where.
    wait_for_reach(parent);
    return;
  }
  bool added = false;
  Node* child = watch_child(port, parent, fd.fd, name, &added);
  if (!added) return;
  port.scratch.nodes.push_back(child);
  walk(port, true);
}

void directory_moved(Port& port, Node* parent, const char* name, std::unique_ptr<Node> moved) {
  Fd fd = open_node(parent, port.scratch);
  if (fd) {
    struct stat st;
    if (fstatat(fd.fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && identity_of(st) != moved->id) {
      // The node watched another directory than the one that moved
      // (its name was reused before the node was made): start afresh.
      unregister_subtree(port, moved.get(), true);
      moved.reset();
      bool added = false;
      Node* child = watch_child(port, parent, fd.fd, name, &added);
      if (added) {
        port.scratch.nodes.push_back(child);
        walk(port, true);
      }
      return;
    }
    // Not there any more: it moved on, and the later events carry it further.
  } else {
    wait_for_reach(parent);  // its children are checked once the tree knows where it is
  }
  forget_child(port, parent, name);  // a directory renamed over an empty one
  Node* node = moved.get();
  node->parent = parent;
  node->name = name;
  parent->children[node->name] = std::move(moved);
  note_moved(node);
}

void attribute_changed(Port& port, Node* node) {
  bool retry = node->unreadable;
  for (auto& child : node->children) retry = retry || child.second->unreadable;
  if (!retry) return;
  Fd fd = open_node(node, port.scratch);
  if (fd)
    list_again(port, node, fd.fd, false);
  else
    wait_for_reach(node);
}

void forget_moved_out(Port& port) {
  for (Root* root : port.roots) {
    for (MovingNode& m : root->moving) unregister_subtree(port, m.node.get(), true);
    root->moving.clear();
  }
}

// ---- settling disagreements ----------------------------------------------------

// `node` cannot be reached where the tree says and no event is on its way
// to say where it went: from the top down, each directory on the way whose
// child on the way cannot be reached is listed again (renames found by
// identity, vanished names dropped), down to `node` itself.
static void search_down_to(Port& port, Node* node) {
  std::vector<Identity> way;  // identities from below the top down to node
  for (Node* n = node; n->parent; n = n->parent) way.push_back(n->id);
  std::reverse(way.begin(), way.end());
  Node* dir = node->root->top.get();
  for (Identity id : way) {
    Node* next = child_by_identity(dir, id);
    Fd next_fd = next ? open_node(next, port.scratch) : Fd();
    if (!next_fd) {
      Fd fd = open_node(dir, port.scratch);
      if (!fd) return;
      list_again(port, dir, fd.fd, true);
      next = child_by_identity(dir, id);
      if (!next) return;  // gone from the disk: dropped with its subtree
    }
    dir = next;
  }
  Fd fd = open_node(dir, port.scratch);
  if (fd) list_again(port, dir, fd.fd, true);
}

void settle_pending(Port& port, bool settled) {
  for (Root* root : port.roots) {
    size_t budget = root->pending.size();
    while (budget-- > 0 && !root->pending.empty() && !root->gone) {
      Node* node = root->pending.front();
      root->pending.erase(root->pending.begin());
      node->pending = false;
      if (!attached(node)) continue;
      Fd fd = open_node(node, port.scratch);
      if (fd) {
        node->pending_rounds = 0;
        list_again(port, node, fd.fd, settled);
        continue;
      }
      if (access_denied(errno)) {
        // Not lost, shut: searching from above would not get in either.
        node->pending_rounds = 0;
        mark_blocked(node);
        continue;
      }
      if (!settled && ++node->pending_rounds < pending_rounds_before_search) {
        mark_pending(node);
        continue;
      }
      node->pending_rounds = 0;
      search_down_to(port, node);
    }
  }
  report_moved(port);
}

void note_removed_roots(Port& port) {
  // The root's descriptor keeps its directory alive, so no IN_DELETE_SELF
  // comes while it is open: a directory with no link left was removed.
  // It is gone only once the queue has been emptied after that was seen,
  // so the changes made before the removal are told first.
  for (Root* root : port.roots) {
    if (!root->armed || root->gone) continue;
    if (root->removal_seen) {
      root->gone = true;
      continue;
    }
    struct stat st;
    root->removal_seen = fstat(root->fd, &st) == 0 && st.st_nlink == 0;
  }
}

bool any_removal_seen(const Port& port) {
  for (const Root* root : port.roots)
    if (root->removal_seen && !root->gone) return true;
  return false;
}
