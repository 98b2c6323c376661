// One received message and its requests as the dispatcher hands them to the
// handlers: the parsed header, the message record, the request context and
// the bounded body reader.
#pragma once

#include <cstdint>

#include "smb/wire.h"

struct tw3_open;
struct tw3_tree;

struct tw3_hdr {
  uint8_t command;          // byte 12 only; byte 13 is ignored
  uint16_t credit_charge;
  uint16_t credit_request;
  uint32_t flags;
  uint32_t tree_id;
  uint64_t message_id;
  uint64_t session_id;
  uint64_t async_id;        // bytes 32..39: AsyncId when Flags has ASYNC_COMMAND
  uint64_t signature;       // offset of the 16 signature bytes in the parsed range
  int32_t is_signed;
};

// One received message as it travels from the loop through the dispatcher
// and the handlers to the reply path: its bytes (the inner message once a
// transform is opened, modified in place only by signature checks) and how
// it came.
struct tw3_msg {
  uint8_t* bytes;
  uint64_t len;
  int32_t encrypted;      // arrived in a transform of one of the connection's sessions
  uint64_t session_id;    // that transform's session: the reply is sealed under
                          // it, even when the message was a LOGOFF
};

// One request of a message as the dispatcher resolved it: handed to the
// request's handler, read back by the dispatcher afterwards. It lives for that
// one request.
struct tw3_req {
  tw3_hdr hdr;            // as received, with the ids of a related request filled in
  const tw3_msg* msg;     // the message it came in
  uint64_t off;           // where the request begins in its message
  uint64_t len;           // its own bytes: up to NextCommand, else to the message's end
  int32_t in_compound;    // not the first request of its message
  tw3_tree* tree;         // the live tree of the session that hdr.tree_id names, or null
  // The open its FileId names, resolved by the dispatcher (null for commands
  // without one); for CREATE, the open it made.
  tw3_open* open;
};

// Parses the 64-byte SMB2 sync header at the start of bytes[0..len).
// 0 with *body_offset = 64, or -1 when the bytes are not an SMB2 header.
int parse_header(const uint8_t* bytes, uint64_t len, tw3_hdr* hdr, uint64_t* body_offset);

// Bounded little-endian reader with a sticky failure flag: it never reads
// at or beyond `len`. A handler's reader starts at the first body byte of its
// request (pos 0) and reaches to the end of that request (its NextCommand, or
// the message's end), so a field that the protocol counts from the header
// start is at body position off - 64.
struct tw3_rd {
  const uint8_t* data;
  uint64_t len;
  uint64_t pos;
  int32_t bad;
};

// A read that runs past the end sets `bad`, leaves pos at len and returns the
// bytes it did read as the low bytes of the value.
uint8_t rd_u8(tw3_rd* r);
uint16_t rd_u16(tw3_rd* r);
uint32_t rd_u32(tw3_rd* r);
uint64_t rd_u64(tw3_rd* r);
// Advances n bytes; past the end sets bad and stops at len.
void rd_skip(tw3_rd* r, uint64_t n);
// 1 when n bytes from `off` lie inside the reader's range (no wrapping).
int rd_has(const tw3_rd* r, uint64_t off, uint64_t n);
// Pointer to n bytes at absolute position `off`, or null (and bad set) when
// they do not lie wholly inside the range. Does not move pos.
const uint8_t* rd_at(tw3_rd* r, uint64_t off, uint64_t n);
