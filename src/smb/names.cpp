// Names of commands, statuses and received messages, used by the traces and
// the simulator's transcript.
#include <array>

#include "smb/smb.h"

namespace {

struct status_name {
  uint32_t code;
  const char* name;
};

// Printed exactly so, also where a name differs from the standard's.
constexpr std::array<status_name, 24> kStatusNames{{
    {STATUS_SUCCESS, "SUCCESS"},
    {STATUS_PENDING, "PENDING"},
    {STATUS_NOTIFY_CLEANUP, "NOTIFY_CLEANUP"},
    {STATUS_NOTIFY_ENUM_DIR, "NOTIFY_ENUM_DIR"},
    {STATUS_BUFFER_OVERFLOW, "END_OF_FILE"},
    {STATUS_NO_MORE_FILES, "NO_MORE_FILES"},
    {STATUS_NO_SUCH_FILE, "NO_SUCH_FILE"},
    {STATUS_INVALID_INFO_CLASS, "INVALID_INFO_CLASS"},
    {STATUS_INVALID_PARAMETER, "INVALID_PARAMETER"},
    {STATUS_END_OF_FILE, "END_OF_FILE"},  // READ past the end
    {STATUS_MORE_PROCESSING_REQUIRED, "MORE_PROCESSING_REQUIRED"},
    {STATUS_ACCESS_DENIED, "ACCESS_DENIED"},
    {STATUS_BUFFER_TOO_SMALL, "BUFFER_TOO_SMALL"},
    {STATUS_OBJECT_NAME_INVALID, "OBJECT_NAME_INVALID"},
    {STATUS_OBJECT_NAME_NOT_FOUND, "OBJECT_NOT_FOUND"},
    {STATUS_OBJECT_PATH_NOT_FOUND, "OBJECT_PATH_NOT_FOUND"},
    {STATUS_LOGON_FAILURE, "LOGON_FAILURE"},
    {STATUS_NOT_SUPPORTED, "NOT_SUPPORTED"},
    {STATUS_REQUEST_NOT_ACCEPTED, "REQUEST_NOT_ACCEPTED"},
    {STATUS_NOT_A_DIRECTORY, "NOT_A_DIRECTORY"},
    {STATUS_USER_SESSION_DELETED, "USER_SESSION_DELETED"},
    {STATUS_NETWORK_NAME_DELETED, "NETWORK_NAME_DELETED"},
    {STATUS_BAD_NETWORK_NAME, "BAD_NETWORK_NAME"},
    {STATUS_CANCELLED, "CANCELLED"},
}};

constexpr std::array<const char*, SMB2_COMMAND_COUNT> kCommandNames{
    "NEGOTIATE", "SESSION_SETUP", "LOGOFF", "TREE_CONNECT", "TREE_DISCONNECT",
    "CREATE",    "CLOSE",         "FLUSH",  "READ",         "WRITE",
    "LOCK",      "IOCTL",         "CANCEL", "ECHO",         "QUERY_DIRECTORY",
    "CHANGE_NOTIFY", "QUERY_INFO", "SET_INFO", "OPLOCK_BREAK",
};

}  // namespace

const char* tw3_cmd_name(uint8_t command) {
  return command < kCommandNames.size() ? kCommandNames[command] : "?";
}

const char* tw3_status_name(uint32_t status) {
  for (const auto& s : kStatusNames) {
    if (s.code == status) return s.name;
  }
  return "STATUS?";
}

const char* tw3_frame_name(const uint8_t* bytes, uint64_t len) {
  if (bytes == nullptr || len < 4) return "?";
  if (le32(bytes) == SMB1_PROTOCOL_ID) {
    if (len == 4) return "SMB1";
    return bytes[SMB1_COMMAND_OFF] == SMB1_COM_NEGOTIATE ? "SMB1_NEGOTIATE" : "SMB1";
  }
  // A transform's command byte lies inside its tag: it names nothing.
  if (le32(bytes) == SMB2_TRANSFORM_PROTOCOL_ID) return "TRANSFORM";
  if (len < SMB2_HDR_SIZE) return "?";
  return tw3_cmd_name(bytes[HDR_COMMAND]);
}
