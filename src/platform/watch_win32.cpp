// Folder change notifications on Windows. Not built yet: a watcher cannot be
// had, so CHANGE_NOTIFY answers as when the host's watch limit is reached
// and clients fall back to refreshing on their own. The ReadDirectoryChangesW
// twin of watch_posix.cpp goes here.
#include "platform/platform.h"

tw3_watch* tw3_watch_open() { return nullptr; }

int tw3_watch_add(tw3_watch*, const char*, const char*) { return -1; }

int32_t tw3_watch_count(const tw3_watch*) { return 0; }

int tw3_watch_read(tw3_watch*, tw3_watch_event*, int, int) { return -1; }

void tw3_watch_close(tw3_watch*) {}
