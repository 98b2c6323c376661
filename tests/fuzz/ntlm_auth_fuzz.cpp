// libFuzzer target for the NTLM AUTHENTICATE message with its security
// buffers and the AV pairs of the NTLMv2 response. The challenge, server name
// and clock are those of a server running with clock=1700000000 and its
// default name, so AUTHENTICATE messages captured from real clients against
// such a server (the seeds) pass the proof, and mutations of their other
// fields reach the steps after it.
//
// Selector byte, then the message:
//   bit 0  timestamp check on
//   bit 1  checked against the account alice/secret (else the empty account)
//   bit 2  guests allowed
//   bit 3  another server name (the echoed target names no longer match)
//   bit 4  tracing on (the trace lines' formatting runs too)
#include <cstdlib>
#include <cstring>

#include "auth/auth.h"
#include "config/config.h"
#include "fuzz/fuzz_target.h"

namespace {

constexpr int64_t kClock = 1700000000;
constexpr uint8_t kTimecheck = 0x01, kAlice = 0x02, kGuests = 0x04, kOtherName = 0x08, kTrace = 0x10;

}  // namespace

TW3_FUZZ_ENTRY(ntlm_auth) {
  if (size == 0) return 0;
  const uint8_t sel = data[0];
  const uint8_t* msg = data + 1;
  const size_t len = size - 1;
  static uint8_t challenge[8];
  static const bool ready = [] {
    tw3_ntlm_challenge(TW3_DEFAULT_SERVER_NAME, kClock, 1, challenge);
    return true;
  }();
  (void)ready;
  if (tw3_set_option("guest", (sel & kGuests) ? "on" : "off") != 0) std::abort();
  const char* name = (sel & kOtherName) ? "OTHERNAME" : TW3_DEFAULT_SERVER_NAME;
  const bool alice = (sel & kAlice) != 0;
  int guest = 7;
  const tw3_fuzz_trace trace((sel & kTrace) != 0);
  uint8_t key[16];
  std::memset(key, 0xA5, sizeof key);
  const int rc = tw3_ntlm_type3(msg, len, challenge, name, kClock, (sel & kTimecheck) ? 1 : 0,
                                alice ? "alice" : "", alice ? "secret" : "", &guest, key);
  TW3_FUZZ_CHECK(rc == 0 || rc == 1 || rc == -1);
  TW3_FUZZ_CHECK(guest == 0 || guest == 1);
  if (rc != 0) {
    // A refusal hands out neither a guest session nor a key.
    static const uint8_t zero[16] = {};
    TW3_FUZZ_CHECK(guest == 0 && std::memcmp(key, zero, sizeof key) == 0);
  }
  if (guest == 1) TW3_FUZZ_CHECK(tw3_guest_allowed() == 1);
  TW3_FUZZ_CHECK(tw3_ntlm_type1(msg, len) == -1 || (len >= 16 && msg[8] == 1));
  return 0;
}
