// Front-end work behind the exported functions: the frame-script simulator
// and the reports. The exported wrappers only translate to these.
#pragma once

#include <cstdint>

// The text most recently returned by simulate, stats_json or selftest; owned
// here, valid until the next of those calls. One thread at a time.
extern char* g_out;
// Frees the previous g_out text and stores `text` (heap memory from
// new char[]; ownership passes here) there. Returns `text`.
const char* tw3_out_store(char* text);

// Replays a script of hex frames through the engine as a connection from
// client_ip (null or "" means 127.0.0.1). The transcript (also stored in
// g_out), or null with the last-error text set.
const char* tw3_simulate(const char* script, const char* client_ip);

// ---- Reports (reports.cpp) ----
// The version text, "1.0.1".
const char* tw3_version();
// sessions minus logon_failed from the counters, at least 0.
int tw3_session_count();
// One-line JSON report of the server state and every counter, stored in
// g_out; the fixed text "{}" when memory runs out.
const char* tw3_stats_json();
// "selftest ok\n" or "selftest FAILED\n", stored in g_out; a fixed text
// when memory runs out.
const char* tw3_selftest_report();
