// The engine's side of the access-log events (util/event.h): one call per
// place where something worth a log line happens.
#pragma once

#include <cstdint>

#include "smb/smb.h"
#include "util/event.h"

// Reports `kind` for this connection, with the connection's client and
// dialect and the user, signing and encryption of session_id (when it names
// one) filled in. `share` and `path` for tree_connect and file_open;
// `status` and `command` for logon_failed and request_refused.
void tw3_conn_event(const tw3_conn* c, tw3_ev kind, uint64_t session_id = 0, const char* share = nullptr,
                    const char* path = nullptr, uint32_t status = 0, uint8_t command = 0);
// Remembers the user and domain names of an AUTHENTICATE message for the
// logon event (nothing when no sink is installed or the message is malformed).
void tw3_conn_note_logon_names(tw3_conn* c, const uint8_t* token, uint64_t len);
// Reports request_refused when the response header just built carries an
// error status (logon failures have their own event).
void tw3_conn_reply_event(const tw3_conn* c, const uint8_t* reply_hdr, uint8_t command);
// A client turned away before it is served: reason "allow" or "full".
void tw3_client_refused(const char* client, const char* reason);
// Marks the connection's start and reports it accepted.
void tw3_conn_started(tw3_conn* c);
// Reports a regular file opened for reading, with its path inside the share.
void tw3_conn_file_opened(const tw3_conn* c, const tw3_open* o);
