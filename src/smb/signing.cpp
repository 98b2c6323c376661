// Message signing: verification of signed requests, the signing decision and
// the signature of responses.
// Placeholder: accepts every signature and never signs until the real code lands.
#include "smb/smb.h"

int sign_verify_request(tw3_conn* /*c*/, uint8_t* /*req*/, uint64_t /*len*/) { return 1; }

int sign_decide(tw3_conn* /*c*/, const tw3_reply* /*r*/, uint8_t /*command*/, int /*verified*/) {
  return 0;
}

void sign_frame(tw3_conn* /*c*/, uint8_t* /*msg*/, uint64_t /*len*/) {}
