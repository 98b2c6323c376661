// Directory listings: one sorted, compact snapshot of a folder's names,
// shared by every handle of every connection that lists the folder while it
// is unchanged, and bounded by memory budgets.
//
// A listing fixes the names, their order and so each entry's position (its
// FileIndex) when it is built. Entries' sizes and times are taken from the
// host in blocks, when first handed out and again once they are older than
// TW3_LISTING_FRESH_MS, so a listing costs one pass over the folder's names
// up front and never serves a status older than that.
//
// Thread-safe: connections on their own threads acquire, read and release
// listings at once.
#pragma once

#include <cstdint>

#include "fs/fs.h"

// Default budgets: the listings a connection's handles hold, each distinct
// listing counted once in full however many of its handles share it; and
// every listing of the server, a shared one counted once.
constexpr uint64_t TW3_LISTING_CONN_BUDGET = uint64_t(64) << 20;
constexpr uint64_t TW3_LISTING_SERVER_BUDGET = uint64_t(512) << 20;
// The oldest status of an entry a listing hands out, in milliseconds.
constexpr uint64_t TW3_LISTING_FRESH_MS = 1000;
// A folder changed within this many seconds is listed for the one handle
// only: a change within the host's timestamp granularity would leave the
// folder's change time as it was, and a new open must see new names. (A
// Windows host reports no change time; the folder's write time, in whole
// seconds, stands in, which this also covers.)
constexpr int64_t TW3_LISTING_SETTLE_S = 2;

struct tw3_listing_limits {
  uint64_t conn_bytes;
  uint64_t server_bytes;
  int64_t settle_s;
};
tw3_listing_limits tw3_listing_limits_get();
// Tests only: other budgets and settle time.
void tw3_listing_limits_set(const tw3_listing_limits& limits);

struct tw3_listing;

enum : int {
  TW3_LISTING_OK = 0,
  TW3_LISTING_FAILED = -1,   // not a directory, or it cannot be enumerated
  TW3_LISTING_NO_ROOM = -2,  // a new listing would pass `room` or the server budget
};

// A reference to the listing of the folder `dir` (kind 1): the shared one
// when the folder (same canonical path, share root, change time and size)
// is unchanged since it was built, else a new one of at most `room` bytes
// within the server budget. Sets the last error text on FAILED.
int tw3_listing_acquire(const tw3_vres* dir, uint64_t room, tw3_listing** out);
// Drops a reference; the last one frees the listing. Null is ignored.
void tw3_listing_release(tw3_listing* l);
int32_t tw3_listing_count(const tw3_listing* l);
// Bytes the listing holds, as charged against the budgets.
uint64_t tw3_listing_bytes(const tw3_listing* l);
// Copies up to `max` entries from position `first` on into out, each with a
// status at most TW3_LISTING_FRESH_MS old at now_ms (monotonic). An entry
// gone from the folder (or become unlistable) has a null name. Names stay
// valid while the listing is referenced. The number copied.
int32_t tw3_listing_read(tw3_listing* l, int32_t first, tw3_vent* out, int32_t max, uint64_t now_ms);
// Bytes of every listing in the server (each once), and how many there are.
uint64_t tw3_listing_server_bytes();
int32_t tw3_listing_server_count();
