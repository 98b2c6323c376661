// A scratch folder under /tmp for file-layer tests, removed with everything
// in it when the test ends. Shared by the platform and fs tests.
#pragma once

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

class temp_dir {
 public:
  temp_dir() {
    char tmpl[] = "/tmp/tw3fs.XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    // The canonical form, so tests can compare it with resolved paths.
    if (made != nullptr) path_ = std::filesystem::canonical(made).string();
  }
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  ~temp_dir() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string sub(const std::string& rel) const { return path_ + "/" + rel; }

  // Creates (or truncates) a file holding `content`. True on success.
  bool file(const std::string& rel, const std::string& content = "") const {
    const int fd = ::open(sub(rel).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool ok = content.empty() ||
                    ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    return ::close(fd) == 0 && ok;
  }
  bool dir(const std::string& rel) const { return ::mkdir(sub(rel).c_str(), 0755) == 0; }
  // A link at `rel` holding `target` verbatim (relative or absolute).
  bool link(const std::string& target, const std::string& rel) const {
    return ::symlink(target.c_str(), sub(rel).c_str()) == 0;
  }
  bool fifo(const std::string& rel) const { return ::mkfifo(sub(rel).c_str(), 0644) == 0; }
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

 private:
  std::string path_;
};

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
