// The SMB2 request header parser and the bounded body reader. Nothing here
// ever looks at a byte at or beyond the end of the range it was given.
#include "smb/smb.h"

namespace {

// Reads `width` bytes little-endian; a short range yields what is there.
uint64_t rd_le(tw3_rd* r, unsigned width) {
  uint64_t v = 0;
  for (unsigned i = 0; i < width; ++i) {
    if (r->pos >= r->len) {
      r->bad = 1;
      r->pos = r->len;
      return v;
    }
    v |= static_cast<uint64_t>(r->data[r->pos++]) << (8 * i);
  }
  return v;
}

}  // namespace

uint8_t rd_u8(tw3_rd* r) { return static_cast<uint8_t>(rd_le(r, 1)); }
uint16_t rd_u16(tw3_rd* r) { return static_cast<uint16_t>(rd_le(r, 2)); }
uint32_t rd_u32(tw3_rd* r) { return static_cast<uint32_t>(rd_le(r, 4)); }
uint64_t rd_u64(tw3_rd* r) { return rd_le(r, 8); }

void rd_skip(tw3_rd* r, uint64_t n) {
  if (r->pos <= r->len && n <= r->len - r->pos) {
    r->pos += n;
    return;
  }
  r->bad = 1;
  r->pos = r->len;
}

int rd_has(const tw3_rd* r, uint64_t off, uint64_t n) {
  return off <= r->len && n <= r->len - off;
}

const uint8_t* rd_at(tw3_rd* r, uint64_t off, uint64_t n) {
  if (!rd_has(r, off, n)) {
    r->bad = 1;
    return nullptr;
  }
  return r->data + off;
}

int parse_header(const uint8_t* bytes, uint64_t len, tw3_hdr* hdr, uint64_t* body_offset) {
  if (bytes == nullptr || len < SMB2_HDR_SIZE) return -1;
  if (le32(bytes + HDR_PROTOCOL_ID) != SMB2_PROTOCOL_ID) return -1;
  if (le16(bytes + HDR_STRUCTURE_SIZE) != SMB2_HDR_SIZE) return -1;
  hdr->credit_charge = le16(bytes + HDR_CREDIT_CHARGE);
  hdr->command = bytes[HDR_COMMAND];
  hdr->credit_request = le16(bytes + HDR_CREDITS);
  hdr->flags = le32(bytes + HDR_FLAGS);
  hdr->message_id = le64(bytes + HDR_MESSAGE_ID);
  hdr->tree_id = le32(bytes + HDR_TREE_ID);
  hdr->session_id = le64(bytes + HDR_SESSION_ID);
  hdr->async_id = le64(bytes + HDR_ASYNC_ID);
  hdr->signature = HDR_SIGNATURE;
  hdr->is_signed = (hdr->flags & SMB2_FLAGS_SIGNED) != 0 ? 1 : 0;
  if (body_offset != nullptr) *body_offset = SMB2_HDR_SIZE;
  return 0;
}
