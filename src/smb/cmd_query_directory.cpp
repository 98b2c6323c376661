// QUERY_DIRECTORY (MS-SMB2 2.2.33, 2.2.34). The first request on an open
// takes a reference to the folder's sorted listing (shared with every
// handle listing the unchanged folder, fs/listing.h) and keeps it in the
// open with the pattern and class; that request and the following ones hand out entries
// from a cursor. "." and ".." come first, as on the large servers (clients
// such as smbmap count them, and tree walkers expect them). Once the walk has
// passed the last entry the cursor stays at the end, so a listing always ends
// in STATUS_NO_MORE_FILES; a first request that matches nothing answers
// STATUS_NO_SUCH_FILE instead.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "smb/files.h"

namespace {

constexpr uint16_t kResponseSize = 9;
constexpr uint16_t kOutputOffset = SMB2_HDR_SIZE + 8;
constexpr uint8_t kRestartScans = 0x01;
constexpr uint8_t kReturnSingleEntry = 0x02;
constexpr uint8_t kIndexSpecified = 0x04;
constexpr uint8_t kReopen = 0x10;
constexpr int kPatternArea = TW3_PATTERN_KEPT + 4;  // the UTF-8 pattern as the request sent it
constexpr size_t kPatternKept = TW3_PATTERN_KEPT;
constexpr int kName16Max = 1024;
constexpr uint64_t kGatherSoftMax = 1048576;  // a response stops a little above this
constexpr int32_t kChunk = 64;                // entries copied out of the listing at a time
constexpr int32_t kDots = 2;                  // "." and "..", before the folder's names

enum : int {
  kSiteStructure = 1,
  kSiteClass,
  kSitePipe,
  kSiteNotDir,
  kSitePatternRange,
  kSitePatternText,
  kSitePatternRules,
  kSiteChanged,
  kSiteList,
  kSiteTooSmall,
  kSiteNoRoom,
  kSiteEnd,
};

struct qd_req {
  uint16_t size;
  uint8_t cls;
  uint8_t flags;
  uint32_t file_index;
  uint64_t fid;
  uint16_t name_off;
  uint16_t name_len;
  uint32_t out_cap;
};

qd_req read_request(tw3_rd* b) {
  qd_req q{};
  q.size = rd_u16(b);
  q.cls = rd_u8(b);
  q.flags = rd_u8(b);
  q.file_index = rd_u32(b);
  q.fid = rd_u64(b);
  rd_skip(b, 8);  // FileId.Volatile
  q.name_off = rd_u16(b);
  q.name_len = rd_u16(b);
  q.out_cap = rd_u32(b);
  return q;
}

// The search pattern into out (kPatternArea bytes). 0, or a refusal site.
int read_pattern(tw3_rd* body, const qd_req& q, char* out) {
  std::strcpy(out, "*");
  if (q.name_len == 0) return 0;
  if (q.name_off < SMB2_HDR_SIZE) return kSitePatternRange;
  const uint8_t* raw = rd_at(body, q.name_off - SMB2_HDR_SIZE, q.name_len);
  if (raw == nullptr) return kSitePatternRange;
  if (tw3_utf16_to_utf8(raw, q.name_len, out, kPatternArea) < 0) return kSitePatternText;
  if (out[0] == 0) std::strcpy(out, "*");
  return tw3_pat_check(out) == 0 ? 0 : kSitePatternRules;
}

// The pattern as an open keeps it: its first kPatternKept bytes.
bool same_pattern(const tw3_open& o, const char* pattern) {
  return std::strncmp(o.pattern, pattern, kPatternKept) == 0;
}

// The distinct listings the connection's handles hold, in address order.
std::vector<const tw3_listing*> conn_listings(const tw3_conn* c) {
  std::vector<const tw3_listing*> held;
  for (const tw3_open* o = c->cl->opens.newest; o != nullptr; o = o->next) {
    if (o->listing != nullptr) held.push_back(o->listing);
  }
  std::sort(held.begin(), held.end());
  held.erase(std::unique(held.begin(), held.end()), held.end());
  return held;
}

// Takes the folder's listing, shared or new, within the connection's
// budget: each distinct listing its handles hold counts once, in full. 0,
// or a refusal site.
int build_listing(tw3_conn* c, tw3_open* o, uint8_t cls, const char* pattern) {
  tw3_vres dir{};
  dir.kind = TW3_VRES_DIR;
  std::memcpy(dir.local_path, o->local_path, sizeof dir.local_path);
  dir.share = o->share;
  const std::vector<const tw3_listing*> held = conn_listings(c);
  uint64_t used = 0;
  for (const tw3_listing* l : held) used += tw3_listing_bytes(l);
  const uint64_t budget = tw3_listing_limits_get().conn_bytes;
  tw3_listing* l = nullptr;
  const int rc = tw3_listing_acquire(&dir, budget > used ? budget - used : 0, &l);
  if (rc == TW3_LISTING_FAILED) return kSiteList;
  if (rc != TW3_LISTING_OK) return kSiteNoRoom;
  if (!std::binary_search(held.begin(), held.end(), l) && used + tw3_listing_bytes(l) > budget) {
    tw3_listing_release(l);  // a shared listing this connection has no room for
    return kSiteNoRoom;
  }
  o->listing = l;
  o->listing_count = tw3_listing_count(l) + kDots;
  o->listing_valid = 1;
  o->cursor = 0;
  std::snprintf(o->pattern, kPatternKept + 1, "%s", pattern);
  o->listing_class = cls;
  return 0;
}

// Keeps, restarts or drops the held listing. 0, or a refusal site.
int prepare_listing(tw3_conn* c, tw3_open* o, const qd_req& q, const char* pattern) {
  if (o->listing_valid && (q.flags & (kRestartScans | kReopen))) {
    tw3_open_drop_listing(o);
  } else if (o->listing_valid && o->listing_class == q.cls && same_pattern(*o, pattern)) {
    if (q.flags & kIndexSpecified) {
      // A FileIndex names the entry to resume after; one beyond the listing
      // means its end, so the cursor never leaves the listing.
      o->cursor = int32_t(std::min<uint64_t>(q.file_index, uint64_t(o->listing_count)));
    }
    return 0;
  } else if (o->listing_valid) {
    tw3_open_drop_listing(o);
    return kSiteChanged;
  }
  return build_listing(c, o, q.cls, pattern);
}

// Entries of the walk by position: the dots, then the listing's, read from
// the listing a chunk at a time.
struct walk_entries {
  tw3_open* o;
  tw3_vent dots[kDots];
  tw3_vent chunk[kChunk];
  int32_t chunk_first = 0, chunk_len = 0;
  uint64_t now = tw3_now_ms();

  explicit walk_entries(tw3_open* open) : o(open) {
    if (o->cursor < kDots && !tw3_vfs_dot_entries(o->share, o->local_path, &dots[0], &dots[1])) {
      dots[0] = dots[1] = tw3_vent{};  // the folder went away: nothing to describe
    }
  }
  // The entry at i (null name: not to be listed), or null past the listing.
  const tw3_vent* at(int32_t i) {
    if (i < kDots) return &dots[i];
    if (i >= chunk_first + chunk_len) {
      chunk_first = i;
      chunk_len = tw3_listing_read(o->listing, i - kDots, chunk, kChunk, now);
      if (chunk_len == 0) return nullptr;
    }
    return &chunk[i - chunk_first];
  }
};

// Appends entries from the cursor on. The number of entries appended.
int hand_out(tw3_open* o, const qd_req& q, tw3_buf* b) {
  const uint64_t first = b->len;
  uint64_t prev = 0;
  int appended = 0;
  uint8_t name16[kName16Max];
  walk_entries walk(o);
  int32_t i = o->cursor;
  for (; i < o->listing_count && !b->failed; ++i) {
    const tw3_vent* entry = walk.at(i);
    if (entry == nullptr) break;
    const tw3_vent& e = *entry;
    if (e.name == nullptr) continue;  // gone from the folder since the listing was built
    int32_t n16 = 0;
    if (tw3_glob_match(o->pattern, e.name) == 0 ||
        tw3_utf8_to_utf16le(e.name, name16, kName16Max, &n16) != 0) {
      continue;
    }
    uint64_t size = dirinfo_entry_size(q.cls, uint64_t(n16));
    uint64_t gathered = b->len - first;
    if (q.out_cap != 0 && gathered + size > q.out_cap) break;
    uint64_t at = b->len;
    dirinfo_put(b, q.cls, e, uint32_t(i) + 1, std::span<const uint8_t>(name16, size_t(n16)));
    if (appended > 0 && !b->failed) put_le32(b->data + prev, uint32_t(at - prev));
    prev = at;
    ++appended;
    o->cursor = i + 1;
    if ((q.flags & kReturnSingleEntry) || b->len - first > kGatherSoftMax) break;
  }
  if (i >= o->listing_count) o->cursor = o->listing_count;
  return appended;
}

uint32_t site_status(int site) {
  if (site == kSiteList) return STATUS_ACCESS_DENIED;
  if (site == kSiteNoRoom) return STATUS_INSUFFICIENT_RESOURCES;
  return STATUS_INVALID_PARAMETER;
}

}  // namespace

tw3_done cmd_query_directory(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r) {
  qd_req q = read_request(body);
  if (body->bad) return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteStructure);
  tw3_trace(c, "[qd] cls=%u flags=%u fid=%llx out_cap=%u fo_off=%u fo_len=%u\n", q.cls, q.flags,
            (unsigned long long)q.fid, q.out_cap, q.name_off, q.name_len);
  if (dirinfo_fixed_size(q.cls) == 0) return tw3_refuse(STATUS_INVALID_INFO_CLASS, kSiteClass);
  tw3_open* o = rq->open;
  if (o->is_pipe) return tw3_refuse(STATUS_NOT_SUPPORTED, kSitePipe);
  if (!o->is_dir) return tw3_refuse(STATUS_NOT_A_DIRECTORY, kSiteNotDir);
  char pattern[kPatternArea];
  if (int site = read_pattern(body, q, pattern)) return tw3_refuse(STATUS_INVALID_PARAMETER, site);
  if (int site = prepare_listing(c, o, q, pattern)) {
    return tw3_refuse(site_status(site), site);
  }

  const bool first_query = o->cursor == 0;
  tw3_buf* b = &r->b;
  const uint64_t part = b->len;
  w16(b, kResponseSize);
  w16(b, kOutputOffset);
  w32(b, 0);  // OutputBufferLength, set below
  int appended = hand_out(o, q, b);
  if (appended == 0 && o->cursor < o->listing_count) {
    // The next entry does not fit the client's buffer: an empty success
    // would have the client ask again for ever (MS-SMB2 3.3.5.18). The
    // cursor stays, so a larger buffer gets the entry.
    return tw3_refuse(STATUS_INFO_LENGTH_MISMATCH, kSiteTooSmall);
  }
  tw3_stat_add(ST_LISTINGS_SENT, 1);
  if (appended == 0) {
    // The end of a listing travels as an ERROR response (MS-SMB2 3.3.5.18);
    // a walk that found nothing at all says so.
    return tw3_refuse(first_query ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES, kSiteEnd);
  }
  if (!b->failed) put_le32(b->data + part + 4, uint32_t(b->len - part - 8));
  return tw3_answer();
}
