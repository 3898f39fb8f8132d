// Reading one payload item: the backward walk over the item chain, inflation and the RSA
// signature check against the key built into the launcher.
#include "payload/payload_item.h"

#include "payload/inflate.h"

#include <string.h>

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

// The public key blob of the payload builder's signing key, fixed when the launcher is built.
static const BYTE payloadPublicKeyBytes[PayloadPublicKeySize] = {
#include "payload_public_key.inc"
};

enum { LineItemNotFound = 509 };

// The sites of one item kind: head and file items report the same outcomes on their own lines.
struct ItemSites {
    DWORD inflated;
    DWORD inflateFailed;
    DWORD stored;
    DWORD copyFailed;
    DWORD signatureMismatch;
    DWORD keyNotLoadable;
};

static const ItemSites headItemSites = {547, 551, 562, 566, 592, 599};
static const ItemSites fileItemSites = {687, 691, 702, 706, 732, 739};

void AssemblePayloadPublicKey(BYTE key[PayloadPublicKeySize])
{
    memcpy(key, payloadPublicKeyBytes, PayloadPublicKeySize);
}

// RSA_verify and its key accessors are deprecated in OpenSSL 3 but check exactly
// RSASSA-PKCS1-v1_5 with the SHA-256 DigestInfo, which is what the item signatures are.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

// Checks signature against the SHA-256 digest of output with a key object that lives for this
// one check only.
static ErrorValue VerifyItemOutput(const BYTE *output, DWORD outputSize, const BYTE *signature, DWORD signatureLength,
                                   const ItemSites *sites)
{
    BYTE key[PayloadPublicKeySize];
    AssemblePayloadPublicKey(key);
    const unsigned char *cursor = key;
    EVP_PKEY *publicKey = b2i_PublicKey(&cursor, PayloadPublicKeySize);
    if (publicKey == NULL)
        return MakeFixedErrorValue((DWORD)NTE_BAD_KEY, sites->keyNotLoadable);

    RSA *rsa = EVP_PKEY_get1_RSA(publicKey);
    int verified = 0;
    if (rsa != NULL) {
        BYTE digest[SHA256_DIGEST_LENGTH];
        SHA256(output, outputSize, digest);
        // A signature of any length other than the modulus's fails here.
        verified = RSA_verify(NID_sha256, digest, sizeof digest, signature, signatureLength, rsa);
        RSA_free(rsa);
    }
    EVP_PKEY_free(publicKey);

    if (rsa == NULL)
        return MakeFixedErrorValue((DWORD)NTE_BAD_KEY, sites->keyNotLoadable);
    if (verified != 1)
        return MakeFixedErrorValue(ERROR_FILE_CORRUPT, sites->signatureMismatch);
    return MakeFixedErrorValue(ERROR_SUCCESS, 0);
}

#pragma GCC diagnostic pop

// Makes the item's output from its data field and, in a signed container, verifies it. An item
// with an empty data field takes the same road: a signed container never hands out bytes that
// were not checked against the key.
static ErrorValue ProduceItem(const PayloadDescriptor *descriptor, const BYTE *data, DWORD dataLength,
                              const BYTE *signature, DWORD signatureLength, const ItemSites *sites, BYTE **outData,
                              DWORD *outSize)
{
    BYTE *output;
    DWORD outputSize;
    DWORD successLine;
    if (descriptor->flags & PayloadFlagCompressed) {
        if (InflateBuffer(&output, &outputSize, data, dataLength) != 0)
            return MakeFixedErrorValue(ERROR_INVALID_DATA, sites->inflateFailed);
        successLine = sites->inflated;
    } else {
        output = (BYTE *)LocalAlloc(LMEM_FIXED, dataLength);
        if (output == NULL)
            return MakeErrorValue(GetLastError, ERROR_NOT_ENOUGH_MEMORY, sites->copyFailed);
        memcpy(output, data, dataLength);
        outputSize = dataLength;
        successLine = sites->stored;
    }

    if (descriptor->flags & PayloadFlagSigned) {
        ErrorValue verified = VerifyItemOutput(output, outputSize, signature, signatureLength, sites);
        if (ErrorValueCode(verified) != 0) {
            LocalFree(output);
            return verified;
        }
    }

    *outData = output;
    *outSize = outputSize;
    return MakeFixedErrorValue(ERROR_SUCCESS, successLine);
}

void WalkPayloadItems(const PayloadDescriptor *descriptor, PayloadItemVisitor visit, void *context)
{
    // Every subtraction below is checked first: an offset never wraps below the container's start.
    const BYTE *image = descriptor->image;
    DWORD pos = descriptor->imageSize;
    while (pos >= ItemTrailerSize) {
        pos -= ItemTrailerSize;
        PayloadItemPlace place;
        place.trailer = ReadItemTrailer(image + pos);
        place.head = memcmp(place.trailer.kind, HeadItemGuid, ItemKindSize) == 0;

        if (place.head) {
            // The head item ends every walk; one whose lengths do not fit is not reached at all.
            if (place.trailer.signatureLength > pos || place.trailer.dataLength > pos - place.trailer.signatureLength)
                return;
            place.signatureStart = pos - place.trailer.signatureLength;
            place.dataStart = place.signatureStart - place.trailer.dataLength;
            visit(&place, context);
            return;
        }

        if (memcmp(place.trailer.kind, FileItemGuid, ItemKindSize) != 0)
            return;
        // A file trailer whose lengths do not fit is passed over; the walk goes on in front of
        // as much of it as fits.
        if (place.trailer.signatureLength > pos)
            continue;
        pos -= place.trailer.signatureLength;
        place.signatureStart = pos;
        if (place.trailer.dataLength > pos)
            continue;
        pos -= place.trailer.dataLength;
        place.dataStart = pos;
        if (!visit(&place, context))
            return;
    }
}

// What ReadPayloadItem looks for, and the item it stopped at.
struct ItemSearch {
    const BYTE *kind;
    DWORD itemId;
    BOOL found;
    PayloadItemPlace place;
};

static BOOL MatchItem(const PayloadItemPlace *place, void *context)
{
    ItemSearch *search = (ItemSearch *)context;
    BOOL wantsHead = memcmp(search->kind, HeadItemGuid, ItemKindSize) == 0;
    BOOL wantsFile = memcmp(search->kind, FileItemGuid, ItemKindSize) == 0;
    // The nearest file item to the end with the id wins; the head item is the last chance.
    if (place->head ? wantsHead : wantsFile) {
        if (place->trailer.itemId == search->itemId) {
            search->found = TRUE;
            search->place = *place;
            return FALSE;
        }
    }
    return TRUE;
}

ErrorValue ReadPayloadItem(const PayloadDescriptor *descriptor, const BYTE kind[16], DWORD itemId, BYTE **outData,
                           DWORD *outSize)
{
    *outData = NULL;
    *outSize = 0;

    ItemSearch search;
    search.kind = kind;
    search.itemId = itemId;
    search.found = FALSE;
    WalkPayloadItems(descriptor, MatchItem, &search);
    if (!search.found)
        return MakeFixedErrorValue(ERROR_NOT_FOUND, LineItemNotFound);

    const PayloadItemPlace *place = &search.place;
    return ProduceItem(descriptor, descriptor->image + place->dataStart, place->trailer.dataLength,
                       descriptor->image + place->signatureStart, place->trailer.signatureLength,
                       place->head ? &headItemSites : &fileItemSites, outData, outSize);
}
