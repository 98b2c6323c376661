// Reading a small private file in one open: content, permission bits, the
// size cap, and what is not a regular file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/tempdir.h"

namespace {

struct read_result {
  int rc;
  std::string text;
  uint32_t mode;
  int err;
};

read_result read_small(const std::string& path, size_t cap) {
  std::vector<char> buf(cap + 1, '#');
  size_t len = 0;
  read_result r{0, "", 0, 0};
  r.rc = tw3_file_read_small(path.c_str(), buf.data(), cap, &len, &r.mode, &r.err);
  EXPECT_EQ(buf[cap], '#');  // never beyond cap
  r.text.assign(buf.data(), len);
  return r;
}

TEST(SmallFile, ContentModeCapAndOtherObjects) {
  temp_dir t;
  ASSERT_TRUE(t.ok());
  ASSERT_TRUE(t.file("c.conf", "share a=/b\n"));
  ASSERT_EQ(::chmod(t.sub("c.conf").c_str(), 0640), 0);
  read_result r = read_small(t.sub("c.conf"), 64);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.text, "share a=/b\n");
  EXPECT_EQ(r.mode, 0640u);

  EXPECT_EQ(read_small(t.sub("c.conf"), 11).rc, 0);  // exactly the cap
  EXPECT_EQ(read_small(t.sub("c.conf"), 10).rc, -2);
  ASSERT_TRUE(t.dir("d"));
  EXPECT_EQ(read_small(t.sub("d"), 64).rc, -2);
  ASSERT_TRUE(t.fifo("f"));
  EXPECT_EQ(read_small(t.sub("f"), 64).rc, -2);  // and never blocks on it
  read_result missing = read_small(t.sub("missing"), 64);
  EXPECT_EQ(missing.rc, -1);
  EXPECT_NE(missing.err, 0);
  char why[128] = {};
  tw3_os_error_text(missing.err, why, sizeof why);
  EXPECT_STRNE(why, "");
}

}  // namespace
