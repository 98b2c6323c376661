// The change-notify registry: the host watches of folder handles, the
// changes they saw, and the requests waiting for them (the CHANGE_NOTIFY
// handler itself is cmd_change_notify.cpp). The connection's thread looks at its watches
// whenever it waits for the client (every 100 ms) and after each message,
// so completions leave from that thread, through send_frame and its lock,
// signed like any response. Host folders watched are bounded per connection
// and for the whole server.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "smb/files.h"

namespace {

struct kept_change {
  uint32_t action;
  uint32_t touched;
  int32_t is_dir;
  std::string name;  // UTF-8, relative to the watched folder
};

constexpr tw3_watch_source kHostSource{tw3_watch_open, tw3_watch_add, tw3_watch_count, tw3_watch_read,
                                       tw3_watch_close};

tw3_mutex g_watch_lock;
int64_t g_server_watches = 0;  // host folders watched on the server

}  // namespace

const tw3_watch_source* g_watch_source = &kHostSource;

struct tw3_notify {
  tw3_watch* watch = nullptr;
  int32_t charged = 0;   // folders counted against the bounds
  int32_t tree = 0;      // WATCH_TREE as first asked
  std::vector<kept_change> kept;
  bool overflow = false;  // more changes than kept: the next answer is ENUM_DIR
  // The request waiting, if any.
  bool waiting = false;
  tw3_conn* channel = nullptr;  // the connection the request came on: its answer goes there
  uint64_t async_id = 0;
  uint64_t message_id = 0;
  uint64_t session_id = 0;
  uint32_t tree_id = 0;
  uint16_t credit_charge = 0;
  uint32_t out_len = 0;
  uint32_t filter = 0;
  bool sign = false;
  bool seal = false;  // the request came encrypted: so does its completion
};

namespace {

// Batches read from one watch per look: enough to pass the kept bound, so a
// flood ends as ENUM_DIR at once rather than trickling in.
constexpr int kReadRounds = 64;

// ---- Bounds: folders are reserved before they are watched ----

int32_t conn_watches(const tw3_conn* c) {
  int32_t n = 0;
  for (const tw3_open* o = c->cl->opens.newest; o != nullptr; o = o->next)
    if (o->notify != nullptr) n += o->notify->charged;
  return n;
}

// Counts one more folder for n (attached to its open or still being built);
// false when a bound is reached.
bool reserve_one(tw3_conn* c, tw3_notify* n) {
  const bool attached = [&] {
    for (const tw3_open* o = c->cl->opens.newest; o != nullptr; o = o->next)
      if (o->notify == n) return true;
    return false;
  }();
  if (conn_watches(c) + (attached ? 0 : n->charged) >= c->opts.max_watches_per_conn) return false;
  tw3_lock_guard hold(g_watch_lock);
  if (g_server_watches >= c->opts.max_watches) return false;
  ++g_server_watches;
  ++n->charged;
  return true;
}

void unreserve(tw3_notify* n, int32_t k) {
  tw3_lock_guard hold(g_watch_lock);
  g_server_watches -= k;
  n->charged -= k;
}

// Watches the folder root/rel, counted. False when refused or bounded.
bool watch_folder(tw3_conn* c, tw3_notify* n, const char* root, const std::string& rel) {
  if (!reserve_one(c, n)) return false;
  if (g_watch_source->add(n->watch, root, rel.c_str()) == 0) return true;
  unreserve(n, 1);
  return false;
}

// Watches every folder below root/rel, breadth first, without following
// links. False when a bound stopped it.
bool watch_below(tw3_conn* c, tw3_notify* n, const char* root, const std::string& rel) {
  std::vector<std::string> todo{rel};
  for (size_t i = 0; i < todo.size(); ++i) {
    const std::string dir = todo[i].empty() ? std::string(root) : std::string(root) + "/" + todo[i];
    tw3_dir* d = tw3_fs_opendir_nofollow(dir.c_str());
    if (d == nullptr) continue;
    bool ok = true;
    for (const char* name = tw3_fs_readdir(d); name != nullptr && ok; name = tw3_fs_readdir(d)) {
      tw3_stat st{};
      const std::string sub = todo[i].empty() ? std::string(name) : todo[i] + "/" + name;
      if (tw3_fs_lstat((dir + "/" + name).c_str(), &st) != 0 || st.kind != TW3_KIND_DIR) continue;
      ok = watch_folder(c, n, root, sub);
      if (ok) todo.push_back(sub);
    }
    tw3_fs_closedir(d);
    if (!ok) return false;
  }
  return true;
}

void release(tw3_notify* n) {
  g_watch_source->close(n->watch);
  unreserve(n, n->charged);
  delete n;
}

// A new watch of the open's folder: STATUS_SUCCESS, or the refusal.
uint32_t start_watch(tw3_conn* c, tw3_open* o, bool tree) {
  auto* n = new (std::nothrow) tw3_notify{};
  if (n == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  n->tree = tree ? 1 : 0;
  n->watch = g_watch_source->open();
  bool ok = n->watch != nullptr;
  try {
    ok = ok && watch_folder(c, n, o->local_path, "");
    ok = ok && (!tree || watch_below(c, n, o->local_path, ""));
  } catch (...) {
    ok = false;
  }
  if (!ok) {
    release(n);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  o->notify = n;
  return STATUS_SUCCESS;
}

// ---- Changes ----

uint32_t filter_bits(const kept_change& k) {
  switch (k.action) {
    case TW3_WATCH_MODIFIED: {
      uint32_t bits = 0;
      if (k.touched & TW3_WATCH_DATA) bits |= FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;
      if (k.touched & TW3_WATCH_META)
        bits |= FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_LAST_ACCESS |
                FILE_NOTIFY_CHANGE_CREATION | FILE_NOTIFY_CHANGE_SECURITY;
      return bits;
    }
    default:
      return k.is_dir ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME;
  }
}

void keep(tw3_notify* n, const tw3_watch_event& e) {
  if (e.action == TW3_WATCH_OVERFLOW || n->kept.size() >= TW3_NOTIFY_KEEP) {
    n->overflow = true;
    n->kept.clear();
    return;
  }
  if (n->overflow) return;  // the folder is listed again anyway
  // A write is seen as several host events (write, close, attributes): one
  // record says it.
  if (!n->kept.empty()) {
    kept_change& last = n->kept.back();
    if (last.action == e.action && e.action == TW3_WATCH_MODIFIED && last.name == e.name) {
      last.touched |= e.touched;
      return;
    }
  }
  try {
    n->kept.push_back({e.action, e.touched, e.is_dir, e.name});
  } catch (...) {
    n->overflow = true;
    n->kept.clear();
  }
}

// Takes what the host reported for the open; a folder that appeared below a
// tree watch is watched too, or the next answer is ENUM_DIR.
void take_changes(tw3_conn* c, tw3_open* o) {
  tw3_notify* n = o->notify;
  tw3_watch_event ev[TW3_NOTIFY_READ_BATCH];
  for (int rounds = 0; rounds < kReadRounds; ++rounds) {
    const int k = g_watch_source->read(n->watch, ev, TW3_NOTIFY_READ_BATCH, 0);
    if (k < 0) n->overflow = true;
    if (k <= 0) return;
    for (int i = 0; i < k; ++i) {
      keep(n, ev[i]);
      const bool new_dir = ev[i].is_dir && (ev[i].action == TW3_WATCH_ADDED || ev[i].action == TW3_WATCH_RENAMED_NEW);
      if (n->tree && new_dir) {
        bool ok = false;
        try {
          ok = watch_folder(c, n, o->local_path, ev[i].name) && watch_below(c, n, o->local_path, ev[i].name);
        } catch (...) {
        }
        if (!ok) n->overflow = true;
      }
    }
  }
}

// Drops the changes the filter does not ask for; true when something is left
// to report.
bool something_to_report(tw3_notify* n, uint32_t filter) {
  if (n->overflow) return true;
  std::erase_if(n->kept, [filter](const kept_change& k) { return (filter_bits(k) & filter) == 0; });
  return !n->kept.empty();
}

// The FILE_NOTIFY_INFORMATION records of the kept changes, names as the
// client sees them. False when they do not fit out_len.
bool build_records(const tw3_notify& n, uint32_t out_len, tw3_buf* out) {
  uint64_t prev = 0;
  bool first = true;
  std::vector<uint8_t> name16;
  for (const kept_change& k : n.kept) {
    std::string wire;
    if (!tw3_path_to_client(k.name, '/', tw3_host_name_rules(), &wire)) continue;  // a hidden name
    name16.resize(wire.size() * 2 + 2);
    int32_t len16 = 0;
    if (tw3_utf8_to_utf16le(wire.c_str(), name16.data(), int32_t(name16.size()), &len16) != 0) continue;
    while (out->len % FILE_NOTIFY_ALIGN != 0) tw3_buf_byte(out, 0);
    if (!first) put_le32(out->data + prev, uint32_t(out->len - prev));
    first = false;
    prev = out->len;
    w32(out, 0);
    w32(out, k.action);
    w32(out, uint32_t(len16));
    tw3_buf_put(out, name16.data(), uint64_t(len16));
    if (out->failed || out->len > out_len) return false;
  }
  return !out->failed;
}

// The final answer of a waiting request, or of one answered at once: the
// records, or ENUM_DIR when they do not fit or were lost.
uint32_t answer_body(tw3_notify* n, uint32_t out_len, tw3_buf* records) {
  const bool fits = !n->overflow && build_records(*n, out_len, records);
  n->kept.clear();
  n->overflow = false;
  if (fits) return STATUS_SUCCESS;
  records->len = 0;
  return STATUS_NOTIFY_ENUM_DIR;
}

void put_success_body(tw3_buf* b, const tw3_buf& records) {
  w16(b, SMB2_CHANGE_NOTIFY_RESPONSE_SIZE);
  w16(b, uint16_t(records.len == 0 ? 0 : SMB2_HDR_SIZE + 8));
  w32(b, uint32_t(records.len));
  if (records.len == 0) tw3_buf_byte(b, 0);
  tw3_buf_put(b, records.data, records.len);
}

// Sends the completion of the waiting request with `status` (records only
// with success) as a message of its own.
void complete(tw3_notify* n, uint32_t status, const tw3_buf* records) {
  n->waiting = false;
  tw3_conn* c = n->channel;
  tw3_reply f{};
  rep_begin(&f, SMB2_CHANGE_NOTIFY, status, n->message_id, n->session_id, 0, n->credit_charge, 0);
  if (status == STATUS_SUCCESS && records != nullptr) {
    put_success_body(&f.b, *records);
  } else {
    rep_error(&f, status);
  }
  if (!f.b.failed) {
    put_le32(f.b.data + HDR_FLAGS, le32(f.b.data + HDR_FLAGS) | SMB2_FLAGS_ASYNC_COMMAND);
    put_le64(f.b.data + HDR_ASYNC_ID, n->async_id);
    tw3_trace(c, "[notify] complete async=%llu status=%08x n=%zu\n",
              static_cast<unsigned long long>(n->async_id), status, static_cast<size_t>(f.b.len));
    bool sendable = true;
    if (n->seal) {
      sendable = tf_seal_own(c, &f, n->session_id) == 0;
      if (!sendable) c->closing = 1;
    } else if (n->sign) {
      sign_frame(c, f.b.data, f.b.len);
    }
    if (sendable) send_reply(c, &f);
  }
  tw3_buf_free(&f.b);
}

void complete_with_changes(tw3_notify* n) {
  tw3_buf records{};
  const uint32_t status = answer_body(n, n->out_len, &records);
  complete(n, status, &records);
  tw3_buf_free(&records);
}

// The current response becomes the interim answer: STATUS_PENDING with the
// AsyncId the completion will carry.
}  // namespace

tw3_done tw3_notify_wait(tw3_conn* c, const tw3_req& rq, tw3_reply* r, uint32_t out_len, uint32_t filter) {
  tw3_notify* n = rq.open->notify;
  n->waiting = true;
  n->channel = c;
  n->async_id = ++c->cl->next_id;
  n->message_id = rq.hdr.message_id;
  n->session_id = rq.hdr.session_id;
  n->tree_id = rq.hdr.tree_id;
  n->credit_charge = rq.hdr.credit_charge;
  n->out_len = out_len;
  n->filter = filter;
  n->sign = sign_decide(c, r, SMB2_CHANGE_NOTIFY, rq.hdr.is_signed, *rq.msg, rq.hdr.session_id) != 0;
  n->seal = rq.msg->encrypted != 0;
  rep_error(r, STATUS_PENDING);
  if (uint8_t* h = rep_cur_hdr(r)) {
    put_le32(h + HDR_FLAGS, le32(h + HDR_FLAGS) | SMB2_FLAGS_ASYNC_COMMAND);
    put_le64(h + HDR_ASYNC_ID, n->async_id);
  }
  tw3_trace(c, "[notify] pending async=%llu mid=%llu\n", static_cast<unsigned long long>(n->async_id),
            static_cast<unsigned long long>(n->message_id));
  return tw3_answer(STATUS_PENDING);
}

uint32_t tw3_notify_start(tw3_conn* c, tw3_open* o, bool tree) {
  if (o->notify != nullptr) return STATUS_SUCCESS;
  return start_watch(c, o, tree);
}

bool tw3_notify_waiting(const tw3_open* o) { return o->notify != nullptr && o->notify->waiting; }

bool tw3_notify_ready(tw3_conn* c, tw3_open* o, uint32_t filter) {
  take_changes(c, o);
  return something_to_report(o->notify, filter);
}

uint32_t tw3_notify_answer(tw3_open* o, uint32_t out_len, tw3_reply* r) {
  tw3_buf records{};
  const uint32_t status = answer_body(o->notify, out_len, &records);
  if (status == STATUS_SUCCESS) {
    put_success_body(&r->b, records);
  } else {
    rep_error(r, status);
  }
  tw3_buf_free(&records);
  return status;
}

void tw3_notify_poll(tw3_conn* c) {
  for (tw3_open* o = c->cl->opens.newest; o != nullptr && !c->closing; o = o->next) {
    if (o->notify == nullptr) continue;
    take_changes(c, o);
    tw3_notify* n = o->notify;
    if (n->waiting && n->channel == c && something_to_report(n, n->filter)) complete_with_changes(n);
  }
}

namespace {

// The waiting request a CANCEL names (by AsyncId, or MessageId), or null.
tw3_notify* waiting_for(const tw3_conn* c, const tw3_hdr& h) {
  const bool by_async = (h.flags & SMB2_FLAGS_ASYNC_COMMAND) != 0;
  for (const tw3_open* o = c->cl->opens.newest; o != nullptr; o = o->next) {
    tw3_notify* n = o->notify;
    if (n == nullptr || !n->waiting || n->channel != c) continue;
    if (by_async ? n->async_id == h.async_id : n->message_id == h.message_id) return n;
  }
  return nullptr;
}

}  // namespace

bool tw3_notify_is_waiting(const tw3_conn* c, const tw3_hdr& h) { return waiting_for(c, h) != nullptr; }

bool tw3_notify_cancel(tw3_conn* c, const tw3_req& rq, tw3_reply* r) {
  tw3_notify* n = waiting_for(c, rq.hdr);
  if (n != nullptr) {
    // The CANCEL gets no answer of its own: its response slot becomes the
    // cancelled request's final answer.
    n->waiting = false;
    uint8_t* rh = rep_cur_hdr(r);
    if (rh == nullptr) return false;
    rh[HDR_COMMAND] = SMB2_CHANGE_NOTIFY;
    put_le16(rh + HDR_CREDIT_CHARGE, n->credit_charge);
    put_le32(rh + HDR_FLAGS, le32(rh + HDR_FLAGS) | SMB2_FLAGS_ASYNC_COMMAND);
    put_le64(rh + HDR_MESSAGE_ID, n->message_id);
    put_le64(rh + HDR_ASYNC_ID, n->async_id);
    put_le64(rh + HDR_SESSION_ID, n->session_id);
    rep_error(r, STATUS_CANCELLED);
    return true;
  }
  return false;
}

void tw3_notify_cleanup_open(tw3_open* o) {
  if (o->notify != nullptr && o->notify->waiting) complete(o->notify, STATUS_NOTIFY_CLEANUP, nullptr);
  tw3_notify_free(o);
}

void tw3_notify_cleanup_tree(tw3_conn* c, uint32_t tree_id) {
  for (tw3_open* o = c->cl->opens.newest; o != nullptr; o = o->next) {
    tw3_notify* n = o->notify;
    if (n != nullptr && n->waiting && (tree_id == 0 || n->tree_id == tree_id))
      complete(n, STATUS_NOTIFY_CLEANUP, nullptr);
  }
}

void tw3_notify_forget_channel(const tw3_conn* c) {
  for (tw3_open* o = c->cl->opens.newest; o != nullptr; o = o->next)
    if (o->notify != nullptr && o->notify->channel == c) o->notify->waiting = false;
}

void tw3_notify_free(tw3_open* o) {
  if (o->notify == nullptr) return;
  release(o->notify);
  o->notify = nullptr;
}

int64_t tw3_notify_server_watches() {
  tw3_lock_guard hold(g_watch_lock);
  return g_server_watches;
}
