// QUERY_DIRECTORY.
// Placeholder: answers NOT_SUPPORTED until the real handler lands.
#include "smb/smb.h"

void cmd_query_directory(tw3_conn* c, tw3_rd* /*body*/, tw3_reply* r) {
  err_reply_l(c, r, SMB2_QUERY_DIRECTORY, STATUS_NOT_SUPPORTED, c->session_id, c->cur_tree_id, __LINE__);
}

