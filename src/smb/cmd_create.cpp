// CREATE and CLOSE: open handles of files, directories and the srvsvc pipe.
// Placeholder: answers NOT_SUPPORTED until the real handler lands.
#include "smb/smb.h"

void cmd_create(tw3_conn* c, tw3_rd* /*body*/, tw3_reply* r) {
  err_reply_l(c, r, SMB2_CREATE, STATUS_NOT_SUPPORTED, c->session_id, c->cur_tree_id, __LINE__);
}

void cmd_close(tw3_conn* c, tw3_rd* /*body*/, tw3_reply* r) {
  err_reply_l(c, r, SMB2_CLOSE, STATUS_NOT_SUPPORTED, c->session_id, c->cur_tree_id, __LINE__);
}

