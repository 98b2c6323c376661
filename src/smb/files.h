// Shares and files inside the engine: the pieces shared by the handlers of
// TREE_CONNECT, CREATE/CLOSE, READ, QUERY_DIRECTORY, QUERY_INFO and IOCTL.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "fs/fs.h"
#include "smb/smb.h"
#include "util/util.h"

// The live tree of this session with this TreeId, or null.
tw3_tree* tw3_tree_find(const tw3_conn* c, uint64_t session_id, uint32_t tree_id);
// Unlinks and frees a tree record (its opens are closed already).
void tw3_tree_remove(tw3_conn* c, tw3_tree* tree);

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

// The most any open is granted, and what GENERIC_READ maps to: read data,
// EA and attributes, execute, READ_CONTROL, SYNCHRONIZE.
constexpr uint32_t TW3_ACCESS_READ_EXECUTE = 0x001200A9;

// ---- Query info layouts (MS-FSCC 2.4 file classes, 2.5 file-system classes) ----

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
// NDR as the operations read and write it (srvsvc_shares.cpp). Positions
// count from the stub's start, which every fragment keeps 8-aligned.
// Appends a conformant varying string of UTF-16 units with its terminating
// zero, padded to 4 bytes. Text that is not valid UTF-8 is sent byte by byte.
void ndr_put_string(tw3_buf* out, const char* text);
// Reads a conformant varying string and the padding after it (none when the
// stub ends there). True when `text` (cap bytes) holds it as UTF-8; false,
// and `text` empty unless cap is 0, when it does not convert, does not fit
// or holds a zero before its end, and when it cannot be read, which also
// sets rd->bad: it runs past the stub's end, has an offset or more units
// than its maximum count.
bool ndr_read_string(tw3_rd* rd, char* text, size_t cap);
// Reads past the ServerName every operation begins with (a unique pointer
// and, unless null, its string).
void ndr_skip_server_name(tw3_rd* rd);
// The end of an answer that has no information: a null pointer and `status`.
void ndr_put_no_info(tw3_buf* out, uint32_t status);
constexpr uint32_t TW3_ERROR_INVALID_LEVEL = 124;  // ERROR_INVALID_LEVEL

// The operations served. Each reads its arguments (the request's stub) and
// appends its answer's stub; false when the arguments cannot be read, which
// the call answers with a fault. A level the operation does not serve gets
// no information and ERROR_INVALID_LEVEL.
// NetrShareEnum (opnum 15): levels 0, 1, 2, 501 and 502, every share and IPC$.
bool srvsvc_share_enum(std::span<const uint8_t> args, tw3_buf* out);
// NetrShareEnumSticky (opnum 36): the same list at levels 0, 1, 2 and 502;
// every share is configured, so every one is sticky.
bool srvsvc_share_enum_sticky(std::span<const uint8_t> args, tw3_buf* out);
// NetrShareGetInfo (opnum 16): levels 0, 1, 2, 501, 502 and 1005 of the
// share named in any ASCII case; NERR_NetNameNotFound for a name no share
// has.
bool srvsvc_share_get_info(std::span<const uint8_t> args, tw3_buf* out);
// NetrShareCheck (opnum 20): the path every share reports (empty, as the
// host paths are not shown) is shared, as IPC; any other device gets
// NERR_DeviceNotShared.
bool srvsvc_share_check(std::span<const uint8_t> args, tw3_buf* out);
// NetrServerGetInfo (opnum 21): levels 100, 101 and 102.
bool srvsvc_server_get_info(std::span<const uint8_t> args, tw3_buf* out);
// The administrative calls (srvsvc_admin.cpp): this server has no
// administrators, so each is refused with ERROR_ACCESS_DENIED in an answer
// of its own shape (an empty container, no entries, no resume handle), as
// Windows refuses a caller who is not one. By what the request holds before
// its InfoStruct: NetrCharDevEnum (opnum 0) and NetrServerTransportEnum (26)
// nothing; NetrCharDevQEnum (3) and NetrConnectionEnum (8) one name;
// NetrFileEnum (9) and NetrSessionEnum (12) two.
bool srvsvc_refuse_enum(std::span<const uint8_t> args, tw3_buf* out);
bool srvsvc_refuse_named_enum(std::span<const uint8_t> args, tw3_buf* out);
bool srvsvc_refuse_user_enum(std::span<const uint8_t> args, tw3_buf* out);
// NetrServerDiskEnum (opnum 23), refused alike: no disks.
bool srvsvc_refuse_disk_enum(std::span<const uint8_t> args, tw3_buf* out);
// NetrRemoteTOD (opnum 28), open to every caller: the server's time of day
// in UTC, from the clock option when it is set.
bool srvsvc_remote_tod(std::span<const uint8_t> args, tw3_buf* out);
constexpr uint32_t TW3_ERROR_ACCESS_DENIED = 5;  // ERROR_ACCESS_DENIED
// The fragment size used towards a client whose bind asked for `asked` bytes
// (0: no bind seen): at most the 4280 the bind_ack offers, at least 1432.
uint16_t srvsvc_frag_size(uint16_t asked);
// Appends the response PDUs carrying `stub` as messages (pipe_msg_begin):
// fragments of at most srvsvc_frag_size(frag) bytes, each with its own
// header, first/last flags and alloc_hint (the stub bytes from it on).
void srvsvc_put_responses(tw3_buf* out, uint32_t call_id, std::span<const uint8_t> stub,
                          uint16_t frag);
// Appends the answer to one DCE/RPC PDU as messages: a bind_ack (which also
// records the client's fragment size in st), the response fragments of a
// call, or a fault; nothing for a PDU it does not answer, nor for a request
// fragment that is not a call's last (its stub waits in st, at most
// TW3_RPC_STUB_MAX bytes). A fragment out of sequence, or one that would
// take the stub past its bound, is faulted with nca_proto_error and ends the
// call being gathered. `failed` of out reports a lack of memory.
void srvsvc_transceive(std::span<const uint8_t> pdu, tw3_rpc_pipe* st, tw3_buf* out);
// Frees a call being gathered.
void srvsvc_release(tw3_rpc_pipe* st);

// A list of pipe messages is built in a tw3_buf, each a 32-bit length and
// its bytes: pipe_msg_begin appends the length's place, pipe_msg_end(out,
// start) fills it in for the bytes from start (the length just after
// pipe_msg_begin) to the end.
void pipe_msg_begin(tw3_buf* out);
void pipe_msg_end(tw3_buf* out, uint64_t start);
// The pipe as clients see it: the answer to a PDU written to it waits on the
// open, one message per fragment, after any earlier ones, until read. 0, or
// -1 when it would not fit in TW3_PIPE_PENDING_MAX (nothing kept then).
int srvsvc_pipe_write(tw3_open* o, std::span<const uint8_t> pdu);
// Bytes of the first waiting message that are still to be read; 0 when none.
uint64_t srvsvc_pipe_waiting(const tw3_open& o);
// Moves up to n bytes of the first waiting message onto the end of out and
// sets *got to their count. STATUS_BUFFER_OVERFLOW when part of the message
// stays for the next read (message mode), STATUS_SUCCESS when it was read to
// its end or nothing waits, STATUS_INSUFFICIENT_RESOURCES (nothing taken)
// when out cannot grow.
uint32_t srvsvc_pipe_read(tw3_open* o, uint64_t n, tw3_buf* out, uint64_t* got);

// ---- Read caching: level II oplocks and Read+Handle leases (leases.cpp) ----
// Nothing writes through this server, so its own clients never need a break
// between them; a file changed on the host does, and is found by comparing
// its status with the one taken when the caching was granted.

// A lease asked for in a CREATE (MS-SMB2 2.2.13.2.8 and, version 2, 2.2.13.2.10).
struct tw3_lease_req {
  int32_t version;  // 0: none asked, 1 or 2
  uint8_t key[SMB2_LEASE_KEY_SIZE];
  uint32_t state;
  uint32_t flags;
  uint8_t parent_key[SMB2_LEASE_KEY_SIZE];
  uint16_t epoch;
};

// What a CREATE answers: the OplockLevel, and for a lease the response
// context's fields (MS-SMB2 2.2.14.2.10, 2.2.14.2.11).
struct tw3_caching {
  uint8_t oplock_level;
  int32_t lease_version;  // 0: no lease context
  uint8_t key[SMB2_LEASE_KEY_SIZE];
  uint32_t state;
  uint32_t flags;
  uint8_t parent_key[SMB2_LEASE_KEY_SIZE];
  uint16_t epoch;
};

// A lease of the connection: what its key's opens may cache.
struct tw3_lease {
  uint8_t key[SMB2_LEASE_KEY_SIZE];
  int32_t version;          // 1 or 2, as first asked
  uint32_t state;           // R|H granted, 0 once broken
  uint16_t epoch;           // version 2: moves with every change of state
  int32_t breaking;         // a break awaits its acknowledgement
  uint32_t flags;           // PARENT_LEASE_KEY_SET as asked
  uint8_t parent_key[SMB2_LEASE_KEY_SIZE];
  char local_path[TW3_LOCAL_PATH_MAX];
  tw3_stat stamp;           // the file when the state was granted
  int32_t opens;            // opens sharing the lease
  uint64_t session_id;      // the session of the latest open: its break is sealed for it
  tw3_lease* next;
};

// The body size of an oplock break notification, acknowledgement and
// response alike (MS-SMB2 2.2.23.1, 2.2.24.1, 2.2.25.1).
constexpr uint16_t TW3_OPLOCK_BREAK_SIZE = 24;

// The connection's lease with this key, or null.
tw3_lease* tw3_lease_find(const tw3_conn* c, const uint8_t* key);
// A lease key names one file: a key already bound to another file of this
// connection gives STATUS_INVALID_PARAMETER, else 0. Checked before the open.
uint32_t tw3_lease_admit(const tw3_conn* c, const tw3_lease_req& req, const char* local_path);
// Grants read caching to a new open of a file (never to a directory or the
// pipe): level II for any oplock asked, R|H of a lease's asked state, never
// W. Fills *out for the response.
void tw3_caching_grant(tw3_conn* c, tw3_open* o, uint8_t requested_level, const tw3_lease_req& req,
                       tw3_caching* out);
// Drops what an open holds of the caching (CLOSE); a lease no open shares
// any more is forgotten.
void tw3_caching_release(tw3_conn* c, tw3_open* o);
// Frees every lease record (the opens are gone or going).
void tw3_leases_free(tw3_client_state* cl);
// Breaks to none every oplock and lease held on local_path whose file no
// longer matches `now` (size, change time, identity), by a notification
// sent at once.
void tw3_caching_check(tw3_conn* c, const char* local_path, const tw3_stat& now);

// ---- Change notifications on folder handles (cmd_change_notify.cpp) ----
// A folder open that received a CHANGE_NOTIFY keeps a host watch of the
// folder (and with WATCH_TREE of the folders below it) from then until it is
// closed, with the changes seen and not yet reported. A request finds them
// at once, or waits, gone async, until the connection's own thread sees a
// change in tw3_notify_poll and sends the completion.

// The host notification source; tests script it. Defaults to tw3_watch_*.
struct tw3_watch_source {
  tw3_watch* (*open)();
  int (*add)(tw3_watch* w, const char* root, const char* rel);
  int32_t (*count)(const tw3_watch* w);
  int (*read)(tw3_watch* w, tw3_watch_event* out, int max, int timeout_ms);
  void (*close)(tw3_watch* w);
};
extern const tw3_watch_source* g_watch_source;
// Host folders watched on the whole server now.
int64_t tw3_notify_server_watches();

// The handler's steps. Starts the open's watch unless it has one (a
// failure's status otherwise, nothing watched then).
uint32_t tw3_notify_start(tw3_conn* c, tw3_open* o, bool tree);
// A request of the open is waiting.
bool tw3_notify_waiting(const tw3_open* o);
// Takes the host's changes for the open's watch: true when some match `filter`.
bool tw3_notify_ready(tw3_conn* c, tw3_open* o, uint32_t filter);
// Answers the request being handled with the changes kept (its body, or an
// error response such as NOTIFY_ENUM_DIR); returns the status.
uint32_t tw3_notify_answer(tw3_open* o, uint32_t out_len, tw3_reply* r);
// Makes the response being built the interim STATUS_PENDING answer; the
// request waits on rq.open for changes matching `filter`.
tw3_done tw3_notify_wait(tw3_conn* c, const tw3_req& rq, tw3_reply* r, uint32_t out_len, uint32_t filter);
// Takes the host's changes for every watched handle of the connection and
// completes the waiting requests that have something to report.
void tw3_notify_poll(tw3_conn* c);
// CANCEL: completes the waiting request named by the CANCEL being handled
// (AsyncId, or MessageId) with STATUS_CANCELLED as the CANCEL's own
// response. False when nothing waits under that name.
bool tw3_notify_cancel(tw3_conn* c, const tw3_req& rq, tw3_reply* r);
// A request waits under the name a CANCEL with this header gives.
bool tw3_notify_is_waiting(const tw3_conn* c, const tw3_hdr& h);
// Completes the waiting request of the open (CLOSE), of every open of a tree
// (TREE_DISCONNECT, tree_id) or of every open (LOGOFF, tree_id 0) with
// STATUS_NOTIFY_CLEANUP, sent at once.
// Each completion goes to the connection its request came on.
void tw3_notify_cleanup_open(tw3_open* o);
void tw3_notify_cleanup_tree(tw3_conn* c, uint32_t tree_id);
// The connection is ending: requests waiting for an answer on it are
// dropped without one.
void tw3_notify_forget_channel(const tw3_conn* c);
// Drops the open's watch and any waiting request without a word (the
// connection is ending, or the open is being freed).
void tw3_notify_free(tw3_open* o);
