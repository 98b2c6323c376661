// NetrServerGetInfo (MS-SRVS 3.1.4.17) at levels 100, 101 and 102
// (SERVER_INFO_100, _101, _102: MS-SRVS 2.2.4.40, 2.2.4.41, 2.2.4.42): the
// server's name as NTLM announces it, an NT server of version 10.0, and of
// level 102's settings those this server has (how many clients, when an idle
// one is dropped); the rest zero or empty. And NetrRemoteTOD (MS-SRVS
// 3.1.4.21, TIME_OF_DAY_INFO: MS-SRVS 2.2.4.105).
#include "auth/auth.h"
#include "config/config.h"
#include "platform/platform.h"
#include "smb/files.h"

namespace {

constexpr uint32_t kLevelName = 100;      // SERVER_INFO_100
constexpr uint32_t kLevelVersion = 101;   // SERVER_INFO_101
constexpr uint32_t kLevelSettings = 102;  // SERVER_INFO_102
constexpr uint32_t kRefServerInfo = 0x00020000;
constexpr uint32_t kRefName = 0x00020004;
constexpr uint32_t kRefComment = 0x00020008;
constexpr uint32_t kRefUserPath = 0x0002000C;

constexpr uint32_t kPlatformIdNt = 500;  // PLATFORM_ID_NT
constexpr uint32_t kVersionMajor = 10;
constexpr uint32_t kVersionMinor = 0;
// SV_TYPE_WORKSTATION | SV_TYPE_SERVER | SV_TYPE_NT | SV_TYPE_SERVER_NT: what
// a Windows file server announces.
constexpr uint32_t kServerType = 0x00000001 | 0x00000002 | 0x00001000 | 0x00008000;
constexpr int64_t kMsPerMinute = 60000;
constexpr uint32_t kRefTimeOfDay = 0x00020000;
constexpr uint32_t kTimezoneUtc = 0;       // tod_timezone: minutes west of UTC
constexpr uint32_t kClockTickUnits = 310;  // tod_tinterval: 31 ms in 0.0001 s, as Windows says

}  // namespace

bool srvsvc_server_get_info(std::span<const uint8_t> args, tw3_buf* out) {
  tw3_rd rd{args.data(), args.size(), 0, 0};
  ndr_skip_server_name(&rd);
  const uint32_t level = rd_u32(&rd);
  if (rd.bad) return false;
  w32(out, level);  // union discriminant
  if (level != kLevelName && level != kLevelVersion && level != kLevelSettings) {
    ndr_put_no_info(out, TW3_ERROR_INVALID_LEVEL);
    return true;
  }
  tw3_opts opts{};
  tw3_opts_get(&opts);
  w32(out, kRefServerInfo);
  w32(out, kPlatformIdNt);
  w32(out, kRefName);
  if (level >= kLevelVersion) {
    w32(out, kVersionMajor);
    w32(out, kVersionMinor);
    w32(out, kServerType);
    w32(out, kRefComment);
  }
  if (level == kLevelSettings) {
    w32(out, uint32_t(opts.max_clients));  // sv102_users
    // sv102_disc: minutes an idle session lasts, rounded up.
    w32(out, uint32_t((opts.idle_timeout_ms + kMsPerMinute - 1) / kMsPerMinute));
    w32(out, 0);  // sv102_hidden: visible
    w32(out, 0);  // sv102_announce: no browser announcements
    w32(out, 0);  // sv102_anndelta
    w32(out, 0);  // sv102_licenses
    w32(out, kRefUserPath);
  }
  ndr_put_string(out, opts.server_name[0] != 0 ? opts.server_name : TW3_DEFAULT_SERVER_NAME);
  if (level >= kLevelVersion) ndr_put_string(out, "");  // comment
  if (level == kLevelSettings) ndr_put_string(out, "");  // user path
  w32(out, 0);  // return value: success
  return true;
}

bool srvsvc_remote_tod(std::span<const uint8_t> args, tw3_buf* out) {
  tw3_rd rd{args.data(), args.size(), 0, 0};
  ndr_skip_server_name(&rd);
  if (rd.bad) return false;
  tw3_opts opts{};
  tw3_opts_get(&opts);
  const int64_t now = opts.clock != 0 ? opts.clock : tw3_unix_now();
  const tw3_civil t = tw3_civil_time(now);
  w32(out, kRefTimeOfDay);
  w32(out, uint32_t(now));             // tod_elapsedt: seconds since 1970
  w32(out, uint32_t(tw3_now_ms()));    // tod_msecs: a millisecond tick
  w32(out, uint32_t(t.hour));
  w32(out, uint32_t(t.minute));
  w32(out, uint32_t(t.second));
  w32(out, 0);                         // tod_hunds: whole seconds only
  w32(out, kTimezoneUtc);
  w32(out, kClockTickUnits);
  w32(out, uint32_t(t.day));
  w32(out, uint32_t(t.month));
  w32(out, uint32_t(t.year));
  w32(out, uint32_t(t.weekday));
  w32(out, 0);  // return value: success
  return true;
}
