// The srvsvc pipe as a message-mode named pipe: the DCE/RPC answers to the
// PDUs a client writes (by WRITE or as the input of an IOCTL transceive) wait
// on the open, one response fragment per message, until READ or the
// transceive's output takes them. A read never runs one message into the
// next: impacket, for one, takes each READ for exactly one fragment.
#include <algorithm>
#include <cstring>

#include "smb/files.h"

namespace {

// Messages are held as a 32-bit length and their bytes. pipe_out_pos is the
// next byte to hand out; pipe_msg_left counts the bytes of the message being
// read that remain (0: the next length comes first).
constexpr uint64_t kMsgLengthSize = 4;

void drop_all(tw3_open* o) {
  tw3_buf_free(&o->pipe_out);
  o->pipe_out_pos = 0;
  o->pipe_msg_left = 0;
}

}  // namespace

void pipe_msg_begin(tw3_buf* out) {
  w32(out, 0);  // the length, set by pipe_msg_end
}

void pipe_msg_end(tw3_buf* out, uint64_t start) {
  if (out->failed || start < kMsgLengthSize || out->len < start) return;
  put_le32(out->data + start - kMsgLengthSize, uint32_t(out->len - start));
}

int srvsvc_pipe_write(tw3_open* o, std::span<const uint8_t> pdu) {
  tw3_buf answer{};
  srvsvc_transceive(pdu, &o->pipe_rpc, &answer);
  const uint64_t waiting = o->pipe_out.len - o->pipe_out_pos;
  int rc = 0;
  if (answer.failed || answer.len > TW3_PIPE_PENDING_MAX - waiting) {
    rc = -1;
  } else if (answer.len != 0) {
    tw3_buf* p = &o->pipe_out;
    // Bytes already read go first, so the buffer never exceeds the bound.
    if (waiting != 0 && o->pipe_out_pos != 0) std::memmove(p->data, p->data + o->pipe_out_pos, waiting);
    p->len = waiting;
    o->pipe_out_pos = 0;
    tw3_buf_put(p, answer.data, answer.len);
    if (p->failed) {
      drop_all(o);
      rc = -1;
    }
  }
  tw3_buf_free(&answer);
  return rc;
}

uint64_t srvsvc_pipe_waiting(const tw3_open& o) {
  if (o.pipe_msg_left != 0) return o.pipe_msg_left;
  if (o.pipe_out.len - o.pipe_out_pos < kMsgLengthSize) return 0;
  return le32(o.pipe_out.data + o.pipe_out_pos);
}

uint32_t srvsvc_pipe_read(tw3_open* o, uint64_t n, tw3_buf* out, uint64_t* got) {
  *got = 0;
  const uint64_t left = srvsvc_pipe_waiting(*o);
  if (left == 0) return STATUS_SUCCESS;
  const uint64_t k = std::min(n, left);
  if (buf_reserve(out, k) != 0) return STATUS_INSUFFICIENT_RESOURCES;
  if (o->pipe_msg_left == 0) o->pipe_out_pos += kMsgLengthSize;  // a new message begins
  tw3_buf_put(out, o->pipe_out.data + o->pipe_out_pos, k);
  o->pipe_out_pos += k;
  o->pipe_msg_left = left - k;
  *got = k;
  if (o->pipe_out_pos == o->pipe_out.len) drop_all(o);  // all read: give the memory back
  return k < left ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}
