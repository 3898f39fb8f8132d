// Payload containers: a chain of items, each data + signature + 28-byte trailer, read
// backwards from the container's last byte.
#pragma once

#include <windows.h>

#include <bcrypt.h>

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

// The site of the not-found failure: no item of the kind and id at the end of the container.
enum { LineItemNotFound = 509 };

// Finds the item of the given kind and id, inflates and verifies it as descriptor->flags say.
// On success *outData (free it with FreeItemOutput) and *outSize hold the item's output, and
// outDigest (when not null) the SHA-256 of that output which the signature check made (zeros in
// a container that is not signed); on failure nothing is handed over.
ErrorValue ReadPayloadItem(const PayloadDescriptor *descriptor, const BYTE kind[16], DWORD itemId, BYTE **outData,
                           DWORD *outSize, BYTE *outDigest);

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

// The rules both forms of the item check share: ReadPayloadItem above, which makes the whole
// output, and CheckPayloadItem (payload_item_stream.h), which inflates and hashes it as a stream.

enum {
    // Room for the provider's SHA-256 hash object on the stack.
    HashObjectRoom = 1024,
};

// The sites of one item kind: head and file items report the same outcomes on their own lines.
struct ItemSites {
    DWORD inflated;
    DWORD inflateFailed;
    DWORD stored;
    DWORD copyFailed;
    DWORD signatureMismatch;
    DWORD keyNotLoadable;
};
const ItemSites *ItemSitesOf(BOOL head);

// The item ReadPayloadItem reads for a kind and id; the not-found failure otherwise.
ErrorValue FindPayloadItem(const PayloadDescriptor *descriptor, const BYTE kind[16], DWORD itemId,
                           PayloadItemPlace *place);

// A SHA-256 digest from the system's provider, fed in pieces. FinishSha256 releases what
// BeginSha256 made and is TRUE only when hashed (every AddSha256 succeeded) and it finishes.
struct Sha256Stream {
    BCRYPT_ALG_HANDLE algorithm;
    BCRYPT_HASH_HANDLE hash;
    BYTE hashObject[HashObjectRoom];
};
BOOL BeginSha256(Sha256Stream *stream);
BOOL AddSha256(Sha256Stream *stream, const BYTE *data, DWORD size);
BOOL FinishSha256(Sha256Stream *stream, BYTE digest[Sha256Size], BOOL hashed);

// Makes the digest of an item's output into digest; FALSE when it cannot.
typedef BOOL (*ItemDigestMaker)(BYTE digest[Sha256Size], void *context);

// Checks signature against the digest of an item's output with a key object that lives for
// this one check only; the digest is asked for once the key has imported, and is left in digest
// for the caller, which so never hashes an output twice. A key that does not import, or a digest
// that cannot be made, gives the key failure; any signature that does not verify, the mismatch.
ErrorValue VerifyItemSignature(ItemDigestMaker makeDigest, void *context, const BYTE *signature, DWORD signatureLength,
                               const ItemSites *sites, BYTE digest[Sha256Size]);
