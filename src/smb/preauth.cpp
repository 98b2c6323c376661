// The SMB 3.1.1 pre-authentication integrity hash (MS-SMB2 3.3.5.4,
// 3.3.5.5): SHA-512 chained over the NEGOTIATE exchange, then on from it for
// each session over its own SESSION_SETUP messages, so that logons on one
// connection never mix.
#include <cstring>

#include "smb/smb.h"

namespace {

constexpr uint64_t kPreauthHashSize = 64;

void trace_hash(const tw3_conn* c, const uint8_t* hash, uint64_t len) {
  if (!c->trace) return;
  tw3_buf line{};
  tw3_buf_printf(&line, "[nego] preauth n=%zu hash=", static_cast<size_t>(len));
  tw3_hex_encode(hash, kPreauthHashSize, &line);
  tw3_buf_str(&line, "\n");
  if (!line.failed) tw3_trace(c, "%s", reinterpret_cast<const char*>(line.data));
  tw3_buf_free(&line);
}

// hash = SHA-512(from || data).
void fold(const uint8_t* from, const uint8_t* data, uint64_t len, uint8_t* hash) {
  tw3_sha512_ctx h;
  tw3_sha512_init(&h);
  tw3_sha512_update(&h, from, kPreauthHashSize);
  tw3_sha512_update(&h, data, len);
  tw3_sha512_final(&h, hash);
}

}  // namespace

void preauth_update(tw3_conn* c, const uint8_t* data, uint64_t len) {
  // Dialects up to 3.0.2 derive their keys without the hash.
  if (c->negotiated && c->dialect <= SMB2_DIALECT_310) return;
  static constexpr uint8_t kZero[kPreauthHashSize] = {};
  fold(c->preauth_started ? c->preauth_hash : kZero, data, len, c->preauth_hash);
  c->preauth_started = 1;
  trace_hash(c, c->preauth_hash, len);
}

void preauth_session_update(const tw3_conn* c, tw3_session* s, const uint8_t* data, uint64_t len) {
  if (c->dialect <= SMB2_DIALECT_310) return;
  fold(s->preauth_hash, data, len, s->preauth_hash);
  trace_hash(c, s->preauth_hash, len);
}
