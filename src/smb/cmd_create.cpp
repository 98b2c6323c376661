// CREATE and CLOSE (MS-SMB2 2.2.13 to 2.2.16). The server only ever opens
// what exists, for reading: every write-type right, every disposition but
// FILE_OPEN and every destructive option is refused here, and the only
// create context answered is the on-disk file id query (QFid).
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "smb/events.h"
#include "smb/files.h"

namespace {

constexpr uint16_t kCreateRequestSize = 57;
constexpr uint16_t kCreateResponseSize = 89;
constexpr uint16_t kCloseResponseSize = 60;

constexpr uint32_t kGenericRead = 0x80000000;
constexpr uint32_t kGenericWrite = 0x40000000;
constexpr uint32_t kGenericWriteMapped = 0x00120116;

constexpr uint32_t kMaximumAllowed = 0x02000000;
constexpr uint32_t kFileOpen = 1;
constexpr uint32_t kFileOpenIf = 3;
constexpr uint32_t kDispositionMax = 5;  // FILE_OVERWRITE_IF
constexpr uint32_t kFileOpened = 1;
constexpr uint32_t kImpersonationMax = 4;
constexpr uint32_t kOptDirectoryFile = 0x00000001;
constexpr uint32_t kOptWriteThrough = 0x00000002;
constexpr uint32_t kOptNonDirectoryFile = 0x00000040;
constexpr uint32_t kOptDeleteOnClose = 0x00001000;
constexpr uint32_t kOptUnsupported = 0x00020000 | 0x00100000;  // open by file id, reserve opfilter

constexpr uint16_t kNameMaxBytes = 2054;
constexpr int kNameArea = 2056;
constexpr int kVpathArea = 1026;
constexpr uint64_t kPipeSize = 7168;
constexpr const char* kPipeName = "srvsvc";

// Create contexts (MS-SMB2 2.2.13.2): the on-disk file id query (QFid,
// 2.2.13.2.9) and the lease request (RqLs, 2.2.13.2.8 and 2.2.13.2.10).
constexpr uint32_t kCtxHeaderBytes = 16;
constexpr uint32_t kCtxAlign = 8;
constexpr std::string_view kQfidName{"QFid", 4};
constexpr std::string_view kLeaseName{"RqLs", 4};
constexpr uint16_t kCtxNameOffset = 16;
constexpr uint16_t kCtxDataOffset = 24;
constexpr uint32_t kQfidDataLength = 32;
constexpr uint32_t kLeaseV1Bytes = 32;
constexpr uint32_t kLeaseV2Bytes = 52;
constexpr uint64_t kRespContextsOffsetAt = SMB2_HDR_SIZE + 80;  // from the response header

enum : int {
  kSiteStructure = 1,
  kSiteDisposition,
  kSiteDispositionRange,
  kSiteAccess,
  kSiteOptions,
  kSiteUnsupported,
  kSiteImpersonation,
  kSiteNoSession,
  kSiteNoTree,
  kSiteHandles,
  kSiteNameRange,
  kSiteNameText,
  kSitePipeName,
  kSitePathRules,
  kSiteResolve,
  kSiteLeadingSlash,
  kSiteStreamName,
  kSiteWouldCreate,
  kSiteNotDir,
  kSiteIsDir,
  kSiteNoMemory,
  kSiteCloseStructure,
  kSiteContexts,
  kSiteLeaseKey,
};

struct create_req {
  uint16_t size;
  uint8_t oplock_level;  // RequestedOplockLevel
  uint32_t impersonation;
  uint32_t access;
  uint32_t disposition;
  uint32_t options;
  uint16_t name_off;
  uint16_t name_len;
  uint32_t ctx_off;
  uint32_t ctx_len;
};

create_req read_create(tw3_rd* b) {
  create_req q{};
  q.size = rd_u16(b);
  rd_skip(b, 1);  // SecurityFlags
  q.oplock_level = rd_u8(b);
  q.impersonation = rd_u32(b);
  rd_skip(b, 16);  // SmbCreateFlags, Reserved
  q.access = rd_u32(b);
  rd_skip(b, 8);  // FileAttributes, ShareAccess
  q.disposition = rd_u32(b);
  q.options = rd_u32(b);
  q.name_off = rd_u16(b);
  q.name_len = rd_u16(b);
  q.ctx_off = rd_u32(b);
  q.ctx_len = rd_u32(b);
  return q;
}

uint32_t map_generic(uint32_t access) {
  if (access & kGenericRead) access = (access & ~kGenericRead) | TW3_ACCESS_READ_EXECUTE;
  if (access & kGenericWrite) access = (access & ~kGenericWrite) | kGenericWriteMapped;
  // MAXIMUM_ALLOWED asks for what the server would grant: reading.
  if (access & kMaximumAllowed) access = (access & ~kMaximumAllowed) | TW3_ACCESS_READ_EXECUTE;
  return access;
}

// Every refused CREATE is counted, whichever check refused it.
tw3_done create_refused(const tw3_conn* c, uint32_t status, int site) {
  tw3_trace(c, "[twsmb3s %d] CREATE_ERR line=%d status=%08x\n", c->conn_id, site, status);
  tw3_stat_add(ST_OPEN_REFUSED, 1);
  return tw3_refuse(status, site);
}

// Times, sizes and attributes as CREATE and CLOSE both send them.
void put_open_info(tw3_buf* b, const tw3_open& o) {
  w64(b, tw3_filetime(o.st.btime));
  w64(b, tw3_filetime(o.st.atime));
  w64(b, tw3_filetime(o.st.mtime));
  w64(b, tw3_filetime(o.st.btime));  // ChangeTime carries the creation time
  w64(b, o.is_pipe ? kPipeSize : tw3_alloc_size(o.st.size));
  w64(b, o.is_pipe ? kPipeSize : o.st.size);
  w32(b, o.is_dir ? TW3_ATTR_DIR : TW3_ATTR_FILE);
}

// The create contexts the server acts on; the others are ignored.
struct create_ctxs {
  bool qfid = false;
  tw3_lease_req lease{};
};

// A lease request of a known size; any other size is not one (ignored).
void read_lease(const uint8_t* d, uint32_t n, int32_t dialect, tw3_lease_req* out) {
  if (n != kLeaseV1Bytes && n < kLeaseV2Bytes) return;
  *out = tw3_lease_req{};
  out->version = n >= kLeaseV2Bytes && dialect >= SMB2_DIALECT_300 ? 2 : 1;
  std::memcpy(out->key, d, SMB2_LEASE_KEY_SIZE);
  out->state = le32(d + 16);
  out->flags = le32(d + 20);  // LeaseDuration (8 bytes) follows, unused
  if (out->version == 2) {
    std::memcpy(out->parent_key, d + 32, SMB2_LEASE_KEY_SIZE);
    out->epoch = le16(d + 48);
  }
}

// Walks the chain of create contexts: each one's header, name and data must
// lie inside it, and Next inside the area. 0, or -1 for a malformed chain.
int parse_contexts(tw3_rd* body, const create_req& q, int32_t dialect, create_ctxs* out) {
  if (q.ctx_len == 0) return 0;
  if (q.ctx_off < SMB2_HDR_SIZE || !rd_has(body, q.ctx_off - SMB2_HDR_SIZE, q.ctx_len)) return -1;
  const uint64_t area = q.ctx_off - SMB2_HDR_SIZE;  // body position of the area
  uint64_t pos = 0;                                  // position inside the area
  // Every step advances by Next >= 16 inside an area of ctx_len bytes.
  for (;;) {
    const uint64_t left = q.ctx_len - pos;
    const uint8_t* h = left >= kCtxHeaderBytes ? rd_at(body, area + pos, kCtxHeaderBytes) : nullptr;
    if (h == nullptr) return -1;
    const uint32_t next = le32(h);
    const uint16_t name_off = le16(h + 4), name_len = le16(h + 6), data_off = le16(h + 10);
    const uint32_t data_len = le32(h + 12);
    // Contexts and their data start on 8-byte boundaries (MS-SMB2 2.2.13.2).
    if (next != 0 && (next < kCtxHeaderBytes || next > left || next % kCtxAlign != 0)) return -1;
    const uint64_t extent = next != 0 ? next : left;
    if (name_len == 0 || name_off < kCtxHeaderBytes || name_off > extent || name_len > extent - name_off)
      return -1;
    if (data_len != 0 && (data_off < kCtxHeaderBytes || data_off > extent || data_len > extent - data_off ||
                          data_off % kCtxAlign != 0))
      return -1;
    const std::string_view name(reinterpret_cast<const char*>(h) + name_off, name_len);
    if (name == kQfidName) out->qfid = true;
    if (name == kLeaseName && data_len != 0) read_lease(h + data_off, data_len, dialect, &out->lease);
    if (next == 0) return 0;
    pos += next;
  }
}

// Where the response's contexts are: the first one and the last one linked.
struct ctx_chain {
  uint64_t first = 0;  // offsets from the response header; 0: none yet
  uint64_t last = 0;
};

// Appends one response create context after the CREATE body at last_hdr
// (8-byte aligned), links it from the previous one and updates the body's
// CreateContextsOffset and CreateContextsLength.
void put_context(tw3_reply* r, ctx_chain* chain, std::string_view name, const tw3_buf& data) {
  tw3_buf* b = &r->b;
  while (!b->failed && (b->len - r->last_hdr) % 8 != 0) tw3_buf_byte(b, 0);
  const uint64_t at = b->len - r->last_hdr;
  if (b->failed || data.failed) return;
  if (chain->last != 0) put_le32(b->data + r->last_hdr + chain->last, uint32_t(at - chain->last));
  if (chain->first == 0) chain->first = at;
  chain->last = at;
  w32(b, 0);  // Next
  w16(b, kCtxNameOffset);
  w16(b, uint16_t(name.size()));
  w16(b, 0);
  w16(b, kCtxDataOffset);
  w32(b, uint32_t(data.len));
  tw3_buf_put(b, name.data(), name.size());
  w32(b, 0);  // padding up to the data
  tw3_buf_put(b, data.data, data.len);
  if (b->failed || b->len < r->last_hdr + kRespContextsOffsetAt + 8) return;
  uint8_t* fields = b->data + r->last_hdr + kRespContextsOffsetAt;
  put_le32(fields, uint32_t(chain->first));
  put_le32(fields + 4, uint32_t(b->len - r->last_hdr - chain->first));
}

void put_qfid(tw3_conn* c, tw3_reply* r, ctx_chain* chain, const tw3_open& o) {
  tw3_buf d{};
  w64(&d, o.st.file_index != 0 ? o.st.file_index : o.file_id);  // DiskFileId
  w64(&d, 0);
  w64(&d, 0);  // VolumeId
  w64(&d, 0);
  put_context(r, chain, kQfidName, d);
  tw3_buf_free(&d);
  tw3_trace(c, "[qfid-out] ctx_at=%zu bn=%zu\n", size_t(r->last_hdr + chain->last), size_t(r->b.len));
}

void put_lease(tw3_reply* r, ctx_chain* chain, const tw3_caching& g) {
  tw3_buf d{};
  tw3_buf_put(&d, g.key, SMB2_LEASE_KEY_SIZE);
  w32(&d, g.state);
  w32(&d, g.flags);
  w64(&d, 0);  // LeaseDuration
  if (g.lease_version == 2) {
    tw3_buf_put(&d, g.parent_key, SMB2_LEASE_KEY_SIZE);
    w16(&d, g.epoch);
    w16(&d, 0);
  }
  put_context(r, chain, kLeaseName, d);
  tw3_buf_free(&d);
}

// What the name resolved to, for the steps after the checks.
struct target {
  bool pipe = false;
  tw3_vres vres{};
};

// What a name that does not resolve gets: OBJECT_NAME_NOT_FOUND when the
// folder it names exists (the share root included), OBJECT_PATH_NOT_FOUND
// when a folder on the way is missing; clients tell the two apart.
uint32_t missing_status(const tw3_tree& tree, const char* vpath, bool case_sensitive) {
  const char* slash = std::strrchr(vpath, '/');
  if (slash == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  const std::string parent(vpath, static_cast<size_t>(slash - vpath));
  tw3_vres p{};
  const bool folder = tw3_vfs_resolve(tree.share_name, parent.c_str(), &p, case_sensitive) == 0 &&
                      p.kind == TW3_VRES_DIR;
  return folder ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
}

// The name as a share path (vpath, kVpathArea bytes), or the pipe's. 0, or
// a failure status.
uint32_t read_name(tw3_rd* body, const create_req& q, const tw3_tree& tree, target* out, char* vpath,
                   int* site) {
  char name[kNameArea] = "";
  if (q.name_len != 0) {
    const uint8_t* raw = nullptr;
    if (q.name_off >= SMB2_HDR_SIZE && q.name_len <= kNameMaxBytes) {
      raw = rd_at(body, q.name_off - SMB2_HDR_SIZE, q.name_len);
    }
    if (raw == nullptr) return *site = kSiteNameRange, STATUS_INVALID_PARAMETER;
    if (tw3_utf16_to_utf8(raw, q.name_len, name, kNameArea) < 0) {
      return *site = kSiteNameText, STATUS_OBJECT_NAME_INVALID;
    }
  }
  if (tree.is_ipc) {
    if (tw3_casecmp(name, kPipeName) != 0) return *site = kSitePipeName, STATUS_OBJECT_NAME_NOT_FOUND;
    out->pipe = true;
    return STATUS_SUCCESS;
  }
  // Names are relative to the share (MS-SMB2 3.3.5.9).
  if (name[0] == '\\') return *site = kSiteLeadingSlash, STATUS_INVALID_PARAMETER;
  // No named streams: a stream name (":name", "::$DATA") is no valid name.
  if (std::strchr(name, ':') != nullptr) return *site = kSiteStreamName, STATUS_OBJECT_NAME_INVALID;
  // The host's own rules too: on Windows a stream, a device name or a
  // trailing dot would open something other than the name says.
  if (tw3_vpath(name, vpath, kVpathArea) != 0 || !tw3_vpath_host_ok(vpath, tw3_host_name_rules())) {
    tw3_stat_add(ST_PATH_REFUSED, 1);
    return *site = kSitePathRules, STATUS_OBJECT_NAME_INVALID;
  }
  return STATUS_SUCCESS;
}

// What the share path leads to. 0, or a failure status.
uint32_t resolve_name(const create_req& q, const tw3_tree& tree, const char* vpath, bool case_sensitive,
                      target* out, int* site) {
  tw3_vres& v = out->vres;
  if (tw3_vfs_resolve(tree.share_name, vpath, &v, case_sensitive) != 0 ||
      (v.kind != TW3_VRES_DIR && v.kind != TW3_VRES_FILE)) {
    // OPEN_IF of a name that is not there would create it.
    if (q.disposition == kFileOpenIf) return *site = kSiteWouldCreate, STATUS_ACCESS_DENIED;
    *site = kSiteResolve;
    return missing_status(tree, vpath, case_sensitive);
  }
  if ((q.options & kOptDirectoryFile) && v.kind != TW3_VRES_DIR) return *site = kSiteNotDir, STATUS_NOT_A_DIRECTORY;
  if ((q.options & kOptNonDirectoryFile) && v.kind == TW3_VRES_DIR) return *site = kSiteIsDir, STATUS_FILE_IS_A_DIRECTORY;
  return STATUS_SUCCESS;
}

// The checks run in the order clients expect: the session and tree, the
// request's own fields, the name, then what the name leads to; the refusal
// of writing comes last, so a write to a missing file says it is missing.

// The session and tree the request runs under.
uint32_t check_state(const tw3_conn* c, const tw3_req& rq, int* site) {
  if (!tw3_session_live(c, rq.hdr.session_id)) return *site = kSiteNoSession, STATUS_USER_SESSION_DELETED;
  if (rq.tree == nullptr) return *site = kSiteNoTree, STATUS_NETWORK_NAME_DELETED;
  return STATUS_SUCCESS;
}

// Fields no server could act on.
uint32_t check_fields(const create_req& q, int* site) {
  if (q.disposition > kDispositionMax) return *site = kSiteDispositionRange, STATUS_INVALID_PARAMETER;
  if (q.options & kOptUnsupported) return *site = kSiteUnsupported, STATUS_NOT_SUPPORTED;
  if (q.impersonation > kImpersonationMax) return *site = kSiteImpersonation, STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

// A disposition that would create or replace whatever is there.
uint32_t check_disposition(const create_req& q, bool ipc, int* site) {
  // OPEN_IF creates nothing when the file exists: a read-only open of a file
  // that is there is served, one of a missing file refused at resolution.
  const bool open_if = q.disposition == kFileOpenIf && !ipc;
  if (q.disposition != kFileOpen && !open_if) return *site = kSiteDisposition, STATUS_ACCESS_DENIED;
  return STATUS_SUCCESS;
}

// Rights and options that would change the file.
uint32_t check_rights(const create_req& q, bool ipc, int* site) {
  if (ipc) return STATUS_SUCCESS;
  if (map_generic(q.access) & ~TW3_ACCESS_READ_EXECUTE) return *site = kSiteAccess, STATUS_ACCESS_DENIED;
  if (q.options & (kOptWriteThrough | kOptDeleteOnClose)) return *site = kSiteOptions, STATUS_ACCESS_DENIED;
  return STATUS_SUCCESS;
}

// Every check of the request, in order; cx gets the contexts, t the name's
// target.
uint32_t check_request(const tw3_conn* c, const tw3_req& rq, tw3_rd* body, const create_req& q,
                       create_ctxs* cx, target* t, int* site) {
  uint32_t status = check_state(c, rq, site);
  if (status == STATUS_SUCCESS) status = check_fields(q, site);
  if (status != STATUS_SUCCESS) return status;
  if (parse_contexts(body, q, c->dialect, cx) != 0) return *site = kSiteContexts, STATUS_INVALID_PARAMETER;
  const tw3_tree& tree = *rq.tree;
  char vpath[kVpathArea] = "";
  status = read_name(body, q, tree, t, vpath, site);
  if (status != STATUS_SUCCESS) return status;
  if (c->cl->opens.count >= c->opts.max_handles) return *site = kSiteHandles, STATUS_INSUFFICIENT_RESOURCES;
  status = check_disposition(q, tree.is_ipc, site);
  if (status == STATUS_SUCCESS && !t->pipe) {
    status = resolve_name(q, tree, vpath, c->opts.case_sensitive != 0, t, site);
  }
  if (status == STATUS_SUCCESS) status = check_rights(q, tree.is_ipc, site);
  return status;
}

tw3_open* register_open(tw3_conn* c, const tw3_tree& tree, const target& t) {
  tw3_open* o = tw3_open_add(c);
  if (o == nullptr) return nullptr;
  o->session_id = tree.session_id;
  tw3_trace(c, "[create-new] fid=%llx\n", (unsigned long long)o->file_id);
  std::memcpy(o->share_name, tree.share_name, sizeof o->share_name);
  o->tree_id = tree.tree_id;
  o->share = tree.share;
  o->is_pipe = t.pipe ? 1 : 0;
  if (!t.pipe) {
    std::memcpy(o->local_path, t.vres.local_path, sizeof o->local_path);
    o->st = t.vres.st;
    o->is_dir = t.vres.kind == TW3_VRES_DIR ? 1 : 0;
  }
  return o;
}

void put_create_body(tw3_buf* b, const tw3_open& o, uint8_t oplock_level) {
  w16(b, kCreateResponseSize);
  tw3_buf_byte(b, oplock_level);
  tw3_buf_byte(b, 0);  // Flags
  w32(b, kFileOpened);
  put_open_info(b, o);
  w32(b, 0);  // Reserved2
  w64(b, o.file_id);
  w64(b, 0);  // FileId.Volatile
  w32(b, 0);  // CreateContextsOffset, set when a context is answered
  w32(b, 0);  // CreateContextsLength
  tw3_buf_byte(b, 0);
}

}  // namespace

tw3_done cmd_create(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r) {
  create_req q = read_create(body);
  if (body->bad || q.size != kCreateRequestSize) return create_refused(c, STATUS_INVALID_PARAMETER, kSiteStructure);
  tw3_trace(c, "[create] access=%08llx opts=%08x disp=%u name_off=%u name_len=%u\n",
            (unsigned long long)q.access, q.options, q.disposition, q.name_off, q.name_len);
  create_ctxs cx;
  int site = 0;
  target t;
  uint32_t status = check_request(c, *rq, body, q, &cx, &t, &site);
  if (status == STATUS_SUCCESS && !t.pipe && tw3_lease_admit(c, cx.lease, t.vres.local_path) != STATUS_SUCCESS)
    status = STATUS_INVALID_PARAMETER, site = kSiteLeaseKey;
  if (status != STATUS_SUCCESS) return create_refused(c, status, site);
  tw3_open* o = register_open(c, *rq->tree, t);
  if (o == nullptr) return create_refused(c, STATUS_INSUFFICIENT_RESOURCES, kSiteNoMemory);
  o->granted_access = map_generic(q.access);

  tw3_stat_add(ST_OPENS, 1);
  tw3_conn_file_opened(c, o);
  // Caching granted earlier on a file that has changed since is broken first.
  if (!o->is_pipe && !o->is_dir) tw3_caching_check(c, o->local_path, o->st);
  tw3_caching g{};
  tw3_caching_grant(c, o, q.oplock_level, cx.lease, &g);
  put_create_body(&r->b, *o, g.oplock_level);
  rq->open = o;
  tw3_trace(c, "[qfid] walk done has=%d cctx_n=%u ctx_body=%zu\n", cx.qfid ? 1 : 0, q.ctx_len,
            size_t(uint64_t(q.ctx_off) - SMB2_HDR_SIZE));
  ctx_chain chain;
  if (cx.qfid) put_qfid(c, r, &chain, *o);
  if (g.lease_version != 0) put_lease(r, &chain, g);
  return tw3_answer();
}

tw3_done cmd_close(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r) {
  // StructureSize and FileId were checked and resolved by the dispatcher.
  rd_skip(body, 2 + 6 + 16);  // and Flags, Reserved
  if (body->bad) {
    return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteCloseStructure);
  }
  tw3_open* o = rq->open;
  w16(&r->b, kCloseResponseSize);
  w16(&r->b, 0);  // Flags: the attributes are always sent
  w32(&r->b, 0);
  put_open_info(&r->b, *o);
  tw3_open_close(c, o);
  return tw3_answer();
}
