// libFuzzer target for the NEGOTIATE request body: the dialect list, the
// security mode and capabilities, and the 3.1.1 negotiate contexts
// (pre-authentication integrity, encryption, signing and whatever else a
// client sends) with their offsets, counts and lengths. The input is the
// body after a fixed SMB2 header, handled by the dispatcher on a fresh
// connection as the connection loop does; seeds are the bodies of NEGOTIATE
// requests captured from real clients. Checks that a successful answer names
// a dialect found in the request.
#include <cstring>
#include <memory>
#include <vector>

#include "config/config.h"
#include "fuzz/fuzz_target.h"
#include "smb/smb.h"

namespace {

constexpr size_t kRespDialectAt = SMB2_HDR_SIZE + 4;
constexpr size_t kNbHdr = 4;

int nothing(void*, uint8_t*, uint32_t, uint32_t) { return 0; }

struct capture {
  std::vector<uint8_t> sent;
};

int keep(void* ctx, const uint8_t* data, uint32_t len) {
  auto* c = static_cast<capture*>(ctx);
  c->sent.insert(c->sent.end(), data, data + len);
  return 0;
}

// The server looks for the dialect array where clients put it, not only at
// its documented offset; whatever it chose, it found in the request.
bool offered(const uint8_t* body, size_t n, uint16_t dialect) {
  for (size_t i = 0; i + 2 <= n; ++i)
    if (le16(body + i) == dialect) return true;
  return false;
}

}  // namespace

TW3_FUZZ_ENTRY(negotiate) {
  static const bool ready = [] {
    tw3_config_reset_for_tests();
    return tw3_set_option("clock", "1700000000") == 0;
  }();
  if (!ready) std::abort();
  std::vector<uint8_t> msg(SMB2_HDR_SIZE, 0);
  const uint32_t proto = SMB2_PROTOCOL_ID;
  std::memcpy(msg.data(), &proto, 4);
  msg[4] = SMB2_HDR_SIZE;
  msg[6] = 1;   // CreditCharge
  msg[14] = 1;  // CreditRequest
  msg.insert(msg.end(), data, data + size);
  // An exact-size copy: a read past the message is a read past the buffer.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[msg.size()]);
  std::memcpy(copy.get(), msg.data(), msg.size());

  capture cap;
  const tw3_io io{&cap, keep, nothing, nullptr, nullptr, nullptr, nullptr};
  auto c = std::make_unique<tw3_conn>();
  c->io = &io;
  c->io_ctx = io.ctx;
  std::strcpy(c->peer_text, "127.0.0.1");
  tw3_opts_get(&c->opts);
  if (!tw3_conn_join_client(c.get())) return 0;
  tw3_reply r{};
  int have = 0;
  frame_in(c.get(), tw3_msg{copy.get(), msg.size(), 0, 0}, &r, &have);
  if (tw3_reply_sendable(&r, have)) send_frame(c.get(), r.b.data, r.b.len);
  tw3_buf_free(&r.b);
  tw3_conn_leave(c.get());

  const std::vector<uint8_t>& s = cap.sent;
  if (s.size() >= kNbHdr + kRespDialectAt + 2 && le16(&s[kNbHdr + 8]) == 0 && le16(&s[kNbHdr + 10]) == 0) {
    const uint16_t chosen = le16(&s[kNbHdr + kRespDialectAt]);
    TW3_FUZZ_CHECK(offered(data, size, chosen));
  }
  return 0;
}
