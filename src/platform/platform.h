// The host contract: every operation the rest of the system needs from the
// operating system, with the result each caller relies on. Only files under
// src/platform/ include operating-system headers; *_posix.cpp implement this
// contract today, *_win32.cpp may sit beside them later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

// ======================= Files (file_posix.cpp) ===========================
// Paths are UTF-8 byte strings; a path that is not valid UTF-8 fails in every
// operation. Times are whole Unix seconds. No operation records error text.

// Status of one host object; every field is cleared before it is filled.
struct tw3_stat {
  int32_t kind;            // 0 regular file, 1 directory, 2 link (lstat only), 3 other
  uint64_t size;
  int64_t mtime;
  int64_t atime;
  int64_t btime;           // birth time where recorded, else min(mtime, ctime)
  uint64_t volume_serial;  // device number
  uint64_t file_index;     // inode number
};

struct tw3_dir;   // a directory enumeration in progress
struct tw3_file;  // an open regular file

constexpr int32_t TW3_KIND_FILE = 0;
constexpr int32_t TW3_KIND_DIR = 1;
constexpr int32_t TW3_KIND_LINK = 2;
constexpr int32_t TW3_KIND_OTHER = 3;

// Follows links. 0 or -1.
int tw3_fs_stat(const char* path, tw3_stat* out);
// Does not follow a final symbolic link: it is reported as kind 2. 0 or -1.
int tw3_fs_lstat(const char* path, tw3_stat* out);
// Canonical path (every link resolved, no "." or "..", no trailing separator
// except for "/") into out. Fails, leaving out untouched, when the result's
// length is >= out_size. 0 or -1.
int tw3_fs_realpath(const char* path, char* out, int32_t out_size);
// The separator of every path tw3_fs_realpath produces.
char tw3_fs_sep();
// A new enumeration, or null. Never yields "." or "..", nor a name that is
// not valid UTF-8 or longer than 1023 bytes.
tw3_dir* tw3_fs_opendir(const char* path);
// Opens a directory for enumeration without following any symbolic link on
// the path (the path is canonical, so a link there was put in afterwards).
tw3_dir* tw3_fs_opendir_nofollow(const char* path);
// The next name (valid until the next call), or null at the end.
const char* tw3_fs_readdir(tw3_dir* d);
void tw3_fs_closedir(tw3_dir* d);
// Opens a regular file read-only, never blocking on a FIFO and never
// following a symbolic link anywhere on the (canonical) path. Fills *st when
// given. A new file, or null (also for anything but a regular file).
tw3_file* tw3_fs_open_ro(const char* path, tw3_stat* st);
// Positioned read: bytes read, 0 at or beyond end of file, -1 on error.
int64_t tw3_fs_pread(tw3_file* f, uint64_t offset, void* dst, uint32_t count);
void tw3_fs_close(tw3_file* f);

// ============ Threads, locks, once, sleep (thread_posix.cpp) ==============
// The standard library's mutex is the host's plain exclusive lock (a slim
// lock on Windows, a pthread mutex here); it needs no initialisation, so a
// process-wide lock can be a plain global. Hold it only for short copies.
using tw3_mutex = std::mutex;
using tw3_lock_guard = std::lock_guard<std::mutex>;

struct tw3_thread;  // a joinable thread
// Starts fn(arg) on a new thread with the given stack size (0: default).
// Returns the thread, or null when it could not be started.
tw3_thread* tw3_thread_start(void (*fn)(void*), void* arg, size_t stack_size);
// Waits for the thread to end and releases it.
void tw3_thread_join(tw3_thread* t);
void tw3_sleep_ms(uint32_t ms);

// ========================= Clock (clock_posix.cpp) ========================
// Monotonic millisecond tick.
uint64_t tw3_now_ms();
// Real-time clock, whole seconds since 1970-01-01 UTC.
int64_t tw3_unix_now();
// Fills buf with n bytes from the operating system's random source. 0 or -1.
int tw3_os_random(void* buf, size_t n);
// Environment variable, or null.
const char* tw3_getenv(const char* name);

// ===================== Sockets (net_posix.cpp) ============================
// Declared by the network layer's port below this line.
