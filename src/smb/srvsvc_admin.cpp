// The administrative calls of srvsvc (MS-SRVS 3.1.4): the enumerations of
// character devices and their queues, connections, open files, sessions,
// transports and disks. Windows serves them to administrators only; this
// server has none, so every caller is refused with ERROR_ACCESS_DENIED. The
// refusal is an answer of the call's own shape, not a fault: a client then
// reports the refusal instead of a broken call.
#include "smb/files.h"

namespace {

constexpr uint32_t kNullPointer = 0;

// Reads past the unique strings (a pointer and, unless null, the string)
// the request holds after its ServerName.
void skip_names(tw3_rd* rd, int count) {
  for (int i = 0; i < count && !rd->bad; ++i) {
    if (rd_u32(rd) != kNullPointer) ndr_read_string(rd, nullptr, 0);
  }
}

// InfoStruct {Level, union of container pointers}, TotalEntries, ResumeHandle
// and the return value: the level as asked, no container, nothing in it.
bool refuse_info_struct(std::span<const uint8_t> args, int names, tw3_buf* out) {
  tw3_rd rd{args.data(), args.size(), 0, 0};
  ndr_skip_server_name(&rd);
  skip_names(&rd, names);
  const uint32_t level = rd_u32(&rd);
  if (rd.bad) return false;
  w32(out, level);
  w32(out, level);  // union discriminant
  w32(out, kNullPointer);
  w32(out, 0);  // TotalEntries
  ndr_put_no_info(out, TW3_ERROR_ACCESS_DENIED);  // ResumeHandle, return value
  return true;
}

}  // namespace

bool srvsvc_refuse_enum(std::span<const uint8_t> args, tw3_buf* out) { return refuse_info_struct(args, 0, out); }

bool srvsvc_refuse_named_enum(std::span<const uint8_t> args, tw3_buf* out) {
  return refuse_info_struct(args, 1, out);
}

bool srvsvc_refuse_user_enum(std::span<const uint8_t> args, tw3_buf* out) {
  return refuse_info_struct(args, 2, out);
}

// Level, then DiskInfoStruct {EntriesRead, Buffer pointer}: no disks.
bool srvsvc_refuse_disk_enum(std::span<const uint8_t> args, tw3_buf* out) {
  tw3_rd rd{args.data(), args.size(), 0, 0};
  ndr_skip_server_name(&rd);
  rd_u32(&rd);  // Level
  if (rd.bad) return false;
  w32(out, 0);  // EntriesRead
  w32(out, kNullPointer);
  w32(out, 0);  // TotalEntries
  ndr_put_no_info(out, TW3_ERROR_ACCESS_DENIED);  // ResumeHandle, return value
  return true;
}
