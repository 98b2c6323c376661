// A scratch folder for file-layer tests (under /tmp, or %TEMP% on Windows),
// removed with everything in it when the test ends. Shared by the platform,
// fs and engine tests. Paths are in the host's form: sub("a/b") joins with
// the host's separator.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

#include "platform/platform.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>
#endif

// Why link tests are skipped in the Windows build: they run under wine,
// which presents file symbolic links as plain files and leaves dangling
// links out of listings. The reparse-point rules are covered by tests of
// the decision functions on Windows-form paths, on both hosts.
#define TW3_SKIP_LINKS_ON_WINDOWS()                                                        \
  do {                                                                                     \
    if (tw3_fs_windows_names() != 0)                                                       \
      GTEST_SKIP() << "wine shows file links as plain files and drops dangling ones";      \
  } while (0)

class temp_dir {
 public:
  temp_dir() {
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) return;
    std::random_device rd;
    for (int attempt = 0; attempt < 16; ++attempt) {
      const std::filesystem::path p = base / ("tw3fs." + std::to_string(rd()));
      if (!std::filesystem::create_directory(p, ec) || ec) continue;
      // The canonical form, so tests can compare it with resolved paths.
      const std::u8string made = p.u8string();
      char out[4096];
      if (tw3_fs_realpath(reinterpret_cast<const char*>(made.c_str()), out, sizeof out) == 0) path_ = out;
      return;
    }
  }
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  ~temp_dir() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(fs_path(path_), ec);
  }

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string sub(const std::string& rel) const {
    std::string r = rel;
    std::replace(r.begin(), r.end(), '/', tw3_fs_sep());
    return path_ + tw3_fs_sep() + r;
  }

  // Creates (or truncates) a file holding `content`. True on success.
  bool file(const std::string& rel, const std::string& content = "") const {
    std::ofstream f(fs_path(sub(rel)), std::ios::binary | std::ios::trunc);
    if (!f) return false;
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
    f.close();
    return !f.fail();
  }
  bool dir(const std::string& rel) const {
    std::error_code ec;
    return std::filesystem::create_directory(fs_path(sub(rel)), ec) && !ec;
  }
  // A link at `rel` holding `target` verbatim (relative or absolute).
  bool link(const std::string& target, const std::string& rel) const {
#if defined(_WIN32)
    (void)target, (void)rel;
    return false;
#else
    return ::symlink(target.c_str(), sub(rel).c_str()) == 0;
#endif
  }
  bool fifo(const std::string& rel) const {
#if defined(_WIN32)
    (void)rel;
    return false;
#else
    return ::mkfifo(sub(rel).c_str(), 0644) == 0;
#endif
  }

  // A UTF-8 host path as std::filesystem takes it.
  static std::filesystem::path fs_path(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
  }
#if !defined(_WIN32)
  // A character device node like /dev/null (1, 3); false where the host
  // does not let this process make device nodes.
  bool chardev(const std::string& rel) const {
    return ::mknod(sub(rel).c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0;
  }
  // A bound Unix-domain socket at rel (the socket itself is closed again).
  bool socket(const std::string& rel) const {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::string p = sub(rel);
    if (p.size() >= sizeof a.sun_path) return false;
    std::memcpy(a.sun_path, p.c_str(), p.size() + 1);
    const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    const bool ok = ::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
  }
  // Moves whatever is at rel aside to rel + ".old" (so what it was stays
  // intact), then puts what make(rel) makes in its place.
  template <typename Make>
  bool swap(const std::string& rel, Make make) const {
    std::error_code ec;
    std::filesystem::remove_all(sub(rel + ".old"), ec);
    std::filesystem::rename(sub(rel), sub(rel + ".old"), ec);
    return !ec && make(rel);
  }
#endif

 private:
  std::string path_;
};

#if !defined(_WIN32)
// Tells whether anything opened one host object: inotify reports every real
// open (of a FIFO or a device node too) but not a bare O_PATH descriptor,
// which opens nothing.
class open_watch {
 public:
  explicit open_watch(const std::string& path) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ >= 0 && ::inotify_add_watch(fd_, path.c_str(), IN_OPEN) < 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  open_watch(const open_watch&) = delete;
  open_watch& operator=(const open_watch&) = delete;
  ~open_watch() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  // True when an open happened since the watch began.
  bool opened() const {
    alignas(inotify_event) char buf[4096];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    return n > 0;
  }

 private:
  int fd_;
};
#endif
