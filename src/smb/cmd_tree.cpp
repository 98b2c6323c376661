// TREE_CONNECT and TREE_DISCONNECT (MS-SMB2 2.2.9 to 2.2.12): binding a share
// to the connection under a tree id. Any authenticated session may connect to
// any configured share; guest admission was decided at session setup.
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "smb/events.h"
#include "smb/files.h"

namespace {

constexpr uint16_t kConnectRequestSize = 9;
constexpr uint16_t kConnectResponseSize = 16;
constexpr uint16_t kPathMinBytes = 2;
constexpr uint16_t kPathMaxBytes = 1032;  // also the size of the UTF-8 area
constexpr uint8_t kShareTypeDisk = 1;     // sent for IPC$ too
constexpr uint32_t kMaximalAccess = 0x000000FF;
constexpr uint64_t kTreeIdMask = 0xFFFFFF;
constexpr const char* kIpcName = "IPC$";

// Refusal sites for the error trace.
enum : int {
  kSiteStructure = 1,
  kSiteShortBody,
  kSiteNoSession,
  kSitePathRange,
  kSitePathLength,
  kSitePathText,
  kSiteEmptyName,
  kSiteUnknownShare,
  kSiteNoMemory,
};

struct connect_req {
  uint16_t path_off;
  uint16_t path_len;
};

bool tree_id_taken(const tw3_conn* c, uint32_t id) {
  for (const tw3_tree* t = c->cl->tree_list; t != nullptr; t = t->next) {
    if (t->tree_id == id) return true;
  }
  return false;
}

// Ids are unique among the live trees and come from the counter that file
// ids share.
uint32_t next_tree_id(tw3_conn* c) {
  for (;;) {
    ++c->cl->next_id;
    auto id = static_cast<uint32_t>(c->cl->next_id & kTreeIdMask);
    if (!tree_id_taken(c, id)) return id;
  }
}

// The share name is the text after the last '\' or '/'.
std::string_view share_part(std::string_view path) {
  size_t sep = path.find_last_of("\\/");
  return sep == std::string_view::npos ? path : path.substr(sep + 1);
}

}  // namespace

tw3_tree* tw3_tree_find(const tw3_conn* c, uint64_t session_id, uint32_t tree_id) {
  for (tw3_tree* t = c->cl->tree_list; t != nullptr; t = t->next) {
    if (t->tree_id == tree_id && t->session_id == session_id) return t;
  }
  return nullptr;
}

void tw3_tree_remove(tw3_conn* c, tw3_tree* tree) {
  for (tw3_tree** p = &c->cl->tree_list; *p != nullptr; p = &(*p)->next) {
    if (*p != tree) continue;
    *p = tree->next;
    delete tree;
    return;
  }
}

tw3_done cmd_tree_connect(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r) {
  uint16_t size = rd_u16(body);
  if (body->bad || size != kConnectRequestSize) return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteStructure);
  connect_req q{};
  rd_u16(body);  // Flags / Reserved
  q.path_off = rd_u16(body);
  q.path_len = rd_u16(body);
  if (body->bad) return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteShortBody);
  if (!tw3_session_live(c, rq->hdr.session_id)) {
    tw3_stat_add(ST_TREE_REFUSED, 1);
    return tw3_refuse(STATUS_USER_SESSION_DELETED, kSiteNoSession);
  }
  if (q.path_off < SMB2_HDR_SIZE || !rd_has(body, q.path_off - SMB2_HDR_SIZE, q.path_len)) {
    return tw3_refuse(STATUS_INVALID_PARAMETER, kSitePathRange);
  }
  if (q.path_len < kPathMinBytes || q.path_len > kPathMaxBytes) {
    return tw3_refuse(STATUS_INVALID_PARAMETER, kSitePathLength);
  }
  char path[kPathMaxBytes];
  const uint8_t* raw = rd_at(body, q.path_off - SMB2_HDR_SIZE, q.path_len);
  if (raw == nullptr || tw3_utf16_to_utf8(raw, q.path_len, path, kPathMaxBytes) < 0) {
    return tw3_refuse(STATUS_INVALID_PARAMETER, kSitePathText);
  }
  std::string_view name = share_part(path);
  if (name.empty()) return tw3_refuse(STATUS_OBJECT_NAME_INVALID, kSiteEmptyName);
  tw3_trace(c, "[tcon] share='%.*s' path='%s'\n", int(name.size()), name.data(), path);

  const char* name_z = name.data();  // the tail of `path`, so NUL-terminated
  bool ipc = tw3_casecmp(name_z, kIpcName) == 0;
  tw3_share share{};
  if (!ipc && tw3_share_find(name_z, &share) != 0) {
    tw3_trace(c, "[tcon] find FAILED for '%s'\n", name_z);
    tw3_stat_add(ST_TREE_REFUSED, 1);
    return tw3_refuse(STATUS_BAD_NETWORK_NAME, kSiteUnknownShare);
  }
  auto* t = new (std::nothrow) tw3_tree{};
  if (t == nullptr) return tw3_refuse(STATUS_INSUFFICIENT_RESOURCES, kSiteNoMemory);
  t->tree_id = next_tree_id(c);
  t->session_id = rq->hdr.session_id;
  std::snprintf(t->share_name, sizeof t->share_name, "%s", ipc ? kIpcName : name_z);
  t->is_ipc = ipc ? 1 : 0;
  t->share = share;
  t->next = c->cl->tree_list;
  c->cl->tree_list = t;

  tw3_stat_add(ST_TREES, 1);
  tw3_conn_event(c, tw3_ev::tree_connect, t->session_id, ipc ? kIpcName : share.name);
  if (uint8_t* hdr = rep_cur_hdr(r)) put_le32(hdr + HDR_TREE_ID, t->tree_id);
  w16(&r->b, kConnectResponseSize);
  tw3_buf_byte(&r->b, kShareTypeDisk);
  tw3_buf_byte(&r->b, 0);
  w32(&r->b, 0);  // ShareFlags: no caching, no DFS, no encryption
  w32(&r->b, 0);  // Capabilities
  w32(&r->b, kMaximalAccess);
  return tw3_answer();
}

void tw3_tree_retire(tw3_conn* c, tw3_tree* t) {
  tw3_notify_cleanup_tree(c, t->tree_id);
  // Its opens go with it: nothing could reach them through a retired tree,
  // and they would hold handles until logoff.
  for (tw3_open* o = c->cl->opens.newest; o != nullptr;) {
    tw3_open* older = o->next;  // o may be freed
    if (o->tree_id == t->tree_id) tw3_open_close(c, o);
    o = older;
  }
  // Its id is not handed out again before the 24-bit counter wraps.
  tw3_tree_remove(c, t);
  tw3_stat_add(ST_TREES, -1);
}

tw3_done cmd_tree_disconnect(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r) {
  rd_u16(body);  // StructureSize, not validated
  rd_u16(body);  // Reserved
  tw3_tree_retire(c, rq->tree);  // the live tree the dispatcher found
  rq->tree = nullptr;
  w16(&r->b, TW3_EMPTY_BODY_SIZE);
  w16(&r->b, 0);
  return tw3_answer();
}
