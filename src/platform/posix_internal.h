// Helpers shared by the POSIX files of this layer only; nothing outside
// src/platform includes this.
#pragma once

// Opens a valid UTF-8 path without following a symbolic link anywhere on it
// (openat2 RESOLVE_NO_SYMLINKS, or a walk one component at a time). A file
// descriptor, or -1.
int tw3_posix_open_nofollow(const char* path, int flags);

// Has every thread allocate from the main heap (glibc: one arena) with fixed
// mmap and trim thresholds (2.25 MiB, 4.5 MiB); once per process, before the
// first thread of this layer starts.
void tw3_posix_tune_heap();
