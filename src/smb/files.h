// Shares and files inside the engine: the pieces shared by the handlers of
// TREE_CONNECT, CREATE/CLOSE, READ, QUERY_DIRECTORY, QUERY_INFO and IOCTL.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "fs/fs.h"
#include "smb/smb.h"
#include "util/util.h"

// The newest live (not disconnected) tree with this TreeId, or null.
tw3_tree* tw3_tree_find(tw3_conn* c, uint32_t tree_id);

// ---- Values presented for every object (the server is read-only) ----
constexpr uint32_t TW3_ATTR_DIR = 0x00000011;   // DIRECTORY | READONLY
constexpr uint32_t TW3_ATTR_FILE = 0x00000021;  // ARCHIVE | READONLY
constexpr uint64_t TW3_ALLOC_UNIT = 65536;

// `size` rounded up to a multiple of TW3_ALLOC_UNIT.
uint64_t tw3_alloc_size(uint64_t size);

// ---- Directory information classes (MS-FSCC 2.4) ----
constexpr uint8_t FILE_DIRECTORY_INFORMATION = 1;
constexpr uint8_t FILE_FULL_DIRECTORY_INFORMATION = 2;
constexpr uint8_t FILE_BOTH_DIRECTORY_INFORMATION = 3;
constexpr uint8_t FILE_NAMES_INFORMATION = 12;
constexpr uint8_t FILE_ID_BOTH_DIRECTORY_INFORMATION = 37;
constexpr uint8_t FILE_ID_FULL_DIRECTORY_INFORMATION = 38;

// Bytes before the name in one entry of `cls`; 0 for an unsupported class.
uint32_t dirinfo_fixed_size(uint8_t cls);
// Fixed part plus the UTF-16LE name, rounded up to 8.
uint64_t dirinfo_entry_size(uint8_t cls, uint64_t name16_len);
// The 8.3 short name of `name` in UTF-16LE, zero-padded to 24 bytes in out;
// returns its byte count, 0 when the name has no 8.3 shape.
int dirinfo_short_name(const char* name, uint8_t out[24]);
// Appends one padded entry with NextEntryOffset 0. REQUIRES: a supported cls.
void dirinfo_put(tw3_buf* b, uint8_t cls, const tw3_vent& e, uint32_t file_index,
                 std::span<const uint8_t> name16);

// ---- Query info layouts (MS-FSCC 2.4 file classes, 2.5 file-system classes) ----
constexpr uint32_t TW3_ACCESS_READ_EXECUTE = 0x001200A9;  // read data/EA/attributes, execute, READ_CONTROL, SYNCHRONIZE

// One information class QUERY_INFO answers, built from the open alone.
struct qi_layout {
  uint8_t cls;
  uint32_t min;    // a smaller OutputBufferLength gets INFO_LENGTH_MISMATCH
  uint32_t floor;  // the data is zero-padded to at least this many bytes,
                   // the size clients read of the class's fixed structure
  void (*put)(const tw3_open& o, tw3_buf* b);
};
// The entry of `table` for class `cls`, or null.
const qi_layout* qi_find_layout(std::span<const qi_layout> table, uint8_t cls);
// The file-system class `cls` served for opens of files and folders, or null.
const qi_layout* qi_fs_layout(uint8_t cls);
// The volume serial number every class reports for this open.
uint32_t qi_volume_serial(const tw3_open& o);
// `text` (UTF-8) as UTF-16LE into out; the byte count, 0 when it does not
// convert or fit.
uint32_t qi_utf16(const char* text, std::span<uint8_t> out);
// FileBasicInformation (40 bytes) and FileStandardInformation (24 bytes) of an open.
void qi_file_basic(const tw3_open& o, tw3_buf* b);
void qi_file_standard(const tw3_open& o, tw3_buf* b);

// ---- The security descriptor every object carries (security_desc.cpp) ----
// AdditionalInformation bits (MS-SMB2 2.2.37) naming the parts asked for.
constexpr uint32_t TW3_SECINFO_OWNER = 0x00000001;
constexpr uint32_t TW3_SECINFO_GROUP = 0x00000002;
constexpr uint32_t TW3_SECINFO_DACL = 0x00000004;
constexpr uint32_t TW3_SECINFO_SACL = 0x00000008;
// Bytes of the self-relative descriptor holding the parts `info` asks for.
uint32_t tw3_secdesc_size(uint32_t info);
// Appends that descriptor (tw3_secdesc_size bytes); only OWNER, GROUP and
// DACL bits count. Folders pass their ACE on to everything below them.
void tw3_secdesc_put(tw3_buf* b, uint32_t info, bool is_dir);

// ---- The srvsvc pipe ----
// Appends the NDR stub of the NetrShareEnum answer (level 1) and counts
// srvsvc_queries.
void srvsvc_share_enum(tw3_buf* out);
// Appends the answer to one DCE/RPC PDU: a bind_ack, a response carrying the
// share enumeration, or a fault; nothing for a PDU it does not answer.
void srvsvc_transceive(std::span<const uint8_t> pdu, tw3_buf* out);
// The pipe as clients that WRITE and READ it see it: the answer to a written
// PDU waits on the open as one message, after any earlier ones, until READ
// takes it. 0, or -1 when it would not fit in TW3_PIPE_PENDING_MAX (nothing
// kept then).
int srvsvc_pipe_write(tw3_open* o, std::span<const uint8_t> pdu);
// Bytes of the first waiting message that are still to be read; 0 when none.
uint64_t srvsvc_pipe_waiting(const tw3_open& o);
// Moves up to n bytes of the first waiting message onto the end of out
// (which must have room, as a failed append loses them); the byte count.
// What is left of that message stays first in line.
uint64_t srvsvc_pipe_take(tw3_open* o, uint64_t n, tw3_buf* out);
