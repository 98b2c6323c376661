// The metrics endpoint: a few HTTP/1.0-style exchanges at once on one thread,
// each bounded in size and time, answering GET /metrics and GET /stats.
#include <atomic>
#include <cstring>
#include <string_view>

#include "net/metrics.h"
#include "net/net_internal.h"

namespace {

constexpr int kPollMs = 100;
constexpr int kBacklog = 8;
constexpr size_t kStackBytes = 256 * 1024;
constexpr const char* kDefaultIp = "127.0.0.1";
constexpr uint32_t kPortMax = 65535;
constexpr const char* kPromType = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char* kJsonType = "application/json";
constexpr const char* kTextType = "text/plain; charset=utf-8";

// One client exchange. `in` holds the request as read so far; once the
// answer is built, `out` holds it and `sent` counts what has left.
struct slot {
  tw3_socket sock = TW3_NO_SOCKET;
  uint64_t deadline_ms = 0;
  char in[TW3_METRICS_MAX_REQUEST];
  uint32_t in_len = 0;
  tw3_buf out{};
  uint64_t sent = 0;
  bool answering = false;
};

struct endpoint {
  tw3_socket listen_sock = TW3_NO_SOCKET;
  std::atomic<int32_t> port{0};
  std::atomic<int32_t> stopping{0};
  tw3_thread* thread = nullptr;
  slot slots[TW3_METRICS_MAX_CONNS];
};

endpoint g_ep;

void slot_close(slot* s) {
  tw3_sock_shutdown_close(s->sock);
  tw3_buf_free(&s->out);
  *s = slot{};
}

void respond(slot* s, const char* status, const char* type, tw3_buf* body) {
  bool ok = !body->failed;
  tw3_buf_printf(&s->out,
                 "HTTP/1.1 %s\r\nContent-Type: %s\r\nContent-Length: %llu\r\n"
                 "Cache-Control: no-store\r\nConnection: close\r\n%s\r\n",
                 ok ? status : "500 Internal Server Error", type,
                 static_cast<unsigned long long>(ok ? body->len : 0),
                 std::strncmp(status, "405", 3) == 0 ? "Allow: GET\r\n" : "");
  if (ok && body->len) tw3_buf_put(&s->out, body->data, body->len);
  tw3_buf_free(body);
  s->answering = true;
}

void respond_text(slot* s, const char* status, const char* text) {
  tw3_buf body{};
  tw3_buf_str(&body, text);
  respond(s, status, kTextType, &body);
}

// The request line of a complete request: method, then target.
void answer(slot* s) {
  std::string_view req(s->in, s->in_len);
  std::string_view line = req.substr(0, req.find_first_of("\r\n"));
  size_t sp1 = line.find(' ');
  std::string_view method = line.substr(0, sp1);
  std::string_view target = sp1 == std::string_view::npos ? "" : line.substr(sp1 + 1);
  target = target.substr(0, target.find(' '));
  target = target.substr(0, target.find('?'));
  if (method != "GET") return respond_text(s, "405 Method Not Allowed", "only GET\n");
  tw3_buf body{};
  if (target == "/metrics") {
    tw3_stats_prometheus_put(&body);
    return respond(s, "200 OK", kPromType, &body);
  }
  if (target == "/stats") {
    tw3_stats_json_put(&body);
    tw3_buf_str(&body, "\n");
    return respond(s, "200 OK", kJsonType, &body);
  }
  respond_text(s, "404 Not Found", "not found: try /metrics or /stats\n");
}

bool request_complete(const slot* s) {
  std::string_view req(s->in, s->in_len);
  return req.find("\r\n\r\n") != std::string_view::npos || req.find("\n\n") != std::string_view::npos;
}

void slot_read(slot* s) {
  int64_t n = tw3_sock_recv(s->sock, s->in + s->in_len, sizeof s->in - s->in_len);
  if (n == TW3_SOCK_AGAIN) return;
  if (n <= 0) return slot_close(s);
  s->in_len += static_cast<uint32_t>(n);
  if (request_complete(s)) return answer(s);
  if (s->in_len == sizeof s->in) respond_text(s, "431 Request Header Fields Too Large", "request too large\n");
}

void slot_write(slot* s) {
  while (s->sent < s->out.len) {
    int64_t n = tw3_sock_send(s->sock, s->out.data + s->sent, s->out.len - s->sent);
    if (n == TW3_SOCK_AGAIN) return;
    if (n <= 0) return slot_close(s);
    s->sent += static_cast<uint64_t>(n);
  }
  slot_close(s);
}

void accept_new(tw3_socket listener) {
  tw3_ip peer{};
  tw3_socket c = tw3_sock_accept(listener, &peer);
  if (c == TW3_NO_SOCKET) return;
  for (slot& s : g_ep.slots) {
    if (s.sock != TW3_NO_SOCKET) continue;
    if (tw3_sock_nonblock(c) != 0) break;
    s.sock = c;
    s.deadline_ms = tw3_now_ms() + TW3_METRICS_DEADLINE_MS;
    return;
  }
  tw3_sock_close(c);  // every slot busy: this client waits for nothing
}

// One round: wait for the listener and the busy slots, then serve them.
void serve_round(tw3_socket listener) {
  tw3_socket socks[TW3_METRICS_MAX_CONNS + 1] = {listener};
  int events[TW3_METRICS_MAX_CONNS + 1] = {TW3_POLL_IN};
  int ready[TW3_METRICS_MAX_CONNS + 1] = {};
  slot* owner[TW3_METRICS_MAX_CONNS + 1] = {};
  int n = 1;
  for (slot& s : g_ep.slots) {
    if (s.sock == TW3_NO_SOCKET) continue;
    socks[n] = s.sock;
    events[n] = s.answering ? TW3_POLL_OUT : TW3_POLL_IN;
    owner[n++] = &s;
  }
  int rc = tw3_sock_poll_many(socks, events, ready, n, kPollMs);
  if (rc == static_cast<int>(TW3_SOCK_FAIL)) tw3_sleep_ms(kPollMs);  // never spin
  for (int i = 1; i < n; i++) {
    if (!ready[i]) continue;
    if (owner[i]->answering)
      slot_write(owner[i]);
    else
      slot_read(owner[i]);
  }
  uint64_t now = tw3_now_ms();
  for (slot& s : g_ep.slots) {
    if (s.sock != TW3_NO_SOCKET && now >= s.deadline_ms) slot_close(&s);
  }
  if (ready[0]) accept_new(listener);
}

void endpoint_main(void*) {
  while (!g_ep.stopping.load()) serve_round(g_ep.listen_sock);
  for (slot& s : g_ep.slots) {
    if (s.sock != TW3_NO_SOCKET) slot_close(&s);
  }
}

}  // namespace

int tw3_metrics_start(const char* ip_text, uint32_t port) {
  const char* text = ip_text && *ip_text ? ip_text : kDefaultIp;
  tw3_ip ip{};
  if (tw3_ip_parse(text, &ip) != 0) return tw3_fail(TW3_EINVAL, "metrics: %.64s is not an IP address", text);
  if (port > kPortMax) return tw3_fail(TW3_EINVAL, "metrics: port out of range");
  if (g_ep.thread) return tw3_fail(TW3_ERUNNING, "metrics: already running on port %d", g_ep.port.load());
  if (tw3_sock_init() != 0) return tw3_fail(TW3_ESYS, "metrics: socket library initialization failed");
  tw3_socket s = TW3_NO_SOCKET;
  int bound = 0;
  if (int rc = tw3_listen_socket("metrics", text, &ip, static_cast<uint16_t>(port), kBacklog, &s, &bound); rc != 0)
    return rc;
  g_ep.listen_sock = s;
  g_ep.port = bound;
  g_ep.stopping = 0;
  g_ep.thread = tw3_thread_start(endpoint_main, nullptr, kStackBytes);
  if (!g_ep.thread) {
    tw3_sock_close(s);
    g_ep.listen_sock = TW3_NO_SOCKET;
    g_ep.port = 0;
    return tw3_fail(TW3_ESYS, "metrics: cannot start its thread");
  }
  return 0;
}

int tw3_metrics_port() { return g_ep.port.load(); }

void tw3_metrics_stop() {
  if (!g_ep.thread) return;
  g_ep.stopping = 1;
  tw3_thread_join(g_ep.thread);
  g_ep.thread = nullptr;
  tw3_sock_close(g_ep.listen_sock);
  g_ep.listen_sock = TW3_NO_SOCKET;
  g_ep.port = 0;
}
