// QUERY_INFO (MS-SMB2 2.2.37, 2.2.38; layouts of MS-FSCC 2.4 and 2.5). File
// answers come from the open's snapshot taken at CREATE; only the volume's
// size asks the host. Every object carries one fixed, read-only security
// descriptor; quotas are refused.
#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "smb/files.h"

namespace {

constexpr uint16_t kResponseSize = 9;
constexpr uint16_t kOutputOffset = SMB2_HDR_SIZE + 8;

constexpr uint8_t kInfoFile = 1;
constexpr uint8_t kInfoFilesystem = 2;
constexpr uint8_t kInfoSecurity = 3;
constexpr uint8_t kInfoQuota = 4;

// File classes.
constexpr uint8_t kFileBasic = 4;
constexpr uint8_t kFileStandard = 5;
constexpr uint8_t kFileInternal = 6;
constexpr uint8_t kFileEa = 7;
constexpr uint8_t kFileAccess = 8;
constexpr uint8_t kFilePosition = 14;
constexpr uint8_t kFileMode = 16;
constexpr uint8_t kFileAlignment = 17;
constexpr uint8_t kFileAll = 18;
constexpr uint8_t kFileAlternateName = 21;
constexpr uint8_t kFileStream = 22;
constexpr uint8_t kFileCompression = 28;
constexpr uint8_t kFileNetworkOpen = 34;
constexpr uint8_t kFileAttributeTag = 35;
constexpr uint8_t kFileNormalizedName = 48;
constexpr uint8_t kFileId = 59;

constexpr uint32_t kReadControl = 0x00020000;
constexpr uint32_t kAccessSystemSecurity = 0x01000000;
constexpr std::array<uint8_t, 14> kDataStream16 = {':', 0, ':', 0, '$', 0, 'D', 0, 'A', 0, 'T', 0, 'A', 0};
constexpr uint32_t kNameInfoFloor = 8;  // FILE_NAME_INFORMATION as clients declare it

enum : int {
  kSiteStructure = 1,
  kSiteQuota,
  kSiteType,
  kSitePipeFs,
  kSiteClass,
  kSiteLength,
  kSiteDialect,
  kSiteSecurityAccess,
};

struct qi_req {
  uint16_t size;
  uint8_t type;
  uint8_t cls;
  uint32_t out_len;
  uint32_t info;  // AdditionalInformation
  uint32_t flags;
  uint64_t fid;
};

qi_req read_request(tw3_rd* b) {
  qi_req q{};
  q.size = rd_u16(b);
  q.type = rd_u8(b);
  q.cls = rd_u8(b);
  q.out_len = rd_u32(b);
  rd_skip(b, 2 + 2 + 4);  // InputBufferOffset, Reserved, InputBufferLength
  q.info = rd_u32(b);
  q.flags = rd_u32(b);
  q.fid = rd_u64(b);
  rd_skip(b, 8);  // FileId.Volatile
  return q;
}

uint32_t attributes(const tw3_open& o) { return o.is_dir ? TW3_ATTR_DIR : TW3_ATTR_FILE; }

void put_times(tw3_buf* b, const tw3_open& o) {
  w64(b, tw3_filetime(o.st.btime));
  w64(b, tw3_filetime(o.st.atime));
  w64(b, tw3_filetime(o.st.mtime));
  w64(b, tw3_filetime(o.st.btime));  // ChangeTime carries the creation time
}

// The open's path below its share root as clients spell it, `\`-separated
// in `out`; empty for the root itself and for the pipe.
std::string_view share_relative(const tw3_open& o, std::span<char> out) {
  const std::string_view path(o.local_path), root(o.share.root_path);
  const char sep = tw3_fs_sep();
  if (root.empty() || path.size() <= root.size() || path.compare(0, root.size(), root) != 0) return {};
  std::string_view rest = path.substr(root.size());
  if (root.back() != sep) {
    if (rest.front() != sep) return {};
    rest.remove_prefix(1);
  }
  std::string shown;
  if (!tw3_path_to_client(rest, sep, tw3_host_name_rules(), &shown) || shown.size() >= out.size()) return {};
  std::memcpy(out.data(), shown.c_str(), shown.size() + 1);
  return {out.data(), shown.size()};
}

// FILE_NAME_INFORMATION: the UTF-16LE byte count, then the name.
void put_name_info(tw3_buf* b, const char* name) {
  std::array<uint8_t, 2 * TW3_LOCAL_PATH_MAX> name16{};
  const uint32_t n = qi_utf16(name, name16);
  w32(b, n);
  tw3_buf_put(b, name16.data(), n);
}

void put_basic(const tw3_open& o, tw3_buf* b) { qi_file_basic(o, b); }
void put_standard(const tw3_open& o, tw3_buf* b) { qi_file_standard(o, b); }
void put_internal(const tw3_open& o, tw3_buf* b) { w64(b, o.st.file_index); }
void put_ea(const tw3_open&, tw3_buf* b) { w32(b, 0); }  // no extended attributes
void put_access(const tw3_open& o, tw3_buf* b) { w32(b, o.granted_access); }
void put_position(const tw3_open&, tw3_buf* b) { w64(b, 0); }  // reads carry their own offset
void put_mode(const tw3_open&, tw3_buf* b) { w32(b, 0); }
void put_alignment(const tw3_open&, tw3_buf* b) { w32(b, 0); }  // byte alignment
// FileAttributeTagInformation (MS-FSCC 2.4.6): nothing here is a reparse point.
void put_attribute_tag(const tw3_open& o, tw3_buf* b) {
  w32(b, attributes(o));
  w32(b, 0);  // ReparseTag
}

// FileAllInformation, whose name part is the open's path from the share
// root with a leading backslash, as Windows servers give it ("\" for the
// root).
void put_all(const tw3_open& o, tw3_buf* b) {
  qi_file_basic(o, b);
  qi_file_standard(o, b);
  w64(b, o.st.file_index);
  w32(b, 0);  // EaSize
  w32(b, o.granted_access);
  w64(b, 0);  // CurrentByteOffset
  w32(b, 0);  // Mode
  w32(b, 0);  // AlignmentRequirement
  std::array<char, TW3_LOCAL_PATH_MAX + 1> path{'\\'};
  share_relative(o, std::span<char>(path).subspan(1));
  put_name_info(b, path.data());
}

// The 8.3 name listings give the object's own name; empty without one.
void put_alternate_name(const tw3_open& o, tw3_buf* b) {
  std::array<char, TW3_LOCAL_PATH_MAX> rel{};
  const std::string_view path = share_relative(o, rel);
  const size_t cut = path.rfind('\\');
  const char* leaf = rel.data() + (cut == std::string_view::npos ? 0 : cut + 1);
  std::array<uint8_t, 24> short16{};
  const int n = path.empty() ? 0 : dirinfo_short_name(leaf, short16.data());
  w32(b, uint32_t(n));
  tw3_buf_put(b, short16.data(), uint64_t(n));
}

// A file has its one unnamed data stream; a folder has none.
void put_streams(const tw3_open& o, tw3_buf* b) {
  if (o.is_dir) return;
  w32(b, 0);  // NextEntryOffset
  w32(b, uint32_t(kDataStream16.size()));
  w64(b, o.st.size);
  w64(b, tw3_alloc_size(o.st.size));
  tw3_buf_put(b, kDataStream16.data(), kDataStream16.size());
}

void put_compression(const tw3_open& o, tw3_buf* b) {
  w64(b, o.is_dir ? 0 : tw3_alloc_size(o.st.size));  // CompressedFileSize
  w16(b, 0);  // COMPRESSION_FORMAT_NONE
  for (int i = 0; i < 6; ++i) tw3_buf_byte(b, 0);  // the three shifts, Reserved
}

void put_network_open(const tw3_open& o, tw3_buf* b) {
  put_times(b, o);
  w64(b, tw3_alloc_size(o.st.size));
  w64(b, o.st.size);
  w32(b, attributes(o));
  w32(b, 0);
}

void put_normalized_name(const tw3_open& o, tw3_buf* b) {
  std::array<char, TW3_LOCAL_PATH_MAX> rel{};
  share_relative(o, rel);
  put_name_info(b, rel.data());
}

void put_file_id(const tw3_open& o, tw3_buf* b) {
  w64(b, qi_volume_serial(o));
  w64(b, o.st.file_index);  // the 128-bit id: the 64-bit one, zero-extended
  w64(b, 0);
}

constexpr std::array<qi_layout, 16> kFileLayouts = {{
    {kFileBasic, 40, 40, put_basic},
    {kFileStandard, 24, 24, put_standard},
    {kFileInternal, 8, 8, put_internal},
    {kFileEa, 4, 4, put_ea},
    {kFileAccess, 4, 4, put_access},
    {kFilePosition, 8, 8, put_position},
    {kFileMode, 4, 4, put_mode},
    {kFileAlignment, 4, 4, put_alignment},
    {kFileAll, 96, 104, put_all},
    {kFileAlternateName, 4, kNameInfoFloor, put_alternate_name},
    {kFileStream, 24, 0, put_streams},
    {kFileCompression, 16, 16, put_compression},
    {kFileNetworkOpen, 56, 56, put_network_open},
    {kFileAttributeTag, 8, 8, put_attribute_tag},
    {kFileNormalizedName, 4, kNameInfoFloor, put_normalized_name},
    {kFileId, 24, 24, put_file_id},
}};

const qi_layout* file_layout(uint8_t cls) { return qi_find_layout(kFileLayouts, cls); }

// Frees a temporary buffer on every path out.
struct buf_owner {
  tw3_buf b{};
  ~buf_owner() { tw3_buf_free(&b); }
};

void put_response(tw3_reply* r, const uint8_t* data, uint64_t n) {
  w16(&r->b, kResponseSize);
  w16(&r->b, kOutputOffset);
  w32(&r->b, uint32_t(n));
  tw3_buf_put(&r->b, data, n);
}

// A descriptor that does not fit is refused with the size it needs (MS-SMB2
// 3.3.5.20.3): an OutputBufferLength of 0 asks for nothing but that size.
tw3_done answer_security(const tw3_conn* c, tw3_reply* r, const tw3_open& o, const qi_req& q) {
  const uint32_t parts = TW3_SECINFO_OWNER | TW3_SECINFO_GROUP | TW3_SECINFO_DACL;
  if (((q.info & parts) != 0 && (o.granted_access & kReadControl) == 0) ||
      ((q.info & TW3_SECINFO_SACL) != 0 && (o.granted_access & kAccessSystemSecurity) == 0)) {
    return tw3_refuse(STATUS_ACCESS_DENIED, kSiteSecurityAccess);
  }
  const uint32_t need = tw3_secdesc_size(q.info);
  if (q.out_len < need) {
    std::array<uint8_t, 4> size{};
    put_le32(size.data(), need);
    rep_error_data(r, size, c->dialect == SMB2_DIALECT_311);
    return tw3_answer(STATUS_BUFFER_TOO_SMALL);
  }
  buf_owner sd;
  tw3_secdesc_put(&sd.b, q.info, o.is_dir != 0);
  put_response(r, sd.b.data, sd.b.len);
  return tw3_answer();
}

}  // namespace

void qi_file_basic(const tw3_open& o, tw3_buf* b) {
  put_times(b, o);
  w32(b, attributes(o));
  w32(b, 0);
}

void qi_file_standard(const tw3_open& o, tw3_buf* b) {
  w64(b, tw3_alloc_size(o.st.size));
  w64(b, o.st.size);
  w32(b, o.is_dir ? 0 : 1);  // NumberOfLinks
  tw3_buf_byte(b, 0);        // DeletePending
  tw3_buf_byte(b, o.is_dir ? 1 : 0);
  w16(b, 0);
}

tw3_done cmd_query_info(tw3_conn* c, tw3_req* rq, tw3_rd* body, tw3_reply* r) {
  qi_req q = read_request(body);
  if (body->bad) return tw3_refuse(STATUS_INVALID_PARAMETER, kSiteStructure);
  tw3_trace(c, "[qi] type=%u class=%u obuf=%u flags=%llx\n", q.type, q.cls, q.out_len,
            (unsigned long long)q.flags);
  const tw3_open* o = rq->open;
  if (q.type == kInfoSecurity) return answer_security(c, r, *o, q);
  if (q.type == kInfoQuota) return tw3_refuse(STATUS_NOT_SUPPORTED, kSiteQuota);
  if (q.type != kInfoFile && q.type != kInfoFilesystem) return tw3_refuse(STATUS_INVALID_INFO_CLASS, kSiteType);
  if (q.type == kInfoFilesystem && o->is_pipe) return tw3_refuse(STATUS_INVALID_INFO_CLASS, kSitePipeFs);

  const qi_layout* l = q.type == kInfoFile ? file_layout(q.cls) : qi_fs_layout(q.cls);
  if (l == nullptr) return tw3_refuse(STATUS_INVALID_INFO_CLASS, kSiteClass);
  // Normalized names came with 3.1.1 (MS-SMB2 3.3.5.20.1).
  if (q.type == kInfoFile && q.cls == kFileNormalizedName && c->dialect != SMB2_DIALECT_311) {
    return tw3_refuse(STATUS_NOT_SUPPORTED, kSiteDialect);
  }
  buf_owner data;
  l->put(*o, &data.b);
  while (!data.b.failed && data.b.len < l->floor) tw3_buf_byte(&data.b, 0);
  uint64_t n = data.b.len;
  // A buffer below the class's fixed part is refused, one below the whole
  // answer gets what fits (MS-SMB2 3.3.5.20.1); 0 is no exception.
  uint32_t status = STATUS_SUCCESS;
  if (q.out_len < l->min) return tw3_refuse(STATUS_INFO_LENGTH_MISMATCH, kSiteLength);
  if (q.out_len < n) {
    n = q.out_len;
    status = STATUS_BUFFER_OVERFLOW;
  }
  put_response(r, data.b.data, n);
  return tw3_answer(status);
}
