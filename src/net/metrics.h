// Statistics for operators: the JSON report, the Prometheus text exposition
// of the same counters, and a small HTTP endpoint that serves both. The
// endpoint runs on its own thread and never touches the SMB server's locks
// except for the short counter reads, so no metrics client can stall it.
#pragma once

#include <cstdint>

#include "util/util.h"

// Appends the statistics report: one JSON line without a line feed, the text
// of twsmb3s_stats_json.
void tw3_stats_json_put(tw3_buf* b);
// Appends the counters, the client count and the running state in the
// Prometheus text exposition format (version 0.0.4), each with HELP and TYPE.
void tw3_stats_prometheus_put(tw3_buf* b);

// Limits of the endpoint.
constexpr int TW3_METRICS_MAX_CONNS = 4;            // served at once; more are closed
constexpr uint32_t TW3_METRICS_MAX_REQUEST = 2048;  // bytes of request line and headers
constexpr uint32_t TW3_METRICS_DEADLINE_MS = 2000;  // per connection, read and write

// Starts the endpoint on ip_text:port (ip_text null or "" for 127.0.0.1; port
// 0 for a free one). GET /metrics and GET /stats; 404 for other paths, 405
// for other methods, 431 for an over-long request. 0, or -1 / -4 / -5 with
// the last-error text ("metrics: ..."). Call from the controlling thread.
int tw3_metrics_start(const char* ip_text, uint32_t port);
// The bound port while the endpoint runs, else 0.
int tw3_metrics_port();
// Closes the endpoint and joins its thread; nothing when it is not running.
void tw3_metrics_stop();
