// Foundation utilities: last-error text, growable byte buffers, FNV-1a,
// IP addresses and CIDR ranges, hex and UTF-16 text, and the name rules
// (virtual paths, search patterns, ASCII case-insensitive compare).
// Nothing here touches the operating system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// printf-style checking of a format argument. mingw's "printf" means the
// Microsoft runtime's formats; the C++ runtime there formats the GNU way.
#if defined(_WIN32)
#define TW3_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define TW3_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

// ---- Error codes shared by every configuration and start-up operation ----
constexpr int TW3_EINVAL = -1;     // invalid argument
constexpr int TW3_ENOENT = -2;     // no such object
constexpr int TW3_EEXIST = -3;     // already exists
constexpr int TW3_ERUNNING = -4;   // already running
constexpr int TW3_ESYS = -5;       // network or system failure
constexpr int TW3_EFULL = -6;      // table full
constexpr int TW3_ENAME = -7;      // a name breaks the virtual path rules
constexpr int TW3_ESPACE = -8;     // output area missing or too small

// ---- Last-error text (one per thread; at most 511 bytes) ----
// Formats the message into the calling thread's last-error text.
void tw3_set_error(const char* fmt, ...) TW3_PRINTF(1, 2);
// As tw3_set_error, then returns `code` unchanged.
int tw3_fail(int code, const char* fmt, ...) TW3_PRINTF(2, 3);
// The calling thread's last-error text; never null.
const char* tw3_error();

// ---- Growable byte buffer. An all-zero record is an empty, usable buffer. ----
// Invariants: cap is 0 or 256 * 2^k <= 2^32; len < cap when cap > 0 and
// data[len] == 0 after every successful append. Once `failed` is 1 every
// append is ignored until tw3_buf_free.
struct tw3_buf {
  uint8_t* data;
  uint64_t len;
  uint64_t cap;
  int32_t failed;
};

// Makes room for n more bytes plus a terminating zero. 0, or -1 when failed.
int buf_reserve(tw3_buf* b, uint64_t n);
void tw3_buf_put(tw3_buf* b, const void* src, uint64_t n);
void tw3_buf_str(tw3_buf* b, const char* text);
void tw3_buf_byte(tw3_buf* b, int value);
void tw3_buf_printf(tw3_buf* b, const char* fmt, ...) TW3_PRINTF(2, 3);
void tw3_buf_free(tw3_buf* b);

// Test hook: when set, the buffer's allocator fails (as if out of memory).
extern int g_buf_fail_alloc;

// ---- FNV-1a 64 ----
constexpr uint64_t TW3_FNV_BASIS = 0xcbf29ce484222325ULL;
uint64_t tw3_fnv1a64(const void* data, uint64_t n, uint64_t h);

// ---- Wire time ----
constexpr int64_t TW3_FILETIME_UNIX_OFFSET = 11644473600LL;  // seconds 1601..1970
constexpr int64_t TW3_FILETIME_PER_SECOND = 10000000LL;      // 100 ns units
// Unix seconds to a FILETIME (100 ns units since 1601-01-01).
uint64_t tw3_filetime(int64_t unix_seconds);
// Unix seconds as a UTC date and time of the proleptic Gregorian calendar;
// weekday 0 is Sunday.
struct tw3_civil {
  int64_t year;
  int month, day, hour, minute, second, weekday;
};
tw3_civil tw3_civil_time(int64_t unix_seconds);

// ---- IP addresses and CIDR ranges ----
// family 4 or 6 (0: none); an IPv4-mapped IPv6 address is held as family 4.
struct tw3_ip {
  int32_t family;
  uint8_t addr[16];
};
struct tw3_cidr {
  tw3_ip ip;
  int32_t prefix;
};

int tw3_ip_parse(const char* text, tw3_ip* out);          // 0 or -1
int parse_v4(const char* text, size_t n, uint8_t out4[4]); // 0 or -1
void tw3_ip_format(const tw3_ip* ip, char* buf, size_t size);
int tw3_ip_equal(const tw3_ip* a, const tw3_ip* b);
int tw3_ip_is_loopback(const tw3_ip* ip);
int tw3_cidr_parse(const char* text, tw3_cidr* out);      // 0 or -1
int tw3_cidr_match(const tw3_cidr* range, const tw3_ip* ip);

// ---- Hex and UTF-16 text ----
// Decodes n bytes of hex text (white space allowed anywhere) into out (cap
// bytes; out may be null to count). 0 or -1.
int tw3_hex_decode(const char* text, size_t n, uint8_t* out, size_t cap, size_t* out_len);
// Appends 2n lower-case hex digits to buf.
void tw3_hex_encode(const void* data, size_t n, tw3_buf* buf);
// UTF-16LE (n bytes) to zero-terminated UTF-8 in dst (cap bytes).
// Returns the UTF-8 length, or -1 for malformed input or no room.
int tw3_utf16_to_utf8(const uint8_t* src, size_t n, char* dst, int32_t cap);
// Zero-terminated UTF-8 to UTF-16LE (no terminator). 0 and *out_len, or -1.
int tw3_utf8_to_utf16le(const char* text, uint8_t* dst, int32_t cap, int32_t* out_len);

// ---- Name rules ----
constexpr int TW3_VPATH_MAX = 1024;       // bytes of a virtual path
constexpr int TW3_VPATH_INPUT_MAX = 2048; // bytes of a client-sent path
constexpr int TW3_COMPONENT_MAX = 255;
constexpr int TW3_DEPTH_MAX = 64;
constexpr int TW3_PATTERN_MAX = 512;

// Normalises a client path into a virtual path ("a/b/c"). 0, -7 (rule
// broken) or -8 (no or too small output); failures record a message.
int tw3_vpath(const char* in, char* out, int32_t out_size);
// Whether one component, alone, passes the rules tw3_vpath applies to each
// component (non-empty, no separator, at most 255 bytes, no control byte,
// not "." or "..", no final dot or space).
bool tw3_component_ok(std::string_view comp);
// 0 when `pattern` is an admissible search pattern (a leaf name), else -1.
int tw3_pat_check(const char* pattern);
// 1 when the whole name matches the whole pattern (* and ?, ASCII case-insensitive).
int tw3_glob_match(const char* pattern, const char* name);
int tw3_casecmp(const char* a, const char* b);
int tw3_ncasecmp(const char* a, const char* b, size_t n);
