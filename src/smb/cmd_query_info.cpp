// QUERY_INFO (MS-SMB2 2.2.37, 2.2.38; layouts of MS-FSCC 2.4 and 2.5). Every
// answer comes from the open's snapshot taken at CREATE; no host call is
// made. The volume is presented as an empty, read-only NTFS disk.
#include <array>
#include <cstring>
#include <string_view>

#include "smb/files.h"

namespace {

constexpr uint16_t kRequestSize = 41;
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
constexpr uint8_t kFileAttributePair = 7;
constexpr uint8_t kFileAll = 18;
constexpr uint8_t kFileNetworkOpen = 34;
// File-system classes.
constexpr uint8_t kFsVolume = 1;
constexpr uint8_t kFsSize = 3;
constexpr uint8_t kFsDevice = 4;
constexpr uint8_t kFsAttribute = 5;
constexpr uint8_t kFsFullSize = 7;

constexpr uint32_t kPairAttrDir = 0x10;  // this class alone sends DIRECTORY without READONLY
constexpr uint32_t kAccessRead = 0x001200A9;
constexpr uint64_t kVolumeCreationTime = 0x019DB1DED53E8000ULL;  // 1970-01-01
constexpr uint32_t kSectorsPerUnit = 1;
constexpr uint32_t kBytesPerSector = 512;
constexpr uint32_t kDeviceDisk = 7;              // FILE_DEVICE_DISK
constexpr uint32_t kReadOnlyDevice = 2;          // FILE_READ_ONLY_DEVICE
constexpr uint32_t kFsAttributes = 0x00040007;   // case-sensitive search, case preserved, Unicode, streams
constexpr uint32_t kMaxComponent = 255;
constexpr std::array<uint8_t, 8> kNtfs16 = {'N', 0, 'T', 0, 'F', 0, 'S', 0};

enum : int {
  kSiteStructure = 1,
  kSiteHandle,
  kSiteSecurity,
  kSiteType,
  kSitePipeFs,
  kSiteClass,
  kSiteLength,
};

struct qi_req {
  uint16_t size;
  uint8_t type;
  uint8_t cls;
  uint32_t out_len;
  uint32_t flags;
  uint64_t fid;
};

qi_req read_request(tw3_rd* b) {
  qi_req q{};
  q.size = rd_u16(b);
  q.type = rd_u8(b);
  q.cls = rd_u8(b);
  q.out_len = rd_u32(b);
  rd_skip(b, 2 + 2 + 4 + 4);  // InputBufferOffset, Reserved, InputBufferLength, AdditionalInformation
  q.flags = rd_u32(b);
  q.fid = rd_u64(b);
  rd_skip(b, 8);  // FileId.Volatile
  return q;
}

void refuse(tw3_conn* c, tw3_reply* r, uint32_t status, int site) {
  err_reply_l(c, r, SMB2_QUERY_INFO, status, c->session_id, c->cur_tree_id, site);
}

uint32_t attributes(const tw3_open& o) { return o.is_dir ? TW3_ATTR_DIR : TW3_ATTR_FILE; }

void put_times(tw3_buf* b, const tw3_open& o) {
  w64(b, tw3_filetime(o.st.btime));
  w64(b, tw3_filetime(o.st.atime));
  w64(b, tw3_filetime(o.st.mtime));
  w64(b, tw3_filetime(o.st.btime));  // ChangeTime carries the creation time
}

void put_file_all(const tw3_open& o, tw3_buf* b) {
  qi_file_basic(o, b);
  qi_file_standard(o, b);
  w64(b, o.st.file_index);
  w32(b, 0);  // EaSize
  w32(b, kAccessRead);
  w64(b, 0);  // CurrentByteOffset
  w32(b, 0);  // Mode
  w32(b, 0);  // AlignmentRequirement
  w32(b, 0);  // FileNameLength
  tw3_buf_str(b, o.share_name);  // not counted by FileNameLength
}

// The data of a file class and its minimum output length; false when the
// class is not served.
bool file_class(const tw3_open& o, uint8_t cls, tw3_buf* b, uint32_t* min) {
  switch (cls) {
    case kFileBasic:
      qi_file_basic(o, b);
      *min = 40;
      return true;
    case kFileStandard:
      qi_file_standard(o, b);
      *min = 24;
      return true;
    case kFileInternal:
      w64(b, o.st.file_index);
      *min = 8;
      return true;
    case kFileAttributePair:
      w32(b, o.is_dir ? kPairAttrDir : TW3_ATTR_FILE);
      w32(b, 0);
      *min = 8;
      return true;
    case kFileAll:
      put_file_all(o, b);
      *min = 96;
      return true;
    case kFileNetworkOpen:
      put_times(b, o);
      w64(b, tw3_alloc_size(o.st.size));
      w64(b, o.st.size);
      w32(b, attributes(o));
      w32(b, 0);
      *min = 56;
      return true;
    default:
      return false;
  }
}

void put_fs_volume(const tw3_open& o, tw3_buf* b) {
  const size_t n = std::strlen(o.share_name);
  w64(b, kVolumeCreationTime);
  w32(b, uint32_t(tw3_fnv1a64(o.local_path, std::strlen(o.local_path), TW3_FNV_BASIS)));
  w32(b, uint32_t(2 * n));
  tw3_buf_byte(b, 0);  // SupportsObjects
  tw3_buf_byte(b, 0);
  for (size_t i = 0; i < n; ++i) {
    tw3_buf_byte(b, uint8_t(o.share_name[i]));
    tw3_buf_byte(b, 0);
  }
}

bool fs_class(const tw3_open& o, uint8_t cls, tw3_buf* b, uint32_t* min) {
  switch (cls) {
    case kFsVolume:
      put_fs_volume(o, b);
      *min = uint32_t(2 * std::strlen(o.share_name) + 12);
      return true;
    case kFsSize:
      w64(b, 0);
      w64(b, 0);
      w32(b, kSectorsPerUnit);
      w32(b, kBytesPerSector);
      *min = 24;
      return true;
    case kFsDevice:
      w32(b, kDeviceDisk);
      w32(b, kReadOnlyDevice);
      *min = 8;
      return true;
    case kFsAttribute:
      w32(b, kFsAttributes);
      w32(b, kMaxComponent);
      w32(b, uint32_t(kNtfs16.size()));
      tw3_buf_put(b, kNtfs16.data(), kNtfs16.size());
      *min = 20;
      return true;
    case kFsFullSize:
      w64(b, 0);
      w64(b, 0);
      w64(b, 0);
      w32(b, kSectorsPerUnit);
      w32(b, kBytesPerSector);
      *min = 32;
      return true;
    default:
      return false;
  }
}

// Frees a temporary buffer on every path out.
struct buf_owner {
  tw3_buf b{};
  ~buf_owner() { tw3_buf_free(&b); }
};

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

void cmd_query_info(tw3_conn* c, tw3_rd* body, tw3_reply* r) {
  qi_req q = read_request(body);
  if (body->bad || q.size != kRequestSize) return refuse(c, r, STATUS_INVALID_PARAMETER, kSiteStructure);
  tw3_trace(c, "[qi] type=%u class=%u obuf=%u flags=%llx\n", q.type, q.cls, q.out_len,
            (unsigned long long)q.flags);
  const tw3_open* o = tw3_open_find(c, q.fid);
  if (o == nullptr) return refuse(c, r, STATUS_INVALID_HANDLE, kSiteHandle);
  if (q.type == kInfoSecurity || q.type == kInfoQuota) return refuse(c, r, STATUS_NOT_SUPPORTED, kSiteSecurity);
  if (q.type != kInfoFile && q.type != kInfoFilesystem) return refuse(c, r, STATUS_INVALID_INFO_CLASS, kSiteType);
  if (q.type == kInfoFilesystem && o->is_pipe) return refuse(c, r, STATUS_INVALID_INFO_CLASS, kSitePipeFs);

  buf_owner data;
  uint32_t min = 0;
  bool known = q.type == kInfoFile ? file_class(*o, q.cls, &data.b, &min) : fs_class(*o, q.cls, &data.b, &min);
  if (!known) return refuse(c, r, STATUS_INVALID_INFO_CLASS, kSiteClass);
  uint64_t n = data.b.len;
  uint32_t status = STATUS_SUCCESS;
  if (q.out_len != 0) {
    if (q.out_len < min) return refuse(c, r, STATUS_INFO_LENGTH_MISMATCH, kSiteLength);
    if (q.out_len < n) {
      n = q.out_len;
      status = STATUS_BUFFER_OVERFLOW;
    }
  }
  rep_set_status(r, status);
  w16(&r->b, kResponseSize);
  w16(&r->b, kOutputOffset);
  w32(&r->b, uint32_t(n));
  tw3_buf_put(&r->b, data.b.data, n);
}
