// Read caching: level II oplocks and Read+Handle leases (MS-SMB2 3.3.5.9.8,
// 3.3.5.9.11), and their breaks (2.2.23, 3.3.4.6, 3.3.4.7). Clients that
// may cache read each file once instead of once per page. The server never
// writes, so the only thing that can make a cached copy stale is a change
// made on the host: each held grant remembers the file's status, and a READ,
// a CREATE of the same file or the loop's once-a-second check that finds the
// status moved sends a break to none, on its own, before anything else goes
// out.
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "smb/files.h"

namespace {

constexpr uint32_t kReadHandle = SMB2_LEASE_READ_CACHING | SMB2_LEASE_HANDLE_CACHING;
constexpr uint16_t kLeaseBreakSize = 44;   // MS-SMB2 2.2.23.2

bool same_file(const tw3_stat& a, const tw3_stat& b) {
  return a.kind == b.kind && a.size == b.size && a.mtime == b.mtime && a.change_ns == b.change_ns &&
         a.file_index == b.file_index;
}

// A notification: OPLOCK_BREAK from the server with MessageId all ones,
// no tree, no credits; never signed (clients do not check it). It names no
// session unless it is sealed for session_id, when that encrypts.
void send_notification(tw3_conn* c, const tw3_buf& body, uint64_t session_id) {
  tw3_reply n{};
  rep_begin(&n, SMB2_OPLOCK_BREAK, STATUS_SUCCESS, SMB2_NOTIFICATION_MESSAGE_ID, 0, 0, 0, 0);
  tw3_buf_put(&n.b, body.data, body.len);
  if (!n.b.failed && !body.failed) {
    if (tf_seal_break(c, &n, session_id) == 0)
      send_reply(c, &n);
    else
      c->closing = 1;
  }
  tw3_buf_free(&n.b);
}

// A break goes to a connection the holding session serves requests on;
// another channel of the session sends it when this one is not.
bool serves(const tw3_conn* c, uint64_t session_id) { return tw3_session_find(c, session_id) != nullptr; }

void break_oplock(tw3_conn* c, tw3_open* o) {
  if (!serves(c, o->session_id)) return;
  tw3_buf b{};
  w16(&b, TW3_OPLOCK_BREAK_SIZE);
  tw3_buf_byte(&b, SMB2_OPLOCK_LEVEL_NONE);
  tw3_buf_byte(&b, 0);
  w32(&b, 0);
  w64(&b, o->file_id);
  w64(&b, 0);  // FileId.Volatile
  tw3_trace(c, "[lease] oplock break fid=%llx\n", static_cast<unsigned long long>(o->file_id));
  o->oplock_level = SMB2_OPLOCK_LEVEL_NONE;
  o->oplock_breaking = 1;  // its acknowledgement, if the client sends one, is answered
  send_notification(c, b, o->session_id);
  tw3_buf_free(&b);
}

void break_lease(tw3_conn* c, tw3_lease* l) {
  if (!serves(c, l->session_id)) return;
  // Giving up Handle caching means closing handles the client kept: it
  // must say when it has (MS-SMB2 3.3.4.7).
  const bool ack = (l->state & (SMB2_LEASE_HANDLE_CACHING | SMB2_LEASE_WRITE_CACHING)) != 0;
  if (l->version == 2) ++l->epoch;
  tw3_buf b{};
  w16(&b, kLeaseBreakSize);
  w16(&b, l->version == 2 ? l->epoch : 0);
  w32(&b, ack ? SMB2_NOTIFY_BREAK_LEASE_FLAG_ACK_REQUIRED : 0);
  tw3_buf_put(&b, l->key, SMB2_LEASE_KEY_SIZE);
  w32(&b, l->state);
  w32(&b, 0);  // NewLeaseState: none
  w32(&b, 0);  // BreakReason
  w32(&b, 0);  // AccessMaskHint
  w32(&b, 0);  // ShareMaskHint
  tw3_trace(c, "[lease] break state=%u epoch=%u ack=%d\n", l->state, l->epoch, ack ? 1 : 0);
  l->state = 0;
  l->breaking = ack ? 1 : 0;
  send_notification(c, b, l->session_id);
  tw3_buf_free(&b);
}

void fill_lease_answer(const tw3_lease& l, tw3_caching* out) {
  out->oplock_level = SMB2_OPLOCK_LEVEL_LEASE;
  out->lease_version = l.version;
  std::memcpy(out->key, l.key, SMB2_LEASE_KEY_SIZE);
  out->state = l.state;
  out->flags = (l.breaking ? SMB2_LEASE_FLAG_BREAK_IN_PROGRESS : 0) |
               (l.version == 2 ? l.flags & SMB2_LEASE_FLAG_PARENT_LEASE_KEY_SET : 0);
  std::memcpy(out->parent_key, l.parent_key, SMB2_LEASE_KEY_SIZE);
  out->epoch = l.version == 2 ? l.epoch : 0;
}

tw3_lease* new_lease(tw3_conn* c, const tw3_open& o, const tw3_lease_req& req) {
  auto* l = new (std::nothrow) tw3_lease{};
  if (l == nullptr) return nullptr;
  std::memcpy(l->key, req.key, SMB2_LEASE_KEY_SIZE);
  l->version = req.version;
  // A version 2 lease counts on from the client's epoch; its first grant
  // answers that epoch + 1 (MS-SMB2 3.3.5.9.11).
  l->epoch = req.version == 2 ? req.epoch : 0;
  l->flags = req.flags;
  std::memcpy(l->parent_key, req.parent_key, SMB2_LEASE_KEY_SIZE);
  std::memcpy(l->local_path, o.local_path, sizeof l->local_path);
  l->next = c->cl->lease_list;
  c->cl->lease_list = l;
  return l;
}

void grant_lease(tw3_conn* c, tw3_open* o, const tw3_lease_req& req, tw3_caching* out) {
  // Read is what a client caches with; Handle alone is not a lease state.
  uint32_t want = req.state & kReadHandle;
  if ((want & SMB2_LEASE_READ_CACHING) == 0) want = 0;
  tw3_lease* l = tw3_lease_find(c, req.key);
  if (l == nullptr) {
    if (want == 0 || (l = new_lease(c, *o, req)) == nullptr) return;
  }
  // A lease breaking keeps its state until acknowledged; one that grows
  // starts over from the file as it is now.
  if (!l->breaking && (l->state | want) != l->state) {
    l->state |= want;
    ++l->epoch;
    l->stamp = o->st;
  }
  ++l->opens;
  l->session_id = o->session_id;
  o->lease = l;
  o->oplock_level = SMB2_OPLOCK_LEVEL_LEASE;
  fill_lease_answer(*l, out);
}

}  // namespace

tw3_lease* tw3_lease_find(const tw3_conn* c, const uint8_t* key) {
  for (tw3_lease* l = c->cl->lease_list; l != nullptr; l = l->next)
    if (std::memcmp(l->key, key, SMB2_LEASE_KEY_SIZE) == 0) return l;
  return nullptr;
}

uint32_t tw3_lease_admit(const tw3_conn* c, const tw3_lease_req& req, const char* local_path) {
  if (req.version == 0) return STATUS_SUCCESS;
  const tw3_lease* l = tw3_lease_find(c, req.key);
  if (l != nullptr && std::strcmp(l->local_path, local_path) != 0) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

void tw3_caching_grant(tw3_conn* c, tw3_open* o, uint8_t requested_level, const tw3_lease_req& req,
                       tw3_caching* out) {
  *out = tw3_caching{};
  if (o->is_dir || o->is_pipe) return;  // directory leases stay ungranted
  if (requested_level == SMB2_OPLOCK_LEVEL_LEASE) {
    if (req.version != 0) grant_lease(c, o, req, out);
    return;
  }
  if (requested_level == SMB2_OPLOCK_LEVEL_II || requested_level == SMB2_OPLOCK_LEVEL_EXCLUSIVE ||
      requested_level == SMB2_OPLOCK_LEVEL_BATCH) {
    o->oplock_level = SMB2_OPLOCK_LEVEL_II;  // never more: nothing here may be written
    out->oplock_level = SMB2_OPLOCK_LEVEL_II;
  }
}

void tw3_caching_release(tw3_conn* c, tw3_open* o) {
  tw3_lease* l = o->lease;
  o->lease = nullptr;
  o->oplock_level = SMB2_OPLOCK_LEVEL_NONE;
  o->oplock_breaking = 0;
  if (l == nullptr || --l->opens > 0) return;
  for (tw3_lease** p = &c->cl->lease_list; *p != nullptr; p = &(*p)->next) {
    if (*p == l) {
      *p = l->next;
      delete l;
      return;
    }
  }
}

void tw3_leases_free(tw3_client_state* cl) { tw3_free_list(cl->lease_list); }

void tw3_caching_check(tw3_conn* c, const char* local_path, const tw3_stat& now) {
  for (tw3_lease* l = c->cl->lease_list; l != nullptr; l = l->next)
    if (l->state != 0 && std::strcmp(l->local_path, local_path) == 0 && !same_file(l->stamp, now))
      break_lease(c, l);
  for (tw3_open* o = c->cl->opens.newest; o != nullptr; o = o->next)
    if (o->oplock_level == SMB2_OPLOCK_LEVEL_II &&
        std::strcmp(o->local_path, local_path) == 0 && !same_file(o->st, now))
      break_oplock(c, o);
}

void tw3_caching_poll(tw3_conn* c) {
  const uint64_t now_ms = tw3_now_ms();
  if (now_ms - c->lease_poll_ms < TW3_CACHING_POLL_MS) return;
  c->lease_poll_ms = now_ms;
  // One status query per held grant; their number is bounded by max_handles.
  tw3_stat st{};
  for (tw3_lease* l = c->cl->lease_list; l != nullptr; l = l->next) {
    if (l->state == 0) continue;
    if (tw3_fs_stat(l->local_path, &st) != 0 || !same_file(l->stamp, st)) break_lease(c, l);
  }
  for (tw3_open* o = c->cl->opens.newest; o != nullptr; o = o->next) {
    if (o->oplock_level != SMB2_OPLOCK_LEVEL_II) continue;
    if (tw3_fs_stat(o->local_path, &st) != 0 || !same_file(o->st, st)) break_oplock(c, o);
  }
}
