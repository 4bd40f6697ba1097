// The watch tree's last resort, on a real directory and a real inotify
// instance: when the events that would have told of a rename are gone and
// a directory cannot be reached where the tree says, it is searched for
// from the top down by identity, and what it holds is reported where it is.
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "linux/watch.h"

namespace {

// The names of the records queued for `root`, in order.
std::vector<std::string> queued_names(const Root& root) {
  std::vector<std::string> names;
  const std::vector<unsigned char>& q = root.queue.bytes;
  for (size_t pos = root.queue.head; pos < q.size();) {
    const unsigned char* record = &q[pos];
    uint32_t name_bytes = record_file_name_length(record);
    std::u16string wide(name_bytes / 2, u'\0');
    std::memcpy(&wide[0], record_file_name(record), name_bytes);
    std::string name;
    wide_to_utf8(wide.data(), wide.size(), name);
    names.push_back(name);
    pos += record_next_entry_offset(record);
  }
  return names;
}

Node* child(Node* node, const char* name) {
  auto it = node->children.find(std::string_view(name));
  return it == node->children.end() ? nullptr : it->second.get();
}

TEST(LinuxTree, ADirectoryRenamedUnseenIsFoundByIdentityAndReported) {
  char base_template[] = "/tmp/dw_tree_XXXXXX";
  ASSERT_NE(mkdtemp(base_template), nullptr);
  std::string base = base_template;
  ASSERT_EQ(system(("mkdir -p " + base + "/a/b/c").c_str()), 0);

  static Port port;  // large (its event buffer); one per process as in the watcher
  port.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(port.fd, 0);
  Root root;
  root.limits = NameLimits{base.size(), base.size()};
  root.fd = open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  root.is_directory = true;
  root.port = &port;
  root.armed = true;
  port.roots.push_back(&root);
  ASSERT_EQ(arm_root(port, &root), 0u);

  Node* a = child(root.top.get(), "a");
  ASSERT_NE(a, nullptr);
  Node* b = child(a, "b");
  ASSERT_NE(b, nullptr);

  // Renamed, and its events dropped: nothing will tell the tree.
  ASSERT_EQ(rename((base + "/a").c_str(), (base + "/x").c_str()), 0);
  while (read(port.fd, port.events, sizeof port.events) > 0) {
  }
  mark_pending(b);
  settle_pending(port, true);

  // The same nodes, under the disk's names; every directory of the moved
  // subtree reported, and the directories listed on the way.
  EXPECT_EQ(child(root.top.get(), "a"), nullptr);
  EXPECT_EQ(child(root.top.get(), "x"), a);
  EXPECT_EQ(child(a, "b"), b);
  EXPECT_FALSE(any_pending(port));
  std::vector<std::string> expected = {".", "x/b/.", "x/.", "x/b/.", "x/b/c/."};
  EXPECT_EQ(queued_names(root), expected);

  // And it is still watched there.
  ASSERT_EQ(mkdir((base + "/x/b/new").c_str(), 0755), 0);
  clear_records(root.queue);
  drain_events(port);
  EXPECT_NE(child(b, "new"), nullptr);
  expected = {"x/b/new", "x/b/new/."};
  EXPECT_EQ(queued_names(root), expected);

  close(root.fd);
  close(port.fd);
  EXPECT_EQ(system(("rm -rf " + base).c_str()), 0);
}

}  // namespace
