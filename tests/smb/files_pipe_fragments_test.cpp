// Share lists longer than one DCE/RPC fragment: the cut into response PDUs
// no larger than the client's max_recv_frag, the requested info level, and
// the whole answer reaching the client through an IOCTL transceive cut to
// MaxOutputResponse and READs of the rest, with the share cap's longest and
// non-ASCII names. And requests longer than one fragment: their stub
// gathered from WRITEs and a final transceive or READ, within its bound,
// and fragments out of sequence faulted without disturbing later calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/tempdir.h"
#include "smb/files_sim.h"

namespace {

using namespace files_sim;

constexpr uint32_t kTransceive = 0x0011C017;
constexpr uint8_t kFirst = 0x01;
constexpr uint8_t kLast = 0x02;
constexpr size_t kCallHeader = 24;

uint16_t frag_length(const bytes& pdu) { return uint16_t(pdu[8] | pdu[9] << 8); }

// Splits a message list (each a 32-bit length and its bytes) into messages.
std::vector<bytes> messages(const tw3_buf& b) {
  std::vector<bytes> out;
  for (uint64_t pos = 0; pos < b.len;) {
    if (b.len - pos < 4) {
      ADD_FAILURE() << "a length cut off at " << pos;
      break;
    }
    const uint64_t n = le32(b.data + pos);
    if (b.len - pos - 4 < n) {
      ADD_FAILURE() << "a message of " << n << " bytes cut off at " << pos;
      break;
    }
    out.emplace_back(b.data + pos + 4, b.data + pos + 4 + n);
    pos += 4 + n;
  }
  return out;
}

// Checks the response fragments of one call and returns their stub.
bytes reassemble(const std::vector<bytes>& frags, uint32_t call_id, uint16_t max_frag) {
  bytes stub;
  uint64_t total = 0;
  for (size_t i = 0; i < frags.size(); ++i) {
    const bytes& f = frags[i];
    SCOPED_TRACE("fragment " + std::to_string(i) + " of " + std::to_string(frags.size()));
    if (f.size() < kCallHeader) {
      ADD_FAILURE() << "short fragment";
      return stub;
    }
    EXPECT_EQ(f[2], 2) << "response";
    EXPECT_EQ(f[3], (i == 0 ? kFirst : 0) | (i + 1 == frags.size() ? kLast : 0)) << "pfc_flags";
    EXPECT_EQ(frag_length(f), f.size());
    EXPECT_LE(f.size(), max_frag);
    EXPECT_EQ(le32(f.data() + 12), call_id);
    const uint32_t alloc_hint = le32(f.data() + 16);
    if (i == 0) total = alloc_hint;
    EXPECT_EQ(alloc_hint, total - stub.size()) << "the stub bytes from here on";
    if (i + 1 < frags.size()) {
      EXPECT_EQ((f.size() - kCallHeader) % 8, 0u) << "stub pieces stay 8-aligned";
    }
    stub.insert(stub.end(), f.begin() + kCallHeader, f.end());
  }
  EXPECT_EQ(stub.size(), total);
  return stub;
}

TEST(SrvsvcFragments, FragmentSizeFollowsTheBindWithinBounds) {
  const struct {
    uint16_t asked, used;
  } rows[] = {{0, 4280}, {1, 1432}, {1431, 1432}, {1432, 1432}, {2000, 2000}, {4280, 4280}, {4281, 4280}, {65535, 4280}};
  for (const auto& r : rows) EXPECT_EQ(srvsvc_frag_size(r.asked), r.used) << r.asked;
}

TEST(SrvsvcFragments, ResponsesCarryTheStubInFragmentsOfAtMostTheSize) {
  const struct {
    size_t stub;
    uint16_t frag;
    size_t fragments;
  } rows[] = {
      {36, 0, 1},           // the smallest enumeration: one fragment
      {4256, 4280, 1},      // exactly one full fragment
      {4257, 4280, 2},      // one byte more
      {10000, 4280, 3},
      {10000, 2001, 6},     // 1976 stub bytes per fragment (8-aligned below 1977)
      {60000, 100, 43},     // a bind asking below the minimum gets 1432: 1408 per fragment
      {60000, 65535, 15},   // and above the offer gets 4280
  };
  for (const auto& r : rows) {
    SCOPED_TRACE("stub " + std::to_string(r.stub) + ", frag " + std::to_string(r.frag));
    bytes stub(r.stub);
    for (size_t i = 0; i < stub.size(); ++i) stub[i] = uint8_t(i * 7 + i / 251);
    tw3_buf out{};
    srvsvc_put_responses(&out, 0x4711, stub, r.frag);
    ASSERT_FALSE(out.failed);
    const std::vector<bytes> frags = messages(out);
    tw3_buf_free(&out);
    EXPECT_EQ(frags.size(), r.fragments);
    EXPECT_EQ(reassemble(frags, 0x4711, srvsvc_frag_size(r.frag)), stub);
  }
}

// The share cap: 255 configured shares besides `media` and IPC$, with the
// longest names allowed, half of them outside ASCII.
class BigShareList : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.dir("s"));
    ASSERT_EQ(tw3_add_share("media", t.sub("s").c_str()), 0) << tw3_error();
    names = {"IPC$", "media"};
    for (int i = 0; i < TW3_MAX_SHARES - 1; ++i) {
      std::string name = std::to_string(1000 + i);
      name += i % 2 ? "-Überraschungsfreigabe-äöü-" : "-plain-ascii-share-name-";
      name += std::string(TW3_SHARE_NAME_MAX - name.size(), i % 2 ? 'x' : 'y');
      ASSERT_EQ(name.size(), size_t(TW3_SHARE_NAME_MAX));
      ASSERT_EQ(tw3_add_share(name.c_str(), t.sub("s").c_str()), 0) << tw3_error();
      names.push_back(name);
    }
    std::sort(names.begin() + 1, names.end(), [](const std::string& a, const std::string& b) {
      return tw3_casecmp(a.c_str(), b.c_str()) < 0;
    });
    ipc = c.connect("IPC$");
    pipe = c.open(ipc, "srvsvc");
  }
  void TearDown() override { tw3_config_reset_for_tests(); }

  // One message of the pipe, which began with `data` answered `status`: the
  // rest is READ in pieces of read_len bytes while the server says more waits.
  bytes finish_message(bytes data, uint32_t status, uint32_t read_len) {
    for (int i = 0; i < 100 && status == STATUS_BUFFER_OVERFLOW; ++i) {
      response r = c.read(pipe, 0, read_len);
      status = r.status();
      if (status != STATUS_SUCCESS && status != STATUS_BUFFER_OVERFLOW) break;
      bytes more = r.body_bytes(16, r.b32(4));
      EXPECT_LE(more.size(), read_len);
      data.insert(data.end(), more.begin(), more.end());
    }
    EXPECT_EQ(status, STATUS_SUCCESS);
    return data;
  }

  // The fragments of the answer to `pdu`, sent by IOCTL transceive with
  // MaxOutputResponse max_out; the fragments after the first come by READ.
  std::vector<bytes> call(const bytes& pdu, uint32_t max_out, uint32_t read_len) {
    response r = c.ioctl(pipe, kTransceive, pdu, 0, max_out);
    bytes out = r.body_bytes(48, r.b32(36));
    EXPECT_LE(out.size(), max_out);
    if (out.size() < max_out) {
      EXPECT_EQ(r.status(), STATUS_SUCCESS) << "a message that fits is whole";
    }
    std::vector<bytes> frags{finish_message(out, r.status(), read_len)};
    for (int i = 0; i < 200 && frags.back().size() > 3 && !(frags.back()[3] & kLast); ++i) {
      response next = c.read(pipe, 0, read_len);
      frags.push_back(finish_message(next.body_bytes(16, next.b32(4)), next.status(), read_len));
    }
    return frags;
  }

  void expect_nothing_waiting() { EXPECT_EQ(c.read(pipe, 0, 4096).status(), STATUS_NOT_SUPPORTED); }

  temp_dir t;
  conn c;
  uint32_t ipc = 0;
  uint64_t pipe = 0;
  std::vector<std::string> names;  // in the order the server lists them
};

TEST_F(BigShareList, EveryShareArrivesWhateverTheFragmentAndBufferSizes) {
  const struct {
    const char* what;
    uint16_t bind_frag;  // 0: no bind
    uint32_t max_out, read_len;
  } cases[] = {
      {"no bind, large buffers", 0, 65536, 65536},
      {"smbclient and rpcclient", 4280, 4280, 4280},
      {"a small fragment size", 2000, 4280, 65536},
      {"output cut below a fragment", 4280, 700, 1000},
      {"a fragment size below the minimum", 64, 100, 333},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    pipe = c.open(ipc, "srvsvc");
    uint16_t frag = 4280;
    if (k.bind_frag != 0) {
      const std::vector<bytes> ack = call(bind_pdu(1, 1, k.bind_frag), k.max_out, k.read_len);
      ASSERT_EQ(ack.size(), 1u);
      ASSERT_EQ(ack[0].size(), 68u);
      frag = le16(ack[0].data() + 16);
      EXPECT_EQ(frag, srvsvc_frag_size(k.bind_frag)) << "max_xmit_frag of the bind_ack";
    }
    const int64_t queries = tw3_stat_get(ST_SRVSVC_QUERIES);
    const bytes stub = reassemble(call(request_pdu(9, 15), k.max_out, k.read_len), 9, frag);
    EXPECT_EQ(tw3_stat_get(ST_SRVSVC_QUERIES) - queries, 1);
    ndr n{stub};
    EXPECT_EQ(n.u32(), 1u);
    EXPECT_EQ(n.u32(), 1u);
    EXPECT_NE(n.u32(), 0u);
    ASSERT_EQ(n.u32(), names.size()) << "EntriesRead";
    n.pos += 8 + 12 * names.size();  // Buffer pointer, count, the records
    for (const std::string& name : names) {
      EXPECT_EQ(n.str(), name);
      n.str();  // remark
    }
    EXPECT_EQ(n.u32(), names.size()) << "TotalEntries";
    n.pos += 8;
    EXPECT_EQ(n.pos, stub.size());
    expect_nothing_waiting();
  }
}

TEST_F(BigShareList, TheRequestedLevelIsAnswered) {
  const struct {
    uint32_t level;
    size_t record_words;
    int strings;  // per share
  } rows[] = {{0, 1, 1}, {1, 3, 2}, {2, 8, 3}, {501, 4, 2}, {502, 10, 3}};
  for (const auto& row : rows) {
    SCOPED_TRACE("level " + std::to_string(row.level));
    const bytes stub = reassemble(call(request_pdu(3, 15, row.level), 65536, 65536), 3, 4280);
    ndr n{stub};
    std::vector<uint32_t> sd_sizes;
    EXPECT_EQ(n.u32(), row.level);
    EXPECT_EQ(n.u32(), row.level) << "union discriminant";
    EXPECT_NE(n.u32(), 0u);
    ASSERT_EQ(n.u32(), names.size());
    EXPECT_NE(n.u32(), 0u);
    ASSERT_EQ(n.u32(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
      std::vector<uint32_t> w;
      for (size_t k = 0; k < row.record_words; ++k) w.push_back(n.u32());
      EXPECT_NE(w[0], 0u) << "netname pointer";
      if (row.level >= 1) {
        EXPECT_EQ(w[1], i == 0 ? 3u : 0u) << "IPC, then disk shares";
      }
      if (row.level == 501) {
        EXPECT_EQ(w[3], 0u) << "flags";
      }
      if (row.level == 2 || row.level == 502) {
        EXPECT_EQ(w[4], 0xFFFFFFFFu) << "max_uses";
        EXPECT_EQ(w[7], 0u) << "no password";
      }
      if (row.level == 502) {
        sd_sizes.push_back(w[8]);
        EXPECT_NE(w[9], 0u) << "security descriptor pointer";
      }
    }
    for (size_t i = 0; i < names.size(); ++i) {
      EXPECT_EQ(n.str(), names[i]);
      if (row.strings > 1) {
        EXPECT_EQ(n.str(), i == 0 ? "IPC share" : "read-only share");
      }
      if (row.strings > 2) {
        EXPECT_EQ(n.str(), "") << "the host path is not shown";
      }
      if (row.level == 502) {
        ASSERT_EQ(n.u32(), sd_sizes[i]) << "the descriptor, as long as shi502_reserved says";
        ASSERT_GE(stub.size() - n.pos, sd_sizes[i]);
        EXPECT_EQ(stub[n.pos], 1) << "revision";
        n.pos = (n.pos + sd_sizes[i] + 3) & ~size_t(3);
      }
    }
    EXPECT_EQ(n.u32(), names.size());
    EXPECT_EQ(n.u32(), 0u);
    EXPECT_EQ(n.u32(), 0u) << "success";
    EXPECT_EQ(n.pos, stub.size());
  }

  // Another level: no container and ERROR_INVALID_LEVEL.
  const bytes other = reassemble(call(request_pdu(4, 15, 503), 65536, 65536), 4, 4280);
  EXPECT_EQ(other, (bytes{0xF7, 1, 0, 0, 0xF7, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 124, 0, 0, 0}));

  // Arguments that cannot be read: a fault (nca_s_fault_ndr), no enumeration.
  bytes unreadable = request_pdu(5, 15);
  put_le32(unreadable.data() + 36, 0x7FFFFFFF);  // ServerName's actual count
  const std::vector<bytes> fault = call(unreadable, 65536, 65536);
  ASSERT_EQ(fault.size(), 1u);
  ASSERT_EQ(fault[0].size(), 32u);
  EXPECT_EQ(fault[0][2], 3);
  EXPECT_EQ(le32(fault[0].data() + 24), 0x000006F7u);
}

TEST_F(BigShareList, ATransceiveWhileAnswersWaitIsBusy) {
  response first = c.ioctl(pipe, kTransceive, request_pdu(1, 15), 0, 4280);
  ASSERT_EQ(first.status(), STATUS_SUCCESS);
  ASSERT_EQ(first.body_bytes(48, 4)[3] & kLast, 0) << "more fragments wait";
  response busy = c.ioctl(pipe, kTransceive, bind_pdu(2, 1), 0, 4280);
  EXPECT_EQ(busy.status(), 0xC00000AEu) << "STATUS_PIPE_BUSY";
  EXPECT_EQ(c.write(pipe, bind_pdu(3, 1)).status(), STATUS_SUCCESS) << "a WRITE queues behind";
  // The rest of the enumeration, then the bind_ack of the WRITE.
  std::vector<bytes> frags{first.body_bytes(48, first.b32(36))};
  for (int i = 0; i < 100 && !(frags.back()[3] & kLast); ++i) {
    response r = c.read(pipe, 0, 65536);
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    frags.push_back(r.body_bytes(16, r.b32(4)));
  }
  reassemble(frags, 1, 4280);
  response ack = c.read(pipe, 0, 65536);
  EXPECT_EQ(ack.status(), STATUS_SUCCESS);
  EXPECT_EQ(ack.body_bytes(16, 4)[2], 12) << "bind_ack";
  expect_nothing_waiting();
  EXPECT_EQ(call(bind_pdu(4, 1), 4280, 4280).size(), 1u) << "an empty pipe transceives again";
}

// A pipe taking requests in fragments, as clients send a request longer
// than the fragment size their bind agreed on.
class GatheredRequest : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.dir("s"));
    ASSERT_EQ(tw3_add_share("media", t.sub("s").c_str()), 0) << tw3_error();
    ipc = c.connect("IPC$");
    pipe = c.open(ipc, "srvsvc");
  }
  void TearDown() override { tw3_config_reset_for_tests(); }

  // The fragments of `stub` cut at `cuts` (offsets into the stub), with the
  // first and last flags where they belong.
  static std::vector<bytes> fragments(uint32_t call_id, uint16_t opnum, const bytes& stub,
                                      const std::vector<size_t>& cuts) {
    std::vector<bytes> out;
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
      const size_t to = i < cuts.size() ? cuts[i] : stub.size();
      const uint8_t flags = uint8_t((i == 0 ? kFirst : 0) | (i == cuts.size() ? kLast : 0));
      out.push_back(rpc_request(call_id, opnum, bytes(stub.begin() + long(from), stub.begin() + long(to)), flags));
      from = to;
    }
    return out;
  }
  // Every message waiting on the pipe, read one READ each.
  std::vector<bytes> waiting() {
    std::vector<bytes> out;
    for (int i = 0; i < 100; ++i) {
      response r = c.read(pipe, 0, 65536);
      if (r.status() == STATUS_NOT_SUPPORTED) return out;
      EXPECT_EQ(r.status(), STATUS_SUCCESS);
      out.push_back(r.body_bytes(16, r.b32(4)));
    }
    ADD_FAILURE() << "the pipe never ran dry";
    return out;
  }
  // The answer to the whole request on a pipe of its own: the reference.
  bytes whole_answer(const bytes& pdu) {
    const uint64_t other = c.open(ipc, "srvsvc");
    response r = c.ioctl(other, kTransceive, pdu);
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    c.close(other);
    return r.body_bytes(48, r.b32(36));
  }
  static void expect_fault(const bytes& m, uint32_t call_id) {
    ASSERT_EQ(m.size(), 32u);
    EXPECT_EQ(m[2], 3) << "fault";
    EXPECT_EQ(le32(m.data() + 12), call_id);
    EXPECT_EQ(le32(m.data() + 24), 0x1C01000Bu) << "nca_proto_error";
  }

  temp_dir t;
  conn c;
  uint32_t ipc = 0;
  uint64_t pipe = 0;
};

TEST_F(GatheredRequest, TheLastFragmentHasTheWholeCallAnswered) {
  const bytes stub = share_get_info_stub("MEDIA", 2);
  const struct {
    const char* what;
    uint16_t opnum;
    bytes stub;
    std::vector<size_t> cuts;
  } cases[] = {
      {"share enumeration in two", 15, share_enum_stub(1), {16}},
      {"share info in three", 16, stub, {8, 24}},
      {"share info, an empty middle piece", 16, stub, {8, 8}},
      {"share info, the level alone last", 16, stub, {stub.size() - 4}},
      {"server info in two", 21, server_get_info_stub(101), {8}},
  };
  uint32_t call_id = 10;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    ++call_id;
    const bytes expected = whole_answer(rpc_request(call_id, k.opnum, k.stub));
    ASSERT_GE(expected.size(), 24u);
    ASSERT_EQ(expected[2], 2) << "a response";
    const std::vector<bytes> frags = fragments(call_id, k.opnum, k.stub, k.cuts);

    // WRITEs of all but the last fragment, then the last by transceive, as
    // rpcclient sends a long request: the transceive gets the answer.
    for (size_t i = 0; i + 1 < frags.size(); ++i) {
      EXPECT_EQ(c.write(pipe, frags[i]).status(), STATUS_SUCCESS);
    }
    EXPECT_TRUE(waiting().empty()) << "nothing answers a call before its last fragment";
    response r = c.ioctl(pipe, kTransceive, frags.back());
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.body_bytes(48, r.b32(36)), expected);

    // Every fragment by WRITE, the answer by READ.
    for (const bytes& f : frags) EXPECT_EQ(c.write(pipe, f).status(), STATUS_SUCCESS);
    EXPECT_EQ(waiting(), std::vector<bytes>{expected});
  }
}

TEST_F(GatheredRequest, FragmentsOutOfSequenceAreFaultedAndLaterCallsAnswered) {
  const bytes stub = share_enum_stub(1);
  auto piece = [&](uint32_t call_id, uint8_t flags) { return rpc_request(call_id, 15, bytes(stub.begin(), stub.begin() + 16), flags); };
  auto rest = [&](uint32_t call_id, uint8_t flags) { return rpc_request(call_id, 15, bytes(stub.begin() + 16, stub.end()), flags); };
  const struct {
    const char* what;
    std::vector<bytes> pdus;
    std::vector<uint32_t> faulted;  // the call ids of the faults, in order
  } cases[] = {
      {"a middle fragment with no call begun, then the rest of its call", {piece(1, 0), rest(1, kLast)}, {1}},
      {"a last fragment with no call begun", {rest(2, kLast)}, {2}},
      {"a first fragment while one is gathered", {piece(3, kFirst), piece(4, kFirst), rest(4, kLast)}, {4}},
      {"a whole request while one is gathered", {piece(5, kFirst), request_pdu(6, 15)}, {6}},
      {"a fragment of another call", {piece(7, kFirst), rest(8, kLast)}, {8}},
      {"the gathered call's rest after an intruder", {piece(9, kFirst), piece(10, 0), rest(9, kLast)}, {10, 9}},
      {"the same call begun twice", {piece(11, kFirst), piece(11, kFirst), rest(11, kLast)}, {11}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    for (const bytes& p : k.pdus) EXPECT_EQ(c.write(pipe, p).status(), STATUS_SUCCESS);
    const std::vector<bytes> got = waiting();
    ASSERT_EQ(got.size(), k.faulted.size());
    for (size_t i = 0; i < got.size(); ++i) expect_fault(got[i], k.faulted[i]);
    // Nothing of it lingers: a call in two fragments is answered as a whole one.
    for (const bytes& f : fragments(99, 15, stub, {16})) EXPECT_EQ(c.write(pipe, f).status(), STATUS_SUCCESS);
    EXPECT_EQ(waiting(), std::vector<bytes>{whole_answer(request_pdu(99, 15))});
  }
  // A call left half gathered goes with the open; the sanitizers see leaks.
  EXPECT_EQ(c.write(pipe, piece(100, kFirst)).status(), STATUS_SUCCESS);
  EXPECT_EQ(c.close(pipe).status(), STATUS_SUCCESS);
  pipe = c.open(ipc, "srvsvc");
  EXPECT_EQ(c.write(pipe, piece(101, kFirst)).status(), STATUS_SUCCESS);  // and with the connection
}

TEST_F(GatheredRequest, AGatheredStubIsBounded) {
  // Pieces of the largest PDU a WRITE takes, the enumeration's arguments first.
  const size_t piece = (TW3_PIPE_INPUT_MAX - 24) / 8 * 8;
  const size_t full = TW3_RPC_STUB_MAX / piece;  // whole pieces that fit
  const size_t tail = TW3_RPC_STUB_MAX - full * piece;
  bytes stub = share_enum_stub(1);
  stub.resize(TW3_RPC_STUB_MAX, 0);
  std::vector<size_t> cuts;
  for (size_t i = 1; i <= full; ++i) cuts.push_back(i * piece);
  ASSERT_GT(tail, 0u);
  const bytes expected = whole_answer(request_pdu(1, 15));
  for (int over : {0, 1}) {
    SCOPED_TRACE(over ? "one byte more" : "exactly the bound");
    bytes big = stub;
    big.resize(stub.size() + size_t(over), 0);
    const std::vector<bytes> frags = fragments(1, 15, big, cuts);
    ASSERT_EQ(frags.size(), full + 1);
    for (const bytes& f : frags) EXPECT_EQ(c.write(pipe, f).status(), STATUS_SUCCESS);
    const std::vector<bytes> got = waiting();
    ASSERT_EQ(got.size(), 1u);
    if (over) {
      expect_fault(got[0], 1);
    } else {
      EXPECT_EQ(got[0], expected);
    }
  }
  // A call refused before its last fragment: the rest is dropped without a word.
  std::vector<size_t> more;
  for (size_t i = 1; i <= full + 1; ++i) more.push_back(i * piece);
  for (const bytes& f : fragments(2, 15, bytes((full + 2) * piece, 0), more)) {
    EXPECT_EQ(c.write(pipe, f).status(), STATUS_SUCCESS);
  }
  const std::vector<bytes> got = waiting();
  ASSERT_EQ(got.size(), 1u) << "one fault for the call";
  expect_fault(got[0], 2);
}

}  // namespace
