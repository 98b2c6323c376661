// The process-wide event sink.
#include "util/event.h"

#include <atomic>

namespace {
std::atomic<tw3_event_sink> g_sink{nullptr};
}  // namespace

void tw3_event_set_sink(tw3_event_sink sink) { g_sink.store(sink, std::memory_order_release); }

int tw3_event_on() { return g_sink.load(std::memory_order_acquire) != nullptr ? 1 : 0; }

void tw3_event_emit(const tw3_event* ev) {
  tw3_event_sink sink = g_sink.load(std::memory_order_acquire);
  if (sink != nullptr && ev != nullptr) sink(ev);
}
