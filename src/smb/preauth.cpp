// The SMB 3.1.1 pre-authentication integrity hash (MS-SMB2 3.3.5.4,
// 3.3.5.5): SHA-512 chained over the NEGOTIATE and SESSION_SETUP messages
// exchanged before the session keys are derived.
#include <cstring>

#include "smb/smb.h"

namespace {

constexpr uint64_t kPreauthHashSize = 64;

void trace_hash(const tw3_conn* c, uint64_t len) {
  if (!c->trace) return;
  tw3_buf line{};
  tw3_buf_printf(&line, "[nego] preauth n=%zu hash=", static_cast<size_t>(len));
  tw3_hex_encode(c->preauth_hash, kPreauthHashSize, &line);
  tw3_buf_str(&line, "\n");
  if (!line.failed) tw3_trace(c, "%s", reinterpret_cast<const char*>(line.data));
  tw3_buf_free(&line);
}

}  // namespace

void preauth_update(tw3_conn* c, const uint8_t* data, uint64_t len) {
  // Dialects up to 3.0.2 derive their keys without the hash.
  if (c->negotiated && c->dialect <= SMB2_DIALECT_310) return;
  static constexpr uint8_t kZero[kPreauthHashSize] = {};
  tw3_sha512_ctx h;
  tw3_sha512_init(&h);
  tw3_sha512_update(&h, c->preauth_started ? c->preauth_hash : kZero, kPreauthHashSize);
  tw3_sha512_update(&h, data, len);
  tw3_sha512_final(&h, c->preauth_hash);
  c->preauth_started = 1;
  if (len >= SMB2_HDR_SIZE && le16(data + HDR_COMMAND) == SMB2_NEGOTIATE)
    std::memcpy(c->negotiate_hash, c->preauth_hash, kPreauthHashSize);
  trace_hash(c, len);
}

void preauth_begin_session(tw3_conn* c) {
  if (!c->preauth_started) return;
  std::memcpy(c->preauth_hash, c->negotiate_hash, kPreauthHashSize);
}
