// Folder change notifications on Linux: one inotify instance per watcher,
// one inotify watch per folder, each remembered with its name relative to
// the watcher's root so events come back as relative names.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/watch_queue.h"
#include "platform/posix_internal.h"

namespace {

constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                           IN_CLOSE_WRITE | IN_ATTRIB | IN_ONLYDIR | IN_EXCL_UNLINK;
// One read takes whatever the kernel has queued, up to this much.
constexpr size_t kReadBuf = 16384;

struct folder {
  int wd;
  std::string rel;
};

}  // namespace

struct tw3_watch {
  int fd = -1;
  std::vector<folder> folders;
  // Events read from the kernel and not yet handed out.
  tw3_watch_queue ready;
};

namespace {

const folder* folder_of(const tw3_watch* w, int wd) {
  for (const folder& f : w->folders)
    if (f.wd == wd) return &f;
  return nullptr;
}

void forget(tw3_watch* w, int wd) {
  for (size_t i = 0; i < w->folders.size(); ++i) {
    if (w->folders[i].wd == wd) {
      w->folders.erase(w->folders.begin() + long(i));
      return;
    }
  }
}

uint32_t action_of(uint32_t mask, uint32_t* touched) {
  *touched = 0;
  if (mask & IN_CREATE) return TW3_WATCH_ADDED;
  if (mask & IN_DELETE) return TW3_WATCH_REMOVED;
  if (mask & IN_MOVED_FROM) return TW3_WATCH_RENAMED_OLD;
  if (mask & IN_MOVED_TO) return TW3_WATCH_RENAMED_NEW;
  if (mask & (IN_MODIFY | IN_CLOSE_WRITE)) *touched |= TW3_WATCH_DATA;
  if (mask & IN_ATTRIB) *touched |= TW3_WATCH_META;
  return *touched != 0 ? TW3_WATCH_MODIFIED : 0;
}

// Turns one kernel event into at most one event of the contract.
void take(tw3_watch* w, const inotify_event& ev) {
  if (ev.mask & IN_Q_OVERFLOW) return tw3_watch_queue_push(&w->ready, TW3_WATCH_OVERFLOW, 0, false, "");
  if (ev.mask & IN_IGNORED) return forget(w, ev.wd);
  const folder* f = folder_of(w, ev.wd);
  if (f == nullptr || ev.len == 0) return;  // changes of a folder itself show in its parent
  uint32_t touched = 0;
  const uint32_t action = action_of(ev.mask, &touched);
  if (action == 0) return;
  const std::string name = f->rel.empty() ? std::string(ev.name) : f->rel + "/" + ev.name;
  tw3_watch_queue_push(&w->ready, action, touched, (ev.mask & IN_ISDIR) != 0, name);
}

// A rename half whose other half is outside the watched folders is a name
// that went away or appeared: reported as such.
struct rename_half {
  size_t at;  // index in ready
  uint32_t cookie;
};

void settle_renames(tw3_watch* w, const std::vector<rename_half>& halves) {
  for (const rename_half& h : halves) {
    if (h.at >= w->ready.size()) continue;
    bool paired = false;
    for (const rename_half& o : halves)
      paired = paired || (o.cookie == h.cookie && o.at != h.at && o.at < w->ready.size());
    tw3_watch_event& e = w->ready[h.at];
    if (!paired) e.action = e.action == TW3_WATCH_RENAMED_OLD ? TW3_WATCH_REMOVED : TW3_WATCH_ADDED;
  }
}

// Reads what the kernel queued; false when the descriptor failed.
bool drain(tw3_watch* w) {
  alignas(inotify_event) char buf[kReadBuf];
  std::vector<rename_half> halves;
  for (;;) {
    const ssize_t n = ::read(w->fd, buf, sizeof buf);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (n == 0) return true;
    // The kernel queues both halves of a rename back to back: one read
    // holds them (a pair cut apart is reported as gone and new).
    halves.clear();
    for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
      const size_t before = w->ready.size();
      take(w, *ev);
      if (w->ready.size() > before && (ev->mask & (IN_MOVED_FROM | IN_MOVED_TO)) != 0)
        halves.push_back({before, ev->cookie});
      at += ssize_t(sizeof(inotify_event) + ev->len);
    }
    settle_renames(w, halves);
  }
}

}  // namespace

tw3_watch* tw3_watch_open() {
  auto* w = new (std::nothrow) tw3_watch{};
  if (w == nullptr) return nullptr;
  w->fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (w->fd < 0) {
    delete w;
    return nullptr;
  }
  return w;
}

int tw3_watch_add(tw3_watch* w, const char* root, const char* rel) {
  if (w == nullptr || root == nullptr || rel == nullptr) return -1;
  std::string path(root);
  if (*rel != '\0') path += std::string(path.empty() || path.back() != '/' ? "/" : "") + rel;
  // The folder is opened without following any link and watched through its
  // descriptor, so a link swapped in on the way cannot redirect the watch.
  const int dfd = tw3_posix_open_nofollow(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return -1;
  char proc[64];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", dfd);
  const int wd = ::inotify_add_watch(w->fd, proc, kMask);
  ::close(dfd);
  if (wd < 0) return -1;
  if (folder_of(w, wd) == nullptr) {
    try {
      w->folders.push_back({wd, rel});
    } catch (...) {
      ::inotify_rm_watch(w->fd, wd);
      return -1;
    }
  }
  return 0;
}

int32_t tw3_watch_count(const tw3_watch* w) { return w == nullptr ? 0 : int32_t(w->folders.size()); }

int tw3_watch_read(tw3_watch* w, tw3_watch_event* out, int max, int timeout_ms) {
  if (w == nullptr || out == nullptr || max <= 0) return -1;
  try {
    if (w->ready.empty()) {
      pollfd p{w->fd, POLLIN, 0};
      const int k = ::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
      if (k < 0 && errno != EINTR) return -1;
      if (k > 0 && !drain(w)) return -1;
    }
  } catch (...) {
    tw3_watch_queue_lost(&w->ready);
  }
  return tw3_watch_queue_take(&w->ready, out, max);
}

void tw3_watch_close(tw3_watch* w) {
  if (w == nullptr) return;
  if (w->fd >= 0) ::close(w->fd);  // ends every watch of the instance
  delete w;
}
