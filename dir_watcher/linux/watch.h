// What the Linux change-read files share: the watch tree's records and the
// functions each file offers the others.  Not seen by the logic.
//
//   paths.cpp    names of the tree -> record names; opening by descriptors
//   records.cpp  change records: bytes in, Windows records out, the queue
//   tree.cpp     the watch tree: watches, the one subtree walk, recovery
//   events.cpp   inotify events -> records and tree changes, move pairing
//   port.cpp     the platform functions: port, directories, reads, wait
#pragma once

#include "change_record.h"
#include "emulation.h"

#include <fcntl.h>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <sys/inotify.h>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

// Windows change actions (the logic does not read them, the host might).
constexpr uint32_t file_action_added = 1;
constexpr uint32_t file_action_removed = 2;
constexpr uint32_t file_action_modified = 3;
constexpr uint32_t file_action_renamed_old_name = 4;
constexpr uint32_t file_action_renamed_new_name = 5;

// Names, attributes, size, last write and creation; the directory's own
// removal or move; directories only; no events for names already unlinked.
constexpr uint32_t watch_mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB |
                                IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;

// What stays with a directory through renames and moves.
struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
};
inline bool operator==(const Identity& a, const Identity& b) { return a.dev == b.dev && a.ino == b.ino; }
inline bool operator!=(const Identity& a, const Identity& b) { return !(a == b); }

struct Root;
struct Port;

// One directory of a root's tree, known by its identity; its name is kept
// in step with the disk by the events, and checked whenever it is used to
// reach the directory.
struct Node {
  Node* parent = nullptr;  // null for the root's top, and while in transit between two names
  Root* root = nullptr;
  std::string name;         // bytes, as the file system has them; empty for the top
  Identity id;              // {0, 0} when it could not even be looked at
  int wd = -1;              // -1: not watched (unreadable, or its watch is gone)
  bool unreadable = false;  // logged once; watched when an attribute change lets us in
  bool pending = false;     // in root->pending: to be listed again against the disk
  bool blocked = false;     // in root->blocked: out of reach for want of access on the way
  bool moved = false;       // in root->moved: its subtree to be reported where it landed
  int pending_rounds = 0;   // times it could not be reached where the tree says it is
  unsigned seen = 0;        // listing generation, while its parent is listed
  std::map<std::string, std::unique_ptr<Node>, std::less<>> children;
};

// A directory between its IN_MOVED_FROM and its IN_MOVED_TO.
struct MovingNode {
  uint32_t cookie;
  std::unique_ptr<Node> node;
};

// Change records not yet delivered, in the Windows layout, each with
// NextEntryOffset set to its own padded length.
struct RecordQueue {
  std::vector<unsigned char> bytes;
  size_t head = 0;  // first record not yet delivered
};

// The longest line and composed path the logic can take, from the listed
// root's own length: a record whose line would not fit names an ancestor.
struct NameLimits {
  size_t root_units = 0;  // UTF-16 units of the listed path
  size_t root_bytes = 0;  // UTF-8 bytes of the listed path
};

// One listed directory (the logic's directory handle).
struct Root {
  NameLimits limits;
  int fd = -1;  // O_PATH: the listed directory wherever it moves
  bool is_directory = false;
  Port* port = nullptr;
  bool armed = false;
  std::unique_ptr<Node> top;  // the tree, once armed
  std::vector<MovingNode> moving;
  std::vector<Node*> pending;
  std::vector<Node*> moved;
  std::vector<Node*> blocked;

  // The pending read, if any.
  Overlapped* overlapped = nullptr;
  unsigned char* buffer = nullptr;
  uint32_t size = 0;

  RecordQueue queue;
  int64_t queued_since_ns = 0;  // when the queue last went from empty to holding records
  bool overflowed = false;      // next completion is zero bytes: the root's own line
  bool removal_seen = false;    // its directory had no link left when last looked at
  bool gone = false;            // removed: its changes told, reads end with an error
  uint32_t watch_error = 0;     // part of the tree could not be watched: the next read fails
};

// Buffers reused from change to change (no allocation once grown).  The
// port owns one set and hands it to every function that needs one.
struct Scratch {
  std::string path;                          // a relative path, bytes
  std::string name;                          // a record's name, bytes
  std::u16string wide;                       // a record's name, UTF-16
  std::vector<std::string_view> components;  // a node's names, top down
  std::vector<Node*> nodes;                  // a walk's directories still to list
  std::vector<Node*> targets;                // the nodes one event goes to
};

constexpr size_t event_buffer_bytes = 65536;  // one read() of the inotify queue

struct Port {
  int fd = -1;
  alignas(inotify_event) unsigned char events[event_buffer_bytes];
  std::vector<Root*> roots;
  std::unordered_map<int, std::vector<Node*>> watches;
  size_t next_root = 0;            // round robin, so a busy root cannot starve the others
  unsigned listing = 0;            // generation of the latest directory listing
  std::deque<PlatformNote> notes;  // for error.txt, taken by the logic
  int64_t last_event_ns = 0;       // when the inotify queue last gave events
  int64_t window_start_ns = 0;     // events counted in windows, to tell a burst
  uint32_t window_events = 0;      // from a lone change
  uint32_t previous_window_events = 0;
  bool access_changed = false;  // a directory's attributes changed, or one moved: try the blocked again
  Scratch scratch;
};

// ---- names and descriptors (paths.cpp) --------------------------------------

// The record name (bytes, relative to the root) that reports a change of
// item `item` in the directory reached by `dirs` (names from the top down),
// or of that directory itself when `item` is null ("dir/.", "." for the
// top: the logic cuts the last component, leaving the directory).  A
// directory whose name holds a line feed or CR cannot be a line: the
// nearest ancestor whose path holds neither is named instead; so is the
// deepest ancestor that fits when the line or the composed path would be
// too long.  False when not even the top fits.
bool compose_record_name(const std::vector<std::string_view>& dirs, const char* item, const NameLimits& limits,
                         std::string& out);

// True while `node` hangs from its root's top (not in transit, not dropped).
bool attached(const Node* node);

// The names from `node`'s top down to `node` into `out` (empty for the top).
void node_components(const Node* node, std::vector<std::string_view>& out);

// An O_PATH descriptor of `node`'s directory, reached from the root's
// descriptor by the names in the tree and checked to be that very
// directory.  -1 when the names lead elsewhere or nowhere: the tree lags
// behind the disk.
Fd open_node(const Node* node, Scratch& scratch);

// How a directory of the tree is opened, one step at a time: a descriptor
// that only names it (O_PATH: enough to watch it through /proc/self/fd and
// to open what lies below it), refused for anything but a directory and for
// a symbolic link, so a walk never leaves the root's tree; not inherited by
// other programs.
constexpr int node_open_flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// "/proc/self/fd/N": the path through which a descriptor's directory is
// watched, wherever it is and however deep.
const char* descriptor_path(int fd, char (&out)[32]);

// ---- change records (records.cpp) ------------------------------------------

// Appends one record for `name` (native bytes; bytes that are not UTF-8
// travel as U+DC80..U+DCFF), 4-byte aligned as Windows lays them out.
// `wide` is the caller's buffer for the UTF-16 form.
void put_change_record(RecordQueue& queue, std::string_view name, uint32_t action, std::u16string& wide);

// Moves as many whole records as fit `size` bytes into `buffer`, the last
// one's NextEntryOffset 0; returns the bytes up to the end of its name.  A
// first record larger than the buffer drops the whole queue and returns 0,
// as Windows drops what does not fit.
uint32_t take_change_records(RecordQueue& queue, unsigned char* buffer, uint32_t size);

size_t queued_bytes(const RecordQueue& queue);
void clear_records(RecordQueue& queue);

// ---- the watch tree (tree.cpp) ---------------------------------------------

// Queues the change of `item` in directory `node` (null: the directory
// itself) for the node's root.
void queue_change(Port& port, const Node* node, const char* item, uint32_t action);

// Watches the root's top and its whole tree.  0, or the Windows code of the failure.
uint32_t arm_root(Port& port, Root* root);
// After a queue overflow: the tree built again from the disk, every
// directory of it named.
void rebuild_root(Port& port, Root* root);

// A directory named `name` came into `parent` (made, moved in, or readable
// now): watch it and everything below it, and report it.
void directory_arrived(Port& port, Node* parent, const char* name);
// A directory that was in transit arrives as `name` of `parent`.
void directory_moved(Port& port, Node* parent, const char* name, std::unique_ptr<Node> moved);
// Directory `name` of `parent` is gone.
void forget_child(Port& port, Node* parent, const std::string& name);
// A node whose watch is gone: it and everything below it are dropped.
void drop_node(Port& port, Node* node);
// Directory `node` may hold what it cannot yet be told about: list it again.
void mark_pending(Node* node);
void attribute_changed(Port& port, Node* node);

// Directories that could not be reached for want of access on the way are
// tried again (after an attribute change or a move): those reachable now
// are listed again, what is new below them watched and all of it reported.
void retry_blocked(Port& port);
// True while any root has directories waiting to be listed again.
bool any_pending(const Port& port);
// Lists again every directory waiting for it.  `settled`: no event is on
// its way, so a directory that still cannot be reached is searched for
// from the nearest ancestor that can.
void settle_pending(Port& port, bool settled);

// Reports, once, the whole subtree of every directory moved within its
// root since the last call, where it is now.
void report_moved(Port& port);

// Directories moved out of their root (no IN_MOVED_TO) are forgotten.
void forget_moved_out(Port& port);

// Called whenever the inotify queue has just been found empty.  A root
// whose directory had no link left the last time is gone now (everything
// queued before its removal has been read); the others are looked at.
void note_removed_roots(Port& port);
bool any_removal_seen(const Port& port);

// ---- events (events.cpp) ---------------------------------------------------

// Reads and handles what the inotify queue holds, pairs the two halves of
// renames, and settles what waits for a listing.
void drain_events(Port& port);

// True while events come fast: the port then lets a read gather them.
bool events_in_burst(Port& port, int64_t now);
