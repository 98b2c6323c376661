// Sessions and the client state that holds them: session records made,
// found, ended and freed; the channels (connections) a session serves
// requests on; and the registry of client states, which finds a session by
// id for another connection of its client to bind to (multichannel).
//
// Locks: a connection's thread holds its client state's lock while it works
// on it. The registry's lock also guards the links of every state's session
// list, so a binding lookup may read lists of states it does not hold; it is
// always taken last and held briefly. A thread waits for another state's
// lock only from a state with no sessions of its own (see session_bind.cpp),
// which no other thread ever waits for, so no two threads wait on each other.
#include <cstring>
#include <new>

#include "smb/files.h"

namespace {

tw3_mutex g_registry_lock;
tw3_client_state* g_clients = nullptr;  // every client state of the server

// A session id: derived from the peer, the connection number, the clock and
// how many sessions the connection began before; never 0, always odd.
uint64_t new_session_id(tw3_conn* c) {
  const uint64_t seed = tw3_fnv1a64(c->peer_text, std::strlen(c->peer_text), TW3_FNV_BASIS) ^
                        static_cast<uint64_t>(static_cast<int64_t>(c->conn_id));
  const int64_t now = c->opts.clock != 0 ? c->opts.clock : tw3_unix_now();
  uint8_t t[16];
  put_le64(t, static_cast<uint64_t>(now));
  put_le64(t + 8, c->sessions_begun++);
  return tw3_fnv1a64(t, sizeof t, seed) | 1;
}

void free_channel(tw3_channel* ch) {
  tw3_wipe(ch->signing_key, sizeof ch->signing_key);
  delete ch;
  tw3_stat_add(ST_CHANNELS, -1);
}

void free_session(tw3_session* s) {
  for (tw3_channel* ch = s->channels; ch != nullptr;) {
    tw3_channel* older = ch->next;
    free_channel(ch);
    ch = older;
  }
  tw3_wipe(s, sizeof *s);  // keys and cipher schedules
  delete s;
}

// Removes the records the predicate picks, their keys wiped.
template <typename Pred>
void drop_sessions(tw3_client_state* cl, Pred pick) {
  for (tw3_session** p = &cl->sessions; *p != nullptr;) {
    tw3_session* s = *p;
    if (!pick(*s)) {
      p = &s->next;
      continue;
    }
    {
      tw3_lock_guard hold(g_registry_lock);
      *p = s->next;
    }
    free_session(s);
    --cl->session_count;
  }
}

// The connection leaves the session's channel list.
void remove_channel(tw3_session* s, const tw3_conn* c) {
  for (tw3_channel** p = &s->channels; *p != nullptr; p = &(*p)->next) {
    if ((*p)->conn != c) continue;
    tw3_channel* ch = *p;
    *p = ch->next;
    free_channel(ch);
    --s->channel_count;
    return;
  }
}

}  // namespace

tw3_channel* tw3_channel_of(const tw3_session* s, const tw3_conn* c) {
  for (tw3_channel* ch = s->channels; ch != nullptr; ch = ch->next)
    if (ch->conn == c) return ch;
  return nullptr;
}

bool tw3_channel_add(tw3_session* s, const tw3_conn* c, const uint8_t signing_key[16]) {
  if (s->channel_count >= TW3_CHANNELS_PER_SESSION) return false;
  auto* ch = new (std::nothrow) tw3_channel{};
  if (ch == nullptr) return false;
  ch->conn = c;
  std::memcpy(ch->signing_key, signing_key, sizeof ch->signing_key);
  ch->next = s->channels;
  s->channels = ch;
  ++s->channel_count;
  tw3_stat_add(ST_CHANNELS, 1);
  return true;
}

tw3_session* tw3_session_find(const tw3_conn* c, uint64_t session_id) {
  if (session_id == 0) return nullptr;
  for (tw3_session* s = c->cl->sessions; s != nullptr; s = s->next)
    if (s->id == session_id && (s->conn == c || tw3_channel_of(s, c) != nullptr)) return s;
  return nullptr;
}

tw3_session* tw3_session_live(const tw3_conn* c, uint64_t session_id) {
  tw3_session* s = tw3_session_find(c, session_id);
  return s != nullptr && s->authenticated && !s->ended ? s : nullptr;
}

tw3_session* tw3_session_begin(tw3_conn* c, uint64_t binding_id) {
  tw3_client_state* cl = c->cl;
  const uint64_t now = tw3_now_ms();
  drop_sessions(cl, [now](const tw3_session& s) {
    return !s.authenticated && !s.ended && now - s.begun_ms > TW3_LOGON_PENDING_MS;
  });
  if (cl->session_count >= TW3_SESSIONS_PER_CONN) return nullptr;
  auto* s = new (std::nothrow) tw3_session{};
  if (s == nullptr) return nullptr;
  s->id = binding_id != 0 ? binding_id : new_session_id(c);
  s->binding = binding_id != 0 ? 1 : 0;
  s->begun_ms = now;
  s->conn = c;
  s->dialect = c->dialect;
  s->cipher_id = c->cipher_id;
  s->signing_algorithm = c->signing_algorithm;
  std::memcpy(s->client_guid, c->client_guid, sizeof s->client_guid);
  {
    tw3_lock_guard hold(g_registry_lock);
    s->next = cl->sessions;
    cl->sessions = s;
  }
  ++cl->session_count;
  return s;
}

void tw3_session_end(tw3_conn* c, tw3_session* s) {
  // A binding exchange shares its id with the session it binds to, whose
  // trees and opens are not its own.
  if (!s->binding) {
    for (tw3_tree* t = c->cl->tree_list; t != nullptr;) {
      tw3_tree* older = t->next;  // t may be freed
      if (t->session_id == s->id) tw3_tree_retire(c, t);
      t = older;
    }
    // Opens of no tree of its own (none today) cannot outlive their session.
    for (tw3_open* o = c->cl->opens.newest; o != nullptr;) {
      tw3_open* older = o->next;
      if (o->session_id == s->id) tw3_open_close(c, o);
      o = older;
    }
  }
  if (s->authenticated) tw3_stat_add(ST_SESSIONS_OPEN, -1);
  s->authenticated = 0;
  s->ended = 1;
}

void tw3_sessions_reap(tw3_conn* c) {
  drop_sessions(c->cl, [](const tw3_session& s) { return s.ended != 0; });
}

bool tw3_conn_join_client(tw3_conn* c) {
  auto* cl = new (std::nothrow) tw3_client_state{};
  if (cl == nullptr) return false;
  cl->refs = 1;
  {
    tw3_lock_guard hold(g_registry_lock);
    cl->next_client = g_clients;
    g_clients = cl;
  }
  c->cl = cl;
  return true;
}

tw3_client_state* tw3_client_holding(uint64_t session_id) {
  tw3_lock_guard hold(g_registry_lock);
  for (tw3_client_state* cl = g_clients; cl != nullptr; cl = cl->next_client) {
    for (const tw3_session* s = cl->sessions; s != nullptr; s = s->next) {
      if (s->id != session_id || s->binding) continue;
      ++cl->refs;
      return cl;
    }
  }
  return nullptr;
}

void tw3_client_release(tw3_client_state* cl) {
  {
    tw3_lock_guard hold(g_registry_lock);
    if (--cl->refs > 0) return;
    for (tw3_client_state** p = &g_clients; *p != nullptr; p = &(*p)->next_client) {
      if (*p != cl) continue;
      *p = cl->next_client;
      break;
    }
  }
  // No connection shares it and no lookup can reach it any more.
  drop_sessions(cl, [](const tw3_session& s) {
    if (s.authenticated && !s.ended) tw3_stat_add(ST_SESSIONS_OPEN, -1);
    return true;
  });
  tw3_client_free_trees(cl);
  tw3_client_free_opens(cl);
  delete cl;
}

void tw3_conn_leave(tw3_conn* c) {
  tw3_client_state* cl = c->cl;
  if (cl == nullptr) return;
  {
    tw3_lock_guard hold(cl->lock);
    // Nothing is answered on this connection any more.
    tw3_notify_forget_channel(c);
    for (tw3_session* s = cl->sessions; s != nullptr; s = s->next) {
      remove_channel(s, c);
      if (s->conn == c) s->conn = s->channels != nullptr ? s->channels->conn : nullptr;
      // A session lives on while one of its channels remains.
      if (s->conn == nullptr && !s->ended) tw3_session_end(c, s);
    }
    tw3_sessions_reap(c);
  }
  c->cl = nullptr;
  tw3_client_release(cl);
}

void tw3_conn_settle_client(tw3_conn* c, tw3_client_state* held) {
  if (c->cl == held) {
    held->lock.unlock();
    return;
  }
  // A binding moved the connection into the state of the session it bound
  // to (locked and referenced for it); the state it leaves held nothing
  // but that binding's exchange.
  c->cl->lock.unlock();
  held->lock.unlock();
  tw3_client_release(held);
}
