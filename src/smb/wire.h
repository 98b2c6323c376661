// SMB2/3 and NetBIOS wire constants: command numbers, NT status codes,
// header offsets and flags, structure sizes and the engine's limits. Every
// magic number of the protocol engine is named here once.
// Layouts follow MS-SMB2 2.2 (header: 2.2.1.2) and RFC 1002 4.3.
#pragma once

#include <cstdint>

// ---- NetBIOS session service (RFC 1002 4.3) ----
constexpr uint32_t NB_HDR_SIZE = 4;
constexpr uint8_t NB_SESSION_MESSAGE = 0x00;
constexpr uint8_t NB_SESSION_REQUEST = 0x81;
constexpr uint8_t NB_POSITIVE_RESPONSE = 0x82;
constexpr uint8_t NB_KEEPALIVE = 0x85;
constexpr uint32_t NB_LENGTH_MAX = 0xFFFFFF;  // 24-bit length field

// ---- SMB2 header (MS-SMB2 2.2.1.2) ----
constexpr uint32_t SMB2_HDR_SIZE = 64;
constexpr uint32_t SMB2_PROTOCOL_ID = 0x424D53FE;  // 0xFE 'S' 'M' 'B' read little-endian
constexpr uint32_t SMB1_PROTOCOL_ID = 0x424D53FF;  // 0xFF 'S' 'M' 'B'
constexpr uint8_t SMB1_COM_NEGOTIATE = 0x72;
constexpr uint32_t SMB1_COMMAND_OFF = 4;

constexpr uint32_t HDR_PROTOCOL_ID = 0;
constexpr uint32_t HDR_STRUCTURE_SIZE = 4;
constexpr uint32_t HDR_CREDIT_CHARGE = 6;
constexpr uint32_t HDR_STATUS = 8;
constexpr uint32_t HDR_COMMAND = 12;
constexpr uint32_t HDR_CREDITS = 14;
constexpr uint32_t HDR_FLAGS = 16;
constexpr uint32_t HDR_NEXT_COMMAND = 20;
constexpr uint32_t HDR_MESSAGE_ID = 24;
constexpr uint32_t HDR_PROCESS_ID = 32;
constexpr uint32_t HDR_TREE_ID = 36;
constexpr uint32_t HDR_ASYNC_ID = 32;  // async responses: replaces ProcessId and TreeId
constexpr uint32_t HDR_SESSION_ID = 40;
constexpr uint32_t HDR_SIGNATURE = 48;
constexpr uint32_t SIGNATURE_SIZE = 16;

constexpr uint32_t SMB2_FLAGS_SERVER_TO_REDIR = 0x00000001;
constexpr uint32_t SMB2_FLAGS_ASYNC_COMMAND = 0x00000002;
constexpr uint32_t SMB2_FLAGS_RELATED_OPERATIONS = 0x00000004;
constexpr uint32_t SMB2_FLAGS_SIGNED = 0x00000008;

// Related requests of a compound name "the previous one" with all-ones ids.
constexpr uint64_t SMB2_RELATED_SESSION_ID = 0xFFFFFFFFFFFFFFFFULL;
constexpr uint32_t SMB2_RELATED_TREE_ID = 0xFFFFFFFF;
constexpr uint64_t SMB2_RELATED_FILE_ID = 0xFFFFFFFFFFFFFFFFULL;
// SecurityMode bits (MS-SMB2 2.2.3, 2.2.4).
constexpr uint16_t SMB2_NEGOTIATE_SIGNING_ENABLED = 0x0001;
constexpr uint16_t SMB2_NEGOTIATE_SIGNING_REQUIRED = 0x0002;
// FileId.Persistent in a WRITE request body (MS-SMB2 2.2.21).
constexpr uint64_t TW3_WRITE_FID_AT = 16;
// The StructureSize of the requests that act on an open (MS-SMB2 2.2.15,
// 2.2.19, 2.2.21, 2.2.31, 2.2.33, 2.2.37); CHANGE_NOTIFY's is below.
constexpr uint16_t SMB2_CLOSE_REQUEST_SIZE = 24;
constexpr uint16_t SMB2_READ_REQUEST_SIZE = 49;
constexpr uint16_t SMB2_WRITE_REQUEST_SIZE = 49;
constexpr uint16_t SMB2_IOCTL_REQUEST_SIZE = 57;
constexpr uint16_t SMB2_QUERY_DIRECTORY_REQUEST_SIZE = 33;
constexpr uint16_t SMB2_QUERY_INFO_REQUEST_SIZE = 41;

// Compound responses start on 8-byte boundaries (MS-SMB2 3.3.4.1.3).
constexpr uint32_t SMB2_COMPOUND_ALIGN = 8;

// ---- Commands (MS-SMB2 2.2.1.2) ----
enum tw3_command : uint8_t {
  SMB2_NEGOTIATE = 0,
  SMB2_SESSION_SETUP = 1,
  SMB2_LOGOFF = 2,
  SMB2_TREE_CONNECT = 3,
  SMB2_TREE_DISCONNECT = 4,
  SMB2_CREATE = 5,
  SMB2_CLOSE = 6,
  SMB2_FLUSH = 7,
  SMB2_READ = 8,
  SMB2_WRITE = 9,
  SMB2_LOCK = 10,
  SMB2_IOCTL = 11,
  SMB2_CANCEL = 12,
  SMB2_ECHO = 13,
  SMB2_QUERY_DIRECTORY = 14,
  SMB2_CHANGE_NOTIFY = 15,
  SMB2_QUERY_INFO = 16,
  SMB2_SET_INFO = 17,
  SMB2_OPLOCK_BREAK = 18,
  SMB2_COMMAND_COUNT = 19,  // command bytes from here up are unknown
};

// ---- Dialects ----
constexpr uint16_t SMB2_DIALECT_202 = 0x0202;
constexpr uint16_t SMB2_DIALECT_210 = 0x0210;
constexpr uint16_t SMB2_DIALECT_2FF = 0x02FF;
constexpr uint16_t SMB2_DIALECT_300 = 0x0300;
constexpr uint16_t SMB2_DIALECT_302 = 0x0302;
constexpr uint16_t SMB2_DIALECT_310 = 0x0310;
constexpr uint16_t SMB2_DIALECT_311 = 0x0311;

// ---- Transform header (MS-SMB2 2.2.41) and encryption ----
constexpr uint32_t SMB2_TRANSFORM_PROTOCOL_ID = 0x424D53FD;  // 0xFD 'S' 'M' 'B'
constexpr uint32_t TF_HDR_SIZE = 52;
constexpr uint32_t TF_SIGNATURE = 4;       // the AEAD tag, 16 bytes
constexpr uint32_t TF_NONCE = 20;          // 16 bytes: 11 used by CCM, 12 by GCM
constexpr uint32_t TF_NONCE_SIZE = 16;
constexpr uint32_t TF_ORIGINAL_SIZE = 36;
constexpr uint32_t TF_FLAGS = 42;
constexpr uint32_t TF_SESSION_ID = 44;
constexpr uint32_t TF_AAD = TF_NONCE;      // authenticated: Nonce through SessionId
constexpr uint32_t TF_AAD_SIZE = TF_HDR_SIZE - TF_NONCE;
constexpr uint16_t TF_FLAG_ENCRYPTED = 0x0001;
constexpr uint32_t TF_CCM_NONCE_SIZE = 11;
constexpr uint32_t TF_GCM_NONCE_SIZE = 12;
constexpr uint16_t SMB2_CIPHER_NONE = 0;
constexpr uint16_t SMB2_CIPHER_AES128_CCM = 1;
constexpr uint16_t SMB2_CIPHER_AES128_GCM = 2;
constexpr uint16_t SMB2_CIPHER_AES256_CCM = 3;
constexpr uint16_t SMB2_CIPHER_AES256_GCM = 4;
constexpr uint32_t SMB2_GLOBAL_CAP_ENCRYPTION = 0x00000040;
// Not announced: a client would bind further connections to its session,
// which SESSION_SETUP does not offer; FSCTL_QUERY_NETWORK_INTERFACE_INFO is
// answered all the same.
constexpr uint32_t SMB2_GLOBAL_CAP_MULTI_CHANNEL = 0x00000008;
// IOCTL request Flags (MS-SMB2 2.2.31): a file system control, not a device one.
constexpr uint32_t SMB2_0_IOCTL_IS_FSCTL = 0x00000001;
// SigningAlgorithmId values (MS-SMB2 2.2.3.1.7); dialects before 3.1.1 use CMAC.
constexpr uint16_t SMB2_SIGNING_AES_CMAC = 1;
constexpr uint16_t SMB2_SIGNING_AES_GMAC = 2;
constexpr uint32_t SMB2_GUID_SIZE = 16;
constexpr uint8_t SMB2_SESSION_FLAG_BINDING = 0x01;  // SESSION_SETUP request Flags
constexpr uint16_t SMB2_SESSION_FLAG_ENCRYPT_DATA = 0x0004;

// ---- NT status codes (MS-ERREF 2.3) ----
constexpr uint32_t STATUS_SUCCESS = 0x00000000;
// The severity bits of an NTSTATUS that mark an error (MS-ERREF 2.3).
constexpr uint32_t STATUS_SEVERITY_ERROR = 0xC0000000;
constexpr uint32_t STATUS_PENDING = 0x00000103;
constexpr uint32_t STATUS_NOTIFY_CLEANUP = 0x0000010B;
constexpr uint32_t STATUS_NOTIFY_ENUM_DIR = 0x0000010C;
// Truncated data; the engine's traces call it "END_OF_FILE".
constexpr uint32_t STATUS_BUFFER_OVERFLOW = 0x80000005;
constexpr uint32_t STATUS_NO_MORE_FILES = 0x80000006;
constexpr uint32_t STATUS_NO_SUCH_FILE = 0xC000000F;
constexpr uint32_t STATUS_INVALID_INFO_CLASS = 0xC0000003;
constexpr uint32_t STATUS_INFO_LENGTH_MISMATCH = 0xC0000004;
constexpr uint32_t STATUS_INVALID_HANDLE = 0xC0000008;
constexpr uint32_t STATUS_INVALID_PARAMETER = 0xC000000D;
constexpr uint32_t STATUS_END_OF_FILE = 0xC0000011;
constexpr uint32_t STATUS_MORE_PROCESSING_REQUIRED = 0xC0000016;
constexpr uint32_t STATUS_ACCESS_DENIED = 0xC0000022;
constexpr uint32_t STATUS_BUFFER_TOO_SMALL = 0xC0000023;
constexpr uint32_t STATUS_OBJECT_NAME_INVALID = 0xC0000033;
constexpr uint32_t STATUS_OBJECT_NAME_NOT_FOUND = 0xC0000034;
constexpr uint32_t STATUS_OBJECT_PATH_NOT_FOUND = 0xC000003A;
// Every failed or refused logon: the code Windows gives for a wrong password,
// which lets a client ask for it again (never NO_SUCH_USER, 0xC0000064).
constexpr uint32_t STATUS_LOGON_FAILURE = 0xC000006D;
constexpr uint32_t STATUS_INSUFFICIENT_RESOURCES = 0xC000009A;
constexpr uint32_t STATUS_PIPE_BUSY = 0xC00000AE;
constexpr uint32_t STATUS_FILE_IS_A_DIRECTORY = 0xC00000BA;
constexpr uint32_t STATUS_NOT_SUPPORTED = 0xC00000BB;
constexpr uint32_t STATUS_REQUEST_NOT_ACCEPTED = 0xC00000D0;
constexpr uint32_t STATUS_NOT_A_DIRECTORY = 0xC0000103;
constexpr uint32_t STATUS_USER_SESSION_DELETED = 0xC0000203;
constexpr uint32_t STATUS_NETWORK_NAME_DELETED = 0xC00000C9;
constexpr uint32_t STATUS_BAD_NETWORK_NAME = 0xC00000CC;
constexpr uint32_t STATUS_CANCELLED = 0xC0000120;
constexpr uint32_t STATUS_UNSUCCESSFUL = 0xC0000001;
constexpr uint32_t STATUS_INVALID_OPLOCK_PROTOCOL = 0xC00000E3;
constexpr uint32_t STATUS_FILE_CLOSED = 0xC0000128;
constexpr uint32_t STATUS_INVALID_DEVICE_STATE = 0xC0000184;

// ---- Credits (MS-SMB2 3.1.5.2, 3.3.1.1) ----
// MessageIds a client may hold at once: the top of the max_credits option.
constexpr uint64_t TW3_CREDIT_WINDOW = 8192;
// Payload bytes one credit pays for.
constexpr uint64_t SMB2_CREDIT_PAYLOAD = 65536;

// ---- Oplocks and leases (MS-SMB2 2.2.13, 2.2.13.2.8, 2.2.23) ----
constexpr uint8_t SMB2_OPLOCK_LEVEL_NONE = 0x00;
constexpr uint8_t SMB2_OPLOCK_LEVEL_II = 0x01;
constexpr uint8_t SMB2_OPLOCK_LEVEL_EXCLUSIVE = 0x08;
constexpr uint8_t SMB2_OPLOCK_LEVEL_BATCH = 0x09;
constexpr uint8_t SMB2_OPLOCK_LEVEL_LEASE = 0xFF;
constexpr uint32_t SMB2_LEASE_READ_CACHING = 0x01;
constexpr uint32_t SMB2_LEASE_HANDLE_CACHING = 0x02;
constexpr uint32_t SMB2_LEASE_WRITE_CACHING = 0x04;
constexpr uint32_t SMB2_LEASE_FLAG_BREAK_IN_PROGRESS = 0x02;
constexpr uint32_t SMB2_LEASE_FLAG_PARENT_LEASE_KEY_SET = 0x04;
constexpr uint32_t SMB2_NOTIFY_BREAK_LEASE_FLAG_ACK_REQUIRED = 0x01;
constexpr uint64_t SMB2_NOTIFICATION_MESSAGE_ID = 0xFFFFFFFFFFFFFFFFULL;
constexpr uint32_t SMB2_LEASE_KEY_SIZE = 16;
// How often a waiting connection compares the files it let clients cache
// with the host.
constexpr uint64_t TW3_CACHING_POLL_MS = 1000;

// ---- CHANGE_NOTIFY (MS-SMB2 2.2.35, 2.2.36; MS-FSCC 2.7.1, 2.4.42) ----
constexpr uint16_t SMB2_CHANGE_NOTIFY_REQUEST_SIZE = 32;
constexpr uint16_t SMB2_CHANGE_NOTIFY_RESPONSE_SIZE = 9;
constexpr uint16_t SMB2_WATCH_TREE = 0x0001;
constexpr uint32_t FILE_NOTIFY_CHANGE_FILE_NAME = 0x001;
constexpr uint32_t FILE_NOTIFY_CHANGE_DIR_NAME = 0x002;
constexpr uint32_t FILE_NOTIFY_CHANGE_ATTRIBUTES = 0x004;
constexpr uint32_t FILE_NOTIFY_CHANGE_SIZE = 0x008;
constexpr uint32_t FILE_NOTIFY_CHANGE_LAST_WRITE = 0x010;
constexpr uint32_t FILE_NOTIFY_CHANGE_LAST_ACCESS = 0x020;
constexpr uint32_t FILE_NOTIFY_CHANGE_CREATION = 0x040;
constexpr uint32_t FILE_NOTIFY_CHANGE_SECURITY = 0x100;
constexpr uint32_t FILE_NOTIFY_INFORMATION_FIXED = 12;  // NextEntryOffset, Action, FileNameLength
constexpr uint32_t FILE_NOTIFY_ALIGN = 4;
// Changes kept on one watched handle between requests; more than this are
// answered NOTIFY_ENUM_DIR (the client lists the folder again).
constexpr size_t TW3_NOTIFY_KEEP = 256;
// Host events taken from one watch per poll.
constexpr int TW3_NOTIFY_READ_BATCH = 64;

// ---- Engine limits ----
constexpr uint64_t TW3_RX_INITIAL = 16384;           // receive buffer of an idle connection
constexpr uint64_t TW3_RX_SLACK = 16;                // extra bytes when it grows
// A receive buffer grown past this for one message goes back to its
// initial size afterwards.
constexpr uint64_t TW3_RX_KEEP_MAX = 262144;
// Before logon no legitimate message comes near this: a SESSION_SETUP with
// a large token is a few KiB.
constexpr uint64_t TW3_PRELOGON_MESSAGE_MAX = 65536;
constexpr uint64_t TW3_LOGON_DEADLINE_MS = 10000;   // from accept to a completed logon
// Each message must arrive within io_timeout_ms plus its length at this
// rate (bytes per second): the slowest link still served.
constexpr uint64_t TW3_RECV_MIN_RATE = 65536;
constexpr uint64_t TW3_MESSAGE_HARD_MAX = 4194304;   // no message above 4 MiB, whatever max_message says
constexpr uint32_t TW3_IO_WAIT_MS = 100;             // every read waits at most this long
constexpr int TW3_ZERO_READ_STRIKES = 3;             // empty reads that end one header or body
constexpr uint32_t TW3_NB_DISCARD_CHUNK = 512;       // session-request bytes read per call
constexpr int TW3_MAX_COMPOUND = 64;                 // requests handled per message
// One reply message holds at most this many MaxReadSize payloads, plus the
// headroom for the small responses beside them.
constexpr uint64_t TW3_REPLY_READS_MAX = 2;
constexpr uint64_t TW3_REPLY_HEADROOM = 65536;
constexpr uint16_t TW3_MAX_CREDIT_GRANT = 8192;      // credits granted per response (as asked, within max_credits)
constexpr uint32_t TW3_PIPE_INPUT_MAX = 16384;       // one DCE/RPC PDU in, by IOCTL or WRITE
// The stub of one DCE/RPC request gathered from its fragments; a call that
// would need more is refused (every request served is far smaller).
constexpr uint64_t TW3_RPC_STUB_MAX = 65536;
// Pipe answers waiting to be read on one open: room for two of the largest
// share enumerations (257 shares with 80-character names at level 502, cut
// into the smallest fragments, about 92 KiB).
constexpr uint64_t TW3_PIPE_PENDING_MAX = 196608;

// ---- Trace limits ----
constexpr uint64_t TW3_TRACE_IN_BYTES = 4096;     // bytes of an incoming message traced
constexpr uint64_t TW3_TRACE_REPLY_BYTES = 200;   // bytes of a reply traced
constexpr uint64_t TW3_TRACE_SEND_BYTES = 600;    // bytes of a sent message in the hex trace

// ---- Bodies shared by several commands ----
constexpr uint16_t TW3_EMPTY_BODY_SIZE = 4;  // StructureSize of the 4-byte bodies

// SMB2 ERROR response body (MS-SMB2 2.2.2): StructureSize 9, ErrorContextCount
// (0 without contexts), Reserved, ByteCount 0 and the one ErrorData byte a
// zero ByteCount still requires. Analysers and the Linux client reject an
// error response without it.
constexpr uint16_t SMB2_ERROR_STRUCTURE_SIZE = 9;
constexpr uint32_t SMB2_ERROR_BODY_SIZE = 9;
constexpr uint32_t SMB2_ERROR_CONTEXT_HEADER_SIZE = 8;  // ErrorDataLength, ErrorId (2.2.2.1)
