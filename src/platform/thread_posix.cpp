// Threads and sleep on POSIX hosts.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <new>

#include "platform/platform.h"

struct tw3_thread {
  pthread_t id;
  void (*fn)(void*);
  void* arg;
};

static void* thr_tramp(void* p) {
  auto* t = static_cast<tw3_thread*>(p);
  t->fn(t->arg);
  return nullptr;
}

tw3_thread* tw3_thread_start(void (*fn)(void*), void* arg, size_t stack_size) {
  auto* t = new (std::nothrow) tw3_thread{};
  if (!t) return nullptr;
  t->fn = fn;
  t->arg = arg;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    delete t;
    return nullptr;
  }
  if (stack_size) pthread_attr_setstacksize(&attr, stack_size);
  int rc = pthread_create(&t->id, &attr, thr_tramp, t);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete t;
    return nullptr;
  }
  return t;
}

void tw3_thread_join(tw3_thread* t) {
  if (!t) return;
  pthread_join(t->id, nullptr);
  delete t;
}

void tw3_sleep_ms(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}
