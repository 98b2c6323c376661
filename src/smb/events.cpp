// Access-log events of one connection: the record is filled from the
// connection's own state, so each reporting place is one line.
#include "smb/events.h"

#include <cstring>

#include "auth/auth.h"
#include "platform/platform.h"

namespace {

bool session_signs(const tw3_conn* c) {
  if (!c->authenticated || c->session_guest) return false;
  return c->sign_required || c->client_sign_required || c->client_sign_enabled;
}

}  // namespace

void tw3_conn_event(const tw3_conn* c, tw3_ev kind, const char* share, const char* path,
                    uint32_t status, uint8_t command) {
  if (!tw3_event_on()) return;
  tw3_event ev{};
  ev.kind = kind;
  ev.client = c->peer_text;
  ev.reason = "";
  // A name is reported as the session's once the logon succeeded, and as
  // the one tried on the failing logon itself.
  const bool named = c->authenticated || kind == tw3_ev::logon_failed;
  ev.user = named ? c->act.user : "";
  ev.domain = named ? c->act.domain : "";
  ev.share = share ? share : "";
  ev.path = path ? path : "";
  ev.command = tw3_cmd_name(command);
  ev.status = status;
  ev.status_name = status != 0 ? tw3_status_name(status) : "";
  ev.dialect = c->negotiated ? c->dialect : 0;
  ev.guest = c->session_guest;
  ev.signing = session_signs(c) ? 1 : 0;
  // Known at logon when the server demands it; otherwise from the first
  // encrypted request on.
  ev.encryption = (c->encrypt_data || c->session_encrypted) ? 1 : 0;
  ev.duration_ms = tw3_now_ms() - c->act.started_ms;
  ev.bytes_sent = c->act.bytes_sent;
  ev.requests = c->act.requests;
  tw3_event_emit(&ev);
}

void tw3_conn_note_logon_names(tw3_conn* c, const uint8_t* token, uint64_t len) {
  if (!tw3_event_on()) return;
  tw3_ntlm_names(token, len, c->act.user, sizeof c->act.user, c->act.domain, sizeof c->act.domain);
}

void tw3_client_refused(const char* client, const char* reason) {
  if (!tw3_event_on()) return;
  tw3_event ev{};
  ev.kind = tw3_ev::conn_refused;
  ev.client = client;
  ev.reason = reason;
  ev.user = ev.domain = ev.share = ev.path = ev.command = ev.status_name = "";
  tw3_event_emit(&ev);
}

void tw3_conn_started(tw3_conn* c) {
  c->act.started_ms = tw3_now_ms();
  tw3_conn_event(c, tw3_ev::conn_accepted);
}

void tw3_conn_file_opened(const tw3_conn* c, const tw3_open* o) {
  if (!tw3_event_on() || o->is_dir || o->is_pipe) return;
  // The path inside the share; a single-file share is the file's own name.
  const char* path = o->local_path;
  size_t root = std::strlen(o->share.root_path);
  if (!o->share.single_file && std::strncmp(path, o->share.root_path, root) == 0) {
    path += root;
    while (*path == tw3_fs_sep()) path++;
  } else if (const char* base = std::strrchr(path, tw3_fs_sep())) {
    path = base + 1;
  }
  tw3_conn_event(c, tw3_ev::file_open, o->share.name, path);  // as configured, not as typed
}

void tw3_conn_reply_event(const tw3_conn* c, const uint8_t* reply_hdr, uint8_t command) {
  if (!tw3_event_on() || reply_hdr == nullptr || command == SMB2_SESSION_SETUP) return;
  const uint32_t status = le32(reply_hdr + HDR_STATUS);
  if ((status & STATUS_SEVERITY_ERROR) == STATUS_SEVERITY_ERROR && status != STATUS_MORE_PROCESSING_REQUIRED)
    tw3_conn_event(c, tw3_ev::request_refused, nullptr, nullptr, status, command);
}
