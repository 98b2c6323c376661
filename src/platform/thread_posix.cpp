// Threads and sleep on POSIX hosts.
#include <pthread.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform/platform.h"
#include "platform/posix_internal.h"

struct tw3_thread {
  pthread_t id;
  void (*fn)(void*);
  void* arg;
  void* stack;  // our own mapping, unmapped after the join; null: the library's
  size_t stack_len;
};

namespace {

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer keeps its large per-thread state in the static TLS that
// sits at the top of a thread's stack, and makes room for it only in stacks
// the library allocates.
constexpr bool kOwnStacks = false;
#else
constexpr bool kOwnStacks = true;
#endif

void* thr_tramp(void* p) {
  auto* t = static_cast<tw3_thread*>(p);
  t->fn(t->arg);
  return nullptr;
}

// A stack this layer maps itself, with a guard page below it. The C library
// keeps the stacks of joined threads cached with every page they touched
// still resident (up to 40 MiB), so a server that has seen many connections
// would idle well above its cold size; a stack we map is gone at the join.
bool map_stack(tw3_thread* t, pthread_attr_t* attr, size_t stack_size) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t usable = (stack_size + page - 1) / page * page;
  void* base = mmap(nullptr, usable + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (base == MAP_FAILED) return false;
  if (mprotect(base, page, PROT_NONE) != 0 ||
      pthread_attr_setstack(attr, static_cast<char*>(base) + page, usable) != 0) {
    munmap(base, usable + page);
    return false;
  }
  t->stack = base;
  t->stack_len = usable + page;
  return true;
}

// Creates t's thread, on a stack of our own when `own`, else on the
// library's of that size. A stack we map holds the thread's static TLS too,
// as the library's does; when the library refuses it (a host whose TLS
// leaves too little room), the library's is tried. pthread_create's result.
int create(tw3_thread* t, size_t stack_size, bool own) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return EAGAIN;
  const bool mapped = own && stack_size && map_stack(t, &attr, stack_size);
  if (!mapped && stack_size) pthread_attr_setstacksize(&attr, stack_size);
  const int rc = pthread_create(&t->id, &attr, thr_tramp, t);
  pthread_attr_destroy(&attr);
  if (rc == 0 || !mapped) return rc;
  munmap(t->stack, t->stack_len);
  t->stack = nullptr;
  return create(t, stack_size, false);
}

}  // namespace

tw3_thread* tw3_thread_start(void (*fn)(void*), void* arg, size_t stack_size) {
  auto* t = new (std::nothrow) tw3_thread{};
  if (!t) return nullptr;
  t->fn = fn;
  t->arg = arg;
  tw3_posix_tune_heap();
  if (create(t, stack_size, kOwnStacks) != 0) {
    delete t;
    return nullptr;
  }
  return t;
}

void tw3_thread_join(tw3_thread* t) {
  if (!t) return;
  pthread_join(t->id, nullptr);
  if (t->stack) munmap(t->stack, t->stack_len);
  delete t;
}

void tw3_sleep_ms(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}
