// The verification key built into the launcher: the public key blob of the payload builder's
// signing key, fixed when the launcher is built. It sits in the same marked slot as the ready
// stub's, so that the packer finds every launcher's key in one place. This unit alone holds it,
// so that a program that verifies with another key (the packer, tests) links its own definition
// instead.
#include "payload/payload_item.h"

static const volatile PayloadKeySlot payloadKeySlot = MakePayloadKeySlot({
#include "payload_public_key.inc"
});

void AssemblePayloadPublicKey(BYTE key[PayloadPublicKeySize])
{
    for (int i = 0; i < PayloadPublicKeySize; i++)
        key[i] = payloadKeySlot.key[i];
}
