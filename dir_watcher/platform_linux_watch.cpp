// Linux backend, change reads: inotify dressed as a completion port.
//
// One inotify instance serves every watched root (so the per-user limit on
// instances never matters).  inotify watches single directories, so each
// root's tree is watched directory by directory and kept as a tree of nodes
// (parent, name): a name is composed from the tree when its event is read,
// which keeps names right after a directory inside the tree is renamed.
// inotify gives one watch descriptor per directory inode, so a descriptor is
// routed to every node of every root that wants it (the same directory may
// be listed twice, or lie inside two listed trees).
//
// Events become Windows change records (NextEntryOffset, Action,
// FileNameLength, FileName in UTF-16) queued per root; a root's pending
// read "completes" in platform_wait with as many whole records as its buffer
// holds, and what does not fit waits for the next read.  A kernel queue
// overflow completes every root's read with zero bytes, as Windows reports a
// change buffer that overflowed.

#include "platform_linux.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

// Windows change actions (the logic does not read them, the host might).
constexpr uint32_t file_action_added = 1;
constexpr uint32_t file_action_removed = 2;
constexpr uint32_t file_action_modified = 3;
constexpr uint32_t file_action_renamed_old_name = 4;
constexpr uint32_t file_action_renamed_new_name = 5;

constexpr uint32_t record_header_bytes = 12;     // NextEntryOffset, Action, FileNameLength
constexpr size_t longest_record_name = 32767;    // units: the longest name a change record may carry
constexpr size_t queue_limit_bytes = 16u << 20;  // a root further behind than this is told to rescan
constexpr size_t event_buffer_bytes = 65536;     // one read() of the inotify queue
constexpr int reads_per_wait = 16;               // bounds one wait's work when events never stop
constexpr int move_pairing_ms = 10;              // how long a lone IN_MOVED_FROM waits for its IN_MOVED_TO
constexpr int move_pairing_rounds = 4;

// Names, attributes, size, last write and creation; the root's own removal or
// move; directories only; no events for names already unlinked.
constexpr uint32_t watch_mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                                IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF |
                                IN_ONLYDIR | IN_EXCL_UNLINK;

struct Root;

// One watched directory of a root's tree.
struct Node {
    Node* parent = nullptr;   // null for the root's top, and while in transit between two names
    Root* root = nullptr;
    std::string name;         // bytes, as the file system has them; empty for the top
    int wd = -1;              // -1 once the watch is gone
    std::map<std::string, std::unique_ptr<Node>> children;
};

struct MovingNode {
    uint32_t cookie;
    std::unique_ptr<Node> node;
};

struct Port;

// One listed directory (the logic's directory handle).
struct Root {
    std::string path;          // native bytes, exactly as listed
    bool is_directory = false;
    Port* port = nullptr;
    bool armed = false;
    std::unique_ptr<Node> top; // the tree, once armed
    std::vector<MovingNode> moving;

    // The pending read, if any.
    Overlapped* overlapped = nullptr;
    unsigned char* buffer = nullptr;
    uint32_t size = 0;

    // Change records not yet delivered, in the Windows layout, each with
    // NextEntryOffset set to its own padded length.
    std::vector<unsigned char> queue;
    size_t head = 0;
    bool overflowed = false;   // next completion is zero bytes: rescan the root
    bool gone = false;         // removed or moved away: reads end with an error
    uint32_t watch_error = 0;  // part of the tree could not be watched: the next read fails
};

struct Port {
    int fd = -1;
    std::vector<Root*> roots;
    std::unordered_map<int, std::vector<Node*>> watches;
    size_t next_root = 0;      // round robin, so a busy root cannot starve the others
};

// One port and its roots per process, static so they outlive the logic's locals.
static Port the_port;
static std::vector<std::unique_ptr<Root>> all_roots;

// Buffers reused from event to event: no allocation per change once grown.
static std::string scratch_path;
static std::string scratch_relative;
static std::u16string scratch_wide;
static std::vector<const Node*> scratch_chain;
static std::vector<Node*> scratch_targets;

// ---- paths -------------------------------------------------------------------

static void relative_path(const Node* node, std::string& out)
{
    scratch_chain.clear();
    for (const Node* n = node; n && n->parent; n = n->parent) scratch_chain.push_back(n);
    for (size_t i = scratch_chain.size(); i-- > 0;) {
        if (!out.empty()) out += '/';
        out += scratch_chain[i]->name;
    }
}

static const std::string& absolute_path(const Node* node, const char* name)
{
    scratch_path = node->root->path;
    scratch_relative.clear();
    relative_path(node, scratch_relative);
    if (name) {
        if (!scratch_relative.empty()) scratch_relative += '/';
        scratch_relative += name;
    }
    if (!scratch_relative.empty()) {
        if (scratch_path.empty() || scratch_path.back() != '/') scratch_path += '/';
        scratch_path += scratch_relative;
    }
    return scratch_path;
}

static bool attached(const Node* node)
{
    while (node->parent) node = node->parent;
    return node == node->root->top.get();
}

// ---- change records ------------------------------------------------------------

static void put_u32(unsigned char* at, uint32_t value) { std::memcpy(at, &value, sizeof value); }
static uint32_t get_u32(const unsigned char* at)
{
    uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

static void set_overflowed(Root* root)
{
    root->overflowed = true;
    root->queue.clear();
    root->head = 0;
}

// Queues the change of `name` in directory `node` (or of `node` itself when
// name is null) for its root.
static void queue_change(Node* node, const char* name, uint32_t action)
{
    Root* root = node->root;
    if (root->overflowed) return;   // the coming rescan covers it
    scratch_relative.clear();
    relative_path(node, scratch_relative);
    if (name) {
        if (!scratch_relative.empty()) scratch_relative += '/';
        scratch_relative += name;
    }
    scratch_wide.clear();
    utf8_to_wide(scratch_relative.data(), scratch_relative.size(), scratch_wide, false);
    if (scratch_wide.size() > longest_record_name || root->queue.size() - root->head > queue_limit_bytes) {
        set_overflowed(root);
        return;
    }
    uint32_t name_bytes = static_cast<uint32_t>(scratch_wide.size() * sizeof(char16_t));
    uint32_t length = (record_header_bytes + name_bytes + 3) & ~3u;   // 4-byte aligned, as Windows lays them
    size_t at = root->queue.size();
    root->queue.resize(at + length);
    unsigned char* record = root->queue.data() + at;
    put_u32(record, length);
    put_u32(record + 4, action);
    put_u32(record + 8, name_bytes);
    std::memcpy(record + record_header_bytes, scratch_wide.data(), name_bytes);
    std::memset(record + record_header_bytes + name_bytes, 0, length - record_header_bytes - name_bytes);
}

// Moves as many whole records as fit into the pending read's buffer.
static uint32_t deliver_records(Root* root)
{
    size_t pos = root->head;
    uint32_t offset = 0, last = 0, end = 0;
    bool any = false;
    while (pos < root->queue.size()) {
        const unsigned char* record = root->queue.data() + pos;
        uint32_t length = get_u32(record);
        uint32_t name_bytes = get_u32(record + 8);
        if (static_cast<uint64_t>(offset) + record_header_bytes + name_bytes > root->size) break;
        uint32_t copy = std::min<uint64_t>(length, root->size - offset);
        std::memcpy(root->buffer + offset, record, copy);
        any = true;
        last = offset;
        end = offset + record_header_bytes + name_bytes;
        offset += length;
        pos += length;
    }
    if (!any) {
        // One record larger than the whole buffer: Windows would drop the lot too.
        root->queue.clear();
        root->head = 0;
        return 0;
    }
    put_u32(root->buffer + last, 0);
    root->head = pos;
    if (root->head == root->queue.size()) {
        root->queue.clear();
        root->head = 0;
    } else if (root->head > root->queue.size() / 2) {
        root->queue.erase(root->queue.begin(), root->queue.begin() + static_cast<ptrdiff_t>(root->head));
        root->head = 0;
    }
    return end;
}

// ---- the watch tree ------------------------------------------------------------

static void unregister(Node* node, bool remove_unused_watch)
{
    if (node->wd < 0) return;
    auto it = the_port.watches.find(node->wd);
    if (it != the_port.watches.end()) {
        std::vector<Node*>& list = it->second;
        list.erase(std::remove(list.begin(), list.end(), node), list.end());
        if (list.empty()) {
            if (remove_unused_watch) inotify_rm_watch(the_port.fd, node->wd);
            the_port.watches.erase(it);
        }
    }
    node->wd = -1;
}

// Stops routing events to `node` and everything below it (the caller frees them).
static void unregister_subtree(Node* node, bool remove_unused_watches)
{
    std::vector<Node*> todo{node};
    while (!todo.empty()) {
        Node* n = todo.back();
        todo.pop_back();
        unregister(n, remove_unused_watches);
        for (auto& child : n->children) todo.push_back(child.second.get());
    }
}

static void forget_child(Node* parent, const std::string& name)
{
    auto it = parent->children.find(name);
    if (it == parent->children.end()) return;
    unregister_subtree(it->second.get(), true);
    parent->children.erase(it);
}

static void record_watch_failure(Root* root, int error, const char* path)
{
    // The watch limit is a shortage of system resources on Windows' terms.
    uint32_t code = error == ENOSPC ? error_no_system_resources : windows_error_from_errno(error, path);
    if (!root->watch_error) root->watch_error = code;
}

// Watches directory `name` of `parent`; null when it vanished, is no
// directory, is already watched, or the watch failed (then recorded).
static Node* watch_directory(Node* parent, const char* name)
{
    Root* root = parent->root;
    const std::string& path = absolute_path(parent, name);
    int wd = inotify_add_watch(the_port.fd, path.c_str(), watch_mask);
    if (wd < 0) {
        // Gone, or no longer a directory, before the watch could be added:
        // its removal is a change of its own, reported through the parent.
        if (errno != ENOENT && errno != ENOTDIR) record_watch_failure(root, errno, path.c_str());
        return nullptr;
    }
    auto it = parent->children.find(name);
    if (it != parent->children.end()) {
        if (it->second->wd == wd) return nullptr;   // met already while its parent was read
        unregister_subtree(it->second.get(), true);
        parent->children.erase(it);
    }
    std::unique_ptr<Node> node(new Node);
    node->parent = parent;
    node->root = root;
    node->name = name;
    node->wd = wd;
    Node* raw = node.get();
    the_port.watches[wd].push_back(raw);
    parent->children.emplace(raw->name, std::move(node));
    return raw;
}

static bool is_directory_entry(const Node* dir, const dirent* entry)
{
    if (entry->d_type == DT_DIR) return true;
    if (entry->d_type != DT_UNKNOWN) return false;
    struct stat st;
    return lstat(absolute_path(dir, entry->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Reads `top` and every directory below it, watching each directory before
// reading it so that nothing created meanwhile is missed.  With `report`,
// every item met is queued as a change (a tree that arrived whole).
static void watch_tree_below(Node* top, bool report)
{
    std::vector<Node*> todo{top};
    while (!todo.empty()) {
        Node* dir = todo.back();
        todo.pop_back();
        DIR* d = opendir(absolute_path(dir, nullptr).c_str());
        if (!d) {
            if (errno != ENOENT && errno != ENOTDIR) record_watch_failure(dir->root, errno, scratch_path.c_str());
            continue;
        }
        while (dirent* entry = readdir(d)) {
            if (!std::strcmp(entry->d_name, ".") || !std::strcmp(entry->d_name, "..")) continue;
            if (report) queue_change(dir, entry->d_name, file_action_added);
            if (is_directory_entry(dir, entry)) {
                if (Node* child = watch_directory(dir, entry->d_name)) todo.push_back(child);
            }
        }
        closedir(d);
    }
}

// Watches the root and its whole tree.  0, or the Windows code of the failure.
static uint32_t arm_root(Root* root)
{
    int wd = inotify_add_watch(the_port.fd, root->path.c_str(), watch_mask);
    if (wd < 0) {
        int error = errno;
        return error == ENOSPC ? error_no_system_resources : windows_error_from_errno(error, root->path.c_str());
    }
    root->top.reset(new Node);
    root->top->root = root;
    root->top->wd = wd;
    the_port.watches[wd].push_back(root->top.get());
    watch_tree_below(root->top.get(), false);
    return root->watch_error;
}

// After a queue overflow nothing about the tree can be trusted: creations,
// removals and renames were lost.  Build it again from the disk.
static void rebuild_root(Root* root)
{
    std::vector<int> old_watches;
    auto drop = [&](Node* node) {
        std::vector<Node*> todo{node};
        while (!todo.empty()) {
            Node* n = todo.back();
            todo.pop_back();
            if (n->wd >= 0) old_watches.push_back(n->wd);
            unregister(n, false);
            for (auto& child : n->children) todo.push_back(child.second.get());
        }
    };
    if (root->top) drop(root->top.get());
    for (MovingNode& m : root->moving) drop(m.node.get());
    root->moving.clear();
    root->top.reset();
    uint32_t error = arm_root(root);
    if (error == error_file_not_found || error == error_path_not_found) root->gone = true;
    else if (error && !root->watch_error) root->watch_error = error;
    for (int wd : old_watches) {
        if (!the_port.watches.count(wd)) inotify_rm_watch(the_port.fd, wd);
    }
}

static void overflow_all()
{
    for (Root* root : the_port.roots) {
        if (!root->armed || root->gone) continue;
        set_overflowed(root);
        rebuild_root(root);
    }
}

// Directories moved out of a root (their IN_MOVED_FROM never met an
// IN_MOVED_TO in the same root) are forgotten.
static void forget_moved_out()
{
    for (Root* root : the_port.roots) {
        for (MovingNode& m : root->moving) unregister_subtree(m.node.get(), true);
        root->moving.clear();
    }
}

static bool any_moving()
{
    for (const Root* root : the_port.roots)
        if (!root->moving.empty()) return true;
    return false;
}

// ---- events --------------------------------------------------------------------

static uint32_t action_of(uint32_t mask)
{
    if (mask & IN_CREATE) return file_action_added;
    if (mask & IN_DELETE) return file_action_removed;
    if (mask & IN_MOVED_FROM) return file_action_renamed_old_name;
    if (mask & IN_MOVED_TO) return file_action_renamed_new_name;
    return file_action_modified;
}

static void drop_vanished(Node* node)
{
    Root* root = node->root;
    unregister_subtree(node, true);
    if (node->parent) {
        auto& siblings = node->parent->children;
        auto it = siblings.find(node->name);
        if (it != siblings.end() && it->second.get() == node) siblings.erase(it);   // frees node
        return;
    }
    for (size_t i = 0; i < root->moving.size(); ++i) {
        if (root->moving[i].node.get() == node) {
            root->moving.erase(root->moving.begin() + static_cast<ptrdiff_t>(i));
            return;
        }
    }
}

static void event_for_node(Node* node, const inotify_event* e)
{
    Root* root = node->root;
    if (root->gone) return;
    bool is_top = node == root->top.get();
    if (e->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
        if (is_top) root->gone = true;
        else if (e->mask & IN_IGNORED) drop_vanished(node);
        return;
    }
    if (e->len == 0 || e->name[0] == 0 || !attached(node)) return;
    queue_change(node, e->name, action_of(e->mask));
    if (!(e->mask & IN_ISDIR)) return;
    if (e->mask & IN_CREATE) {
        if (Node* child = watch_directory(node, e->name)) watch_tree_below(child, true);
    } else if (e->mask & IN_MOVED_FROM) {
        auto it = node->children.find(e->name);
        if (it == node->children.end()) return;
        std::unique_ptr<Node> moved = std::move(it->second);
        node->children.erase(it);
        moved->parent = nullptr;
        root->moving.push_back(MovingNode{e->cookie, std::move(moved)});
    } else if (e->mask & IN_MOVED_TO) {
        for (size_t i = 0; i < root->moving.size(); ++i) {
            if (root->moving[i].cookie != e->cookie) continue;
            std::unique_ptr<Node> moved = std::move(root->moving[i].node);
            root->moving.erase(root->moving.begin() + static_cast<ptrdiff_t>(i));
            forget_child(node, e->name);   // a directory renamed over an empty one
            moved->parent = node;
            moved->name = e->name;
            node->children.emplace(moved->name, std::move(moved));
            return;
        }
        // Moved in from outside the root: a whole tree arrived.
        if (Node* child = watch_directory(node, e->name)) watch_tree_below(child, true);
    } else if (e->mask & IN_DELETE) {
        forget_child(node, e->name);
    }
}

static void handle_event(const inotify_event* e)
{
    if (e->mask & IN_Q_OVERFLOW) {
        overflow_all();
        return;
    }
    auto it = the_port.watches.find(e->wd);
    if (it == the_port.watches.end()) return;
    scratch_targets = it->second;
    for (Node* node : scratch_targets) {
        // Handling one target may have dropped another (a directory seen twice in one root).
        auto now = the_port.watches.find(e->wd);
        if (now == the_port.watches.end()) return;
        if (std::find(now->second.begin(), now->second.end(), node) == now->second.end()) continue;
        event_for_node(node, e);
    }
}

// Reads what the inotify queue holds now; false when it held nothing.
static bool read_events()
{
    alignas(inotify_event) static unsigned char events[event_buffer_bytes];
    ssize_t n = read(the_port.fd, events, sizeof events);
    if (n <= 0) return false;
    for (ssize_t pos = 0; pos < n;) {
        const inotify_event* e = reinterpret_cast<const inotify_event*>(events + pos);
        handle_event(e);
        pos += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
    return true;
}

static void drain_events()
{
    for (int i = 0; i < reads_per_wait && read_events(); ++i) {
    }
    // The two halves of a rename may straddle two reads: give a lone
    // IN_MOVED_FROM a moment to meet its partner before calling it a move out.
    for (int i = 0; i < move_pairing_rounds && any_moving(); ++i) {
        pollfd p = {the_port.fd, POLLIN, 0};
        if (poll(&p, 1, move_pairing_ms) <= 0) break;
        read_events();
    }
    forget_moved_out();
}

// ---- the platform functions ----------------------------------------------------

Handle platform_create_port()
{
    if (the_port.fd >= 0) return &the_port;
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        set_last_error_from_errno();
        return nullptr;
    }
    the_port.fd = fd;
    return &the_port;
}

Handle platform_open_directory(const wchar* path)
{
    const char* native = native_path(path);
    struct stat st;
    if (stat(native, &st) != 0) {
        set_last_error_from_errno(native);
        return invalid_handle();
    }
    if (S_ISDIR(st.st_mode)) {
        // Listing access, as Windows asks for FILE_LIST_DIRECTORY.
        int fd = open(native, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            set_last_error_from_errno(native);
            return invalid_handle();
        }
        close(fd);
    }
    std::unique_ptr<Root> root(new (std::nothrow) Root);
    if (!root) {
        set_last_error(error_not_enough_memory);
        return invalid_handle();
    }
    root->path = native;
    root->is_directory = S_ISDIR(st.st_mode);
    all_roots.push_back(std::move(root));
    return all_roots.back().get();
}

Handle platform_bind_to_port(Handle directory, Handle port)
{
    Root* root = static_cast<Root*>(directory);
    if (port != &the_port || !root || directory == invalid_handle()) {
        set_last_error(error_invalid_handle);
        return nullptr;
    }
    if (!root->port) {
        root->port = &the_port;
        the_port.roots.push_back(root);
    }
    return port;
}

bool platform_read_changes(Handle directory, void* buffer, uint32_t size, Overlapped* overlapped)
{
    Root* root = static_cast<Root*>(directory);
    if (!root->is_directory) {
        // Windows refuses a change read on a file the same way.
        set_last_error(error_invalid_parameter);
        return false;
    }
    if (!root->port) {
        set_last_error(error_invalid_handle);
        return false;
    }
    if (!root->armed) {
        root->armed = true;
        if (uint32_t error = arm_root(root)) {
            set_last_error(error);
            return false;
        }
    }
    if (root->watch_error) {
        set_last_error(root->watch_error);
        return false;
    }
    root->overlapped = overlapped;
    root->buffer = static_cast<unsigned char*>(buffer);
    root->size = size;
    return true;
}

static Root* ready_root()
{
    size_t count = the_port.roots.size();
    for (size_t i = 0; i < count; ++i) {
        Root* root = the_port.roots[(the_port.next_root + i) % count];
        if (root->overlapped && (root->overflowed || root->head < root->queue.size() || root->gone)) {
            the_port.next_root = (the_port.next_root + i + 1) % count;
            return root;
        }
    }
    return nullptr;
}

static int complete(Root* root, Overlapped** overlapped, uint32_t* bytes)
{
    *overlapped = root->overlapped;
    root->overlapped = nullptr;
    if (root->overflowed) {
        root->overflowed = false;
        *bytes = 0;
        return 1;
    }
    if (root->head < root->queue.size()) {
        *bytes = deliver_records(root);
        return 1;
    }
    // Its changes told, a root that was removed or moved away ends its reads.
    *bytes = 0;
    set_last_error(error_access_denied);
    return -1;
}

static int64_t now_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

int platform_wait(Handle port, uint32_t timeout_ms, Overlapped** overlapped, uint32_t* bytes)
{
    *overlapped = nullptr;
    *bytes = 0;
    if (port != &the_port) {
        set_last_error(error_invalid_handle);
        return 0;
    }
    int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
        if (Root* root = ready_root()) return complete(root, overlapped, bytes);
        int64_t left = deadline - now_ms();
        if (left < 0) left = 0;
        pollfd p = {the_port.fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno != EINTR) {
            set_last_error_from_errno();
            return 0;
        }
        if (r > 0) drain_events();
        if (Root* root = ready_root()) return complete(root, overlapped, bytes);
        if (r == 0 || now_ms() >= deadline) return 0;
    }
}
