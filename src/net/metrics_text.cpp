// The statistics as text: the JSON report and the Prometheus exposition.
#include <iterator>

#include "config/config.h"
#include "net/metrics.h"
#include "net/net.h"

namespace {

// How each counter is exposed. Three of them go down again (open
// connections, connected trees, live sessions) and are gauges; every other
// one only grows.
struct metric_desc {
  bool gauge;
  const char* help;
};

constexpr metric_desc kDesc[] = {
    {true, "SMB connections being served now (after the allow-list)."},
    {false, "Connections refused by the client allow-list."},
    {false, "Connections refused because max_clients were already served."},
    {false, "NEGOTIATE requests answered."},
    {false, "Session setup steps counted as sessions (challenges and named-user logons)."},
    {false, "Guest logons and their challenges."},
    {false, "Failed logons."},
    {true, "Tree connections open now."},
    {false, "Tree connects refused."},
    {false, "Files, directories and pipes opened."},
    {false, "Opens refused."},
    {false, "READ requests answered."},
    {false, "Bytes of SMB messages sent."},
    {false, "Directory listing responses sent."},
    {false, "Requests refused because they would change something."},
    {false, "IOCTL requests refused."},
    {false, "Requests refused for a bad or missing signature."},
    {false, "Malformed frames or requests."},
    {false, "Connections closed for idleness."},
    {false, "Session setup responses on connections that require signing."},
    {false, "Share enumerations answered."},
    {false, "Paths refused by the path rules or lying outside their share."},
    {false, "Sessions whose requests arrived encrypted."},
    {false, "Transforms dropped: bad authentication, replayed nonce, unknown session."},
    {true, "Authenticated sessions (users and guests) open now, over every connection."},
    {true, "Connections authenticated sessions serve requests on now: one per session, more where a client bound further channels to one."},
};
static_assert(std::size(kDesc) == ST_COUNT, "one description for each counter");

void put_metric(tw3_buf* b, const char* name, const char* suffix, bool gauge, const char* help,
                long long value) {
  tw3_buf_printf(b, "# HELP twsmb3s_%s%s %s\n", name, suffix, help);
  tw3_buf_printf(b, "# TYPE twsmb3s_%s%s %s\n", name, suffix, gauge ? "gauge" : "counter");
  tw3_buf_printf(b, "twsmb3s_%s%s %lld\n", name, suffix, value);
}

}  // namespace

void tw3_stats_json_put(tw3_buf* b) {
  int clients = tw3_net_client_count();
  int port = tw3_net_port();
  tw3_buf_printf(b, "{\"running\":%s,\"port\":%d,\"clients\":%d", port != 0 ? "true" : "false", port,
                 clients);
  for (int i = 0; i < ST_COUNT; i++)
    tw3_buf_printf(b, ",\"%s\":%lld", tw3_stat_names[i], static_cast<long long>(tw3_stat_get(i)));
  tw3_buf_str(b, "}");
}

void tw3_stats_prometheus_put(tw3_buf* b) {
  int clients = tw3_net_client_count();
  int port = tw3_net_port();
  put_metric(b, "up", "", true, "1 while the SMB server is listening.", port != 0 ? 1 : 0);
  put_metric(b, "clients", "", true, "Client connections whose thread runs now.", clients);
  put_metric(b, "connections", "_total", false,
             "TCP connections accepted by the listener (also those the allow-list refuses).",
             static_cast<long long>(tw3_net_accepted_total()));
  for (int i = 0; i < ST_COUNT; i++) {
    const char* name = tw3_stat_names[i];
    // The values that go down again are gauges of what is open now;
    // "_open" keeps twsmb3s_connections_open apart from the total above.
    const char* suffix = kDesc[i].gauge ? "_open" : "_total";
    put_metric(b, name, suffix, kDesc[i].gauge, kDesc[i].help, static_cast<long long>(tw3_stat_get(i)));
  }
}
