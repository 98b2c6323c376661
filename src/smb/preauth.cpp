// Pre-authentication integrity hash.
// Placeholder: does nothing until the real hook lands.
#include "smb/smb.h"

void preauth_update(tw3_conn* /*c*/, const uint8_t* /*data*/, uint64_t /*len*/) {}
