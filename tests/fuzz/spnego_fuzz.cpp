// libFuzzer target for the DER reader and the SPNEGO token parser: a client
// security buffer as SESSION_SETUP and NEGOTIATE carry it. Checks that every
// result is one of the documented ones, that a token (or mechTypes list, or
// mechListMIC) handed back lies inside the input, that the DER reader never
// leaves its region however deep it is walked, and that every token the
// server builds parses back to what it wraps.
#include <cstring>

#include "auth/auth.h"
#include "fuzz/fuzz_target.h"

namespace {

constexpr int kMaxDepth = 16;
constexpr uint64_t kWrapMax = 60000;  // der_len writes lengths below 65536

// Walks every element of the region, descending into constructed ones.
void walk(const uint8_t* base, uint64_t len, int depth) {
  tw3_der c{base, len, 0};
  uint8_t tag = 0;
  uint64_t n = 0;
  while (der_tag(&c, &tag, &n) == 0) {
    TW3_FUZZ_CHECK(c.pos <= c.end && n <= c.end - c.pos);
    if ((tag & TW3_DER_CONSTRUCTED) != 0 && depth < kMaxDepth) walk(base + c.pos, n, depth + 1);
    c.pos += n;
  }
  TW3_FUZZ_CHECK(c.pos <= c.end);
}

void check_parse(const uint8_t* data, size_t size) {
  const uint8_t* tok = reinterpret_cast<const uint8_t*>(1);
  uint64_t n = 99;
  int raw = 7;
  const int rc = tw3_spnego_init(data, size, &tok, &n, &raw);
  TW3_FUZZ_CHECK(rc == 0 || rc == -1 || rc == -2);
  TW3_FUZZ_CHECK(raw == 0 || raw == 1);
  if (rc != 0 || tok == nullptr) {
    TW3_FUZZ_CHECK(tok == nullptr && n == 0);
    if (rc != 0) TW3_FUZZ_CHECK(raw == 0);
    return;
  }
  TW3_FUZZ_CHECK(tok >= data && n <= size && static_cast<uint64_t>(tok - data) <= size - n);
}

// What the logon's MICs cover and carry lies inside the input, or is absent.
void check_mic_parts(const uint8_t* data, size_t size) {
  using locate = int (*)(const uint8_t*, uint64_t, const uint8_t**, uint64_t*);
  for (locate f : {static_cast<locate>(tw3_spnego_mech_types), static_cast<locate>(tw3_spnego_resp_mic),
                   static_cast<locate>(tw3_spnego_mech_token)}) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(1);
    uint64_t n = 99;
    const int rc = f(data, size, &p, &n);
    TW3_FUZZ_CHECK(rc == 0 || rc == -1);
    if (rc != 0) {
      TW3_FUZZ_CHECK(p == nullptr && n == 0);
      continue;
    }
    TW3_FUZZ_CHECK(p >= data && n <= size && static_cast<uint64_t>(p - data) <= size - n);
  }
}

// What the server wraps, the client side's parser unwraps unchanged.
void check_round_trip(const uint8_t* data, size_t size) {
  const uint64_t n = size < kWrapMax ? size : kWrapMax;
  tw3_buf b{};
  tw3_spnego_resp(data, n, &b);
  if (!b.failed) {
    const uint8_t* tok = nullptr;
    uint64_t got = 0;
    int raw = 1;
    TW3_FUZZ_CHECK(tw3_spnego_init(b.data, b.len, &tok, &got, &raw) == 0);
    TW3_FUZZ_CHECK(raw == 0 && got == n && (n == 0 || std::memcmp(tok, data, n) == 0));
  }
  tw3_buf_free(&b);
  tw3_spnego_init_tok(data, n, &b);
  if (!b.failed) {
    const uint8_t* tok = nullptr;
    uint64_t got = 0;
    int raw = 1;
    TW3_FUZZ_CHECK(tw3_spnego_init(b.data, b.len, &tok, &got, &raw) == 0 && raw == 0);
  }
  tw3_buf_free(&b);
}

}  // namespace

TW3_FUZZ_ENTRY(spnego) {
  check_parse(data, size);
  check_mic_parts(data, size);
  walk(data, size, 0);
  check_round_trip(data, size);
  return 0;
}
