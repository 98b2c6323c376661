// Read-only file access on POSIX hosts: status, canonical paths, directory
// enumeration and positioned reads of regular files. Nothing here creates,
// writes, moves or deletes anything, and no operation records error text.
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "platform/paths.h"
#include "platform/platform.h"
#include "platform/posix_internal.h"

namespace {

constexpr char kSep = '/';
// "/proc/self/fd/" and the decimal digits of any descriptor, with the zero.
constexpr size_t kProcFdPathSize = 40;

bool utf8_valid(std::string_view s) { return tw3_utf8_valid(s.data(), s.size()); }

bool path_ok(const char* path) { return path != nullptr && utf8_valid(path); }

// Owns one descriptor; closes it on every path out.
class unique_fd {
 public:
  explicit unique_fd(int fd = -1) : fd_(fd) {}
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

int32_t kind_of(mode_t mode) {
  if (S_ISREG(mode)) return TW3_KIND_FILE;
  if (S_ISDIR(mode)) return TW3_KIND_DIR;
  if (S_ISLNK(mode)) return TW3_KIND_LINK;
  return TW3_KIND_OTHER;
}

// A directory entry's type as the file system reports it with the name;
// some file systems say nothing (DT_UNKNOWN).
int32_t kind_of_dtype(unsigned char type) {
  switch (type) {
    case DT_REG: return TW3_KIND_FILE;
    case DT_DIR: return TW3_KIND_DIR;
    case DT_LNK: return TW3_KIND_LINK;
    case DT_UNKNOWN: return -1;
    default: return TW3_KIND_OTHER;
  }
}

constexpr int64_t kNsPerSecond = 1000000000;

// A folder's byte count is how much the file system spends on its entries,
// not content a client could read: 0, as Windows reports it, so both hosts
// answer alike.
uint64_t size_of(int32_t kind, uint64_t bytes) { return kind == TW3_KIND_DIR ? 0 : bytes; }

void fill_from_statx(const struct statx& sx, tw3_stat* out) {
  *out = tw3_stat{};
  out->kind = kind_of(sx.stx_mode);
  out->size = size_of(out->kind, sx.stx_size);
  out->mtime = sx.stx_mtime.tv_sec;
  out->atime = sx.stx_atime.tv_sec;
  // Not every file system records a birth time; the earlier of the change
  // times is the best stand-in that never lies in the future of either.
  out->btime = (sx.stx_mask & STATX_BTIME) != 0
                   ? sx.stx_btime.tv_sec
                   : std::min<int64_t>(sx.stx_mtime.tv_sec, sx.stx_ctime.tv_sec);
  out->volume_serial = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  out->file_index = sx.stx_ino;
  out->change_ns = sx.stx_ctime.tv_sec * kNsPerSecond + sx.stx_ctime.tv_nsec;
}

void fill_from_stat(const struct stat& sb, tw3_stat* out) {
  *out = tw3_stat{};
  out->kind = kind_of(sb.st_mode);
  out->size = size_of(out->kind, static_cast<uint64_t>(sb.st_size));
  out->mtime = sb.st_mtim.tv_sec;
  out->atime = sb.st_atim.tv_sec;
  out->btime = std::min<int64_t>(sb.st_mtim.tv_sec, sb.st_ctim.tv_sec);
  out->volume_serial = sb.st_dev;
  out->file_index = sb.st_ino;
  out->change_ns = sb.st_ctim.tv_sec * kNsPerSecond + sb.st_ctim.tv_nsec;
}

// Status of dirfd/path with fstatat-style flags, via statx (for the birth
// time) and falling back to fstatat where statx is unavailable.
int stat_at(int dirfd, const char* path, int flags, tw3_stat* out) {
  struct statx sx {};
  if (::statx(dirfd, path, flags, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
    fill_from_statx(sx, out);
    return 0;
  }
  if (errno != ENOSYS) return -1;
  struct stat sb {};
  if (::fstatat(dirfd, path, &sb, flags) != 0) return -1;
  fill_from_stat(sb, out);
  return 0;
}

int stat_path(const char* path, tw3_stat* out, bool follow) {
  if (!path_ok(path) || out == nullptr) return -1;
  tw3_stat tmp{};
  if (stat_at(AT_FDCWD, path, follow ? 0 : AT_SYMLINK_NOFOLLOW, &tmp) != 0) return -1;
  *out = tmp;
  return 0;
}

// Without openat2: walk the path one component at a time, refusing a link
// at every step, so the result matches RESOLVE_NO_SYMLINKS.
int open_walk_nofollow(const char* path, int flags) {
  std::string_view rest(path);
  unique_fd dir(-1);
  int base = AT_FDCWD;
  if (!rest.empty() && rest.front() == kSep) {
    dir.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return -1;
    base = dir.get();
    while (!rest.empty() && rest.front() == kSep) rest.remove_prefix(1);
  }
  if (rest.empty()) return ::openat(base, ".", flags | O_NOFOLLOW);
  char comp[TW3_ENTRY_NAME_MAX + 2];
  for (;;) {
    const size_t cut = rest.find(kSep);
    const std::string_view name = rest.substr(0, cut);
    rest = cut == std::string_view::npos ? std::string_view{} : rest.substr(cut + 1);
    while (!rest.empty() && rest.front() == kSep) rest.remove_prefix(1);
    if (name.size() >= sizeof comp) {
      errno = ENAMETOOLONG;
      return -1;
    }
    std::memcpy(comp, name.data(), name.size());
    comp[name.size()] = '\0';
    if (rest.empty()) return ::openat(base, comp, flags | O_NOFOLLOW);
    const int next = ::openat(base, comp, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return -1;
    dir.reset(next);
    base = dir.get();
  }
}

// Opens `path` without following a symbolic link anywhere on it: the paths
// given here are canonical, so a link found on one now was put there after
// it was resolved and must not lead outside the share.
int open_nofollow(const char* path, int flags) {
  open_how how{};
  how.flags = static_cast<uint64_t>(flags | O_NOFOLLOW);
  how.resolve = RESOLVE_NO_SYMLINKS;
  if (g_fs_no_openat2 == 0) {
    long fd;
    do {
      fd = ::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) return static_cast<int>(fd);
    // Old kernels lack openat2; some sandboxes refuse unknown calls with EPERM.
    if (errno != ENOSYS && errno != EPERM) return -1;
  }
  int r;
  do {
    r = open_walk_nofollow(path, flags);
  } while (r < 0 && errno == EINTR);
  return r;
}

void step(tw3_fs_step s, const char* name) {
  if (g_fs_step_hook != nullptr) g_fs_step_hook(s, name);
}

// Opens the object at `path` with `flags` only when it is of kind `want`.
// The name is first pinned to its object by a bare O_PATH descriptor, which
// runs no open routine of a device and does not touch a FIFO; the kind is
// read from that descriptor; only then is that same object opened for real,
// through the descriptor (/proc/self/fd/N), so no swap of the name can come
// between the check and the open. Links are refused anywhere on the path.
// The descriptor, or -1.
int open_checked(const char* path, int32_t want, int flags, tw3_stat* st) {
  step(TW3_FS_STEP_LOOKUP, path);
  unique_fd pin(open_nofollow(path, O_PATH | O_CLOEXEC));
  if (pin.get() < 0) return -1;
  step(TW3_FS_STEP_PINNED, path);
  tw3_stat seen{};
  if (stat_at(pin.get(), "", AT_EMPTY_PATH, &seen) != 0 || seen.kind != want) return -1;
  char self[kProcFdPathSize];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", pin.get());
  int got;
  do {
    got = ::open(self, flags | O_CLOEXEC);
  } while (got < 0 && errno == EINTR);
  // Without /proc nothing can be reopened safely, so nothing is opened.
  unique_fd fd(got);
  if (fd.get() < 0) return -1;
  // Where /proc is not what it should be, the reopened object could differ.
  tw3_stat now{};
  if (stat_at(fd.get(), "", AT_EMPTY_PATH, &now) != 0 || now.kind != want ||
      now.file_index != seen.file_index || now.volume_serial != seen.volume_serial)
    return -1;
  if (st != nullptr) *st = now;
  return fd.release();
}

}  // namespace

int tw3_posix_open_nofollow(const char* path, int flags) {
  return path_ok(path) ? open_nofollow(path, flags) : -1;
}

int g_fs_no_openat2 = 0;
void (*g_fs_step_hook)(tw3_fs_step, const char*) = nullptr;

struct tw3_dir {
  DIR* handle;
  int32_t kind;  // of the last name, from d_type; -1 unknown
  char name[TW3_ENTRY_NAME_MAX + 1];
};

struct tw3_file {
  int fd;
};

char tw3_fs_sep() { return kSep; }

int tw3_fs_windows_names() { return 0; }

int tw3_fs_stat(const char* path, tw3_stat* out) { return stat_path(path, out, true); }

int tw3_fs_lstat(const char* path, tw3_stat* out) { return stat_path(path, out, false); }

int tw3_fs_realpath(const char* path, char* out, int32_t out_size) {
  if (!path_ok(path) || out == nullptr || out_size <= 0) return -1;
  std::unique_ptr<char, decltype(&std::free)> full(::realpath(path, nullptr), &std::free);
  if (!full) return -1;
  const size_t len = std::strlen(full.get());
  // A link may lead to a name that is not UTF-8; nothing else could use it.
  if (len >= static_cast<size_t>(out_size) || !utf8_valid({full.get(), len})) return -1;
  std::memcpy(out, full.get(), len + 1);
  return 0;
}

namespace {

tw3_dir* dir_from(DIR* handle) {
  if (handle == nullptr) return nullptr;
  auto* d = new (std::nothrow) tw3_dir{};
  if (d == nullptr) {
    ::closedir(handle);
    return nullptr;
  }
  d->handle = handle;
  return d;
}

}  // namespace

tw3_dir* tw3_fs_opendir(const char* path) {
  if (!path_ok(path)) return nullptr;
  return dir_from(::opendir(path));
}

tw3_dir* tw3_fs_opendir_nofollow(const char* path) {
  if (!path_ok(path)) return nullptr;
  unique_fd fd(open_checked(path, TW3_KIND_DIR, O_RDONLY | O_DIRECTORY, nullptr));
  if (fd.get() < 0) return nullptr;
  DIR* handle = ::fdopendir(fd.get());
  if (handle == nullptr) return nullptr;
  fd.release();  // now owned by the DIR stream
  return dir_from(handle);
}

const char* tw3_fs_readdir(tw3_dir* d) {
  if (d == nullptr || d->handle == nullptr) return nullptr;
  for (;;) {
    const dirent* e = ::readdir(d->handle);
    if (e == nullptr) return nullptr;
    const std::string_view name(e->d_name);
    if (name == "." || name == "..") continue;
    // A name no client could be sent is left out rather than ending the walk.
    if (name.size() > TW3_ENTRY_NAME_MAX || !utf8_valid(name)) continue;
    std::memcpy(d->name, name.data(), name.size());
    d->name[name.size()] = '\0';
    d->kind = kind_of_dtype(e->d_type);
    return d->name;
  }
}

int32_t tw3_fs_readdir_kind(const tw3_dir* d) { return d != nullptr ? d->kind : -1; }

int tw3_fs_entry_lstat(tw3_dir* d, const char* name, tw3_stat* out) {
  if (d == nullptr || d->handle == nullptr || out == nullptr || !path_ok(name)) return -1;
  const std::string_view n(name);
  // One component of this directory, never a path leading elsewhere.
  if (n.empty() || n == "." || n == ".." || n.find(kSep) != std::string_view::npos) return -1;
  step(TW3_FS_STEP_ENTRY, name);
  tw3_stat tmp{};
  if (stat_at(::dirfd(d->handle), name, AT_SYMLINK_NOFOLLOW, &tmp) != 0) return -1;
  *out = tmp;
  return 0;
}

void tw3_fs_closedir(tw3_dir* d) {
  if (d == nullptr) return;
  if (d->handle != nullptr) ::closedir(d->handle);
  delete d;
}

tw3_file* tw3_fs_open_ro(const char* path, tw3_stat* st) {
  if (!path_ok(path)) return nullptr;
  // O_NONBLOCK: a regular file never blocks; it is there in case a kernel
  // ever hands back something else for the same object.
  unique_fd fd(open_checked(path, TW3_KIND_FILE, O_RDONLY | O_NONBLOCK, st));
  if (fd.get() < 0) return nullptr;
  auto* f = new (std::nothrow) tw3_file{fd.get()};
  if (f == nullptr) return nullptr;
  fd.release();
  return f;
}

int64_t tw3_fs_pread(tw3_file* f, uint64_t offset, void* dst, uint32_t count) {
  if (f == nullptr || (dst == nullptr && count > 0)) return -1;
  // No file reaches past the largest file offset, so such a read is at its end.
  if (offset > static_cast<uint64_t>(INT64_MAX)) return 0;
  ssize_t got;
  do {
    got = ::pread(f->fd, dst, count, static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  return got < 0 ? -1 : static_cast<int64_t>(got);
}

void tw3_fs_close(tw3_file* f) {
  if (f == nullptr) return;
  ::close(f->fd);
  delete f;
}

namespace {

// blocks * unit in bytes, saturating instead of wrapping on absurd figures.
uint64_t bytes_of(uint64_t blocks, uint64_t unit) {
  uint64_t out = 0;
  return __builtin_mul_overflow(blocks, unit, &out) ? UINT64_MAX : out;
}

}  // namespace

int tw3_fs_space(const char* path, tw3_space* out) {
  if (!path_ok(path) || out == nullptr) return -1;
  unique_fd fd(open_nofollow(path, O_PATH | O_CLOEXEC));
  if (fd.get() < 0) return -1;
  // O_PATH with O_NOFOLLOW opens a final link itself instead of failing.
  tw3_stat st{};
  if (stat_at(fd.get(), "", AT_EMPTY_PATH, &st) != 0 || st.kind == TW3_KIND_LINK) return -1;
  struct statvfs sv {};
  int r;
  do {
    r = ::fstatvfs(fd.get(), &sv);
  } while (r != 0 && errno == EINTR);
  if (r != 0) return -1;
  // f_frsize is the unit the block counts are in; old systems leave it 0.
  const uint64_t unit = sv.f_frsize != 0 ? sv.f_frsize : sv.f_bsize;
  if (unit == 0 || unit > UINT32_MAX) return -1;
  *out = tw3_space{};
  out->total = bytes_of(sv.f_blocks, unit);
  out->avail = bytes_of(sv.f_bavail, unit);
  out->free = bytes_of(sv.f_bfree, unit);
  out->unit = static_cast<uint32_t>(unit);
  return 0;
}
