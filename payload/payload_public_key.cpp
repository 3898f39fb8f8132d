// The verification key built into the launcher: the public key blob of the payload builder's
// signing key, fixed when the launcher is built. This unit alone holds it, so that a program
// that verifies with another key (the packer, tests) links its own definition instead.
#include "payload/payload_item.h"

#include <string.h>

static const BYTE payloadPublicKeyBytes[PayloadPublicKeySize] = {
#include "payload_public_key.inc"
};

void AssemblePayloadPublicKey(BYTE key[PayloadPublicKeySize])
{
    memcpy(key, payloadPublicKeyBytes, PayloadPublicKeySize);
}
