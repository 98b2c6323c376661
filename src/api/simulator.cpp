// The frame-script simulator: decodes a script of hex lines into the byte
// stream a client would send, replays it through the real connection loop
// over an in-memory transport, and returns a transcript of what the engine
// answered. Also owns g_out, the slot shared by the text-returning exports.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "api/api.h"
#include "config/config.h"
#include "smb/smb.h"
#include "util/util.h"

char* g_out = nullptr;

const char* tw3_out_store(char* text) {
  delete[] g_out;
  g_out = text;
  return text;
}

namespace {

constexpr size_t kLineMax = 65535;             // bytes of one script line
constexpr size_t kRawMax = 16384;              // decoded bytes of one raw line
constexpr size_t kFrameMin = 4;                // a frame line holds at least a NetBIOS header
constexpr uint64_t kTranscriptMax = 2097152;   // transcript bytes before the marker
constexpr size_t kNameLineMax = 63;            // a ">> NAME" line, cut
constexpr const char* kDefaultClient = "127.0.0.1";
constexpr const char* kTruncated = "[truncated]\n";
constexpr const char* kRefused = "refused: client address not allowed\n";

struct tw3_sim {
  const uint8_t* script;
  uint64_t pos;
  uint64_t script_len;
  tw3_buf out;
  int32_t truncated;
  int64_t frames;
};

int sim_read(void* ctx, uint8_t* buf, uint32_t cap, uint32_t /*timeout_ms*/) {
  auto* s = static_cast<tw3_sim*>(ctx);
  const uint64_t left = s->script_len - s->pos;
  const uint64_t n = std::min<uint64_t>({left, cap, INT32_MAX});
  if (n == 0) return 0;
  std::memcpy(buf, s->script + s->pos, n);
  s->pos += n;
  return static_cast<int>(n);
}

int sim_write(void* /*ctx*/, const uint8_t* /*data*/, uint32_t /*len*/) { return 0; }

// False once the transcript is full: the marker is appended instead, once.
bool room_for(tw3_sim* s, uint64_t n) {
  if (s->truncated) return false;
  if (s->out.len <= kTranscriptMax && n <= kTranscriptMax - s->out.len) return true;
  tw3_buf_str(&s->out, kTruncated);
  s->truncated = 1;
  return false;
}

void append_piece(tw3_sim* s, const char* text, size_t n) {
  if (room_for(s, n)) tw3_buf_put(&s->out, text, n);
}

void sim_log_frame(void* ctx, const char* direction, const uint8_t* data, int64_t len) {
  auto* s = static_cast<tw3_sim*>(ctx);
  if (len < 0) return;
  const auto n = static_cast<uint64_t>(len);
  if (std::string_view(direction) == ">>") {
    char line[kNameLineMax + 1];
    std::snprintf(line, sizeof line, ">> %s\n", tw3_frame_name(data, n));
    append_piece(s, line, std::strlen(line));
    return;
  }
  ++s->frames;
  append_piece(s, "<< ", 3);
  if (room_for(s, 2 * n)) tw3_hex_encode(data, n, &s->out);
  append_piece(s, "\n", 1);
}

// Appends the bytes of one script line to the stream. 0, or -1 with the
// last-error text set.
int add_line(std::string_view line, tw3_buf* stream, uint8_t* scratch) {
  if (line.size() > kLineMax) {
    tw3_set_error("simulate: script line too long");
    return -1;
  }
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
  if (line.empty() || line[0] == '#') return 0;
  size_t n = 0;
  if (line[0] == '!') {
    const std::string_view hex = line.substr(1);
    if (tw3_hex_decode(hex.data(), hex.size(), nullptr, 0, &n) != 0) return 0;  // a comment, then
    if (n > kRawMax) {
      tw3_set_error("simulate: bad !raw hex");
      return -1;
    }
    tw3_hex_decode(hex.data(), hex.size(), scratch, kRawMax, &n);
  } else if (tw3_hex_decode(line.data(), line.size(), scratch, kLineMax / 2 + 1, &n) != 0 ||
             n < kFrameMin) {
    tw3_set_error("simulate: bad frame hex on a script line");
    return -1;
  }
  tw3_buf_put(stream, scratch, n);
  return 0;
}

int build_stream(const char* script, tw3_buf* stream) {
  std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[kLineMax / 2 + 1]);
  if (!scratch) {
    tw3_set_error("out of memory");
    return -1;
  }
  std::string_view rest(script);
  while (!rest.empty()) {
    const size_t nl = rest.find('\n');
    const std::string_view line = rest.substr(0, nl);
    if (add_line(line, stream, scratch.get()) != 0) return -1;
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
  }
  if (stream->failed) {
    tw3_set_error("out of memory");
    return -1;
  }
  return 0;
}

// The server side of the simulated connection, by the client's kind.
const char* local_text_for(const tw3_ip& client) {
  if (tw3_ip_is_loopback(&client)) return client.family == 6 ? "::1" : "127.0.0.1";
  return client.family == 6 ? "2001:db8::1" : "192.0.2.1";
}

// Moves a finished transcript into g_out. Null (error set) when out of memory.
const char* store_transcript(tw3_buf* out) {
  char* text = out->failed ? nullptr : new (std::nothrow) char[out->len + 1];
  if (text != nullptr) {
    if (out->len != 0) std::memcpy(text, out->data, out->len);
    text[out->len] = '\0';
  }
  tw3_buf_free(out);
  if (text == nullptr) {
    tw3_set_error("out of memory");
    return nullptr;
  }
  return tw3_out_store(text);
}

}  // namespace

const char* tw3_simulate(const char* script, const char* client_ip) {
  if (script == nullptr) {
    tw3_set_error("simulate: NULL script");
    return nullptr;
  }
  const char* ip_text = client_ip != nullptr && client_ip[0] != '\0' ? client_ip : kDefaultClient;
  tw3_ip client{};
  if (tw3_ip_parse(ip_text, &client) != 0) {
    tw3_set_error("simulate: %.64s is not an IP address", ip_text);
    return nullptr;
  }
  if (!tw3_client_allowed(&client)) {
    tw3_stat_add(ST_REFUSED_ALLOW, 1);
    tw3_buf refused{};
    tw3_buf_str(&refused, kRefused);
    return store_transcript(&refused);
  }
  tw3_buf stream{};
  if (build_stream(script, &stream) != 0) {
    tw3_buf_free(&stream);
    return nullptr;
  }
  tw3_sim sim{stream.data, 0, stream.len, {}, 0, 0};
  const tw3_io io{&sim, sim_write, sim_read, sim_log_frame, nullptr, nullptr, nullptr};
  tw3_sess_run(&io, &client, local_text_for(client), 0);
  tw3_buf_free(&stream);
  tw3_buf_printf(&sim.out, "RESULT ok (%lld frames)\n", static_cast<long long>(sim.frames));
  return store_transcript(&sim.out);
}
