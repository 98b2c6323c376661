// What the listener and the connection transport share inside src/net.
#pragma once

#include <cstdint>

#include "net/net.h"
#include "platform/platform.h"
#include "smb/smb.h"

// One accepted connection. Allocated by the accept thread; freed only after
// its thread has been joined (by the accept thread's reaping or by stop).
struct tw3_client {
  tw3_socket sock = TW3_NO_SOCKET;  // TW3_NO_SOCKET once closed
  tw3_io io{};                      // ctx is this record
  tw3_ip peer{};
  char local_text[64] = {};
  tw3_thread* thread = nullptr;
  int32_t done = 0;                 // the connection thread has finished
  tw3_client* next = nullptr;
};

// The socket transport operations (ctx is the tw3_client).
int x_read(void* ctx, uint8_t* buf, uint32_t cap, uint32_t timeout_ms);
int x_write(void* ctx, const uint8_t* data, uint32_t len);
int x_writev(void* ctx, const tw3_iovec* parts, int count);
int x_stopping(void* ctx);

// Creates, binds and opens a non-blocking listening socket on the address
// `text` (parsed as *ip; an address with ':' is bound on a dual-stack IPv6
// socket); the real port in *port. 0, or -5 with "<op>: bind failed (%d): %s".
int tw3_listen_socket(const char* op, const char* text, const tw3_ip* ip, uint16_t want, int backlog,
                      tw3_socket* out, int* port);
