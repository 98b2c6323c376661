// Share-rooted resolution and listing: the one crossing from a share name and
// a virtual path to a host object, which can never lie outside the share.
#pragma once

#include <cstdint>

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

struct tw3_vent {
  char* name;            // heap copy, UTF-8, <= 255 bytes, no CR/LF
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
// 0 with a sorted array (possibly null when empty), or -1 with "Not a
// directory." / "The file cannot be found." and an empty array.
int tw3_vfs_list(const tw3_vres* dir, tw3_vent** out, int* count);
void tw3_vfs_free(tw3_vent* entries, int count);
