// The bounded queue of a folder watcher's events (both hosts).
#include "platform/watch_queue.h"

#include <algorithm>
#include <cstring>

namespace {

// Events held between reads; past this the rest is lost and one overflow
// event says so.
constexpr size_t kReadyMax = 4096;

}  // namespace

void tw3_watch_queue_push(tw3_watch_queue* q, uint32_t action, uint32_t touched, bool is_dir,
                          const std::string& name) {
  tw3_watch_event e{};
  if (name.size() >= sizeof e.name) return;
  if (q->size() >= kReadyMax) {
    if (q->back().action == TW3_WATCH_OVERFLOW) return;
    action = TW3_WATCH_OVERFLOW;
  }
  e.action = action;
  e.touched = touched;
  e.is_dir = is_dir ? 1 : 0;
  std::memcpy(e.name, name.data(), name.size());
  q->push_back(e);
}

void tw3_watch_queue_lost(tw3_watch_queue* q) {
  q->clear();
  tw3_watch_event e{};
  e.action = TW3_WATCH_OVERFLOW;
  try {
    q->push_back(e);  // clear() kept the capacity: this fails only if there was none
  } catch (...) {
  }
}

int tw3_watch_queue_take(tw3_watch_queue* q, tw3_watch_event* out, int max) {
  const size_t n = std::min(q->size(), size_t(max));
  std::copy(q->begin(), q->begin() + long(n), out);
  q->erase(q->begin(), q->begin() + long(n));
  return int(n);
}
