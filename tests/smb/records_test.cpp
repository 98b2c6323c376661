// The open table: live opens only, found by FileId whatever the order in
// which they were made and closed, ids never handed out twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "engine_fixture.h"
#include "smb/files.h"

namespace {

using Records = EngineTest;

TEST_F(Records, OpensAreFoundUntilClosedAndIdsAreNeverReused) {
  std::mt19937 rng(7);
  std::vector<tw3_open*> live;
  std::set<uint64_t> ids_seen;
  std::vector<uint64_t> closed;
  // Waves of opens and closes in random order grow and shrink the index
  // across several sizes; every step checks the whole table.
  for (int wave = 0; wave < 6; ++wave) {
    const int adds = wave % 2 == 0 ? 300 : 40;
    for (int i = 0; i < adds; ++i) {
      tw3_open* o = tw3_open_add(&c_);
      ASSERT_NE(o, nullptr);
      EXPECT_TRUE(ids_seen.insert(o->file_id).second) << "id handed out twice";
      live.push_back(o);
    }
    std::shuffle(live.begin(), live.end(), rng);
    const size_t keep = wave % 2 == 0 ? live.size() / 3 : 0;
    while (live.size() > keep) {
      closed.push_back(live.back()->file_id);
      tw3_open_close(&c_, live.back());
      live.pop_back();
    }
    ASSERT_EQ(c_.cl->opens.count, static_cast<int32_t>(live.size()));
    for (tw3_open* o : live) EXPECT_EQ(tw3_open_find(&c_, o->file_id), o);
    for (uint64_t fid : closed) EXPECT_EQ(tw3_open_find(&c_, fid), nullptr);
    size_t listed = 0;
    for (const tw3_open* o = c_.cl->opens.newest; o != nullptr; o = o->next) ++listed;
    EXPECT_EQ(listed, live.size());
  }
  EXPECT_EQ(tw3_open_find(&c_, 0), nullptr);
  tw3_client_free_opens(c_.cl);
  EXPECT_EQ(c_.cl->opens.count, 0);
  EXPECT_EQ(tw3_open_find(&c_, *ids_seen.begin()), nullptr);
}

}  // namespace
