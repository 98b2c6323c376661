// The listening socket, the accept thread, one thread per connection, the
// client limit, and start and stop.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "config/config.h"
#include "net/net_internal.h"
#include "smb/events.h"

namespace {

constexpr int kBacklog = 64;
constexpr int kAcceptPollMs = 100;
constexpr size_t kConnStackBytes = 1 << 20;  // the engine's deepest path fits easily
constexpr uint32_t kPortMax = 65535;
constexpr const char* kDefaultBind = "127.0.0.1";

// The server state. `lock` guards every field and the client list; it is
// never held while waiting for a thread, calling the engine, or together
// with the configuration lock.
struct server_state {
  tw3_mutex lock;
  int32_t running = 0;
  int32_t stopping = 0;
  tw3_socket listen_sock = TW3_NO_SOCKET;
  int32_t port = 0;
  tw3_thread* acceptor = nullptr;
  tw3_client* clients = nullptr;  // newest first
  int32_t nclients = 0;
};

server_state g;
std::atomic<int64_t> g_accepted_total{0};  // connections handed to a thread, ever
tw3_conn_runner g_runner = nullptr;  // null: the engine's loop

// An address as text, for the access log.
struct ip_text {
  char text[TW3_ADDR_TEXT_MAX];
};
ip_text c_text(const tw3_ip& ip) {
  ip_text t{};
  tw3_ip_format(&ip, t.text, sizeof t.text);
  return t;
}

int sock_lib_ready() {
  static const int ok = tw3_sock_init() == 0;  // once per process
  return ok;
}

// Unlinks finished records (every record when `all`), then joins and frees
// them outside the lock. When the last client has gone, the memory their
// threads freed goes back to the host: an idle server returns near its cold
// size however many connections came and went.
void reap(bool all) {
  tw3_client* done_list = nullptr;
  bool now_idle = false;
  {
    tw3_lock_guard lk(g.lock);
    now_idle = g.nclients == 0;
    tw3_client** link = &g.clients;
    while (*link) {
      tw3_client* c = *link;
      if (all || c->done) {
        *link = c->next;
        c->next = done_list;
        done_list = c;
      } else {
        link = &c->next;
      }
    }
  }
  while (done_list) {
    tw3_client* c = done_list;
    done_list = c->next;
    tw3_thread_join(c->thread);
    delete c;
    if (!done_list && now_idle) tw3_mem_trim();
  }
}

void conn_main(void* arg) {
  auto* c = static_cast<tw3_client*>(arg);
  tw3_conn_runner run = g_runner ? g_runner : tw3_sess_run;
  try {
    run(&c->io, &c->peer, c->local_text, 0);
  } catch (...) {
    // Nothing may unwind out of a connection thread: this one connection
    // ends, the server and its other clients go on.
  }
  tw3_sock_shutdown_close(c->sock);
  tw3_lock_guard lk(g.lock);
  c->sock = TW3_NO_SOCKET;
  g.nclients--;
  c->done = 1;
}

// True when the limit leaves room for one more client.
bool room_for_client() {
  tw3_opts o;
  tw3_opts_get(&o);  // before taking the server lock: never both at once
  tw3_lock_guard lk(g.lock);
  return g.nclients < o.max_clients;
}

void accept_one(tw3_socket listener) {
  tw3_ip peer{};
  tw3_socket s = tw3_sock_accept(listener, &peer);
  if (s == TW3_NO_SOCKET) return;
  tw3_sock_nodelay(s);
  tw3_ip local{};
  int local_port = 0;
  if (tw3_sock_local(s, &local, &local_port) != 0) {
    tw3_sock_close(s);
    return;
  }
  if (!room_for_client()) {
    tw3_stat_add(ST_REFUSED_FULL, 1);
    tw3_client_refused(c_text(peer).text, "full");
    tw3_sock_close(s);
    return;
  }
  auto* c = tw3_sock_nonblock(s) == 0 ? new (std::nothrow) tw3_client{} : nullptr;
  if (!c) {
    tw3_sock_close(s);
    return;
  }
  c->sock = s;
  c->io = tw3_io{c, x_write, x_read, nullptr, nullptr, x_writev, x_stopping};
  c->peer = peer;
  tw3_ip_format(&local, c->local_text, sizeof c->local_text);
  {
    tw3_lock_guard lk(g.lock);
    c->next = g.clients;
    g.clients = c;
    g.nclients++;
  }
  // Only this thread adds records, so a failed start is still at the head.
  c->thread = tw3_thread_start(conn_main, c, kConnStackBytes);
  if (!c->thread) {
    {
      tw3_lock_guard lk(g.lock);
      g.nclients--;
      g.clients = c->next;
    }
    tw3_sock_close(s);
    delete c;
    return;
  }
  g_accepted_total.fetch_add(1, std::memory_order_relaxed);
}

void acceptor_main(void*) {
  tw3_socket listener;
  for (;;) {
    {
      tw3_lock_guard lk(g.lock);
      if (g.stopping) return;
      listener = g.listen_sock;
    }
    int rc = tw3_sock_poll(listener, TW3_POLL_IN, kAcceptPollMs);
    if (rc == static_cast<int>(TW3_SOCK_AGAIN)) continue;
    reap(false);
    if (rc == 1) accept_one(listener);
    if (rc < 0) tw3_sleep_ms(kAcceptPollMs);  // a failing wait must not spin
  }
}

int check_server_name(const char* name) {
  size_t n = strnlen(name, TW3_SERVER_NAME_MAX + 1);
  if (n < 1 || n > TW3_SERVER_NAME_MAX) return tw3_fail(TW3_EINVAL, "start: server_name 1..63 bytes");
  for (size_t i = 0; i < n; i++) {
    auto b = static_cast<unsigned char>(name[i]);
    if (b < 0x20 || b > 0x7E) return tw3_fail(TW3_EINVAL, "start: server_name printable ASCII only");
  }
  return tw3_set_option("server_name", name) == 0 ? 0 : TW3_EINVAL;
}

void clear_running() {
  tw3_lock_guard lk(g.lock);
  g.listen_sock = TW3_NO_SOCKET;
  g.port = 0;
  g.running = 0;
}

}  // namespace

int tw3_net_start(const char* bind_ip, uint32_t port, const char* server_name) {
  const char* text = bind_ip && *bind_ip ? bind_ip : kDefaultBind;
  tw3_ip ip{};
  if (tw3_ip_parse(text, &ip) != 0) return tw3_fail(TW3_EINVAL, "start: %.64s is not an IP address", text);
  if (port > kPortMax) return tw3_fail(TW3_EINVAL, "start: port out of range");
  if (server_name) {
    int rc = check_server_name(server_name);
    if (rc != 0) return rc;
  }
  if (!sock_lib_ready()) return tw3_fail(TW3_ESYS, "start: socket library initialization failed");
  {
    tw3_lock_guard lk(g.lock);
    if (g.running) return tw3_fail(TW3_ERUNNING, "start: already running on port %d", g.port);
    g.running = 1;
  }
  tw3_socket s = TW3_NO_SOCKET;
  int bound = 0;
  if (int rc = tw3_listen_socket("start", text, &ip, static_cast<uint16_t>(port), kBacklog, &s, &bound); rc != 0) {
    clear_running();
    return rc;
  }
  tw3_set_listen_address(ip);
  {
    tw3_lock_guard lk(g.lock);
    g.listen_sock = s;
    g.port = bound;
    g.stopping = 0;
  }
  g.acceptor = tw3_thread_start(acceptor_main, nullptr, kConnStackBytes);
  if (!g.acceptor) {
    tw3_sock_close(s);
    clear_running();
    return tw3_fail(TW3_ESYS, "start: cannot start the accept thread");
  }
  return 0;
}

void tw3_net_stop() {
  {
    tw3_lock_guard lk(g.lock);
    if (!g.running || g.stopping) return;
    g.stopping = 1;
  }
  tw3_thread_join(g.acceptor);  // it sees `stopping` within one poll
  g.acceptor = nullptr;
  reap(true);  // every loop ends within about 100 ms of its message in hand
  tw3_lock_guard lk(g.lock);
  tw3_sock_close(g.listen_sock);
  g.listen_sock = TW3_NO_SOCKET;
  g.running = 0;
  g.stopping = 0;
  g.port = 0;
}

int tw3_net_port() {
  tw3_lock_guard lk(g.lock);
  return g.running ? g.port : 0;
}

int tw3_net_client_count() {
  tw3_lock_guard lk(g.lock);
  return g.nclients;
}

int tw3_server_stopping() {
  tw3_lock_guard lk(g.lock);
  return g.stopping;
}

void tw3_net_set_runner_for_tests(tw3_conn_runner runner) { g_runner = runner; }

int64_t tw3_net_accepted_total() { return g_accepted_total.load(std::memory_order_relaxed); }

int tw3_listen_socket(const char* op, const char* text, const tw3_ip* ip, uint16_t want, int backlog,
                      tw3_socket* out, int* port) {
  bool as_v6 = std::strchr(text, ':') != nullptr;
  tw3_socket s = tw3_sock_tcp(as_v6 ? 6 : 4);
  bool ok = s != TW3_NO_SOCKET;
  if (ok) {
    tw3_sock_reuse_addr(s);
    if (as_v6) tw3_sock_v6only(s, 0);  // `::` serves IPv4 clients too
    tw3_ip local{};
    ok = tw3_sock_bind(s, ip, as_v6, want) == 0 && tw3_sock_listen(s, backlog) == 0 &&
         tw3_sock_nonblock(s) == 0 && tw3_sock_local(s, &local, port) == 0;
    if (ok) tw3_sock_nodelay(s);
  }
  if (!ok) {
    constexpr size_t kErrTextFetch = 128;
    int code = tw3_sock_error();
    char text_buf[kErrTextFetch] = {};
    tw3_sock_error_text(code, text_buf, sizeof text_buf);
    tw3_sock_close(s);
    return tw3_fail(TW3_ESYS, "%s: bind failed (%d): %.100s", op, code, text_buf);
  }
  *out = s;
  return 0;
}
