// Shared, compact directory listings under memory budgets.
//
// A listing is one arena of NUL-terminated names and one array of fixed-size
// records (kind, status, a pointer into the arena) in byte-wise name order. It is built from
// the names and the kinds the enumeration reports; the status of entries is
// taken in blocks when they are first read and again when it has aged, from
// a fresh no-follow enumeration handle of the folder, like the names were.
//
// The server keeps an index of the listings that may be shared, keyed by
// the folder's canonical path, its share's root (links are listed by the
// share's containment rule) and the folder's identity, change time and
// size: a folder that gained or lost a name has another key, so a new open
// gets a new listing while the handles on the old one keep theirs. A
// listing is freed with its last reference. One lock (g_listings_lock)
// guards the index, the reference counts and the server's byte count; each
// listing's own lock guards its records' status while blocks are filled and
// copied out. Threads wanting a listing that another is building wait for
// it rather than build a copy each.
#include "fs/listing.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "util/util.h"

namespace {

constexpr const char* kNotFound = "The file cannot be found.";
constexpr const char* kNotDir = "Not a directory.";
constexpr int32_t kBlock = 256;         // entries whose status is taken together
constexpr int32_t kEagerBlocks = 4;     // blocks whose status a build takes at once
constexpr size_t kIndexMax = 4096;      // listings findable for sharing at once
constexpr size_t kFirstEntries = 64;    // first capacity of a build's arrays
constexpr size_t kFirstArena = 1024;    // first capacity of a build's name arena
constexpr int64_t kNsPerSecond = 1000000000;
// Freeing a listing at least this large hands free memory back to the host.
constexpr uint64_t kTrimBytes = uint64_t(1) << 20;

enum : uint8_t { kUnfilled = 0, kFilled = 1, kGone = 2 };

// What makes two listings of a folder the same.
struct folder_key {
  std::string path;  // canonical host path
  std::string root;  // the share's root
  int64_t change_ns;
  int64_t mtime;
  uint64_t size;
  uint64_t dev;
  uint64_t ino;
  bool operator==(const folder_key&) const = default;
};

// A build's sort record: the first 8 name bytes, big-endian, decide most
// comparisons without touching the arena.
struct sort_key {
  uint64_t prefix;
  uint32_t name_off;
  uint32_t at;  // index of the record in read order
};

struct dir_closer {
  void operator()(tw3_dir* d) const { tw3_fs_closedir(d); }
};
using dir_ptr = std::unique_ptr<tw3_dir, dir_closer>;

}  // namespace

struct tw3_listing {
  folder_key key;
  tw3_share share;
  int32_t refs = 0;  // under g_listings_lock
  bool indexed = false;
  uint64_t bytes = 0;
  int32_t count = 0;
  std::unique_ptr<char[]> names;
  std::unique_ptr<tw3_vent[]> recs;     // names point into `names`
  std::unique_ptr<uint8_t[]> state;     // each entry's kUnfilled, kFilled or kGone
  std::unique_ptr<uint64_t[]> block_ms;  // when each block's status was taken; 0 never
  tw3_mutex m;                           // guards recs' status and block_ms
};

namespace {

tw3_mutex g_listings_lock;
std::vector<tw3_listing*> g_index;
// Folders whose listing a thread is building: others wanting the same one
// wait for it (g_built) instead of building copies side by side.
std::vector<folder_key> g_building;
std::condition_variable g_built;
uint64_t g_server_bytes = 0;
int32_t g_server_count = 0;
tw3_listing_limits g_limits = {TW3_LISTING_CONN_BUDGET, TW3_LISTING_SERVER_BUDGET, TW3_LISTING_SETTLE_S};

// Bytes a build holds, charged against its room and the server budget as it
// grows; whatever is still held when it ends goes back.
class reservation {
 public:
  explicit reservation(uint64_t room) : room_(room) {}
  reservation(const reservation&) = delete;
  reservation& operator=(const reservation&) = delete;
  ~reservation() { give_back(held_); }

  bool take(uint64_t n) {
    if (n > room_ || held_ > room_ - n) return false;
    tw3_lock_guard g(g_listings_lock);
    if (g_server_bytes > g_limits.server_bytes || n > g_limits.server_bytes - g_server_bytes) return false;
    g_server_bytes += n;
    held_ += n;
    return true;
  }
  // Holds exactly n bytes; false when more cannot be had.
  bool settle(uint64_t n) {
    if (n > held_) return take(n - held_);
    give_back(held_ - n);
    held_ = n;
    return true;
  }
  // The listing now carries the charge.
  void hand_over() { held_ = 0; }

 private:
  static void give_back(uint64_t n) {
    if (n == 0) return;
    tw3_lock_guard g(g_listings_lock);
    g_server_bytes -= n;
  }
  uint64_t room_;
  uint64_t held_ = 0;
};

uint64_t prefix_of(std::string_view n) {
  uint64_t p = 0;
  for (size_t i = 0; i < 8; ++i) p = (p << 8) | (i < n.size() ? static_cast<unsigned char>(n[i]) : 0u);
  return p;
}

// Byte-wise (unsigned) name order: "B" before "a".
bool name_less(const sort_key& a, const sort_key& b, const char* arena) {
  if (a.prefix != b.prefix) return a.prefix < b.prefix;
  if ((a.prefix & 0xFF) == 0) return false;  // both names end within the prefix: equal
  return std::strcmp(arena + a.name_off + 8, arena + b.name_off + 8) < 0;
}

// The record for a name as enumerated; false leaves it out. A file or a
// folder waits for its status until it is read; a link is followed now (it
// is listed only when it leads inside the share), as is an entry whose kind
// the enumeration does not tell.
bool first_record(const tw3_vres& dir, tw3_dir* d, const char* name, tw3_vent* r, uint8_t* state) {
  const int32_t kind = tw3_fs_readdir_kind(d);
  *r = tw3_vent{};
  if (kind == TW3_KIND_FILE || kind == TW3_KIND_DIR) {
    r->kind = kind;
    r->target_kind = kind;
    *state = kUnfilled;
    return true;
  }
  if (kind == TW3_KIND_OTHER) return false;
  *state = kFilled;
  return tw3_vfs_entry_status(dir.share, d, dir.local_path, name, r);
}

// Arrays of a build, grown by doubling with each growth charged first.
struct build_arrays {
  std::vector<char> arena;
  std::vector<tw3_vent> read;  // in enumeration order, names not yet set
  std::vector<uint8_t> state;
  std::vector<sort_key> keys;

  // Each entry capacity is charged for its record twice (enumeration order
  // and final order), its state and its sort key.
  static constexpr uint64_t kPerEntry = 2 * (sizeof(tw3_vent) + 1) + sizeof(sort_key);

  bool add(reservation* res, std::string_view name, const tw3_vent& r, uint8_t st) {
    if (read.size() == read.capacity()) {
      const size_t cap = std::min<size_t>(std::max(kFirstEntries, read.capacity() * 2), TW3_LIST_MAX);
      if (!res->take((cap - read.capacity()) * kPerEntry)) return false;
      read.reserve(cap);
      state.reserve(cap);
      keys.reserve(cap);
    }
    if (arena.capacity() - arena.size() < name.size() + 1) {
      const size_t cap = std::max({kFirstArena, arena.capacity() * 2, arena.size() + name.size() + 1});
      if (!res->take(cap - arena.capacity())) return false;
      arena.reserve(cap);
    }
    keys.push_back({prefix_of(name), static_cast<uint32_t>(arena.size()), static_cast<uint32_t>(read.size())});
    read.push_back(r);
    state.push_back(st);
    arena.insert(arena.end(), name.begin(), name.end());
    arena.push_back('\0');
    return true;
  }
};

// The finished listing from a build's arrays, in name order.
std::unique_ptr<tw3_listing> assemble(const tw3_vres& dir, folder_key key, build_arrays& a) {
  std::sort(a.keys.begin(), a.keys.end(),
            [arena = a.arena.data()](const sort_key& x, const sort_key& y) { return name_less(x, y, arena); });
  const auto n = static_cast<int32_t>(a.read.size());
  const int32_t blocks = (n + kBlock - 1) / kBlock;
  auto l = std::unique_ptr<tw3_listing>(new (std::nothrow) tw3_listing);
  if (!l) return nullptr;
  l->names.reset(new (std::nothrow) char[std::max<size_t>(a.arena.size(), 1)]);
  l->recs.reset(new (std::nothrow) tw3_vent[std::max(n, 1)]);
  l->state.reset(new (std::nothrow) uint8_t[std::max(n, 1)]);
  l->block_ms.reset(new (std::nothrow) uint64_t[std::max(blocks, 1)]());
  if (!l->names || !l->recs || !l->state || !l->block_ms) return nullptr;
  if (!a.arena.empty()) std::memcpy(l->names.get(), a.arena.data(), a.arena.size());
  for (int32_t i = 0; i < n; ++i) {
    const sort_key& k = a.keys[size_t(i)];
    l->recs[i] = a.read[k.at];
    l->recs[i].name = l->names.get() + k.name_off;
    l->state[i] = a.state[k.at];
  }
  l->key = std::move(key);
  l->share = dir.share;
  l->count = n;
  l->bytes = sizeof(tw3_listing) + l->key.path.size() + l->key.root.size() + a.arena.size() +
             uint64_t(n) * (sizeof(tw3_vent) + 1) + uint64_t(blocks) * sizeof(uint64_t);
  return l;
}

// A folder changed within the settle time may change again within the
// host's timestamp granularity without its key moving: it is not shared.
bool settled(const tw3_stat& st, int64_t settle_s) {
  const int64_t changed = std::max(st.mtime, st.change_ns / kNsPerSecond);
  return tw3_unix_now() - changed >= settle_s;
}

// The shared listing of a folder in this state, or null. Under g_listings_lock.
tw3_listing* find_shared(const folder_key& key) {
  for (tw3_listing* l : g_index) {
    if (l->key == key) return l;
  }
  return nullptr;
}

// Enters a new listing: joins an equal one another thread entered meanwhile
// (the new one is then dropped), else indexes it when it may be shared.
tw3_listing* enter(std::unique_ptr<tw3_listing> l, reservation* res, bool shareable) {
  tw3_lock_guard g(g_listings_lock);
  if (shareable) {
    if (tw3_listing* have = find_shared(l->key)) {
      ++have->refs;
      return have;  // res gives the new one's bytes back
    }
    if (g_index.size() < kIndexMax) {
      g_index.push_back(l.get());
      l->indexed = true;
    }
  }
  l->refs = 1;
  ++g_server_count;
  res->hand_over();
  return l.release();
}

// Takes the status of block b's entries from a no-follow enumeration handle
// of the folder, opened once per read. An entry that can no longer be
// listed is gone; one that comes back is listed again.
void fill_block(tw3_listing* l, int32_t b, dir_ptr* d, bool* tried) {
  if (!*tried) {
    *tried = true;
    d->reset(tw3_fs_opendir_nofollow(l->key.path.c_str()));
  }
  const int32_t end = std::min(l->count, (b + 1) * kBlock);
  const tw3_name_rules rules = tw3_host_name_rules();
  std::string host;
  for (int32_t i = b * kBlock; i < end; ++i) {
    tw3_vent e{};
    e.name = l->recs[i].name;
    // Records hold the names clients see; the host knows them by their own.
    const bool named = tw3_name_to_host(e.name, rules, &host);
    if (*d && named && tw3_vfs_entry_status(l->share, d->get(), l->key.path, host.c_str(), &e)) {
      l->recs[i] = e;
      l->state[i] = kFilled;
    } else if (!*d && l->state[i] == kFilled) {
      // The folder cannot be opened now: what was seen stands.
    } else {
      l->state[i] = kGone;
    }
  }
}

int build(const tw3_vres& dir, const tw3_stat& st, folder_key key, uint64_t room, tw3_listing** out) {
  // Without following links on the way: a folder swapped for a link after
  // it was resolved is not listed.
  dir_ptr d(tw3_fs_opendir_nofollow(dir.local_path));
  if (!d) {
    tw3_set_error("%s", kNotFound);
    return TW3_LISTING_FAILED;
  }
  reservation res(room);
  build_arrays a;
  const tw3_name_rules rules = tw3_host_name_rules();
  std::string shown;
  while (a.read.size() < static_cast<size_t>(TW3_LIST_MAX)) {
    const char* name = tw3_fs_readdir(d.get());
    if (name == nullptr) break;
    tw3_vent r{};
    uint8_t state = kUnfilled;
    // Listed under the name clients see; a name that cannot be shown
    // unambiguously is left out.
    if (!tw3_name_to_client(name, rules, &shown) || !first_record(dir, d.get(), name, &r, &state)) continue;
    if (!a.add(&res, shown, r, state)) return TW3_LISTING_NO_ROOM;
  }
  std::unique_ptr<tw3_listing> l = assemble(dir, std::move(key), a);
  if (!l || !res.settle(l->bytes)) return TW3_LISTING_NO_ROOM;
  // The first entries a client asks for get their status from the very
  // handle that named them; later blocks from a fresh one when read.
  bool tried = true;
  const uint64_t now = std::max<uint64_t>(tw3_now_ms(), 1);
  for (int32_t b = 0; b < kEagerBlocks && b * kBlock < l->count; ++b) {
    fill_block(l.get(), b, &d, &tried);
    l->block_ms[b] = now;
  }
  d.reset();
  *out = enter(std::move(l), &res, settled(st, tw3_listing_limits_get().settle_s));
  return TW3_LISTING_OK;
}

bool block_fresh(uint64_t taken_ms, uint64_t now_ms) {
  return taken_ms != 0 && (now_ms < taken_ms || now_ms - taken_ms < TW3_LISTING_FRESH_MS);
}

tw3_vent view_of(const tw3_listing& l, int32_t i) {
  tw3_vent v = l.recs[i];
  if (l.state[i] == kGone) v.name = nullptr;
  return v;
}

}  // namespace

tw3_listing_limits tw3_listing_limits_get() {
  tw3_lock_guard g(g_listings_lock);
  return g_limits;
}

void tw3_listing_limits_set(const tw3_listing_limits& limits) {
  tw3_lock_guard g(g_listings_lock);
  g_limits = limits;
}

int tw3_listing_acquire(const tw3_vres* dir, uint64_t room, tw3_listing** out) {
  if (out == nullptr) return TW3_LISTING_FAILED;
  *out = nullptr;
  if (dir == nullptr || dir->kind != TW3_VRES_DIR) {
    tw3_set_error("%s", kNotDir);
    return TW3_LISTING_FAILED;
  }
  // The key is taken before the names are read: a change while they are
  // read leaves the folder with another key than the listing's.
  tw3_stat st{};
  if (tw3_fs_stat(dir->local_path, &st) != 0 || st.kind != TW3_KIND_DIR) {
    tw3_set_error("%s", kNotFound);
    return TW3_LISTING_FAILED;
  }
  folder_key key{dir->local_path, dir->share.root_path, st.change_ns, st.mtime, st.size, st.volume_serial,
                 st.file_index};
  {
    std::unique_lock<tw3_mutex> g(g_listings_lock);
    for (;;) {
      if (tw3_listing* l = find_shared(key)) {
        ++l->refs;
        *out = l;
        return TW3_LISTING_OK;
      }
      if (std::find(g_building.begin(), g_building.end(), key) == g_building.end()) break;
      g_built.wait(g);
    }
    g_building.push_back(key);
  }
  const int rc = build(*dir, st, key, room, out);
  {
    tw3_lock_guard g(g_listings_lock);
    g_building.erase(std::find(g_building.begin(), g_building.end(), key));
  }
  g_built.notify_all();
  // The build's working arrays are gone; a connection thread's heap would
  // keep their pages.
  if (rc != TW3_LISTING_OK || tw3_listing_bytes(*out) >= kTrimBytes) tw3_mem_trim();
  return rc;
}

void tw3_listing_release(tw3_listing* l) {
  if (l == nullptr) return;
  {
    tw3_lock_guard g(g_listings_lock);
    if (--l->refs > 0) return;
    if (l->indexed) std::erase(g_index, l);
    g_server_bytes -= l->bytes;
    --g_server_count;
  }
  const bool large = l->bytes >= kTrimBytes;
  delete l;
  if (large) tw3_mem_trim();
}

int32_t tw3_listing_count(const tw3_listing* l) { return l != nullptr ? l->count : 0; }

uint64_t tw3_listing_bytes(const tw3_listing* l) { return l != nullptr ? l->bytes : 0; }

int32_t tw3_listing_read(tw3_listing* l, int32_t first, tw3_vent* out, int32_t max, uint64_t now_ms) {
  if (l == nullptr || out == nullptr || first < 0 || first >= l->count || max <= 0) return 0;
  const int32_t n = std::min(max, l->count - first);
  tw3_lock_guard g(l->m);
  dir_ptr d;
  bool tried = false;
  for (int32_t b = first / kBlock; b <= (first + n - 1) / kBlock; ++b) {
    if (block_fresh(l->block_ms[b], now_ms)) continue;
    fill_block(l, b, &d, &tried);
    l->block_ms[b] = std::max<uint64_t>(now_ms, 1);
  }
  for (int32_t k = 0; k < n; ++k) out[k] = view_of(*l, first + k);
  return n;
}

uint64_t tw3_listing_server_bytes() {
  tw3_lock_guard g(g_listings_lock);
  return g_server_bytes;
}

int32_t tw3_listing_server_count() {
  tw3_lock_guard g(g_listings_lock);
  return g_server_count;
}
