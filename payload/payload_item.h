// Payload containers: a chain of items, each data + signature + 28-byte trailer, read
// backwards from the container's last byte.
#pragma once

#include <windows.h>

#include "launcher/error_value.h"

enum {
    PayloadFlagCompressed = 1, // every item's data is a zlib stream
    PayloadFlagSigned = 2,     // every item's output is verified
};

// One payload container: a private copy of its bytes and the package directory read from it.
struct PayloadDescriptor {
    BYTE *image;
    DWORD imageSize;
    BYTE *directory;
    DWORD directorySize;
    DWORD flags;
};

#pragma pack(push, 1)
struct ItemTrailer {
    BYTE kind[16]; // GUID in the in-memory layout, compared as raw bytes
    DWORD itemId;
    DWORD signatureLength;
    DWORD dataLength;
};
#pragma pack(pop)

static_assert(sizeof(ItemTrailer) == 28, "the item trailer is 28 bytes");

extern const BYTE HeadItemGuid[16]; // {EED5BBF7-1284-4619-918C-F0CB8EE28B55}: the package directory
extern const BYTE FileItemGuid[16]; // {A1248CD9-EF96-436B-92BF-C00BAD727E63}: one package file

enum { PayloadPublicKeySize = 276 };

// Copies the verification key (a 276-byte CryptoAPI public key blob) into key. Each program
// links one definition: launcher.exe the built-in key (payload_public_key.cpp), the packer the
// key chosen for the file at hand, tests the test key or one of their own.
void AssemblePayloadPublicKey(BYTE key[PayloadPublicKeySize]);

// Finds the item of the given kind and id, inflates and verifies it as descriptor->flags say.
// On success *outData (LocalFree it) and *outSize hold the item's output; on failure nothing
// is handed over.
ErrorValue ReadPayloadItem(const PayloadDescriptor *descriptor, const BYTE kind[16], DWORD itemId, BYTE **outData,
                           DWORD *outSize);
