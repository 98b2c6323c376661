// Credits and MessageIds (MS-SMB2 3.3.1.1, 3.3.1.2, 3.3.5.2.3, 3.3.5.2.5).
// A client may use each MessageId it was granted exactly once; the ids it
// still holds form a window that starts as {0} for the NEGOTIATE and grows by
// the credits each response grants, never beyond the max_credits option. A
// request outside the window, or using an id twice, ends the connection: it
// is a replay or a client that lost count, and nothing it says can be trusted.
#include <algorithm>
#include <bit>

#include "smb/smb.h"

namespace {

constexpr uint64_t kWords = TW3_CREDIT_WINDOW / 64;

bool used(const tw3_conn* c, uint64_t i) { return ((c->seq_used[i / 64] >> (i % 64)) & 1) != 0; }

void mark(tw3_conn* c, uint64_t i) { c->seq_used[i / 64] |= uint64_t(1) << (i % 64); }

// Drops n leading bits of the bitmap (the ids below the new seq_low).
void shift_out(tw3_conn* c, uint64_t n) {
  const uint64_t words = n / 64, bits = n % 64;
  for (uint64_t i = 0; i < kWords; ++i) {
    const uint64_t lo = i + words < kWords ? c->seq_used[i + words] : 0;
    const uint64_t hi = i + words + 1 < kWords ? c->seq_used[i + words + 1] : 0;
    c->seq_used[i] = bits == 0 ? lo : (lo >> bits) | (hi << (64 - bits));
  }
}

// Moves seq_low past the ids used from its own position on.
void advance_low(tw3_conn* c) {
  uint64_t run = 0;
  while (run < TW3_CREDIT_WINDOW && used(c, run)) ++run;
  if (run == 0) return;
  shift_out(c, run);
  c->seq_low += run;
}

// Ids in the window: from seq_low to seq_top, 0 when it is empty.
uint64_t span(const tw3_conn* c) { return c->seq_low > c->seq_top ? 0 : c->seq_top - c->seq_low + 1; }

}  // namespace

uint64_t tw3_credits_held(const tw3_conn* c) {
  uint64_t marked = 0;
  for (uint64_t w : c->seq_used) marked += uint64_t(std::popcount(w));
  return span(c) - std::min(span(c), marked);
}

int tw3_seq_consume(tw3_conn* c, uint64_t message_id, uint16_t credit_charge) {
  const uint64_t n = credit_charge == 0 ? 1 : credit_charge;
  if (span(c) == 0 || message_id < c->seq_low || message_id > c->seq_top) return -1;
  if (n - 1 > c->seq_top - message_id) return -1;
  const uint64_t first = message_id - c->seq_low;  // < TW3_CREDIT_WINDOW: the span never exceeds it
  for (uint64_t i = first; i < first + n; ++i)
    if (used(c, i)) return -1;
  for (uint64_t i = first; i < first + n; ++i) mark(c, i);
  advance_low(c);
  return 0;
}

uint16_t tw3_credit_grant(tw3_conn* c, uint16_t requested) {
  const uint64_t held = tw3_credits_held(c);
  const uint64_t limit = uint64_t(std::max<int32_t>(c->opts.max_credits, 1));
  uint64_t room = held < limit ? limit - held : 0;
  room = std::min(room, TW3_CREDIT_WINDOW - span(c));
  // The 64-bit id space is never exhausted in practice; still never wrap.
  room = std::min(room, UINT64_MAX - 1 - c->seq_top);
  uint64_t grant = std::min<uint64_t>({requested == 0 ? uint64_t(1) : uint64_t(requested), room, uint64_t(TW3_MAX_CREDIT_GRANT)});
  // A client left without any credit could never send again.
  if (held == 0 && grant == 0 && room > 0) grant = 1;
  if (span(c) == 0) {
    // Every granted id was used: the window restarts right above them.
    c->seq_low = c->seq_top + 1;
    for (uint64_t& w : c->seq_used) w = 0;
  }
  c->seq_top += grant;
  return uint16_t(grant);
}

uint64_t tw3_credit_charge_needed(uint64_t payload) {
  return payload == 0 ? 1 : (payload - 1) / SMB2_CREDIT_PAYLOAD + 1;
}
