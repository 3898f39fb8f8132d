// The ready stub's verification key: a slot in the image, behind a marker, that the packer's
// stub command fills with the payload builder's public key blob before the image is signed.
// Until then the blob is all zeros, which no key loader accepts: such a launcher reads no
// payload item at all.
#include "payload/payload_item.h"

// volatile: every read takes the bytes as they are in the file, never the zeros the compiler
// saw; the slot is constant data, covered by the image's signature.
static const volatile PayloadKeySlot payloadKeySlot = MakePayloadKeySlot({});

void AssemblePayloadPublicKey(BYTE key[PayloadPublicKeySize])
{
    for (int i = 0; i < PayloadPublicKeySize; i++)
        key[i] = payloadKeySlot.key[i];
}
