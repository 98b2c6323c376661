// READ (MS-SMB2 2.2.19, 2.2.20). Every request reopens the file by its
// canonical path, never following a link, so no host handle outlives a
// request and a file changed on the host is read as it is now. The data goes
// straight into the reply buffer. On the srvsvc pipe READ takes the answers
// to PDUs written to it.
#include <algorithm>
#include <cstdint>

#include "smb/files.h"

namespace {

constexpr uint16_t kReadResponseSize = 17;
constexpr uint8_t kDataOffset = SMB2_HDR_SIZE + 16;
constexpr uint32_t kChunk = 65536;  // bytes per host read
constexpr uint64_t kFileOffsetMax = INT64_MAX;  // host file positions are signed

enum : int {
  kSiteStructure = 1,
  kSiteChannel,
  kSiteLength,
  kSitePipe,
  kSiteDirectory,
  kSiteOpen,
  kSiteRead,
  kSiteEnd,
};

struct read_req {
  uint16_t size;
  uint32_t length;
  uint64_t offset;
  uint64_t fid;
  uint32_t channel;
};

read_req read_request(tw3_rd* b) {
  read_req q{};
  q.size = rd_u16(b);
  rd_skip(b, 2);  // Padding, Flags
  q.length = rd_u32(b);
  q.offset = rd_u64(b);
  q.fid = rd_u64(b);
  rd_skip(b, 8 + 4);  // FileId.Volatile, MinimumCount
  q.channel = rd_u32(b);
  rd_skip(b, 4 + 2 + 2);  // RemainingBytes, ReadChannelInfoOffset/Length
  return q;
}

// The 16-byte part before the data; DataLength is patched once known.
uint64_t begin_response(tw3_reply* r) {
  const uint64_t part = r->b.len;
  w16(&r->b, kReadResponseSize);
  tw3_buf_byte(&r->b, kDataOffset);
  tw3_buf_byte(&r->b, 0);
  w32(&r->b, 0);  // DataLength, set below
  w32(&r->b, 0);  // DataRemaining
  w32(&r->b, 0);  // Reserved2
  return part;
}

// The pipe is in message mode: a READ returns at most one waiting answer; one
// shorter than it gets its first part with STATUS_BUFFER_OVERFLOW and the
// rest stays for the next READ. With nothing waiting nothing will ever come.
tw3_done read_pipe(tw3_open* o, uint32_t length, tw3_reply* r) {
  if (srvsvc_pipe_waiting(*o) == 0) return tw3_refuse(STATUS_NOT_SUPPORTED, kSitePipe);
  const uint64_t part = begin_response(r);
  uint64_t got = 0;
  const uint32_t status = srvsvc_pipe_read(o, length, &r->b, &got);
  if (status == STATUS_INSUFFICIENT_RESOURCES) return tw3_refuse(status, kSitePipe);
  put_le32(r->b.data + part + 4, uint32_t(got));
  return tw3_answer(status);
}

// Reads up to `length` bytes at `offset` onto the end of b, in host reads of
// at most kChunk bytes. The byte count, or -1 on a host read error (b keeps
// its length then).
int64_t read_into(tw3_file* f, uint64_t offset, uint32_t length, tw3_buf* b) {
  if (length == 0 || offset >= kFileOffsetMax) return 0;
  if (buf_reserve(b, length) != 0) return -1;
  const uint64_t start = b->len;
  uint64_t got = 0;
  while (got < length && offset + got < kFileOffsetMax) {
    uint32_t want = uint32_t(std::min<uint64_t>(length - got, kChunk));
    int64_t n = tw3_fs_pread(f, offset + got, b->data + start + got, want);
    if (n < 0) {
      b->data[start] = 0;
      return -1;
    }
    if (n == 0) break;
    got += uint64_t(n);
  }
  b->len = start + got;
  b->data[b->len] = 0;  // the buffer keeps its terminating zero
  return int64_t(got);
}

}  // namespace

tw3_done cmd_read(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r) {
  read_req q = read_request(body);
  if (body->bad) return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteStructure);
  if (q.channel != 0) return tw3_refuse(STATUS_NOT_SUPPORTED, kSiteChannel);
  if (q.length > c->max_read) return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteLength);
  tw3_open* o = rq->open;
  if (o->is_pipe) return read_pipe(o, q.length, r);
  if (o->is_dir) return tw3_refuse(STATUS_FILE_IS_A_DIRECTORY, kSiteDirectory);
  tw3_stat now{};
  tw3_file* f = tw3_fs_open_ro(o->local_path, &now);
  if (f == nullptr) {
    tw3_caching_check(c, o->local_path, tw3_stat{});  // gone: nothing cached of it holds
    return tw3_refuse(STATUS_ACCESS_DENIED, kSiteOpen);
  }
  // A client told to drop its cache before this answer reads fresh data from here on.
  tw3_caching_check(c, o->local_path, now);

  const uint64_t part = begin_response(r);
  int64_t got = r->b.failed ? -1 : read_into(f, q.offset, q.length, &r->b);
  tw3_fs_close(f);
  if (got < 0) return tw3_refuse(STATUS_ACCESS_DENIED, kSiteRead);  // drops the body part
  tw3_stat_add(ST_READS, 1);
  // Clients read until told the file has ended (MS-SMB2 3.3.5.12); an empty
  // success at the end has some of them (rclone's go-smb2) read for ever.
  if (got == 0 && q.length != 0) return tw3_refuse(STATUS_END_OF_FILE, kSiteEnd);
  put_le32(r->b.data + part + 4, uint32_t(got));
  return tw3_answer();
}
