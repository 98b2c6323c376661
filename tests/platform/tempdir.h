// A scratch folder under /tmp for file-layer tests, removed with everything
// in it when the test ends. Shared by the platform and fs tests.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
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

 private:
  std::string path_;
};
