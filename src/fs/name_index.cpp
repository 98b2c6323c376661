// Case-insensitive lookup of a name in a folder. A name a client asks for in
// another case is found through an index of the folder's names ordered by
// their folded form, built in one pass and shared by every connection until
// the folder changes, so a client repeating misses in a large folder costs
// one lookup each, not one pass each. The cache is bounded in folders and in
// bytes; the least recently used index goes first.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fs/fs.h"
#include "platform/platform.h"
#include "util/util.h"

namespace {

constexpr size_t kCacheFolders = 64;
constexpr uint64_t kCacheBytes = uint64_t(64) << 20;
constexpr int64_t kNsPerSecond = 1000000000;
// A folder changed this recently may change again within the same tick of
// its change time, unseen by the key: its index serves one lookup only.
constexpr int64_t kSettleSeconds = 2;

// What identifies one state of a folder.
struct folder_key {
  std::string path;
  int64_t change_ns;
  int64_t mtime;
  uint64_t size;
  uint64_t volume_serial;
  uint64_t file_index;

  bool same_state(const folder_key& o) const {
    return change_ns == o.change_ns && mtime == o.mtime && size == o.size && volume_serial == o.volume_serial &&
           file_index == o.file_index;
  }
};

struct folder_index {
  folder_key key;
  std::string arena;            // the host names, each NUL-terminated
  std::vector<uint32_t> order;  // offsets into arena: folded name, then bytes
  uint64_t bytes() const { return sizeof *this + key.path.size() + arena.size() + order.size() * sizeof(uint32_t); }
  const char* at(uint32_t off) const { return arena.data() + off; }
};

struct cached {
  std::shared_ptr<const folder_index> index;
  uint64_t last_use;
};

struct cache {
  tw3_mutex lock;
  std::vector<cached> folders;
  uint64_t bytes = 0;
  uint64_t tick = 0;
};

cache& the_cache() {
  static cache c;
  return c;
}

folder_key key_of(const char* dir, const tw3_stat& st) {
  return {dir, st.change_ns, st.mtime, st.size, st.volume_serial, st.file_index};
}

struct dir_closer {
  void operator()(tw3_dir* d) const { tw3_fs_closedir(d); }
};

// The names a listing of dir would show, ordered for folded search.
std::shared_ptr<folder_index> build(const folder_key& key, const tw3_name_rules& rules) {
  std::unique_ptr<tw3_dir, dir_closer> d(tw3_fs_opendir_nofollow(key.path.c_str()));
  if (!d) return nullptr;
  // Not make_shared: its type tag would be exported from the library.
  std::shared_ptr<folder_index> ix(new folder_index{});
  ix->key = key;
  std::string shown;
  while (ix->order.size() < size_t(TW3_LIST_MAX)) {
    const char* name = tw3_fs_readdir(d.get());
    if (name == nullptr) break;
    if (!tw3_name_to_client(name, rules, &shown)) continue;  // hidden: never found
    ix->order.push_back(uint32_t(ix->arena.size()));
    ix->arena.append(name);
    ix->arena.push_back('\0');
  }
  std::sort(ix->order.begin(), ix->order.end(), [&ix](uint32_t a, uint32_t b) {
    const int c = tw3_casecmp(ix->at(a), ix->at(b));
    return c != 0 ? c < 0 : std::strcmp(ix->at(a), ix->at(b)) < 0;
  });
  ix->arena.shrink_to_fit();
  ix->order.shrink_to_fit();
  return ix;
}

// The cached index of this state of the folder, or null.
std::shared_ptr<const folder_index> take(cache& c, const folder_key& key) {
  tw3_lock_guard lk(c.lock);
  for (cached& f : c.folders) {
    if (f.index->key.path != key.path) continue;
    if (!f.index->key.same_state(key)) return nullptr;
    f.last_use = ++c.tick;
    return f.index;
  }
  return nullptr;
}

void drop_at(cache& c, size_t i) {
  c.bytes -= c.folders[i].index->bytes();
  c.folders.erase(c.folders.begin() + std::ptrdiff_t(i));
}

void keep(cache& c, std::shared_ptr<const folder_index> ix) {
  if (ix->bytes() > kCacheBytes) return;
  tw3_lock_guard lk(c.lock);
  for (size_t i = 0; i < c.folders.size(); ++i) {
    if (c.folders[i].index->key.path == ix->key.path) {
      drop_at(c, i);
      break;
    }
  }
  while (!c.folders.empty() && (c.folders.size() >= kCacheFolders || c.bytes + ix->bytes() > kCacheBytes)) {
    size_t oldest = 0;
    for (size_t i = 1; i < c.folders.size(); ++i) {
      if (c.folders[i].last_use < c.folders[oldest].last_use) oldest = i;
    }
    drop_at(c, oldest);
  }
  c.bytes += ix->bytes();
  c.folders.push_back({std::move(ix), ++c.tick});
}

bool settled(const tw3_stat& st) {
  return st.change_ns != 0 && st.change_ns / kNsPerSecond + kSettleSeconds <= tw3_unix_now();
}

}  // namespace

bool tw3_name_index_find(const char* dir, const tw3_stat& dir_st, std::string_view host_name,
                         const tw3_name_rules& rules, std::string* out) {
  cache& c = the_cache();
  const folder_key key = key_of(dir, dir_st);
  std::shared_ptr<const folder_index> ix = take(c, key);
  if (!ix) {
    std::shared_ptr<folder_index> fresh = build(key, rules);
    if (!fresh) return false;
    ix = fresh;
    if (settled(dir_st)) keep(c, ix);
  }
  const std::string want(host_name);
  const auto it = std::lower_bound(ix->order.begin(), ix->order.end(), want, [&ix](uint32_t off, const std::string& w) {
    return tw3_casecmp(ix->at(off), w.c_str()) < 0;
  });
  if (it == ix->order.end() || tw3_casecmp(ix->at(*it), want.c_str()) != 0) return false;
  out->assign(ix->at(*it));
  return true;
}

void tw3_name_index_reset() {
  cache& c = the_cache();
  tw3_lock_guard lk(c.lock);
  c.folders.clear();
  c.bytes = 0;
}

tw3_name_index_usage tw3_name_index_usage_get() {
  cache& c = the_cache();
  tw3_lock_guard lk(c.lock);
  return {int(c.folders.size()), c.bytes};
}
