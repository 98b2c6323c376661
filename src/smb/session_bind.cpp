// Session binding (multichannel, MS-SMB2 3.3.5.5): another connection of a
// client joins a session as a further channel. The connection runs an NTLM
// exchange of its own for the session, in a binding record of its client
// state that carries a copy of what the exchange is checked against (the
// session's signing key, dialect, client GUID and user); once the same user
// has authenticated, the connection becomes a channel of the session and
// shares the client state that holds it.
//
// A connection binds from a state with no sessions of its own (binding
// records aside), or to a session of the state it already shares: so a
// thread that waits for another state's lock holds only a lock nobody waits
// for.
#include <cstring>

#include "smb/files.h"

namespace {

bool has_own_sessions(const tw3_client_state* cl) {
  for (const tw3_session* s = cl->sessions; s != nullptr; s = s->next)
    if (!s->binding) return true;
  return false;
}

// The session (not a binding record) with this id in a client state.
tw3_session* session_in(tw3_client_state* cl, uint64_t session_id) {
  for (tw3_session* s = cl->sessions; s != nullptr; s = s->next)
    if (s->id == session_id && !s->binding) return s;
  return nullptr;
}

// The state holding the session, locked for the caller unless it is the
// connection's own (locked already); a reference is taken either way.
// Null when there is none, or when waiting for its lock is not allowed.
tw3_client_state* lock_holder(tw3_conn* c, uint64_t session_id) {
  tw3_client_state* x = tw3_client_holding(session_id);
  if (x == nullptr || x == c->cl) return x;
  if (has_own_sessions(c->cl)) {
    tw3_client_release(x);
    return nullptr;
  }
  x->lock.lock();
  return x;
}

void unlock_holder(tw3_conn* c, tw3_client_state* x) {
  if (x != c->cl) x->lock.unlock();
  tw3_client_release(x);
}

// What the binding exchange is checked against, copied from the session.
void copy_for_binding(const tw3_session& t, tw3_session* b) {
  b->keys_ready = 1;
  std::memcpy(b->signing_key, t.signing_key, sizeof b->signing_key);
  std::memcpy(b->session_base_key, t.session_base_key, sizeof b->session_base_key);
  b->dialect = t.dialect;
  b->cipher_id = t.cipher_id;
  b->signing_algorithm = t.signing_algorithm;
  std::memcpy(b->client_guid, t.client_guid, sizeof b->client_guid);
  b->guest = t.guest;
  std::memcpy(b->user, t.user, sizeof b->user);
  std::memcpy(b->domain, t.domain, sizeof b->domain);
}

}  // namespace

void tw3_bind_prepare(tw3_conn* c, uint64_t session_id) {
  if (session_id == 0 || c->dialect < SMB2_DIALECT_300 || tw3_session_find(c, session_id) != nullptr)
    return;
  tw3_session* b = tw3_session_begin(c, session_id);
  if (b == nullptr) return;
  // Until the session is found usable the record stands for none.
  b->ended = 1;
  tw3_client_state* x = lock_holder(c, session_id);
  if (x == nullptr) return;
  const tw3_session* t = session_in(x, session_id);
  if (t != nullptr && t->authenticated && !t->ended) {
    copy_for_binding(*t, b);
    std::memcpy(b->preauth_hash, c->preauth_hash, sizeof b->preauth_hash);
    b->ended = 0;
  }
  unlock_holder(c, x);
}

uint32_t tw3_bind_join(tw3_conn* c, tw3_session* b, const uint8_t channel_key[16]) {
  tw3_client_state* x = lock_holder(c, b->id);
  if (x == nullptr) return STATUS_USER_SESSION_DELETED;
  tw3_session* t = session_in(x, b->id);
  uint32_t status = STATUS_SUCCESS;
  if (t == nullptr || !t->authenticated || t->ended)
    status = STATUS_USER_SESSION_DELETED;
  else if (tw3_channel_of(t, c) != nullptr)
    status = STATUS_REQUEST_NOT_ACCEPTED;
  else if (!tw3_channel_add(t, c, channel_key))
    status = STATUS_INSUFFICIENT_RESOURCES;
  if (status != STATUS_SUCCESS) {
    unlock_holder(c, x);
    return status;
  }
  // The exchange has served; its record goes with the state it lies in.
  b->ended = 1;
  c->logged_on = 1;
  if (x == c->cl) {
    tw3_client_release(x);
  } else {
    // The connection moves into the session's state, keeping the lock and
    // the reference taken above until its message is answered.
    c->cl = x;
  }
  return STATUS_SUCCESS;
}
