// The request dispatcher: header failures, compounds and related requests,
// credits, the refusal of modifying commands and the 64-request limit.
#include <gtest/gtest.h>

#include "engine_fixture.h"

using tw3test::bytes;
using tw3test::req;

namespace {

class Dispatch : public EngineTest {};

req echo(uint64_t mid) {
  req q;
  q.message_id = mid;
  return q;
}

req related(req q) {
  q.flags |= SMB2_FLAGS_RELATED_OPERATIONS;
  return q;
}

// The 9 bytes after the response header at `at` (the reply must hold them).
bytes body_after(const tw3_reply& r, size_t at) {
  if (r.b.len < at + tw3test::kErrorResponseSize) return {};
  return bytes(r.b.data + at + 64, r.b.data + at + tw3test::kErrorResponseSize);
}

TEST_F(Dispatch, UnparsableFirstHeaderClosesWithoutAnswer) {
  struct row {
    const char* why;
    bytes msg;
  } rows[] = {
      {"63 bytes", [] {
         bytes b = tw3test::smb2_request(echo(1));
         b.resize(63);
         return b;
       }()},
      {"not SMB2", bytes(64, 0xAA)},
      {"StructureSize 65", [] {
         bytes b = tw3test::smb2_request(echo(1));
         b[4] = 65;
         return b;
       }()},
  };
  for (const row& r : rows) {
    c_.closing = 0;
    const int64_t errors = stat(ST_PROTOCOL_ERRORS);
    EXPECT_EQ(run(r.msg), 0) << r.why;
    EXPECT_EQ(r_.b.len, 0u) << r.why;
    EXPECT_EQ(c_.closing, 1) << r.why;
    EXPECT_EQ(stat(ST_PROTOCOL_ERRORS) - errors, 1) << r.why;
  }
  EXPECT_TRUE(sio_.written.empty());
}

TEST_F(Dispatch, OnlyTheLowByteOfCommandCounts) {
  req q = echo(4);
  q.command = 0x010D;
  EXPECT_EQ(run(tw3test::smb2_request(q)), 1);
  ASSERT_EQ(r_.b.len, 68u);
  const auto rs = responses();
  EXPECT_EQ(rs[0].command, SMB2_ECHO);
  EXPECT_EQ(r_.b.data[13], 0);
  EXPECT_EQ(rs[0].status, STATUS_SUCCESS);
  EXPECT_EQ(rs[0].message_id, 4u);
  EXPECT_EQ(rs[0].flags, SMB2_FLAGS_SERVER_TO_REDIR);
  EXPECT_EQ(le32(r_.b.data + 64), 4u);  // StructureSize 4, Reserved 0
}

// A response grants what was asked (at least 1), within max_credits held
// at once, in all 16 bits of CreditResponse.
TEST_F(Dispatch, CreditsAreGrantedAsAskedWithinMaxCredits) {
  c_.opts.max_credits = 8192;
  // The fixture's window spans ids 0..127 (the request uses 1 and 2, id 0
  // stays unused), and the window never spans more than 8192 ids.
  const std::pair<uint16_t, uint16_t> rows[] = {
      {0, 1}, {1, 1}, {128, 128}, {300, 300}, {8000, 8000}, {65535, 8192 - kTestIdsGranted}};
  for (auto [asked, granted] : rows) {
    req q = echo(1);
    q.credit_request = asked;
    q.credit_charge = 2;
    run(tw3test::smb2_request(q));
    const auto rs = responses();
    ASSERT_EQ(rs.size(), 1u);
    EXPECT_EQ(le16(r_.b.data + HDR_CREDITS), granted) << asked;
    EXPECT_EQ(rs[0].credit_charge, 2) << asked;
  }
}

TEST_F(Dispatch, RelatedRequestsTakeThePreviousIds) {
  req first = echo(1);
  first.session_id = 7;
  first.tree_id = 9;
  req second = related(echo(2));
  second.session_id = SMB2_RELATED_SESSION_ID;
  second.tree_id = SMB2_RELATED_TREE_ID;
  req third = echo(3);  // not related: its ids stay as sent
  third.session_id = SMB2_RELATED_SESSION_ID;
  third.tree_id = 5;
  EXPECT_EQ(run(tw3test::compound({first, second, third})), 1);
  const auto rs = responses();
  ASSERT_EQ(rs.size(), 3u);
  EXPECT_EQ(rs[0].next, 72u);  // 68 bytes padded to 8
  EXPECT_EQ(rs[1].next, 72u);
  EXPECT_EQ(rs[2].next, 0u);
  EXPECT_EQ(rs[1].session_id, 7u);
  EXPECT_EQ(rs[1].tree_id, 9u);
  EXPECT_EQ(rs[2].session_id, SMB2_RELATED_SESSION_ID);
  EXPECT_EQ(rs[2].tree_id, 5u);
  for (size_t i = 1; i < rs.size(); ++i)
    EXPECT_EQ(rs[i].flags, SMB2_FLAGS_SERVER_TO_REDIR | SMB2_FLAGS_RELATED_OPERATIONS);
  EXPECT_EQ(r_.b.len, 72u + 72u + 68u);  // the last response is not padded
}

TEST_F(Dispatch, EveryModifyingCommandIsRefusedBeforeAnyHandler) {
  for (uint16_t cmd : {SMB2_FLUSH, SMB2_WRITE, SMB2_LOCK, SMB2_SET_INFO}) {
    const int64_t refused = stat(ST_MUTATING_REFUSED);
    req q = echo(9);
    q.command = cmd;
    q.credit_request = 3;
    q.credit_charge = 1;
    q.body = bytes(48, 0);
    EXPECT_EQ(run(tw3test::smb2_request(q)), 1);
    ASSERT_EQ(r_.b.len, tw3test::kErrorResponseSize) << cmd;
    EXPECT_EQ(body_after(r_, 0), tw3test::kErrorBody) << cmd;
    const auto rs = responses();
    EXPECT_EQ(rs[0].status, STATUS_ACCESS_DENIED) << cmd;
    EXPECT_EQ(rs[0].command, cmd);
    EXPECT_EQ(rs[0].credits, 3);
    EXPECT_EQ(rs[0].credit_charge, 1);  // the request's, as on every answer
    EXPECT_EQ(stat(ST_MUTATING_REFUSED) - refused, 1) << cmd;
  }
}

TEST_F(Dispatch, WriteInsideACompoundContinuesOnlyOnAWellFormedNextCommand) {
  req write = echo(2);
  write.command = SMB2_WRITE;
  write.body = bytes(8, 0);  // 72-byte request
  struct row {
    int64_t next;
    size_t responses;
  } rows[] = {{72, 3}, {70, 2}, {64, 3}, {0, 2}};
  for (const row& r : rows) {
    req w = write;
    w.next_command = r.next;
    bytes msg = tw3test::compound({echo(1), w, echo(3)});
    if (r.next == 64) {  // the third request starts right after the WRITE's header
      bytes tail = tw3test::smb2_request(echo(3));
      msg.resize(72 + 64);
      msg.insert(msg.end(), tail.begin(), tail.end());
    }
    run(msg);
    const auto rs = responses();
    ASSERT_EQ(rs.size(), r.responses) << r.next;
    EXPECT_EQ(rs[1].status, STATUS_ACCESS_DENIED);
    if (rs.size() == 3) {
      EXPECT_EQ(rs[2].status, STATUS_SUCCESS);
      EXPECT_EQ(rs[2].message_id, 3u);
    }
  }
}

TEST_F(Dispatch, SixtyFiveRequestsYieldSixtyFourAnswersAndARefusal) {
  std::vector<req> reqs;
  for (uint64_t i = 1; i <= 65; ++i) reqs.push_back(echo(i));
  const int64_t errors = stat(ST_PROTOCOL_ERRORS);
  EXPECT_EQ(run(tw3test::compound(reqs)), 1);
  const auto rs = responses();
  ASSERT_EQ(rs.size(), 65u);
  for (size_t i = 0; i < 64; ++i) EXPECT_EQ(rs[i].status, STATUS_SUCCESS) << i;
  EXPECT_EQ(rs[64].status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(rs[64].command, SMB2_ECHO);
  EXPECT_EQ(rs[64].message_id, 65u);
  EXPECT_EQ(rs[64].credits, 1);
  EXPECT_EQ(stat(ST_PROTOCOL_ERRORS) - errors, 1);
}

TEST_F(Dispatch, ABadLaterHeaderIsAnsweredInvalidParameter) {
  struct row {
    const char* why;
    bytes msg;
  } rows[] = {
      {"garbage header", [] {
         bytes b = tw3test::compound({echo(1), echo(2)});
         b[72] = 'X';
         return b;
       }()},
      {"NextCommand 1", [] {
         req q = echo(1);
         q.next_command = 1;
         return tw3test::compound({q, echo(2)});
       }()},
      {"NextCommand at the very end", [] {
         req q = echo(1);
         q.next_command = 68;
         return tw3test::compound({q});
       }()},
  };
  for (const row& r : rows) {
    EXPECT_EQ(run(r.msg), 1) << r.why;
    const auto rs = responses();
    ASSERT_EQ(rs.size(), 2u) << r.why;
    EXPECT_EQ(rs[0].status, STATUS_SUCCESS);
    EXPECT_EQ(rs[1].status, STATUS_INVALID_PARAMETER) << r.why;
    EXPECT_EQ(rs[1].message_id, 1u) << r.why;  // the id of the last request handled
    EXPECT_EQ(rs[1].len, tw3test::kErrorResponseSize);
    EXPECT_EQ(body_after(r_, rs[1].off), tw3test::kErrorBody) << r.why;
    EXPECT_EQ(c_.closing, 0);
  }
}

TEST_F(Dispatch, NextCommandBeyondTheMessageEndsTheWalk) {
  req q = echo(1);
  q.next_command = 4096;
  const int64_t errors = stat(ST_PROTOCOL_ERRORS);
  EXPECT_EQ(run(tw3test::compound({q, echo(2)})), 1);
  EXPECT_EQ(responses().size(), 1u);
  EXPECT_EQ(stat(ST_PROTOCOL_ERRORS) - errors, 1);
}

// Only a failed CREATE leaves the requests after it without an open; any
// other failure answers for itself and the rest of the compound is served.
TEST_F(Dispatch, AFailureOtherThanCreatesPoisonsNothing) {
  req qi = echo(2);
  qi.command = SMB2_QUERY_INFO;
  qi.body = bytes(40, 0);
  for (bool related : {false, true}) {
    req e3 = echo(3);
    if (related) e3 = ::related(e3);
    run(tw3test::compound({echo(1), qi, e3, echo(4)}));
    const auto rs = responses();
    ASSERT_EQ(rs.size(), 4u);
    EXPECT_EQ(rs[0].status, STATUS_SUCCESS);
    EXPECT_NE(rs[1].status, STATUS_SUCCESS);
    EXPECT_EQ(rs[2].status, STATUS_SUCCESS) << related;
    EXPECT_EQ(rs[3].status, STATUS_SUCCESS);
  }
}

// A first request flagged RELATED has nothing to be related to: it is
// refused before anything else looks at it, and the rest is served.
TEST_F(Dispatch, ARelatedFirstRequestIsInvalid) {
  req write = related(echo(1));
  write.command = SMB2_WRITE;  // refused as invalid, not as a write
  run(tw3test::compound({write, echo(2)}));
  const auto rs = responses();
  ASSERT_EQ(rs.size(), 2u);
  EXPECT_EQ(rs[0].status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(rs[1].status, STATUS_SUCCESS);
}

// A CREATE refused for that flag has failed like any other CREATE: a related
// CLOSE after it gets its status, an unrelated one looks its FileId up.
TEST_F(Dispatch, ARelatedFirstCreatePassesItsRefusalOnToRelatedRequests) {
  give_session_and_tree();
  req create = related(echo(1));
  create.command = SMB2_CREATE;
  req close = echo(2);
  close.command = SMB2_CLOSE;
  close.session_id = kSession;
  close.tree_id = kTree;
  close.body = bytes(24, 0xFF);  // FileId all ones
  close.body[0] = 24;
  close.body[1] = 0;
  req unrelated_close = close;
  unrelated_close.message_id = 3;
  run(tw3test::compound({create, related(close), unrelated_close}));
  const auto rs = responses();
  ASSERT_EQ(rs.size(), 3u);
  EXPECT_EQ(rs[0].status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(rs[1].status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(rs[2].status, STATUS_FILE_CLOSED);
}

// A request's body ends where the next request begins: a READ too short for
// its fixed part is refused even when the ECHO after it would fill it.
TEST_F(Dispatch, ARequestReadsOnlyItsOwnBytes) {
  give_session_and_tree();
  req read = echo(1);
  read.command = SMB2_READ;
  read.session_id = kSession;
  read.tree_id = kTree;
  read.body = bytes(8, 0);
  read.body[0] = 49;
  run(tw3test::compound({read, echo(2)}));
  const auto rs = responses();
  ASSERT_EQ(rs.size(), 2u);
  EXPECT_EQ(rs[0].status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(rs[1].status, STATUS_SUCCESS);
  EXPECT_EQ(c_.closing, 0);
}

// A signed request names the session whose key signed it: with none it is
// USER_SESSION_DELETED, with one that has no keys yet ACCESS_DENIED; either
// ends the message.
TEST_F(Dispatch, SignedRequestWithoutSessionKeysIsRefusedAndEndsTheMessage) {
  tw3_session* pending = tw3_session_begin(&c_);  // a logon in progress: no keys
  const struct {
    uint64_t session;
    uint32_t status;
    int64_t bad_signatures;
  } cases[] = {{0, STATUS_USER_SESSION_DELETED, 0}, {0x1234, STATUS_USER_SESSION_DELETED, 0},
               {pending->id, STATUS_ACCESS_DENIED, 1}};
  for (const auto& k : cases) {
    req q = echo(1);
    q.flags = SMB2_FLAGS_SIGNED;
    q.credit_request = 5;
    q.session_id = k.session;
    const int64_t bad = stat(ST_BAD_SIGNATURE);
    EXPECT_EQ(run(tw3test::compound({q, echo(2)})), 1);
    auto rs = responses();
    ASSERT_EQ(rs.size(), 1u);
    EXPECT_EQ(rs[0].status, k.status);
    EXPECT_EQ(rs[0].credits, 5);
    EXPECT_EQ(r_.b.len, tw3test::kErrorResponseSize);
    EXPECT_EQ(body_after(r_, 0), tw3test::kErrorBody);
    EXPECT_EQ(stat(ST_BAD_SIGNATURE) - bad, k.bad_signatures);

    // Second in a compound: chained after the first answer.
    q.message_id = 2;
    run(tw3test::compound({echo(1), q, echo(3)}));
    rs = responses();
    ASSERT_EQ(rs.size(), 2u);
    EXPECT_EQ(rs[1].status, k.status);
  }
}

// Success carries the 4-byte body; a refusal is an ERROR response.
TEST_F(Dispatch, CommandsWithoutDataAnswerWithTheFourByteBodyOrAnErrorBody) {
  struct row {
    uint16_t command;
    bytes body;
    uint32_t status;
    int protocol_error;
  } rows[] = {
      {SMB2_ECHO, {}, STATUS_SUCCESS, 0},
      {SMB2_ECHO, {4, 0, 0, 0}, STATUS_SUCCESS, 0},
      {SMB2_CHANGE_NOTIFY, bytes(32, 0), STATUS_INVALID_PARAMETER, 0},  // StructureSize 0
      {SMB2_OPLOCK_BREAK, bytes(24, 0), STATUS_INVALID_PARAMETER, 0},  // neither acknowledgement size
      {19, {}, STATUS_NOT_SUPPORTED, 1},
      {0x20, {}, STATUS_NOT_SUPPORTED, 1},
      {0x0113, {}, STATUS_NOT_SUPPORTED, 1},
      {0xFF, {}, STATUS_NOT_SUPPORTED, 1},
  };
  give_session_and_tree();  // CHANGE_NOTIFY reaches its handler only then
  for (const row& r : rows) {
    req q = echo(11);
    q.command = r.command;
    q.body = r.body;
    q.session_id = kSession;
    q.tree_id = kTree;
    const int64_t errors = stat(ST_PROTOCOL_ERRORS);
    EXPECT_EQ(run(tw3test::smb2_request(q)), 1);
    const auto rs = responses();
    EXPECT_EQ(rs[0].status, r.status) << r.command;
    EXPECT_EQ(rs[0].message_id, 11u);
    if (r.status == STATUS_SUCCESS) {
      ASSERT_EQ(r_.b.len, 68u) << r.command;
      EXPECT_EQ(le32(r_.b.data + 64), 4u) << r.command;
    } else {
      ASSERT_EQ(r_.b.len, tw3test::kErrorResponseSize) << r.command;
      EXPECT_EQ(body_after(r_, 0), tw3test::kErrorBody) << r.command;
    }
    EXPECT_EQ(stat(ST_PROTOCOL_ERRORS) - errors, r.protocol_error) << r.command;
    EXPECT_EQ(c_.closing, 0);
  }
}

TEST_F(Dispatch, LogoffInsideACompoundFreesEverythingOfItsSessionBeforeTheNextRequest) {
  // Trees 1 and 2 and an open of session 0x55; tree 3 and an open of 0x77.
  for (uint32_t id = 1; id <= 3; ++id) {
    auto* t = new tw3_tree{};
    t->tree_id = id;
    t->session_id = id < 3 ? 0x55 : 0x77;
    t->next = c_.cl->tree_list;
    c_.cl->tree_list = t;
  }
  tw3_open* o = tw3_open_add(&c_);
  ASSERT_NE(o, nullptr);
  o->session_id = 0x55;
  o->tree_id = 1;
  tw3_open* other = tw3_open_add(&c_);
  other->session_id = 0x77;
  other->tree_id = 3;
  sim_session(&c_, 0x55);
  sim_session(&c_, 0x77);
  EXPECT_EQ(tw3_open_find(&c_, o->file_id), o);
  const uint64_t fid = o->file_id;

  req logoff = echo(1);
  logoff.command = SMB2_LOGOFF;
  logoff.session_id = 0x55;
  req tcon = related(echo(2));
  tcon.command = SMB2_TREE_CONNECT;
  tcon.session_id = SMB2_RELATED_SESSION_ID;
  tcon.body = {9, 0, 0, 0, 72, 0, 4, 0, 'a', 0, 'b', 0};
  run(tw3test::compound({logoff, tcon}));
  const auto rs = responses();
  ASSERT_EQ(rs.size(), 2u);
  EXPECT_EQ(rs[0].status, STATUS_SUCCESS);
  EXPECT_EQ(rs[0].session_id, 0x55u);  // the LOGOFF response keeps the request's id
  EXPECT_EQ(rs[1].status, STATUS_USER_SESSION_DELETED);
  ASSERT_NE(c_.cl->tree_list, nullptr);
  EXPECT_EQ(c_.cl->tree_list->tree_id, 3u) << "the other session's tree stays";
  EXPECT_EQ(c_.cl->tree_list->next, nullptr);
  EXPECT_EQ(c_.cl->opens.count, 1);
  EXPECT_EQ(c_.cl->opens.newest, other);
  EXPECT_EQ(tw3_open_find(&c_, fid), nullptr);
  EXPECT_EQ(tw3_session_live(&c_, 0x55), nullptr);
  EXPECT_NE(tw3_session_live(&c_, 0x77), nullptr);
}

}  // namespace
