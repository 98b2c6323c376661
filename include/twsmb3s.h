/* twsmb3s: a small read-only SMB 3.x file server, as a library.
 *
 * Conventions:
 *  1. Functions returning int return 0 on success or a negative code:
 *     -1 invalid argument, -2 no such object, -3 already exists,
 *     -4 already running, -5 network or system failure, -6 table full.
 *     A failing call leaves a one-line message for twsmb3s_last_error().
 *  2. The last-error text belongs to the calling thread: read it on the
 *     thread that made the failing call, right after it.
 *  3. Texts returned by the library belong to the library. The texts of
 *     twsmb3s_stats_json, twsmb3s_selftest and twsmb3s_simulate share one
 *     slot: each stays valid until the next call of any of the three, which
 *     should all be made from one thread.
 *  4. Configuration calls may be made at any time, also while serving;
 *     open connections see a change from their next message.
 *  5. All texts are zero-terminated; names and paths are UTF-8.
 */
#ifndef TWSMB3S_H
#define TWSMB3S_H

#if defined(_WIN32)
#  if defined(TWSMB3S_BUILDING)
#    define TWSMB3S_API __declspec(dllexport)
#  else
#    define TWSMB3S_API __declspec(dllimport)
#  endif
#else
#  define TWSMB3S_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Server control. bind_ip null or "" means 127.0.0.1; port 0 picks a free
 * port; server_name null keeps the option. 0, -1, -4 or -5. */
TWSMB3S_API int twsmb3s_start(const char* bind_ip, unsigned int port, const char* server_name);
/* Ends every connection and the listener, joining every thread. */
TWSMB3S_API void twsmb3s_stop(void);
/* The bound port while running, else 0. */
TWSMB3S_API int twsmb3s_port(void);
/* Connections being served now. */
TWSMB3S_API int twsmb3s_client_count(void);

/* Configuration. */
TWSMB3S_API int twsmb3s_set_option(const char* key, const char* value);
TWSMB3S_API int twsmb3s_add_share(const char* name, const char* path);
TWSMB3S_API int twsmb3s_remove_share(const char* name);
TWSMB3S_API int twsmb3s_add_user(const char* name, const char* password);
TWSMB3S_API int twsmb3s_remove_user(const char* name);
TWSMB3S_API int twsmb3s_allow_cidr(const char* cidr);

/* Replays a script of hex frames through the engine; the transcript, or
 * null with the last-error text set. client_ip null means 127.0.0.1. */
TWSMB3S_API const char* twsmb3s_simulate(const char* script, const char* client_ip);

/* Observation and tools. */
TWSMB3S_API const char* twsmb3s_stats_json(void);
TWSMB3S_API const char* twsmb3s_selftest(void);
TWSMB3S_API int twsmb3s_session_count(void);
TWSMB3S_API const char* twsmb3s_version(void);
TWSMB3S_API const char* twsmb3s_last_error(void);

#ifdef __cplusplus
}
#endif

#endif /* TWSMB3S_H */
