// Network server: one listening TCP socket, an accept thread, one thread per
// connection running the protocol engine, the client limit, start and stop.
#pragma once

#include <cstdint>

#include "util/util.h"

struct tw3_io;

// Opens the listener and starts the accept thread. bind_ip null or "" means
// 127.0.0.1; port 0 picks a free port; server_name null keeps the option.
// 0, or -1 / -4 / -5 with the last-error text set ("start: ...").
int tw3_net_start(const char* bind_ip, uint32_t port, const char* server_name);
// Ends every connection and the listener and joins every thread; does
// nothing when not running. Call from the thread that starts the server.
void tw3_net_stop();
// The bound port while running, else 0.
int tw3_net_port();
// Connections whose thread has started and not yet finished.
int tw3_net_client_count();
// Connections the listener has accepted and handed to a thread since the
// process began (also those the allow-list then refuses); never decreases.
int64_t tw3_net_accepted_total();
// 1 while a stop is in progress; connection loops end when they see it.
int tw3_server_stopping();

// What a connection thread runs: the engine's connection loop by default.
using tw3_conn_runner = void (*)(const tw3_io* io, const tw3_ip* peer, const char* local_text,
                                 int32_t conn_id);
// Test hook: replaces the connection loop (null restores the engine's).
// Set only while the server is stopped.
void tw3_net_set_runner_for_tests(tw3_conn_runner runner);
