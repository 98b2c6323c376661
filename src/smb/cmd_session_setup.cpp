// SESSION_SETUP: NTLM logon inside SPNEGO and the session keys.
// Placeholder: answers NOT_SUPPORTED until the real handler lands.
#include "smb/smb.h"

void cmd_session_setup(tw3_conn* c, tw3_rd* /*body*/, tw3_reply* r) {
  err_reply_l(c, r, SMB2_SESSION_SETUP, STATUS_NOT_SUPPORTED, c->session_id, c->cur_tree_id, __LINE__);
}

