// The host contract: every operation the rest of the system needs from the
// operating system, with the result each caller relies on. Only files under
// src/platform/ include operating-system headers; *_posix.cpp implement this
// contract on Linux, *_win32.cpp on Windows (CMake builds one of each pair).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "util/util.h"  // tw3_ip, the form addresses cross this boundary in

// ======================= Files (file_posix.cpp) ===========================
// Paths are UTF-8 byte strings; a path that is not valid UTF-8 fails in every
// operation. Times are whole Unix seconds. No operation records error text.

// Status of one host object; every field is cleared before it is filled.
struct tw3_stat {
  int32_t kind;            // 0 regular file, 1 directory, 2 link (lstat only), 3 other
  uint64_t size;            // bytes; 0 for a directory
  int64_t mtime;
  int64_t atime;
  int64_t btime;           // birth time where recorded, else min(mtime, ctime)
  uint64_t volume_serial;  // device number
  uint64_t file_index;     // inode number
  int64_t change_ns;       // status change time in nanoseconds: moves with every write
};

struct tw3_dir;   // a directory enumeration in progress
struct tw3_file;  // an open regular file

// Longest entry name a directory enumeration hands out, in UTF-8 bytes
// (longer ones are skipped); buffers hold one more.
constexpr size_t TW3_ENTRY_NAME_MAX = 1023;

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
// 1 where the host's names follow the Windows rules (case-insensitive,
// reserved device names, ':' streams, trailing dots and spaces dropped), so
// the share layer applies them; 0 here.
int tw3_fs_windows_names();
// A new enumeration, or null. Never yields "." or "..", nor a name that is
// not valid UTF-8 or longer than 1023 bytes. Follows links (share
// registration wants that); anything but a directory is refused before it
// is opened (O_DIRECTORY).
tw3_dir* tw3_fs_opendir(const char* path);
// Opening never opens anything but a regular file (or, for enumeration, a
// directory): opening some devices has effects (a watchdog arms, a tape
// rewinds, a serial line raises its control lines), and a FIFO or device can
// be put in place of a checked name at any moment. So an open first pins the
// final name to its object without opening it, reads the kind from that
// pinned object, and only for the wanted kind opens that same object, never
// the name again. POSIX: an O_PATH | O_NOFOLLOW descriptor, fstat, then
// open("/proc/self/fd/N") (without /proc mounted every open fails). Windows: CreateFileW with no access and
// FILE_FLAG_OPEN_REPARSE_POINT (plus backup semantics for folders),
// GetFileType and the attributes, then ReOpenFile for reading.

// Opens a directory for enumeration without following any symbolic link on
// the path (the path is canonical, so a link there was put in afterwards).
// Null for anything but a directory.
tw3_dir* tw3_fs_opendir_nofollow(const char* path);
// The next name (valid until the next call), or null at the end.
const char* tw3_fs_readdir(tw3_dir* d);
// The kind of the name tw3_fs_readdir last gave, as the enumeration itself
// reports it without a status call (TW3_KIND_*: a link is kind 2), or -1
// when it does not say. A hint only: the entry may change before its status
// is taken. Windows: -1.
int32_t tw3_fs_readdir_kind(const tw3_dir* d);
// Status of one entry name of the directory d enumerates, looked up in that
// very directory (its open handle, not its path, so a folder on the way
// swapped for a link since does not change the answer). A link is reported
// as kind 2, not followed. name must be one component. 0 or -1. Windows:
// the enumeration's own record of the entry, or an open relative to the
// directory handle (NtCreateFile's RootDirectory).
int tw3_fs_entry_lstat(tw3_dir* d, const char* name, tw3_stat* out);
void tw3_fs_closedir(tw3_dir* d);
// Opens a regular file read-only, never blocking and never following a
// symbolic link anywhere on the (canonical) path; anything but a regular
// file is never opened. Fills *st (from the opened object) when given. A new
// file, or null.
tw3_file* tw3_fs_open_ro(const char* path, tw3_stat* st);
// Positioned read: bytes read, 0 at or beyond end of file, -1 on error.
int64_t tw3_fs_pread(tw3_file* f, uint64_t offset, void* dst, uint32_t count);
void tw3_fs_close(tw3_file* f);
// Space of the file system holding an object, in bytes, with its
// allocation unit (the block size every file's space is counted in).
struct tw3_space {
  uint64_t total;        // bytes of the whole file system
  uint64_t avail;        // bytes the calling user may still fill
  uint64_t free;         // bytes free, including any reserve for the superuser
  uint32_t unit;         // allocation unit in bytes, never 0
};
// The file system holding `path` (a file or a directory; a link anywhere on
// the path is refused, as by tw3_fs_open_ro). statvfs here; a Windows twin
// takes GetDiskFreeSpaceExW (caller-available, total, total free bytes) and
// the cluster size from GetDiskFreeSpaceW of the volume. 0 or -1.
int tw3_fs_space(const char* path, tw3_space* out);
// Test hook: when set, opens that refuse links walk the path one component
// at a time, as on kernels without openat2.
extern int g_fs_no_openat2;
// Test hook, null in production: called with the path just before an open
// looks it up (LOOKUP) and after the open has pinned it to its object but
// before it checks or opens that object (PINNED); and with the entry name
// just before an entry's status is taken (ENTRY). Lets a test swap a name
// inside those windows.
enum tw3_fs_step : int { TW3_FS_STEP_LOOKUP, TW3_FS_STEP_PINNED, TW3_FS_STEP_ENTRY };
extern void (*g_fs_step_hook)(tw3_fs_step step, const char* name);

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
// Waits for the thread to end and releases it, its stack included (the
// memory of ended threads goes back to the host at the join, not to a cache).
void tw3_thread_join(tw3_thread* t);
void tw3_sleep_ms(uint32_t ms);

// ========================= Clock (clock_posix.cpp) ========================
// Monotonic millisecond tick.
uint64_t tw3_now_ms();
// Real-time clock, whole seconds since 1970-01-01 UTC.
int64_t tw3_unix_now();
// Fills buf with n bytes from the operating system's random source. 0 or -1.
int tw3_os_random(void* buf, size_t n);
// Environment variable in UTF-8, or null. Valid until the next call on the
// same thread (Windows converts it from UTF-16 into a per-thread area).
const char* tw3_getenv(const char* name);

// ===================== Sockets (net_posix.cpp) ============================
// Declared by the network layer's port below this line.
// Sockets are plain handles (a file descriptor here, a SOCKET on Windows).
// Addresses cross this boundary only as tw3_ip (util/util.h) plus a port in
// host order.
// No operation here records error text; tw3_sock_error() gives the host's
// code of the last failure on this thread and tw3_sock_error_text its message.
struct tw3_ip;
using tw3_socket = intptr_t;
constexpr tw3_socket TW3_NO_SOCKET = -1;

// Results of the non-blocking transfers and of tw3_sock_poll.
constexpr int64_t TW3_SOCK_FAIL = -1;   // a real error
constexpr int64_t TW3_SOCK_AGAIN = -2;  // would block or interrupted: try again

constexpr int TW3_POLL_IN = 1;   // readable (normal or priority data)
constexpr int TW3_POLL_OUT = 2;  // writable

// Starts the socket library once per process. 0, or -1 when it cannot start
// (now or at an earlier call).
int tw3_sock_init();
// A new TCP stream socket of family 4 or 6, or TW3_NO_SOCKET.
tw3_socket tw3_sock_tcp(int family);
// Lets the server rebind its address at once after a restart (TIME_WAIT),
// while still refusing a second listener on the same address and port.
int tw3_sock_reuse_addr(tw3_socket s);
// For an IPv6 socket: 0 lets it accept IPv4 clients too (dual stack).
int tw3_sock_v6only(tw3_socket s, int on);
int tw3_sock_nodelay(tw3_socket s);
int tw3_sock_nonblock(tw3_socket s);
// Binds to ip:port. With as_v6 the address is bound on an IPv6 socket (an
// IPv4 address as ::ffff:a.b.c.d); otherwise ip must be family 4. 0 or -1.
int tw3_sock_bind(tw3_socket s, const tw3_ip* ip, int as_v6, uint16_t port);
int tw3_sock_listen(tw3_socket s, int backlog);
// The socket's local address and port. An IPv4-mapped address comes back as
// family 4; the scope is dropped. 0 or -1.
int tw3_sock_local(tw3_socket s, tw3_ip* ip, int* port);
// Accepts one pending connection and fills its peer address (as
// tw3_sock_local does). TW3_NO_SOCKET when none is pending, accepting failed
// or the peer address is of another family (that socket is then closed).
tw3_socket tw3_sock_accept(tw3_socket listener, tw3_ip* peer);
// Waits up to timeout_ms for `events` (TW3_POLL_*): 1 ready, 0 timed out,
// TW3_SOCK_AGAIN interrupted by a signal, TW3_SOCK_FAIL on error.
int tw3_sock_poll(tw3_socket s, int events, int timeout_ms);
// One non-blocking transfer: bytes moved (recv: 0 means orderly close),
// TW3_SOCK_AGAIN or TW3_SOCK_FAIL. Sending never raises SIGPIPE.
int64_t tw3_sock_send(tw3_socket s, const void* data, size_t len);
// One part of a gather send.
struct tw3_iovec {
  const uint8_t* data;
  uint64_t len;
};
constexpr int TW3_IOV_MAX = 16;  // parts one tw3_sock_sendv takes
// tw3_sock_send over the parts in order, as one transfer (so small parts
// share a segment): bytes moved from the start of the first part (at most
// INT_MAX), TW3_SOCK_AGAIN or TW3_SOCK_FAIL; more than TW3_IOV_MAX parts fail.
int64_t tw3_sock_sendv(tw3_socket s, const tw3_iovec* parts, int count);
int64_t tw3_sock_recv(tw3_socket s, void* buf, size_t cap);
// A blocking connection to ip:port (clients in tests and tools), or
// TW3_NO_SOCKET.
tw3_socket tw3_sock_connect(const tw3_ip* ip, uint16_t port);
// Shuts both directions down, then closes.
void tw3_sock_shutdown_close(tw3_socket s);
void tw3_sock_close(tw3_socket s);
// The host's error code of the last failed socket operation on this thread.
int tw3_sock_error();
// The host's message for a socket error code, truncated to fit `size`.
void tw3_sock_error_text(int code, char* buf, size_t size);

// ================ Process, terminal, small files (process_posix.cpp) ======
// Installs the serving process's signal handling: SIGUSR1 is recorded for
// tw3_signal_usr1_taken (instead of ending the process), and a write to a
// closed pipe (a log reader gone away) fails with an error instead of
// raising SIGPIPE. Call once, before other threads start.
void tw3_signals_init();
// 1 when SIGUSR1 arrived since the last call (the flag is cleared), else 0.
int tw3_signal_usr1_taken();
// 1 when standard input is a terminal.
int tw3_stdin_is_tty();
// Reads one line from standard input without its line end into buf (at most
// cap - 1 bytes, always zero-terminated; longer lines are cut). On a terminal
// the prompt goes to standard error and the typed text is not echoed. The
// line's length, or -1 at end of input before any byte.
int tw3_read_secret_line(const char* prompt, char* buf, size_t cap);
// Reads a whole regular file of at most `cap` bytes into buf (*len bytes,
// not terminated) and its permission bits (0777 mask) into *mode, from one
// open. 0; -1 when it cannot be opened or read (*err holds the host's error
// code); -2 when it is larger than cap or not a regular file.
int tw3_file_read_small(const char* path, char* buf, size_t cap, size_t* len, uint32_t* mode, int* err);
// The host's message for an error code of the file or process operations.
void tw3_os_error_text(int code, char* buf, size_t size);
// Hands memory the allocator holds free back to the host, after large
// blocks were freed (a connection thread's heap keeps them otherwise).
// glibc: malloc_trim (all threads share one heap with fixed thresholds,
// set when the first thread starts); Windows: nothing (its heap returns
// large blocks).
void tw3_mem_trim();

// ===================== Several sockets (poll_posix.cpp) ===================
// Waits up to timeout_ms until one of n sockets is ready for its events[i]
// (TW3_POLL_*); ready[i] is set to 1 for each socket that is ready (or has
// failed or hung up), else 0; n is at most 16. The number ready, 0 on timeout, TW3_SOCK_AGAIN
// when a signal interrupted the wait, TW3_SOCK_FAIL on error.
int tw3_sock_poll_many(const tw3_socket* socks, const int* events, int* ready, int n, int timeout_ms);

// ==================== Console (console_posix.cpp) =========================
// The program's arguments in UTF-8 into *out: argv as given here; on
// Windows taken from the UTF-16 command line (argv there is in the ANSI code
// page), where the console is also switched to UTF-8 output and standard
// input and output to binary mode (no CR added before a line feed). 0 or -1.
int tw3_console_args(int argc, char** argv, std::vector<std::string>* out);
// From now on a request to end the program (SIGINT or SIGTERM here; Ctrl+C,
// Ctrl+Break or closing the console window on Windows) only raises the flag
// tw3_console_stop_requested() reads, so the program can stop cleanly.
void tw3_console_catch_stop();
// 1 once such a request arrived, else 0.
int tw3_console_stop_requested();
// Tells the catcher the program has stopped cleanly. Windows ends a process
// as soon as the handler of a console-close event returns, so that handler
// waits (a few seconds at most) for this call.
void tw3_console_stopped();

// ================= Folder change notifications (watch_posix.cpp) ==========
// One watcher gathers the changes made on the host inside a set of folders:
// the first folder added is its root, and every change is reported by a
// name relative to that root. inotify here, one host watch per folder; a
// Windows twin takes ReadDirectoryChangesW on the root (bWatchSubtree when
// a second folder is added below it, later adds then being bookkeeping only)
// and maps FILE_ACTION_* to the actions below.
struct tw3_watch;

constexpr uint32_t TW3_WATCH_ADDED = 1;        // a name appeared (created, linked)
constexpr uint32_t TW3_WATCH_REMOVED = 2;      // a name went away
constexpr uint32_t TW3_WATCH_MODIFIED = 3;     // contents or status changed
constexpr uint32_t TW3_WATCH_RENAMED_OLD = 4;  // a rename inside the watched set: old name
constexpr uint32_t TW3_WATCH_RENAMED_NEW = 5;  // ... and new name
constexpr uint32_t TW3_WATCH_OVERFLOW = 6;     // the host lost changes: rescan everything

// What a MODIFIED event touched (both may be set).
constexpr uint32_t TW3_WATCH_DATA = 1;  // contents, size, write time
constexpr uint32_t TW3_WATCH_META = 2;  // attributes, permissions, other times

constexpr int TW3_WATCH_NAME_MAX = 1024;  // bytes of a relative name, terminator included

struct tw3_watch_event {
  uint32_t action;   // TW3_WATCH_*
  uint32_t touched;  // TW3_WATCH_DATA / _META for MODIFIED, else 0
  int32_t is_dir;    // the name is a folder
  // UTF-8, relative to the root, '/' between folders; empty for OVERFLOW.
  // Host bytes as they are (the caller checks UTF-8); names that do not fit
  // are left out.
  char name[TW3_WATCH_NAME_MAX];
};

// A new watcher with no folder yet, or null (the host's limit of watchers).
tw3_watch* tw3_watch_open();
// Adds the folder root/rel (rel "" for the root itself, '/'-separated, no
// "." or ".."), never following a symbolic link anywhere on the path: a link
// put there is refused, so no change outside the folder is ever reported.
// 0, or -1 (not a folder, a link, the host's watch limit reached).
int tw3_watch_add(tw3_watch* w, const char* root, const char* rel);
// Folders added and still watched (a deleted folder drops out).
int32_t tw3_watch_count(const tw3_watch* w);
// Waits up to timeout_ms (0: only looks) for changes and stores at most max
// of them. The number stored, 0 when none came, -1 when the watcher failed.
int tw3_watch_read(tw3_watch* w, tw3_watch_event* out, int max, int timeout_ms);
// Ends every host watch of the watcher and frees it; null is ignored.
void tw3_watch_close(tw3_watch* w);

// ============ Network interfaces (ifaces_posix.cpp) =======================
// What the server tells a client about its own addresses, so that a client
// able to use several connections at once can find further paths to it.
// Loopback, interfaces that are down, IPv6 link-local addresses (their
// scope means nothing to a client on another host) and interfaces without an
// index are left out.
constexpr int TW3_IFACE_ADDRS_MAX = 32;  // addresses one listing holds at most
// A link whose speed the host does not report (virtual and wireless links,
// a link down) counts as 1 Gbit/s, the commonest wired speed.
constexpr uint64_t TW3_LINK_SPEED_DEFAULT = 1000000000ULL;

struct tw3_iface_addr {
  uint32_t if_index;    // the host's interface index, never 0; the same for every address of one interface
  uint64_t link_speed;  // bits per second, never 0
  int32_t rss;          // 1 where the host has more than one core (receive-side scaling spreads a
                        // connection's work over them), else 0
  tw3_ip ip;            // family 4 or 6
};

// Fills out[0..max) with the addresses of the host's interfaces that are up
// (POSIX: getifaddrs, the speed from /sys/class/net/NAME/speed in Mbit/s;
// Windows: GetAdaptersAddresses and the adapter's receive speed), ordered by
// interface index, at most `max` (and at most TW3_IFACE_ADDRS_MAX). The
// number stored; 0 when there is none or the host refused to say.
int tw3_net_interfaces(tw3_iface_addr* out, int max);
// Processors online on the host, at least 1 (POSIX: sysconf; Windows:
// GetActiveProcessorCount over every processor group).
int tw3_host_cores();
