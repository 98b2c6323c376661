// The transport a connection loop reads and writes through: the listener's
// socket, the simulator's script, or a test's memory.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Supplied by the caller of tw3_sess_run, valid for the whole call.
struct tw3_io {
  void* ctx;  // handed back unchanged as the first argument
  // Writes all bytes. 0 on success, anything else on failure.
  int (*write)(void* ctx, const uint8_t* data, uint32_t len);
  // Waits at most timeout_ms for data. Bytes stored (1..cap), 0 when the
  // peer has nothing more, -2 on timeout, any other negative on failure.
  int (*read)(void* ctx, uint8_t* buf, uint32_t cap, uint32_t timeout_ms);
  // Optional observer of whole SMB messages: ">>" received, "<<" sent.
  void (*log)(void* ctx, const char* direction, const uint8_t* data, int64_t len);
  // Optional clock for the loop's deadlines (milliseconds, monotonic);
  // null means tw3_now_ms. Lets a scripted transport fake the passing time.
  uint64_t (*now_ms)(void* ctx);
  // Optional: writes the parts in order as one transfer, 0 on success. Every
  // reply leaves through it (one segment for its headers and body); without
  // it the parts are joined for one write.
  int (*writev)(void* ctx, const tw3_iovec* parts, int count);
  // Optional: 1 once the server that runs the connection is stopping; the
  // loop then ends after the message in hand. Null: never.
  int (*stopping)(void* ctx);
};

constexpr int TW3_IO_TIMEOUT = -2;
