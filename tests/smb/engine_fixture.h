// A connection record wired to a scripted transport, for driving frame_in
// and the reply helpers directly.
#pragma once

#include <gtest/gtest.h>

#include "common/smb_frames.h"
#include "config/config.h"
#include "smb/session_sim.h"
#include "smb/smb.h"

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    io_ = sio_.io();
    c_.io = &io_;
    c_.io_ctx = io_.ctx;
    tw3_opts_get(&c_.opts);
    tw3_conn_join_client(&c_);
  }
  // As if earlier answers had granted ids 0..127 and none were used yet, so
  // a test picks any ids below 128 for each message and still sees grants.
  void open_window() {
    c_.seq_low = 0;
    c_.seq_top = kTestIdsGranted - 1;
    for (uint64_t& w : c_.seq_used) w = 0;
  }
  void TearDown() override {
    tw3_conn_leave(&c_);
    tw3_buf_free(&r_.b);
  }
  // A session and one live tree, as SESSION_SETUP and TREE_CONNECT leave
  // them, for requests checked for both before their handler runs.
  static constexpr uint64_t kSession = 0x0000400000000001ULL;
  static constexpr uint32_t kTree = 1;
  void give_session_and_tree() {
    sim_session(&c_, kSession);
    auto* t = new tw3_tree{};
    t->tree_id = kTree;
    t->session_id = kSession;
    t->next = c_.cl->tree_list;
    c_.cl->tree_list = t;
  }
  // Runs frame_in over an exact-size copy of msg; the reply stays in r_.
  // Unless keep_window_ is set, the message meets a freshly opened window.
  int run(const tw3test::bytes& msg) {
    if (!keep_window_) open_window();
    tw3_buf_free(&r_.b);
    r_ = tw3_reply{};
    auto copy = tw3test::exact_copy(msg);
    int have = -1;
    frame_in(&c_, tw3_msg{copy.get(), msg.size(), 0, 0}, &r_, &have);
    return have;
  }
  std::vector<tw3test::resp> responses() const { return tw3test::split_responses(r_.b.data, r_.b.len); }
  static int64_t stat(int i) { return tw3_stat_get(i); }

  tw3test::script_io sio_;
  tw3_io io_{};
  tw3_conn c_{};
  tw3_reply r_{};
  bool keep_window_ = false;
};
