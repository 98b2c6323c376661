// The share, account and allow-list tables. Fixed arrays in insertion order,
// free slots all zero, guarded by g_lock; readers get copies only.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "config/config.h"

namespace {

constexpr char kIpcName[] = "IPC$";
constexpr char kTraceVar[] = "TWSMB3S_TRACE";
constexpr int kPathShown = 200;  // bytes of a bad path quoted in a message

tw3_share g_shares[TW3_MAX_SHARES];
int g_nshares = 0;
tw3_user g_users[TW3_MAX_USERS];
int g_nusers = 0;
tw3_cidr g_cidrs[TW3_MAX_CIDRS];
int g_ncidrs = 0;

bool tracing() { return tw3_getenv(kTraceVar) != nullptr; }
const char* or_null(const char* s) { return s ? s : "(null)"; }

// Erases a password in a way the compiler may not drop as a dead store.
void wipe(void* p, size_t n) {
  auto* v = static_cast<volatile unsigned char*>(p);
  for (size_t i = 0; i < n; i++) v[i] = 0;
}

bool valid_share_name(const char* name) {
  const size_t n = strnlen(name, TW3_SHARE_NAME_MAX + 1);
  if (n == 0 || n > TW3_SHARE_NAME_MAX) return false;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  for (size_t i = 0; i < n; i++) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7F || c == '/' || c == ':' || c == '\\') return false;
  }
  return true;
}

// n bytes of text, none a control byte (below 0x20 or 0x7F).
bool printable(const char* s, size_t n) {
  for (size_t i = 0; i < n; i++) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

// Copies text into dst of `size` bytes, cut to fit and always terminated.
void copy_cut(char* dst, int size, const char* src) {
  const size_t n = strnlen(src, static_cast<size_t>(size) - 1);
  std::memcpy(dst, src, n);
  dst[n] = '\0';
}

void set_ipc(tw3_share* s) {
  *s = tw3_share{};
  std::memcpy(s->name, kIpcName, sizeof kIpcName);
}

// IPC$ (empty root) first, then by name ignoring ASCII case.
bool share_cmp(const tw3_share& a, const tw3_share& b) {
  const bool a_ipc = a.root_path[0] == '\0', b_ipc = b.root_path[0] == '\0';
  if (a_ipc != b_ipc) return a_ipc;
  return tw3_casecmp(a.name, b.name) < 0;
}

// Resolves and examines the path of a new share (without g_lock: this is
// the slow part). 0, or the code of a failure with its message set.
int resolve_share_root(const char* path, tw3_share* s) {
  tw3_stat st;
  if (tw3_fs_realpath(path, s->root_path, sizeof s->root_path) != 0 || tw3_fs_stat(s->root_path, &st) != 0)
    return tw3_fail(TW3_ENOENT, "add_share: %.*s does not exist", kPathShown, path);
  if (st.kind != TW3_KIND_DIR && st.kind != TW3_KIND_FILE)
    return tw3_fail(TW3_EINVAL, "add_share: %.*s is neither a folder nor a regular file", kPathShown, path);
  s->single_file = st.kind == TW3_KIND_FILE ? 1 : 0;
  return 0;
}

// Stores the share unless its name is taken or the table is full. Returns 0
// and the new count in *count, or the code of a failure.
int append_share(const tw3_share& s, int* count) {
  tw3_lock_guard lock(g_lock);
  for (int i = 0; i < g_nshares; i++)
    if (tw3_casecmp(g_shares[i].name, s.name) == 0) return tw3_fail(TW3_EEXIST, "add_share: %s exists", s.name);
  if (g_nshares >= TW3_MAX_SHARES) return tw3_fail(TW3_EFULL, "add_share: %d shares", TW3_MAX_SHARES);
  g_shares[g_nshares++] = s;
  *count = g_nshares;
  return 0;
}

}  // namespace

int tw3_add_share(const char* name, const char* path) {
  if (tracing()) std::fprintf(stderr, "[cfg] add_share('%s', '%s')\n", or_null(name), or_null(path));
  if (!name || !path || !path[0]) return tw3_fail(TW3_EINVAL, "add_share: NULL or empty argument");
  if (!valid_share_name(name)) return tw3_fail(TW3_EINVAL, "add_share: invalid share name");
  if (strnlen(path, TW3_ROOT_PATH_MAX + 1) > TW3_ROOT_PATH_MAX)
    return tw3_fail(TW3_EINVAL, "add_share: path too long");
  if (std::strcmp(name, kIpcName) == 0) return tw3_fail(TW3_EEXIST, "add_share: IPC$ is built in");
  tw3_share s{};
  std::memcpy(s.name, name, std::strlen(name) + 1);
  if (int rc = resolve_share_root(path, &s); rc != 0) return rc;
  int count = 0;
  if (int rc = append_share(s, &count); rc != 0) return rc;
  if (tracing()) std::fprintf(stderr, "[cfg] share '%s' -> %s added (nshares=%d)\n", s.name, s.root_path, count);
  return 0;
}

int tw3_remove_share(const char* name) {
  if (!name) return tw3_fail(TW3_EINVAL, "remove_share: NULL name");
  if (std::strcmp(name, kIpcName) == 0) return tw3_fail(TW3_EINVAL, "remove_share: IPC$ is built in");
  tw3_lock_guard lock(g_lock);
  for (int i = 0; i < g_nshares; i++) {
    if (tw3_casecmp(g_shares[i].name, name) != 0) continue;
    std::copy(g_shares + i + 1, g_shares + g_nshares, g_shares + i);
    g_shares[--g_nshares] = tw3_share{};
    return 0;
  }
  return tw3_fail(TW3_ENOENT, "remove_share: no share %.64s", name);
}

int tw3_share_find(const char* name, tw3_share* out) {
  if (out) *out = tw3_share{};
  if (!name) return -1;
  if (tw3_casecmp(name, kIpcName) == 0) {
    if (out) set_ipc(out);
    return 0;
  }
  tw3_lock_guard lock(g_lock);
  for (int i = 0; i < g_nshares; i++) {
    if (tw3_casecmp(g_shares[i].name, name) != 0) continue;
    if (out) *out = g_shares[i];
    return 0;
  }
  return -1;
}

int tw3_share_list(tw3_share** out_array, int* out_count) {
  if (!out_array || !out_count) return -1;
  *out_array = nullptr;
  *out_count = 0;
  int want;
  {
    tw3_lock_guard lock(g_lock);
    want = g_nshares;
  }
  // The array is allocated outside the lock; if shares were added meanwhile,
  // the second attempt takes room for a full table, which always suffices.
  for (int attempt = 0; attempt < 2; attempt++) {
    const int room = attempt == 0 ? want + 1 : TW3_MAX_SHARES + 1;
    tw3_share* arr = new (std::nothrow) tw3_share[static_cast<size_t>(room)]();
    if (!arr) return -1;
    int n = -1;
    {
      tw3_lock_guard lock(g_lock);
      if (g_nshares + 1 <= room) {
        std::copy(g_shares, g_shares + g_nshares, arr + 1);
        n = g_nshares + 1;
      }
    }
    if (n < 0) {
      delete[] arr;
      continue;
    }
    set_ipc(&arr[0]);
    std::sort(arr, arr + n, share_cmp);
    *out_array = arr;
    *out_count = n;
    return 0;
  }
  return -1;  // not reached: a full-table array always fits
}

int tw3_add_user(const char* name, const char* password) {
  if (!name || !password) return tw3_fail(TW3_EINVAL, "add_user: NULL argument");
  const size_t nlen = strnlen(name, TW3_USER_NAME_MAX + 1);
  if (nlen == 0 || nlen > TW3_USER_NAME_MAX || !printable(name, nlen))
    return tw3_fail(TW3_EINVAL, "add_user: user must be 1..%d printable bytes", TW3_USER_NAME_MAX);
  if (std::strpbrk(name, "\\/"))
    return tw3_fail(TW3_EINVAL, "add_user: the user name carries no domain (the domain is ignored)");
  const size_t plen = strnlen(password, TW3_PASSWORD_MAX + 1);
  if (plen > TW3_PASSWORD_MAX || !printable(password, plen))
    return tw3_fail(TW3_EINVAL, "add_user: password must be 0..%d printable bytes", TW3_PASSWORD_MAX);
  int count;
  {
    tw3_lock_guard lock(g_lock);
    tw3_user* slot = nullptr;
    for (int i = 0; i < g_nusers && !slot; i++)
      if (std::strcmp(g_users[i].name, name) == 0) slot = &g_users[i];
    if (!slot) {
      if (g_nusers >= TW3_MAX_USERS) return tw3_fail(TW3_EFULL, "add_user: %d users", TW3_MAX_USERS);
      slot = &g_users[g_nusers++];
      std::memcpy(slot->name, name, nlen + 1);
    }
    wipe(slot->password, sizeof slot->password);
    std::memcpy(slot->password, password, plen + 1);
    count = g_nusers;
  }
  if (tracing()) std::fprintf(stderr, "[cfg] add_user('%s') nusers=%d\n", name, count);
  return 0;
}

int tw3_remove_user(const char* name) {
  if (!name) return tw3_fail(TW3_EINVAL, "remove_user: NULL user");
  tw3_lock_guard lock(g_lock);
  for (int i = 0; i < g_nusers; i++) {
    if (std::strcmp(g_users[i].name, name) != 0) continue;
    wipe(g_users[i].password, sizeof g_users[i].password);
    std::copy(g_users + i + 1, g_users + g_nusers, g_users + i);
    --g_nusers;
    // The moved-from last slot still holds a password copy: erase it whole.
    wipe(&g_users[g_nusers], sizeof g_users[g_nusers]);
    return 0;
  }
  return tw3_fail(TW3_ENOENT, "remove_user: no such user");
}

int tw3_user_at(int index, char* name_buf, int name_size, char* password_buf, int password_size) {
  if (!name_buf || !password_buf || name_size <= 0 || password_size <= 0) return 1;
  tw3_lock_guard lock(g_lock);
  if (index < 0 || index >= g_nusers) return 1;
  copy_cut(name_buf, name_size, g_users[index].name);
  copy_cut(password_buf, password_size, g_users[index].password);
  return 0;
}

int tw3_guest_allowed() {
  tw3_opts o;
  tw3_opts_get(&o);  // takes g_lock on its own; the table count is read below
  tw3_lock_guard lock(g_lock);
  if (o.guest == 1 || o.guest == 0) return o.guest;
  return g_nusers == 0 ? 1 : 0;
}

int tw3_allow_cidr(const char* cidr) {
  if (!cidr || !cidr[0]) return tw3_fail(TW3_EINVAL, "allow_cidr: empty CIDR");
  tw3_cidr r;
  if (tw3_cidr_parse(cidr, &r) != 0) return tw3_fail(TW3_EINVAL, "allow_cidr: %.64s is not a CIDR", cidr);
  tw3_lock_guard lock(g_lock);
  for (int i = 0; i < g_ncidrs; i++)
    if (g_cidrs[i].prefix == r.prefix && tw3_ip_equal(&g_cidrs[i].ip, &r.ip)) return 0;
  if (g_ncidrs >= TW3_MAX_CIDRS) return tw3_fail(TW3_EFULL, "allow_cidr: %d CIDRs", TW3_MAX_CIDRS);
  g_cidrs[g_ncidrs++] = r;
  return 0;
}

int tw3_client_allowed(const tw3_ip* ip) {
  if (!ip) return 0;
  if (tw3_ip_is_loopback(ip)) return 1;
  tw3_lock_guard lock(g_lock);
  for (int i = 0; i < g_ncidrs; i++)
    if (tw3_cidr_match(&g_cidrs[i], ip)) return 1;
  return 0;
}

void tw3_config_reset_for_tests() {
  {
    tw3_lock_guard lock(g_lock);
    wipe(g_users, sizeof g_users);
    g_nusers = 0;
    std::fill(g_shares, g_shares + TW3_MAX_SHARES, tw3_share{});
    g_nshares = 0;
    std::fill(g_cidrs, g_cidrs + TW3_MAX_CIDRS, tw3_cidr{});
    g_ncidrs = 0;
  }
  tw3_opts_reset_for_tests();
}
