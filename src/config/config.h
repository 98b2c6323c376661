// Configuration and policy: the options record, the statistics counters and
// the share, account and allow-list tables. One non-recursive lock, g_lock,
// guards all of it; every reader gets a copy, never a pointer into a table.
// g_lock is held only for a copy, a store or one addition, and never across a
// call into another subsystem.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "util/util.h"

extern tw3_mutex g_lock;

// ---- Options ----
constexpr int TW3_SERVER_NAME_MAX = 63;
constexpr int TW3_ADVERTISED_MAX = 16;  // addresses the `interfaces` option lists at most

struct tw3_opts {
  int32_t guest;               // -1 auto, 1 on, 0 off
  int32_t signing;             // 0 enabled, 1 required
  int32_t ntlm_timecheck;      // 1 on, 0 off
  int32_t max_clients;         // 1..1024
  int32_t idle_timeout_ms;     // 100..86400000
  int32_t io_timeout_ms;       // 100..3600000
  int32_t max_login_failures;  // 0..100000, 0: no limit
  int32_t max_credits;         // 1..8192
  int32_t max_handles;         // 1..1024
  int32_t max_watches;         // 1..65536 host folders watched for CHANGE_NOTIFY, whole server
  int32_t max_watches_per_conn;  // 1..65536, one connection
  uint64_t max_message;        // 65536..16777216
  int64_t clock;               // 0 = system clock, else fixed Unix seconds
  char server_name[TW3_SERVER_NAME_MAX + 1];
  int32_t encrypt;             // TW3_ENCRYPT_AUTO, _REQUIRED or _OFF
  int32_t case_sensitive;      // 1: names are looked up only as spelled; 0: in any ASCII case too
  // The addresses a client asking for the server's network interfaces is
  // given in place of the host's own (a server behind NAT, tests); none
  // (`auto`): the host's.
  int32_t ninterfaces;
  tw3_ip interfaces[TW3_ADVERTISED_MAX];
  // Where guests are allowed, a logon whose user name is no account becomes
  // a guest (1, `bad_user`) or fails (0, `never`).
  int32_t map_to_guest;
  // Not an option: the one address the listener is bound to (listen_one
  // 1), which `auto` then advertises alone; 0 while it listens on every
  // address, or before it starts.
  int32_t listen_one;
  tw3_ip listen_ip;
};

// Values of the `encrypt` option.
constexpr int32_t TW3_ENCRYPT_AUTO = 0;      // offered; used when the client encrypts
constexpr int32_t TW3_ENCRYPT_REQUIRED = 1;  // named-user sessions must encrypt
constexpr int32_t TW3_ENCRYPT_OFF = 2;       // never announced, transforms refused

// The work behind twsmb3s_set_option: 0, or -1 with the message set and no
// option changed.
int tw3_set_option(const char* key, const char* value);
// Copies the whole options record, under g_lock.
void tw3_opts_get(tw3_opts* out);
// Records the address the listener is bound to; the unspecified address
// (0.0.0.0, ::) means every address.
void tw3_set_listen_address(const tw3_ip& ip);
// Internal number syntax of set_option: 1..12 ASCII digits within [min, max].
int parse_int(const char* text, int64_t min, int64_t max, int64_t* out);

// ---- Statistics counters ----
enum tw3_stat_index : int {
  ST_CONNECTIONS = 0,
  ST_REFUSED_ALLOW,
  ST_REFUSED_FULL,
  ST_NEGOTIATE,
  ST_SESSIONS,
  ST_GUEST_SESSIONS,
  ST_LOGON_FAILED,
  ST_TREES,
  ST_TREE_REFUSED,
  ST_OPENS,
  ST_OPEN_REFUSED,
  ST_READS,
  ST_BYTES_SENT,
  ST_LISTINGS_SENT,
  ST_MUTATING_REFUSED,
  ST_IOCTL_REFUSED,
  ST_BAD_SIGNATURE,
  ST_PROTOCOL_ERRORS,
  ST_TIMEOUTS,
  ST_SIGN_REQUIRED_SESSIONS,
  ST_SRVSVC_QUERIES,
  ST_PATH_REFUSED,
  ST_ENCRYPTED_SESSIONS,
  ST_DECRYPT_FAILED,
  ST_SESSIONS_OPEN,
  ST_CHANNELS,
  ST_COUNT  // 26
};
// The report names, in index order.
extern const char* const tw3_stat_names[ST_COUNT];

// REQUIRES: 0 <= index < ST_COUNT.
void tw3_stat_add(int index, int64_t delta);
int64_t tw3_stat_get(int index);

// ---- Shares, accounts, allow-list ----
constexpr int TW3_SHARE_NAME_MAX = 80;
constexpr int TW3_ROOT_PATH_MAX = 1024;
constexpr int TW3_MAX_SHARES = 256;
constexpr int TW3_USER_NAME_MAX = 128;
constexpr int TW3_PASSWORD_MAX = 256;
constexpr int TW3_MAX_USERS = 256;
constexpr int TW3_MAX_CIDRS = 64;

struct tw3_share {
  char name[TW3_SHARE_NAME_MAX + 1];
  char root_path[TW3_ROOT_PATH_MAX + 1];  // canonical; empty for IPC$
  int32_t single_file;
};

struct tw3_user {
  char name[TW3_USER_NAME_MAX + 1];
  char password[TW3_PASSWORD_MAX + 1];
};

// The work behind the exported table calls (same arguments, codes, messages).
int tw3_add_share(const char* name, const char* path);
int tw3_remove_share(const char* name);
int tw3_add_user(const char* name, const char* password);
int tw3_remove_user(const char* name);
int tw3_allow_cidr(const char* cidr);

// 0 and a copy in *out (out may be null), or -1. "IPC$" (any case) is built in.
int tw3_share_find(const char* name, tw3_share* out);
// 0 with a new[]-allocated array of IPC$ and every share, sorted (IPC$
// first, then by case-insensitive name); free with delete[]. -1 on no memory.
int tw3_share_list(tw3_share** out_array, int* out_count);
// Copies account `index`. 0, or 1 when there is no such account or a buffer is missing.
int tw3_user_at(int index, char* name_buf, int name_size, char* password_buf, int password_size);
// 1 when guest logons are allowed now.
int tw3_guest_allowed();
// 1 when a client with this address may connect (loopback always may).
int tw3_client_allowed(const tw3_ip* ip);

// Test hook: empties every table and restores the default options.
void tw3_config_reset_for_tests();
// Test hook: restores the default options only.
void tw3_opts_reset_for_tests();
