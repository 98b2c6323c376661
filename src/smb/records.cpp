// The lifetimes of a connection's tree and open records: an open lives from
// its CREATE to its CLOSE (or the end of its tree, session or connection)
// and is freed then; only live opens are kept, found by FileId through a
// hash index so a long-lived connection pays nothing for what it closed.
#include <bit>
#include <cstring>
#include <new>

#include "smb/files.h"

// Open addressing with linear probing over live opens only, keyed by
// FileId.Persistent (never 0: ids are odd). At most half full, so a probe
// ends quickly; it shrinks again once a burst of opens has closed.
struct tw3_fid_index {
  tw3_open** slots;
  uint64_t cap;  // a power of two
};

namespace {

constexpr uint64_t kIndexMinSlots = 16;
constexpr uint64_t kFibonacci = 0x9E3779B97F4A7C15ull;  // spreads the counter-made ids

uint64_t home_slot(const tw3_fid_index& ix, uint64_t fid) {
  return (fid * kFibonacci) >> (64 - std::countr_zero(ix.cap));
}

void index_put(tw3_fid_index& ix, tw3_open* o) {
  uint64_t i = home_slot(ix, o->file_id);
  while (ix.slots[i] != nullptr) i = (i + 1) & (ix.cap - 1);
  ix.slots[i] = o;
}

// Rebuilds the index with `cap` slots. False (the index unchanged) without memory.
bool index_resize(tw3_fid_index& ix, uint64_t cap) {
  auto** fresh = new (std::nothrow) tw3_open*[cap]();
  if (fresh == nullptr) return false;
  tw3_open** old = ix.slots;
  const uint64_t old_cap = ix.cap;
  ix.slots = fresh;
  ix.cap = cap;
  for (uint64_t i = 0; i < old_cap; ++i)
    if (old[i] != nullptr) index_put(ix, old[i]);
  delete[] old;
  return true;
}

// Removes o, moving back the entries of its probe run that would otherwise
// no longer be found (no tombstones, so lookups never slow down).
void index_remove(tw3_fid_index& ix, const tw3_open* o) {
  const uint64_t mask = ix.cap - 1;
  uint64_t i = home_slot(ix, o->file_id);
  while (ix.slots[i] != o) {
    if (ix.slots[i] == nullptr) return;
    i = (i + 1) & mask;
  }
  ix.slots[i] = nullptr;
  for (uint64_t j = (i + 1) & mask; ix.slots[j] != nullptr; j = (j + 1) & mask) {
    const uint64_t home = home_slot(ix, ix.slots[j]->file_id);
    // The entry at j may move to the hole at i unless its home lies
    // cyclically in (i, j].
    const bool stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
    if (stays) continue;
    ix.slots[i] = ix.slots[j];
    ix.slots[j] = nullptr;
    i = j;
  }
}

bool index_make_room(tw3_open_table& t) {
  if (t.index == nullptr) {
    t.index = new (std::nothrow) tw3_fid_index{};
    if (t.index == nullptr) return false;
  }
  tw3_fid_index& ix = *t.index;
  if (ix.cap == 0) return index_resize(ix, kIndexMinSlots);
  if (static_cast<uint64_t>(t.count + 1) * 2 <= ix.cap) return true;
  return index_resize(ix, ix.cap * 2);
}

void index_maybe_shrink(tw3_open_table& t) {
  tw3_fid_index* ix = t.index;
  if (ix == nullptr || ix->cap <= kIndexMinSlots) return;
  if (static_cast<uint64_t>(t.count) * 8 < ix->cap) index_resize(*ix, ix->cap / 2);
}

void unlink(tw3_open_table& t, tw3_open* o) {
  if (o->prev != nullptr) o->prev->next = o->next;
  else t.newest = o->next;
  if (o->next != nullptr) o->next->prev = o->prev;
  if (t.index != nullptr) index_remove(*t.index, o);
  --t.count;
}

}  // namespace

void tw3_client_free_trees(tw3_client_state* cl) {
  int64_t n = 0;
  for (const tw3_tree* t = cl->tree_list; t != nullptr; t = t->next) ++n;
  tw3_stat_add(ST_TREES, -n);  // the gauge of trees connected now
  tw3_free_list(cl->tree_list);
}

void tw3_open_drop_listing(tw3_open* o) {
  tw3_listing_release(o->listing);
  o->listing = nullptr;
  o->listing_count = 0;
  o->listing_valid = 0;
  o->cursor = 0;
}

void tw3_open_release(tw3_open* o) {
  tw3_notify_free(o);
  tw3_open_drop_listing(o);
  tw3_buf_free(&o->pipe_out);
  o->pipe_out_pos = 0;
  o->pipe_msg_left = 0;
  srvsvc_release(&o->pipe_rpc);
}

tw3_open* tw3_open_add(tw3_conn* c) {
  tw3_open_table& t = c->cl->opens;
  if (!index_make_room(t)) return nullptr;
  auto* o = new (std::nothrow) tw3_open{};
  if (o == nullptr) return nullptr;
  // Ids come from a 64-bit counter and are never handed out twice.
  ++c->cl->next_id;
  o->file_id = (c->cl->next_id << 4) | 1;
  o->next = t.newest;
  if (t.newest != nullptr) t.newest->prev = o;
  t.newest = o;
  index_put(*t.index, o);
  ++t.count;
  return o;
}

void tw3_open_close(tw3_conn* c, tw3_open* o) {
  tw3_caching_release(c, o);
  tw3_notify_cleanup_open(o);
  tw3_open_release(o);
  unlink(c->cl->opens, o);
  delete o;
  index_maybe_shrink(c->cl->opens);
}

// A connection that made this many opens (or trees, or watches) over its
// life may have left megabytes of freed open records in its thread's heap.
constexpr uint64_t kTrimAfterIds = 256;

void tw3_client_free_opens(tw3_client_state* cl) {
  tw3_open_table& t = cl->opens;
  tw3_open* o = t.newest;
  t.newest = nullptr;
  t.count = 0;
  while (o != nullptr) {
    tw3_open* older = o->next;
    tw3_open_release(o);
    delete o;
    o = older;
  }
  if (t.index != nullptr) delete[] t.index->slots;
  delete t.index;
  t.index = nullptr;
  tw3_leases_free(cl);
  if (cl->next_id >= kTrimAfterIds) tw3_mem_trim();
}

tw3_open* tw3_open_of(const tw3_conn* c, const tw3_hdr& h, uint64_t file_id) {
  tw3_open* o = tw3_open_find(c, file_id);
  if (o == nullptr || o->session_id != h.session_id || o->tree_id != h.tree_id) return nullptr;
  return o;
}

tw3_open* tw3_open_find(const tw3_conn* c, uint64_t file_id) {
  const tw3_fid_index* ix = c->cl->opens.index;
  if (ix == nullptr || ix->cap == 0 || file_id == 0) return nullptr;
  for (uint64_t i = home_slot(*ix, file_id);; i = (i + 1) & (ix->cap - 1)) {
    tw3_open* o = ix->slots[i];
    if (o == nullptr || o->file_id == file_id) return o;
  }
}
