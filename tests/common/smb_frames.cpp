#include "smb_frames.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace tw3test {

namespace {

void put(bytes& b, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

bytes smb2_request(const req& r) {
  bytes b = {0xFE, 'S', 'M', 'B'};
  put(b, 64, 2);
  put(b, r.credit_charge, 2);
  put(b, 0, 4);
  put(b, r.command, 2);
  put(b, r.credit_request, 2);
  put(b, r.flags, 4);
  put(b, r.next_command < 0 ? 0 : static_cast<uint64_t>(r.next_command), 4);
  put(b, r.message_id, 8);
  put(b, 0, 4);
  put(b, r.tree_id, 4);
  put(b, r.session_id, 8);
  b.resize(64, 0);
  b.insert(b.end(), r.body.begin(), r.body.end());
  return b;
}

bytes compound(const std::vector<req>& reqs) {
  bytes out;
  for (size_t i = 0; i < reqs.size(); ++i) {
    bytes one = smb2_request(reqs[i]);
    const bool last = i + 1 == reqs.size();
    if (!last) one.resize((one.size() + 7) / 8 * 8, 0);
    uint64_t next = last ? 0 : one.size();
    if (reqs[i].next_command >= 0) next = static_cast<uint64_t>(reqs[i].next_command);
    for (int k = 0; k < 4; ++k) one[20 + k] = static_cast<uint8_t>(next >> (8 * k));
    out.insert(out.end(), one.begin(), one.end());
  }
  return out;
}

bytes nb_frame(const bytes& msg, uint8_t type) {
  bytes b = {type, static_cast<uint8_t>(msg.size() >> 16), static_cast<uint8_t>(msg.size() >> 8),
             static_cast<uint8_t>(msg.size())};
  b.insert(b.end(), msg.begin(), msg.end());
  return b;
}

bytes concat(const std::vector<bytes>& parts) {
  bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<resp> split_responses(const uint8_t* data, size_t len) {
  std::vector<resp> out;
  size_t off = 0;
  for (int i = 0; i < 100 && off <= len && len - off >= 64; ++i) {
    const uint8_t* h = data + off;
    if (le32(h) != SMB2_PROTOCOL_ID) break;
    resp r{};
    r.off = off;
    r.command = h[12];
    r.status = le32(h + 8);
    r.flags = le32(h + 16);
    r.next = le32(h + 20);
    r.message_id = le64(h + 24);
    r.tree_id = le32(h + 36);
    r.session_id = le64(h + 40);
    r.credits = h[14];
    r.credit_charge = le16(h + 6);
    r.len = r.next != 0 && r.next <= len - off ? r.next : len - off;
    out.push_back(r);
    if (r.next == 0 || r.next > len - off) break;
    off += r.next;
  }
  return out;
}

std::unique_ptr<uint8_t[]> exact_copy(const bytes& b) {
  std::unique_ptr<uint8_t[]> p(new uint8_t[b.empty() ? 1 : b.size()]);
  if (!b.empty()) std::memcpy(p.get(), b.data(), b.size());
  return p;
}

void script_io::add_trickle(const bytes& b) {
  for (uint8_t x : b) {
    add({x});
    steps.push_back(step_timeout());
  }
}

namespace {

int do_read(void* ctx, uint8_t* buf, uint32_t cap, uint32_t /*timeout_ms*/) {
  auto* s = static_cast<script_io*>(ctx);
  if (++s->reads > s->max_reads) return -1;
  if (s->steps.empty()) return 0;
  io_step& st = s->steps.front();
  if (st.sleep_ms) {
    if (s->fake_clock)
      s->now_ms += st.sleep_ms;
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(st.sleep_ms));
    st.sleep_ms = 0;
  }
  switch (st.k) {
    case io_step::data: {
      const size_t n = std::min<size_t>(cap, st.payload.size());
      std::memcpy(buf, st.payload.data(), n);
      st.payload.erase(st.payload.begin(), st.payload.begin() + static_cast<long>(n));
      if (st.payload.empty()) s->steps.pop_front();
      return static_cast<int>(n);
    }
    case io_step::fill: {
      const uint64_t n = std::min<uint64_t>(cap, st.n);
      std::memset(buf, 0, n);
      st.n -= n;
      if (st.n == 0) s->steps.pop_front();
      return static_cast<int>(n);
    }
    case io_step::timeout:
      s->steps.pop_front();
      return TW3_IO_TIMEOUT;
    case io_step::zero:
      s->steps.pop_front();
      return 0;
    case io_step::fail:
      s->steps.pop_front();
      return -1;
  }
  return -1;
}

int do_write(void* ctx, const uint8_t* data, uint32_t len) {
  auto* s = static_cast<script_io*>(ctx);
  const int n = s->writes++;
  if (s->fail_writes_from >= 0 && n >= s->fail_writes_from) return -1;
  if (s->fake_clock) s->now_ms += s->write_ms;
  s->written.insert(s->written.end(), data, data + len);
  return 0;
}

int do_writev(void* ctx, const tw3_iovec* parts, int count) {
  auto* s = static_cast<script_io*>(ctx);
  const int n = s->writes++;
  s->last_parts = count;
  if (s->fail_writes_from >= 0 && n >= s->fail_writes_from) return -1;
  if (s->fake_clock) s->now_ms += s->write_ms;
  for (int i = 0; i < count; i++)
    s->written.insert(s->written.end(), parts[i].data, parts[i].data + parts[i].len);
  return 0;
}

void do_log(void* ctx, const char* dir, const uint8_t* data, int64_t len) {
  auto* s = static_cast<script_io*>(ctx);
  s->logged.emplace_back(dir, bytes(data, data + (len > 0 ? len : 0)));
}

uint64_t do_now(void* ctx) { return static_cast<script_io*>(ctx)->now_ms; }

}  // namespace

tw3_io script_io::io() {
  return tw3_io{this, do_write, do_read, do_log, fake_clock ? do_now : nullptr, gather ? do_writev : nullptr, nullptr};
}

void script_io::add_paced(const bytes& b, size_t piece, uint32_t ms_between) {
  for (size_t i = 0; i < b.size(); i += piece) {
    const size_t n = std::min(piece, b.size() - i);
    steps.push_back({io_step::data, bytes(b.begin() + static_cast<long>(i), b.begin() + static_cast<long>(i + n)), 0,
                     ms_between});
  }
}

std::vector<bytes> script_io::sent_messages() const {
  std::vector<bytes> out;
  size_t off = 0;
  while (off + 4 <= written.size()) {
    const size_t n = (size_t{written[off + 1]} << 16) | (size_t{written[off + 2]} << 8) | written[off + 3];
    if (written[off] == NB_POSITIVE_RESPONSE) {
      out.emplace_back(written.begin() + static_cast<long>(off), written.begin() + static_cast<long>(off + 4));
      off += 4;
      continue;
    }
    if (off + 4 + n > written.size()) break;
    out.emplace_back(written.begin() + static_cast<long>(off + 4), written.begin() + static_cast<long>(off + 4 + n));
    off += 4 + n;
  }
  return out;
}

}  // namespace tw3test
