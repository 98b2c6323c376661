// Share-rooted resolution and listing: the one crossing from a share name and
// a virtual path to a host object, which can never lie outside the share.
#pragma once

#include <cstdint>
#include <string>
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
  const char* name;      // the name clients see (tw3_name_to_client); owned by the listing
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
// canonical path outside the share. vpath is in the client's spelling (see
// tw3_name_to_host). Unless case_sensitive, a component that does not exist
// as spelled is looked for without regard to ASCII case
// (tw3_name_index_find).
int tw3_vfs_resolve(const char* share_name, const char* vpath, tw3_vres* out, bool case_sensitive = true);
// The status of entry `name` of the enumeration d of folder dir_path (a
// share's folder) into everything of *e but its name: from d's handle, and
// for a link from its target when that lies inside the share. False when
// the entry is not to be listed (gone, a device, a link leading out of the
// share or nowhere).
bool tw3_vfs_entry_status(const tw3_share& share, tw3_dir* d, std::string_view dir_path, const char* name,
                          tw3_vent* e);

// The entries "." and ".." of the share folder dir (a canonical path inside
// the share): the folder's status now, and its parent's; the share root has
// no parent a client may see, so its ".." describes the root itself. False
// when the folder cannot be read.
bool tw3_vfs_dot_entries(const tw3_share& share, const char* dir, tw3_vent* dot, tw3_vent* dotdot);

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

// ---- Names as clients see them (name_map.cpp) ----
// A host name of one component as clients see it: on a POSIX host the
// control characters U+0001-U+001F become U+F001-U+F01F, the characters
// " * : < > ? \ | become U+F020-U+F027 and a final space or period U+F028 or
// U+F029; under Windows rules the name is unchanged. False (the name is
// hidden: not listed, not openable) when the host name holds a character of
// U+F001-U+F029 itself (it would read back as another name), or the result
// breaks tw3_component_ok (or, under Windows rules, tw3_win_component_ok).
bool tw3_name_to_client(std::string_view host, const tw3_name_rules& rules, std::string* out);
// The reverse: the host name a client's component stands for. U+F028 and
// U+F029 stand for a space and a period only at the end of the name; the
// reserved characters sent as themselves pass unchanged. False when the
// result is empty or would be hidden by tw3_name_to_client.
bool tw3_name_to_host(std::string_view client, const tw3_name_rules& rules, std::string* out);
// A virtual path ('/'-separated, client spelling), component by component.
bool tw3_path_to_host(std::string_view vpath, const tw3_name_rules& rules, std::string* out);
// A host path relative to a share root, components separated by sep, as
// clients see it: '\'-separated. False when a component is hidden.
bool tw3_path_to_client(std::string_view rel, char sep, const tw3_name_rules& rules, std::string* out);

// ---- Case-insensitive lookup (name_index.cpp) ----
// The host name of the first entry, in listing order, of the folder dir (a
// canonical host path; dir_st its status) that equals host_name without
// regard to ASCII case; hidden names are never found. Each state of a folder
// (path, change time, size, identity) is indexed in one pass and shared by
// every thread; the cache holds at most 64 folders and 64 MiB, least
// recently used first out. False when nothing matches.
bool tw3_name_index_find(const char* dir, const tw3_stat& dir_st, std::string_view host_name,
                         const tw3_name_rules& rules, std::string* out);
// Empties the cache (tests).
void tw3_name_index_reset();
struct tw3_name_index_usage {
  int folders;
  uint64_t bytes;
};
tw3_name_index_usage tw3_name_index_usage_get();
