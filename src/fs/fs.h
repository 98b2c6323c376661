// Share-rooted resolution and listing: the one crossing from a share name and
// a virtual path to a host object, which can never lie outside the share.
#pragma once

#include <cstdint>
#include <string_view>

#include "config/config.h"
#include "platform/platform.h"

constexpr int TW3_LOCAL_PATH_MAX = 2050;  // bytes, terminator included
constexpr int TW3_LIST_MAX = 100000;      // entries of one listing

enum tw3_vres_kind : int32_t {
  TW3_VRES_NONE = 0,
  TW3_VRES_DIR = 1,
  TW3_VRES_FILE = 2,
  TW3_VRES_IPC = 3,
};

struct tw3_vres {
  int32_t kind;                          // tw3_vres_kind
  char local_path[TW3_LOCAL_PATH_MAX];   // canonical host path
  tw3_share share;                       // the share as found
  tw3_stat st;                           // status, following links
};

// One entry of a listing as it is handed out (fs/listing.h).
struct tw3_vent {
  const char* name;      // UTF-8, <= 255 bytes, no CR/LF; owned by the listing
  int32_t kind;          // 0 file, 1 directory, 2 link inside the share
  int32_t target_kind;   // 0 file, 1 directory
  uint64_t size;
  int64_t mtime;
  int64_t atime;
  int64_t btime;
  uint64_t volume_serial;
  uint64_t file_index;
};

// 0, or -1 with "The file cannot be found.". Counts path_refused for a
// canonical path outside the share.
int tw3_vfs_resolve(const char* share_name, const char* vpath, tw3_vres* out);
// Whether a name may be listed at all: at most 255 bytes, no CR or LF.
bool tw3_vfs_name_listable(std::string_view name);
// The status of entry `name` of the enumeration d of folder dir_path (a
// share's folder) into everything of *e but its name: from d's handle, and
// for a link from its target when that lies inside the share. False when
// the entry is not to be listed (gone, a device, a link leading out of the
// share or nowhere).
bool tw3_vfs_entry_status(const tw3_share& share, tw3_dir* d, std::string_view dir_path, const char* name,
                          tw3_vent* e);

// ---- The host's naming rules (host_names.cpp) ----
struct tw3_name_rules {
  char sep;      // the host's path separator
  bool windows;  // Windows names: no case, no streams, no device names
};
// The rules of the host this runs on.
tw3_name_rules tw3_host_name_rules();
// One Windows name component: false for a ':' (a stream) or another byte no
// Windows name holds, a reserved device name (CON, PRN, AUX, NUL, CONIN$,
// CONOUT$, COM0-9, LPT0-9, with or without an extension), or a final dot or
// space (which Win32 strips, opening another file).
bool tw3_win_component_ok(std::string_view component);
// Whether a virtual path (already through tw3_vpath) may be asked of the
// host: under Windows rules every component passes tw3_win_component_ok.
bool tw3_vpath_host_ok(std::string_view vpath, const tw3_name_rules& rules);
// Containment of a canonical host path in a share's canonical root, by
// whole components: "C:\media" holds "C:\media\x", not "C:\media2"; a
// root ending in the separator (a drive root) holds everything below it; a
// single-file root holds only itself. Under Windows rules ASCII case is
// ignored ("C:\Share" holds "c:\share\a"); other letters must match.
bool tw3_path_inside(std::string_view path, std::string_view root, bool single_file,
                     const tw3_name_rules& rules);
