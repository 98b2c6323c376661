// Operational events for an access log: the engine and the listener report
// what happened (a connection, a logon, a tree, an open, a refusal) through
// one process-wide sink that the host installs. With no sink installed an
// event costs one atomic load. The record never carries a password, hash or
// key; texts in it may come from clients and are not escaped here.
#pragma once

#include <cstdint>

enum class tw3_ev : int32_t {
  conn_accepted,    // a client passed the allow-list and is served
  conn_refused,     // reason "allow" (allow-list) or "full" (max_clients)
  logon_ok,
  logon_failed,
  tree_connect,
  file_open,        // a regular file opened for reading
  conn_closed,
  request_refused,  // any request answered with an error status (debug)
};

struct tw3_event {
  tw3_ev kind;
  const char* client;  // client address text; never null
  const char* reason;  // conn_refused only
  const char* user;    // as the client sent it at logon; may be empty
  const char* domain;
  const char* share;
  const char* path;
  const char* command;  // request_refused: the command's name
  uint32_t status;      // logon_failed, request_refused
  const char* status_name;  // its name ("STATUS_LOGON_FAILURE"), or ""
  int32_t dialect;      // 0x0300, 0x0302, 0x0311 or 0 before negotiate
  int32_t guest;
  int32_t signing;      // 1 when the session signs its messages
  int32_t encryption;   // 1 when the session encrypts (never, today)
  uint64_t duration_ms; // conn_closed
  uint64_t bytes_sent;
  uint64_t requests;
};

// Called on the thread where the event happened (any connection thread, the
// accept thread, the simulator's caller); must not block for long and must
// not call back into the server.
using tw3_event_sink = void (*)(const tw3_event* ev);

// Installs the sink (null removes it). Set it before starting the server.
void tw3_event_set_sink(tw3_event_sink sink);
// 1 when a sink is installed.
int tw3_event_on();
// Hands the event to the sink, if any.
void tw3_event_emit(const tw3_event* ev);
