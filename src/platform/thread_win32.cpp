// Threads and sleep on Windows. The standard mutex of the posix thread
// model is the plain exclusive lock (platform.h).
#include <process.h>

#include <new>

#include "platform/platform.h"
#include "platform/win32.h"

struct tw3_thread {
  HANDLE h;
  void (*fn)(void*);
  void* arg;
};

static unsigned __stdcall thr_tramp(void* p) {
  auto* t = static_cast<tw3_thread*>(p);
  t->fn(t->arg);
  return 0;
}

tw3_thread* tw3_thread_start(void (*fn)(void*), void* arg, size_t stack_size) {
  auto* t = new (std::nothrow) tw3_thread{};
  if (!t) return nullptr;
  t->fn = fn;
  t->arg = arg;
  const unsigned stack = stack_size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<unsigned>(stack_size);
  // The size reserves the stack, as on POSIX hosts, instead of committing it.
  const uintptr_t h = _beginthreadex(nullptr, stack, thr_tramp, t,
                                     stack != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
  if (h == 0) {
    delete t;
    return nullptr;
  }
  t->h = reinterpret_cast<HANDLE>(h);
  return t;
}

void tw3_thread_join(tw3_thread* t) {
  if (!t) return;
  WaitForSingleObject(t->h, INFINITE);
  CloseHandle(t->h);
  delete t;
}

void tw3_sleep_ms(uint32_t ms) { Sleep(ms); }
