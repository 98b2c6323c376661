// Folder change notifications on Windows: one ReadDirectoryChangesW on the
// root folder's handle, kept outstanding with overlapped I/O into a fixed
// buffer. It watches the root alone until a folder below it is added; then
// it is reissued for the whole subtree, and names from folders that were not
// added are dropped, so the caller sees exactly the folders it asked for.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/watch_queue.h"
#include "platform/win32.h"

namespace {

constexpr DWORD kFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                          FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                          FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_CREATION |
                          FILE_NOTIFY_CHANGE_SECURITY;
// What the system gathers between two reads; when more changes come, it
// reports that it lost them (one overflow event).
constexpr DWORD kBufBytes = 64 * 1024;
constexpr size_t kRecordHead = offsetof(FILE_NOTIFY_INFORMATION, FileName);

}  // namespace

struct tw3_watch {
  HANDLE dir = nullptr;  // the root folder, opened for overlapped reads
  HANDLE event = nullptr;
  OVERLAPPED ov{};
  bool pending = false;  // a read of changes is outstanding
  bool subtree = false;
  std::string root;                  // host path of the root folder
  std::vector<std::string> folders;  // added folders, relative ('/'), "" = root
  std::vector<DWORD> buf;            // DWORD-aligned, as the records need
  tw3_watch_queue ready;
};

namespace {

bool watched(const tw3_watch* w, const std::string& rel) {
  return std::find(w->folders.begin(), w->folders.end(), rel) != w->folders.end();
}

// A folder gone (or moved away) takes every folder below it along.
void forget_below(tw3_watch* w, const std::string& rel) {
  std::erase_if(w->folders, [&rel](const std::string& f) {
    return !rel.empty() && (f == rel || (f.size() > rel.size() && f.compare(0, rel.size(), rel) == 0 &&
                                         f[rel.size()] == '/'));
  });
}

std::string host_path_of(const tw3_watch* w, const std::string& rel) {
  std::string p = w->root;
  if (rel.empty()) return p;
  if (p.back() != '\\') p += '\\';
  std::string r = rel;
  std::replace(r.begin(), r.end(), '/', '\\');
  return p + r;
}

uint32_t action_of(DWORD a) {
  switch (a) {
    case FILE_ACTION_ADDED: return TW3_WATCH_ADDED;
    case FILE_ACTION_REMOVED: return TW3_WATCH_REMOVED;
    case FILE_ACTION_MODIFIED: return TW3_WATCH_MODIFIED;
    case FILE_ACTION_RENAMED_OLD_NAME: return TW3_WATCH_RENAMED_OLD;
    case FILE_ACTION_RENAMED_NEW_NAME: return TW3_WATCH_RENAMED_NEW;
    default: return 0;
  }
}

// Whether a name that is there now is a folder (a link to one is not). Its
// attributes alone say so: a flood of changes asks this once per record, and
// opening each name (as tw3_fs_lstat does) made every watcher of a busy
// folder answer tens of seconds late under wine.
bool is_folder_now(const tw3_watch* w, const std::string& rel) {
  std::wstring path;
  if (!tw3w::host_path(host_path_of(w, rel).c_str(), &path)) return false;
  const DWORD attrs = GetFileAttributesW(path.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attrs & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Turns the records of one completed read into events. A rename half whose
// other half lies outside the added folders is a name gone or new.
void take(tw3_watch* w, DWORD bytes) {
  const auto* base = reinterpret_cast<const unsigned char*>(w->buf.data());
  bool old_kept = false, old_seen = false;
  size_t old_at = 0;
  for (size_t at = 0; at + kRecordHead <= bytes;) {
    const auto* rec = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(base + at);
    const size_t len = rec->FileNameLength / sizeof(wchar_t);
    std::string name;
    const bool in_buf = at + kRecordHead + rec->FileNameLength <= bytes;
    if (in_buf && tw3w::to_utf8({rec->FileName, len}, &name)) {
      std::replace(name.begin(), name.end(), '\\', '/');
      const size_t slash = name.rfind('/');
      const bool keep = watched(w, slash == std::string::npos ? std::string() : name.substr(0, slash));
      uint32_t action = action_of(rec->Action);
      const bool paired = old_seen && action == TW3_WATCH_RENAMED_NEW;
      if (old_kept && (!paired || !keep)) w->ready[old_at].action = TW3_WATCH_REMOVED;
      if (action == TW3_WATCH_RENAMED_NEW && !(paired && old_kept)) action = TW3_WATCH_ADDED;
      old_seen = action == TW3_WATCH_RENAMED_OLD;
      old_kept = false;
      if (keep && action != 0) {
        const bool gone = action == TW3_WATCH_REMOVED || action == TW3_WATCH_RENAMED_OLD;
        const bool is_dir = gone ? watched(w, name) : is_folder_now(w, name);
        if (gone) forget_below(w, name);
        old_at = w->ready.size();
        // The system does not say what a modification touched.
        const uint32_t touched = action == TW3_WATCH_MODIFIED ? TW3_WATCH_DATA | TW3_WATCH_META : 0;
        tw3_watch_queue_push(&w->ready, action, touched, is_dir, name);
        old_kept = old_seen && old_at < w->ready.size() && w->ready[old_at].action == TW3_WATCH_RENAMED_OLD;
      }
    }
    if (rec->NextEntryOffset == 0) break;
    at += rec->NextEntryOffset;
  }
  if (old_kept) w->ready[old_at].action = TW3_WATCH_REMOVED;
}

bool arm(tw3_watch* w) {
  ResetEvent(w->event);
  w->ov = OVERLAPPED{};
  w->ov.hEvent = w->event;
  w->pending = ReadDirectoryChangesW(w->dir, w->buf.data(), kBufBytes, w->subtree ? TRUE : FALSE, kFilter,
                                     nullptr, &w->ov, nullptr) != 0;
  return w->pending;
}

// Collects the outstanding read when it has completed (waiting for it when
// `wait`). False when the watch failed.
bool collect(tw3_watch* w, bool wait) {
  if (!w->pending) return true;
  DWORD bytes = 0;
  if (GetOverlappedResult(w->dir, &w->ov, &bytes, wait ? TRUE : FALSE)) {
    w->pending = false;
    if (bytes == 0) {
      // More changes than the buffer held.
      tw3_watch_queue_push(&w->ready, TW3_WATCH_OVERFLOW, 0, false, "");
    } else {
      take(w, bytes);
    }
    return true;
  }
  const DWORD err = GetLastError();
  if (err == ERROR_IO_INCOMPLETE) return true;
  w->pending = false;
  if (err == ERROR_NOTIFY_ENUM_DIR) {
    tw3_watch_queue_push(&w->ready, TW3_WATCH_OVERFLOW, 0, false, "");
    return true;
  }
  if (err == ERROR_OPERATION_ABORTED) return true;
  // The root itself went away: nothing is watched any more.
  tw3_stat st{};
  if (tw3_fs_lstat(w->root.c_str(), &st) != 0) {
    w->folders.clear();
    return true;
  }
  return false;
}

// Ends the outstanding read, keeping what it gathered.
void stop_read(tw3_watch* w) {
  if (!w->pending) return;
  CancelIoEx(w->dir, &w->ov);
  (void)collect(w, true);
  w->pending = false;
}

HANDLE open_root(const std::string& path) {
  return tw3w::open_folder_nofollow(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                    FILE_FLAG_OVERLAPPED);
}

// The system keeps the filter and the subtree choice of a handle's first
// read for the handle's life, so watching the subtree takes a new handle.
// It is opened before the old read ends, and armed right after, so the
// changes in between are the few of that moment.
bool watch_subtree(tw3_watch* w) {
  HANDLE fresh = open_root(w->root);
  if (fresh == nullptr) return false;
  stop_read(w);
  CloseHandle(w->dir);
  w->dir = fresh;
  w->subtree = true;
  return arm(w);
}

}  // namespace

tw3_watch* tw3_watch_open() {
  auto* w = new (std::nothrow) tw3_watch{};
  if (w == nullptr) return nullptr;
  try {
    w->buf.resize(kBufBytes / sizeof(DWORD));
  } catch (...) {
    delete w;
    return nullptr;
  }
  w->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (w->event == nullptr) {
    delete w;
    return nullptr;
  }
  return w;
}

int tw3_watch_add(tw3_watch* w, const char* root, const char* rel) {
  if (w == nullptr || root == nullptr || rel == nullptr || root[0] == '\0') return -1;
  const std::string r(rel);
  if (r.find('\\') != std::string::npos) return -1;
  try {
    if (w->dir == nullptr) {
      w->root = root;
      w->dir = open_root(w->root);
      if (w->dir == nullptr) return -1;
    }
    if (!r.empty()) {
      // Checked the same way as the root: a folder reached without a link.
      HANDLE h = tw3w::open_folder_nofollow(host_path_of(w, r).c_str(), FILE_READ_ATTRIBUTES, 0);
      if (h == nullptr) return -1;
      CloseHandle(h);
    }
    if (watched(w, r)) return 0;
    w->folders.push_back(r);
    const bool armed = !r.empty() && !w->subtree ? watch_subtree(w) : (w->pending || arm(w));
    if (!armed) {
      w->folders.pop_back();
      return -1;
    }
  } catch (...) {
    return -1;
  }
  return 0;
}

int32_t tw3_watch_count(const tw3_watch* w) { return w == nullptr ? 0 : int32_t(w->folders.size()); }

int tw3_watch_read(tw3_watch* w, tw3_watch_event* out, int max, int timeout_ms) {
  if (w == nullptr || out == nullptr || max <= 0) return -1;
  try {
    if (w->ready.empty() && w->pending) {
      const DWORD waited = WaitForSingleObject(w->event, timeout_ms < 0 ? 0 : DWORD(timeout_ms));
      if (waited == WAIT_FAILED) return -1;
      if (waited == WAIT_OBJECT_0) {
        if (!collect(w, false)) return -1;
        if (!w->pending && !w->folders.empty() && !arm(w)) return -1;
      }
    }
  } catch (...) {
    tw3_watch_queue_lost(&w->ready);
  }
  return tw3_watch_queue_take(&w->ready, out, max);
}

void tw3_watch_close(tw3_watch* w) {
  if (w == nullptr) return;
  if (w->dir != nullptr) {
    stop_read(w);  // the buffer must outlive the read that fills it
    CloseHandle(w->dir);
  }
  if (w->event != nullptr) CloseHandle(w->event);
  delete w;
}
