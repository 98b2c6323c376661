// TREE_CONNECT and TREE_DISCONNECT.
// Placeholder: answers NOT_SUPPORTED until the real handler lands.
#include "smb/smb.h"

void cmd_tree_connect(tw3_conn* c, tw3_rd* /*body*/, tw3_reply* r) {
  err_reply_l(c, r, SMB2_TREE_CONNECT, STATUS_NOT_SUPPORTED, c->session_id, c->cur_tree_id, __LINE__);
}

void cmd_tree_disconnect(tw3_conn* c, tw3_rd* /*body*/, tw3_reply* r) {
  err_reply_l(c, r, SMB2_TREE_DISCONNECT, STATUS_NOT_SUPPORTED, c->session_id, c->cur_tree_id, __LINE__);
}

