// Payload containers: a chain of items, each data + signature + 28-byte trailer, read
// backwards from the container's last byte.
#pragma once

#include <windows.h>

#include "launcher/error_value.h"
#include "payload/inflate.h"
#include "payload/payload_format.h"

// One payload container: a private copy of its bytes and the package directory read from it.
struct PayloadDescriptor {
    BYTE *image;
    DWORD imageSize;
    BYTE *directory;
    DWORD directorySize;
    DWORD flags;
};

// Copies the verification key (a 276-byte CryptoAPI public key blob) into key. Each program
// links one definition: launcher.exe the built-in key (payload_public_key.cpp) or the ready
// stub's key slot (payload_key_slot.cpp), the packer the key chosen for the file at hand, tests
// the test key or one of their own.
void AssemblePayloadPublicKey(BYTE key[PayloadPublicKeySize]);

// Finds the item of the given kind and id, inflates and verifies it as descriptor->flags say.
// On success *outData (free it with FreeItemOutput) and *outSize hold the item's output; on failure nothing
// is handed over.
ErrorValue ReadPayloadItem(const PayloadDescriptor *descriptor, const BYTE kind[16], DWORD itemId, BYTE **outData,
                           DWORD *outSize);

// One item that the walk reaches: its trailer and where its signature and data start.
struct PayloadItemPlace {
    BOOL head;
    ItemTrailer trailer;
    DWORD signatureStart;
    DWORD dataStart;
};

// Offered each item the walk reaches, nearest the container's end first; FALSE stops the walk.
typedef BOOL (*PayloadItemVisitor)(const PayloadItemPlace *place, void *context);

// The walk of ReadPayloadItem: backwards from the container's end over file items, passing
// over file trailers whose lengths do not fit, to the head item, which ends every walk.
void WalkPayloadItems(const PayloadDescriptor *descriptor, PayloadItemVisitor visit, void *context);
