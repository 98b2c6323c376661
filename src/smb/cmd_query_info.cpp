// QUERY_INFO.
// Placeholder: answers NOT_SUPPORTED until the real handler lands.
#include "smb/smb.h"

void cmd_query_info(tw3_conn* c, tw3_rd* /*body*/, tw3_reply* r) {
  err_reply_l(c, r, SMB2_QUERY_INFO, STATUS_NOT_SUPPORTED, c->session_id, c->cur_tree_id, __LINE__);
}

