// A session record as a completed logon leaves it, for tests that drive the
// engine without logging on.
#pragma once

#include "smb/smb.h"

inline tw3_session* sim_session(tw3_conn* c, uint64_t id) {
  tw3_session* s = tw3_session_begin(c);
  if (s == nullptr) return nullptr;
  s->id = id;
  s->authenticated = 1;
  tw3_stat_add(ST_SESSIONS_OPEN, 1);
  return s;
}
