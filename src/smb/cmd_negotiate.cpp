// NEGOTIATE, SMB2 and the SMB1 upgrade.
// Placeholder: answers NOT_SUPPORTED until the real handler lands.
#include "smb/smb.h"

void cmd_negotiate(tw3_conn* c, tw3_rd* /*body*/, tw3_reply* r) {
  err_reply_l(c, r, SMB2_NEGOTIATE, STATUS_NOT_SUPPORTED, c->session_id, c->cur_tree_id, __LINE__);
}

void smb1_negotiate(tw3_conn* c, const uint8_t* /*msg*/, uint64_t /*len*/, tw3_reply* r,
                    int* have_reply) {
  tw3_stat_add(ST_PROTOCOL_ERRORS, 1);
  err_reply_l(c, r, SMB2_NEGOTIATE, STATUS_NOT_SUPPORTED, 0, 0, __LINE__);
  *have_reply = 0;
}
