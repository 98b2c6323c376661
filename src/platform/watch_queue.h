// The events a folder watcher has taken from the host and not yet handed
// out, shared by both hosts' watchers: bounded, with one overflow event
// standing for whatever did not fit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

using tw3_watch_queue = std::vector<tw3_watch_event>;

// Queues one event; a name that does not fit an event is left out, and past
// the bound one overflow event says that changes were lost. May throw
// std::bad_alloc.
void tw3_watch_queue_push(tw3_watch_queue* q, uint32_t action, uint32_t touched, bool is_dir,
                          const std::string& name);
// Out of memory while queueing: what was lost becomes one overflow event.
void tw3_watch_queue_lost(tw3_watch_queue* q);
// Moves at most max events to out; the number moved.
int tw3_watch_queue_take(tw3_watch_queue* q, tw3_watch_event* out, int max);
