// The minimal DER reader and writer SPNEGO needs: one tag byte, definite
// lengths of up to four bytes, bounds checked against the cursor's region.
#include "auth/auth.h"

namespace {

constexpr uint8_t kHighTagMask = 0x1F;      // all ones: a high tag number follows
constexpr uint8_t kLongLengthFlag = 0x80;
constexpr uint8_t kLengthCountMask = 0x7F;
constexpr unsigned kMaxLengthBytes = 4;

}  // namespace

int der_tag(tw3_der* c, uint8_t* tag_out, uint64_t* len_out) {
  if (c->pos >= c->end) return -1;
  const uint8_t tag = c->base[c->pos++];
  if ((tag & kHighTagMask) == kHighTagMask) return -1;
  if (c->pos >= c->end) return -1;
  const uint8_t first = c->base[c->pos++];
  uint64_t len = first;
  if (first & kLongLengthFlag) {
    const unsigned count = first & kLengthCountMask;
    if (count > kMaxLengthBytes || count > c->end - c->pos) return -1;
    // A count of 0 is the indefinite form, which DER forbids: read as empty.
    len = 0;
    for (unsigned i = 0; i < count; i++) len = (len << 8) | c->base[c->pos++];
  }
  if (len > c->end - c->pos) return -1;
  *tag_out = tag;
  *len_out = len;
  return 0;
}

uint64_t der_len_size(uint64_t n) {
  if (n < 0x80) return 1;
  if (n <= 0xFF) return 2;
  return 3;
}

void der_len(tw3_buf* buf, uint64_t n) {
  if (n < 0x80) {
    tw3_buf_byte(buf, static_cast<int>(n));
  } else if (n <= 0xFF) {
    tw3_buf_byte(buf, 0x81);
    tw3_buf_byte(buf, static_cast<int>(n));
  } else {
    tw3_buf_byte(buf, 0x82);
    tw3_buf_byte(buf, static_cast<int>((n >> 8) & 0xFF));
    tw3_buf_byte(buf, static_cast<int>(n & 0xFF));
  }
}
