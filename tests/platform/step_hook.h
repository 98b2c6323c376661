// Runs a test's action at one step of the file layer (g_fs_step_hook), once,
// for one name (an empty name: the first at that step), so a test can swap that name between a check and its use.
// Shared by the platform, fs and engine tests.
#pragma once

#include <functional>
#include <string>

#include "platform/platform.h"

class step_hook {
 public:
  step_hook(tw3_fs_step step, std::string name, std::function<void()> action) {
    state() = {step, std::move(name), std::move(action), false};
    g_fs_step_hook = &trampoline;
  }
  step_hook(const step_hook&) = delete;
  step_hook& operator=(const step_hook&) = delete;
  ~step_hook() {
    g_fs_step_hook = nullptr;
    state() = {};
  }
  bool fired() const { return state().fired; }

 private:
  struct armed {
    tw3_fs_step step = TW3_FS_STEP_LOOKUP;
    std::string name;
    std::function<void()> action;
    bool fired = false;
  };
  static armed& state() {
    static armed a;
    return a;
  }
  static void trampoline(tw3_fs_step step, const char* name) {
    armed& a = state();
    if (a.fired || step != a.step || (!a.name.empty() && a.name != name)) return;
    a.fired = true;  // before the action, which may call the file layer again
    a.action();
  }
};
