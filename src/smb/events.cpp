// Access-log events of one connection: the record is filled from the
// connection's own state, so each reporting place is one line.
#include "smb/events.h"

#include <cstring>

#include "auth/auth.h"
#include "platform/platform.h"

namespace {

bool session_signs(const tw3_conn* c, const tw3_session* s) {
  if (s == nullptr || !s->authenticated || s->guest) return false;
  return c->sign_required || c->client_sign_required || c->client_sign_enabled;
}

}  // namespace

void tw3_conn_event(const tw3_conn* c, tw3_ev kind, uint64_t session_id, const char* share,
                    const char* path, uint32_t status, uint8_t command) {
  if (!tw3_event_on()) return;
  const tw3_session* s = tw3_session_find(c, session_id);
  tw3_event ev{};
  ev.kind = kind;
  ev.client = c->peer_text;
  ev.reason = "";
  // A name is reported as its session's once the logon succeeded, and as
  // the one tried on the failing logon itself.
  const bool named = (s != nullptr && s->authenticated) || kind == tw3_ev::logon_failed;
  ev.user = named ? c->act.user : "";
  ev.domain = named ? c->act.domain : "";
  if (s != nullptr && s->authenticated) {
    ev.user = s->user;
    ev.domain = s->domain;
  }
  ev.share = share ? share : "";
  ev.path = path ? path : "";
  ev.command = tw3_cmd_name(command);
  ev.status = status;
  ev.status_name = status != 0 ? tw3_status_name(status) : "";
  ev.dialect = c->negotiated ? c->dialect : 0;
  ev.guest = s != nullptr && s->guest ? 1 : 0;
  ev.signing = session_signs(c, s) ? 1 : 0;
  // Known at logon when the server demands it; otherwise from the first
  // encrypted request on.
  ev.encryption = s != nullptr && (s->encrypt_data || s->encrypted) ? 1 : 0;
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
  tw3_conn_event(c, tw3_ev::file_open, o->session_id, o->share.name, path);  // as configured, not as typed
}

void tw3_conn_reply_event(const tw3_conn* c, const uint8_t* reply_hdr, uint8_t command) {
  if (!tw3_event_on() || reply_hdr == nullptr || command == SMB2_SESSION_SETUP) return;
  const uint32_t status = le32(reply_hdr + HDR_STATUS);
  if ((status & STATUS_SEVERITY_ERROR) == STATUS_SEVERITY_ERROR && status != STATUS_MORE_PROCESSING_REQUIRED)
    tw3_conn_event(c, tw3_ev::request_refused, le64(reply_hdr + HDR_SESSION_ID), nullptr, nullptr, status,
                   command);
}
