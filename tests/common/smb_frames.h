// Test helpers for the protocol engine: request builders, a response
// splitter and a scripted in-memory transport.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "smb/smb.h"

// MessageIds 0..127 granted: what engine tests hand each message, half of
// the default max_credits, so that responses still grant more.
constexpr uint64_t kTestIdsGranted = 128;

namespace tw3test {

using bytes = std::vector<uint8_t>;

// An SMB2 ERROR response: the header and the 9-byte error body (StructureSize
// 9, ErrorContextCount 0, Reserved, ByteCount 0, one ErrorData byte).
constexpr size_t kErrorResponseSize = 64 + 9;
inline const bytes kErrorBody = {9, 0, 0, 0, 0, 0, 0, 0, 0};

struct req {
  uint16_t command = SMB2_ECHO;
  bytes body = {4, 0, 0, 0};
  uint64_t message_id = 0;
  uint16_t credit_request = 1;
  uint32_t flags = 0;
  uint32_t tree_id = 0;
  uint64_t session_id = 0;
  uint16_t credit_charge = 0;
  int64_t next_command = -1;  // -1: computed by compound()
};

// One request: 64-byte header and body, NextCommand as given (or 0).
bytes smb2_request(const req& r);
// Requests chained by NextCommand, each but the last padded to 8 bytes.
bytes compound(const std::vector<req>& reqs);
// A NetBIOS session message (or another packet type) around msg.
bytes nb_frame(const bytes& msg, uint8_t type = NB_SESSION_MESSAGE);
bytes concat(const std::vector<bytes>& parts);

struct resp {
  size_t off;
  size_t len;  // up to the next response or the end
  uint8_t command;
  uint32_t status;
  uint32_t flags;
  uint32_t next;
  uint64_t message_id;
  uint64_t session_id;
  uint32_t tree_id;
  uint8_t credits;
  uint16_t credit_charge;
};
// Walks the responses of one reply (at most 100). Stops at a malformed header.
std::vector<resp> split_responses(const uint8_t* data, size_t len);
inline std::vector<resp> split_responses(const bytes& b) { return split_responses(b.data(), b.size()); }

// A heap copy of exactly the given size, so that an over-read is caught by
// the address sanitizer.
std::unique_ptr<uint8_t[]> exact_copy(const bytes& b);

// A transport whose reads follow a script of steps, then return 0.
struct io_step {
  enum kind { data, fill, timeout, zero, fail } k;
  bytes payload;       // data
  uint64_t n = 0;      // fill: zero bytes to serve
  // Pause first, so time really passes (any kind; with a fake clock it
  // only moves the clock on).
  uint32_t sleep_ms = 0;
};

inline io_step step_zero() { return {io_step::zero, {}, 0, 0}; }
inline io_step step_fail() { return {io_step::fail, {}, 0, 0}; }
inline io_step step_timeout(uint32_t sleep_ms = 0) { return {io_step::timeout, {}, 0, sleep_ms}; }
inline io_step step_fill(uint64_t n) { return {io_step::fill, {}, n, 0}; }

class script_io {
 public:
  std::deque<io_step> steps;
  bytes written;                            // everything written, NetBIOS headers included
  std::vector<std::pair<std::string, bytes>> logged;
  int reads = 0;
  int max_reads = 200000;                   // a runaway loop fails instead of hanging
  int fail_writes_from = -1;                // write number from which writes fail
  int writes = 0;                           // calls of either write operation
  bool gather = false;                      // offer the gather write too
  int last_parts = 0;                       // parts of the latest gather write
  // With fake_clock the loop reads its time from now_ms, which only the
  // steps' sleep_ms move on.
  bool fake_clock = false;
  uint64_t now_ms = 1000;
  uint32_t write_ms = 0;  // with fake_clock, how long each write takes

  void add(const bytes& b) { steps.push_back({io_step::data, b, 0, 0}); }
  // Serves b one byte per read, with a timeout between pieces.
  void add_trickle(const bytes& b);
  // Serves b in pieces of `piece` bytes, each after ms_between milliseconds.
  void add_paced(const bytes& b, size_t piece, uint32_t ms_between);
  tw3_io io();
  // NetBIOS messages found in `written` (session responses included as 4-byte entries).
  std::vector<bytes> sent_messages() const;
};

}  // namespace tw3test
