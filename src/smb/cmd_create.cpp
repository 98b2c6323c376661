// CREATE and CLOSE (MS-SMB2 2.2.13 to 2.2.16). The server only ever opens
// what exists, for reading: every write-type right, every disposition but
// FILE_OPEN and every destructive option is refused here, and the only
// create context answered is the on-disk file id query (QFid).
#include <cstring>
#include <new>
#include <string_view>

#include "smb/files.h"

namespace {

constexpr uint16_t kCreateRequestSize = 57;
constexpr uint16_t kCreateResponseSize = 89;
constexpr uint16_t kErrorResponseSize = 9;
constexpr uint64_t kErrorBodyBytes = 88;  // zero padded to a CREATE body's size
constexpr uint16_t kCloseRequestSize = 24;
constexpr uint16_t kCloseResponseSize = 60;

constexpr uint32_t kGenericRead = 0x80000000;
constexpr uint32_t kGenericWrite = 0x40000000;
constexpr uint32_t kGenericReadMapped = 0x001200A9;
constexpr uint32_t kGenericWriteMapped = 0x00120116;
constexpr uint32_t kReadRights = 0x001200A9;  // read data/EA/attributes, execute, READ_CONTROL, SYNCHRONIZE

constexpr uint32_t kFileOpen = 1;
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

// QFid create context (MS-SMB2 2.2.13.2.9, 2.2.14.2.9).
constexpr uint32_t kCtxMinBytes = 16;
constexpr std::string_view kQfidName{"QFid", 4};
constexpr uint16_t kQfidNameOffset = 16;
constexpr uint16_t kQfidDataOffset = 24;
constexpr uint32_t kQfidDataLength = 32;
constexpr uint32_t kQfidContextBytes = 56;
constexpr uint64_t kRespContextsOffsetAt = SMB2_HDR_SIZE + 80;  // from the response header

enum : int {
  kSiteStructure = 1,
  kSiteDisposition,
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
  kSiteNotDir,
  kSiteIsDir,
  kSiteNoMemory,
  kSiteCloseStructure,
  kSiteCloseHandle,
};

struct create_req {
  uint16_t size;
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
  rd_skip(b, 2);  // SecurityFlags, RequestedOplockLevel
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
  if (access & kGenericRead) access = (access & ~kGenericRead) | kGenericReadMapped;
  if (access & kGenericWrite) access = (access & ~kGenericWrite) | kGenericWriteMapped;
  return access;
}

void create_error_l(tw3_conn* c, tw3_reply* r, uint32_t status, int site) {
  tw3_trace(c, "[twsmb3s %d] CREATE_ERR line=%d status=%08x\n", c->conn_id, site, status);
  tw3_stat_add(ST_OPEN_REFUSED, 1);
  if (c->in_compound && r->b.len > SMB2_HDR_SIZE) {
    err_reply_l(c, r, SMB2_CREATE, status, c->session_id, c->cur_tree_id, site);
    return;
  }
  rep_set_status(r, 0xC0000000u | (status & 0xFFFF));
  w16(&r->b, kErrorResponseSize);
  for (uint64_t i = 2; i < kErrorBodyBytes; ++i) tw3_buf_byte(&r->b, 0);
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

// Walks the request's create contexts looking for QFid; never fails the CREATE.
bool has_qfid(tw3_rd* body, const create_req& q) {
  if (q.ctx_len < kCtxMinBytes || q.ctx_off == 0) return false;
  if (q.ctx_off < SMB2_HDR_SIZE || !rd_has(body, q.ctx_off - SMB2_HDR_SIZE, q.ctx_len)) return false;
  const uint64_t area = q.ctx_off - SMB2_HDR_SIZE;  // body position of the area
  uint64_t pos = 0;                                  // position inside the area
  // Every step advances by Next >= 1 inside an area of at most ctx_len bytes.
  while (q.ctx_len - pos >= kCtxMinBytes) {
    const uint8_t* ctx = rd_at(body, area + pos, kCtxMinBytes);
    if (ctx == nullptr) return false;
    uint32_t next = le32(ctx);
    uint16_t name_off = le16(ctx + 4);
    uint16_t name_len = le16(ctx + 6);
    if (name_len == kQfidName.size()) {
      const uint8_t* name = nullptr;
      if (name_off < q.ctx_off) {
        if (uint64_t(pos) + name_off + name_len <= q.ctx_len) {
          name = rd_at(body, area + pos + name_off, name_len);
        }
      } else if (name_off >= SMB2_HDR_SIZE) {
        name = rd_at(body, name_off - SMB2_HDR_SIZE, name_len);
      }
      if (name != nullptr && std::memcmp(name, kQfidName.data(), kQfidName.size()) == 0) return true;
    }
    if (next == 0) return false;
    pos += next;
    if (pos > q.ctx_len) return false;
  }
  return false;
}

void put_qfid(tw3_conn* c, tw3_reply* r, const tw3_open& o) {
  tw3_buf* b = &r->b;
  while (!b->failed && (b->len - r->last_hdr) % 8 != 0) tw3_buf_byte(b, 0);
  const uint64_t at = b->len - r->last_hdr;  // offset from the header start
  w32(b, 0);  // Next
  w16(b, kQfidNameOffset);
  w16(b, uint16_t(kQfidName.size()));
  w16(b, 0);
  w16(b, kQfidDataOffset);
  w32(b, kQfidDataLength);
  tw3_buf_put(b, kQfidName.data(), kQfidName.size());
  w32(b, 0);  // padding
  w64(b, o.st.file_index != 0 ? o.st.file_index : o.file_id);
  w64(b, 0);
  w64(b, 0);  // VolumeId
  w64(b, 0);
  if (b->failed || b->len < r->last_hdr + kRespContextsOffsetAt + 8) return;
  uint8_t* fields = b->data + r->last_hdr + kRespContextsOffsetAt;
  put_le32(fields, uint32_t(at));
  put_le32(fields + 4, kQfidContextBytes);
  tw3_trace(c, "[qfid-out] ctx_at=%zu bn=%zu\n", size_t(r->last_hdr + at), size_t(b->len));
}

// What the name resolved to, for the steps after the checks.
struct target {
  bool pipe = false;
  tw3_vres vres{};
};

// The name, and what it leads to. 0, or a failure status.
uint32_t resolve_name(tw3_rd* body, const create_req& q, const tw3_tree& tree,
                      target* out, int* site) {
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
  char vpath[kVpathArea];
  // The host's own rules too: on Windows a stream, a device name or a
  // trailing dot would open something other than the name says.
  if (tw3_vpath(name, vpath, kVpathArea) != 0 || !tw3_vpath_host_ok(vpath, tw3_host_name_rules())) {
    tw3_stat_add(ST_PATH_REFUSED, 1);
    return *site = kSitePathRules, STATUS_OBJECT_NAME_INVALID;
  }
  tw3_vres& v = out->vres;
  if (tw3_vfs_resolve(tree.share_name, vpath, &v) != 0 ||
      (v.kind != TW3_VRES_DIR && v.kind != TW3_VRES_FILE)) {
    *site = kSiteResolve;
    return vpath[0] == 0 ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
  }
  if ((q.options & kOptDirectoryFile) && v.kind != TW3_VRES_DIR) return *site = kSiteNotDir, STATUS_NOT_A_DIRECTORY;
  if ((q.options & kOptNonDirectoryFile) && v.kind == TW3_VRES_DIR) return *site = kSiteIsDir, STATUS_FILE_IS_A_DIRECTORY;
  return STATUS_SUCCESS;
}

// The request's rights and options, then the connection's state; the order
// decides which status a request with several faults gets.
uint32_t check_request(tw3_conn* c, const create_req& q, bool ipc, tw3_tree** tree, int* site) {
  uint32_t access = map_generic(q.access);
  if (q.disposition != kFileOpen) return *site = kSiteDisposition, STATUS_ACCESS_DENIED;
  if (!ipc) {
    if (access & ~kReadRights) return *site = kSiteAccess, STATUS_ACCESS_DENIED;
    if (q.options & (kOptWriteThrough | kOptDeleteOnClose)) return *site = kSiteOptions, STATUS_ACCESS_DENIED;
  }
  if (q.options & kOptUnsupported) return *site = kSiteUnsupported, STATUS_NOT_SUPPORTED;
  if (q.impersonation > kImpersonationMax) return *site = kSiteImpersonation, STATUS_INVALID_PARAMETER;
  if (c->authenticated == 0) return *site = kSiteNoSession, STATUS_USER_SESSION_DELETED;
  if (*tree == nullptr) return *site = kSiteNoTree, STATUS_USER_SESSION_DELETED;
  if (c->open_count >= c->opts.max_handles) return *site = kSiteHandles, STATUS_INSUFFICIENT_RESOURCES;
  return STATUS_SUCCESS;
}

tw3_open* register_open(tw3_conn* c, const tw3_tree& tree, const target& t) {
  auto* o = new (std::nothrow) tw3_open{};
  if (o == nullptr) return nullptr;
  o->in_use = 1;
  ++c->next_id;
  o->file_id = (c->next_id << 4) | 1;
  ++c->open_count;
  o->next = c->open_list;
  c->open_list = o;
  tw3_trace(c, "[create-new] fid=%llx\n", (unsigned long long)o->file_id);
  std::memcpy(o->share_name, tree.share_name, sizeof o->share_name);
  o->share = tree.share;
  o->is_pipe = t.pipe ? 1 : 0;
  if (!t.pipe) {
    std::memcpy(o->local_path, t.vres.local_path, sizeof o->local_path);
    o->st = t.vres.st;
    o->is_dir = t.vres.kind == TW3_VRES_DIR ? 1 : 0;
  }
  return o;
}

void put_create_body(tw3_buf* b, const tw3_open& o) {
  w16(b, kCreateResponseSize);
  tw3_buf_byte(b, 0);  // OplockLevel: none is ever granted
  tw3_buf_byte(b, 0);  // Flags
  w32(b, kFileOpened);
  put_open_info(b, o);
  w32(b, 0);  // Reserved2
  w64(b, o.file_id);
  w64(b, 0);  // FileId.Volatile
  w32(b, 0);  // CreateContextsOffset, set when QFid is answered
  w32(b, 0);  // CreateContextsLength
  tw3_buf_byte(b, 0);
}

}  // namespace

void cmd_create(tw3_conn* c, tw3_rd* body, tw3_reply* r) {
  create_req q = read_create(body);
  if (body->bad || q.size != kCreateRequestSize) return create_error_l(c, r, STATUS_INVALID_PARAMETER, kSiteStructure);
  tw3_trace(c, "[create] access=%08llx opts=%08x disp=%u name_off=%u name_len=%u\n",
            (unsigned long long)q.access, q.options, q.disposition, q.name_off, q.name_len);
  tw3_tree* tree = tw3_tree_find(c, c->cur_tree_id);
  int site = 0;
  uint32_t status = check_request(c, q, tree != nullptr && tree->is_ipc, &tree, &site);
  target t;
  if (status == STATUS_SUCCESS) status = resolve_name(body, q, *tree, &t, &site);
  if (status != STATUS_SUCCESS) return create_error_l(c, r, status, site);
  tw3_open* o = register_open(c, *tree, t);
  if (o == nullptr) return create_error_l(c, r, STATUS_INSUFFICIENT_RESOURCES, kSiteNoMemory);
  o->granted_access = map_generic(q.access);

  tw3_stat_add(ST_OPENS, 1);
  put_create_body(&r->b, *o);
  c->last_create_fid = o->file_id;
  bool qfid = has_qfid(body, q);
  tw3_trace(c, "[qfid] walk done has=%d cctx_n=%u ctx_body=%zu\n", qfid ? 1 : 0, q.ctx_len,
            size_t(uint64_t(q.ctx_off) - SMB2_HDR_SIZE));
  if (qfid) put_qfid(c, r, *o);
}

void cmd_close(tw3_conn* c, tw3_rd* body, tw3_reply* r) {
  uint16_t size = rd_u16(body);
  rd_skip(body, 6);  // Flags, Reserved
  uint64_t fid = rd_u64(body);
  if (body->bad || size != kCloseRequestSize) {
    return err_reply_l(c, r, SMB2_CLOSE, STATUS_INVALID_PARAMETER, c->session_id, c->cur_tree_id, kSiteCloseStructure);
  }
  tw3_open* o = tw3_open_find(c, fid);
  if (o == nullptr) {
    return err_reply_l(c, r, SMB2_CLOSE, STATUS_INVALID_PARAMETER, c->session_id, c->cur_tree_id, kSiteCloseHandle);
  }
  rep_set_status(r, STATUS_SUCCESS);
  w16(&r->b, kCloseResponseSize);
  w16(&r->b, 0);  // Flags: the attributes are always sent
  w32(&r->b, 0);
  put_open_info(&r->b, *o);
  // The record stays on the list, inert, so its id is never reused.
  tw3_open_release(o);
  o->in_use = 0;
  --c->open_count;
}
