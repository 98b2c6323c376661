// The exported C functions: thin translations to the subsystems' own calls.
#include "api/api.h"
#include "config/config.h"
#include "net/net.h"
#include "twsmb3s.h"
#include "util/util.h"

namespace {

// The work below the exports does not throw; should it ever, the process
// ends here instead of unwinding into a C caller.
template <typename F>
auto shield(F&& f) noexcept -> decltype(f()) {
  return f();
}

}  // namespace

extern "C" {

int twsmb3s_start(const char* bind_ip, unsigned int port, const char* server_name) {
  return shield([&] { return tw3_net_start(bind_ip, port, server_name); });
}

void twsmb3s_stop(void) { shield([] { tw3_net_stop(); }); }

int twsmb3s_port(void) { return shield([] { return tw3_net_port(); }); }

int twsmb3s_client_count(void) { return shield([] { return tw3_net_client_count(); }); }

int twsmb3s_set_option(const char* key, const char* value) {
  return shield([&] { return tw3_set_option(key, value); });
}

int twsmb3s_add_share(const char* name, const char* path) {
  return shield([&] { return tw3_add_share(name, path); });
}

int twsmb3s_remove_share(const char* name) { return shield([&] { return tw3_remove_share(name); }); }

int twsmb3s_add_user(const char* name, const char* password) {
  return shield([&] { return tw3_add_user(name, password); });
}

int twsmb3s_remove_user(const char* name) { return shield([&] { return tw3_remove_user(name); }); }

int twsmb3s_allow_cidr(const char* cidr) { return shield([&] { return tw3_allow_cidr(cidr); }); }

const char* twsmb3s_simulate(const char* script, const char* client_ip) {
  return shield([&] { return tw3_simulate(script, client_ip); });
}

const char* twsmb3s_stats_json(void) { return shield([] { return tw3_stats_json(); }); }

const char* twsmb3s_selftest(void) { return shield([] { return tw3_selftest_report(); }); }

int twsmb3s_session_count(void) { return shield([] { return tw3_session_count(); }); }

const char* twsmb3s_version(void) { return shield([] { return tw3_version(); }); }

const char* twsmb3s_last_error(void) { return shield([] { return tw3_error(); }); }

}  // extern "C"
