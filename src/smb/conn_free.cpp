// Freeing of a connection's tree and open records, shared by LOGOFF, the
// end of a connection and any handler that needs it.
#include "smb/files.h"

void tw3_conn_free_trees(tw3_conn* c) {
  tw3_tree* t = c->tree_list;
  c->tree_list = nullptr;
  while (t != nullptr) {
    tw3_tree* older = t->next;
    delete t;
    t = older;
  }
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
}

void tw3_open_close(tw3_conn* c, tw3_open* o) {
  // The record stays on the list, inert, so its id is never reused.
  tw3_caching_release(c, o);
  tw3_notify_cleanup_open(c, o);
  tw3_open_release(o);
  o->in_use = 0;
  --c->open_count;
}

// A connection that made this many opens (or trees, or watches) over its
// life may have left megabytes of freed open records in its thread's heap.
constexpr uint64_t kTrimAfterIds = 256;

void tw3_conn_free_opens(tw3_conn* c) {
  tw3_open* o = c->open_list;
  c->open_list = nullptr;
  c->open_count = 0;
  while (o != nullptr) {
    tw3_open* older = o->next;
    tw3_open_release(o);
    delete o;
    o = older;
  }
  tw3_leases_free(c);
  if (c->next_id >= kTrimAfterIds) tw3_mem_trim();
}

tw3_open* tw3_open_find(tw3_conn* c, uint64_t file_id) {
  for (tw3_open* o = c->open_list; o != nullptr; o = o->next) {
    if (o->in_use && o->file_id == file_id) return o;
  }
  return nullptr;
}
