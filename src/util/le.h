// Little-endian integers at fixed positions, and appended to a buffer: the
// one set of byte helpers for every wire format the server speaks (SMB2,
// NTLM, NDR) and the cryptographic kernels. The positions are checked by
// the caller; nothing here bounds-checks.
#pragma once

#include <cstdint>

#include "util/util.h"

inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t le64(const uint8_t* p) {
  return static_cast<uint64_t>(le32(p)) | (static_cast<uint64_t>(le32(p + 4)) << 32);
}
inline void put_le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put_le64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Appenders to a tw3_buf (single bytes and runs: tw3_buf_byte, tw3_buf_put).
inline void w16(tw3_buf* b, uint16_t v) {
  uint8_t t[2];
  put_le16(t, v);
  tw3_buf_put(b, t, sizeof t);
}
inline void w32(tw3_buf* b, uint32_t v) {
  uint8_t t[4];
  put_le32(t, v);
  tw3_buf_put(b, t, sizeof t);
}
inline void w64(tw3_buf* b, uint64_t v) {
  uint8_t t[8];
  put_le64(t, v);
  tw3_buf_put(b, t, sizeof t);
}
