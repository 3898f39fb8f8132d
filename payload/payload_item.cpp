// Reading one payload item: the backward walk over the item chain, inflation and the RSA
// signature check against the key built into the launcher.
#include "payload/payload_item.h"

#include <string.h>

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

const BYTE HeadItemGuid[16] = {0xf7, 0xbb, 0xd5, 0xee, 0x84, 0x12, 0x19, 0x46,
                               0x91, 0x8c, 0xf0, 0xcb, 0x8e, 0xe2, 0x8b, 0x55};
const BYTE FileItemGuid[16] = {0xd9, 0x8c, 0x24, 0xa1, 0x96, 0xef, 0x6b, 0x43,
                               0x92, 0xbf, 0xc0, 0x0b, 0xad, 0x72, 0x7e, 0x63};

// The public key blob of the payload builder's signing key, fixed when the launcher is built.
static const BYTE payloadPublicKeyBytes[PayloadPublicKeySize] = {
#include "payload_public_key.inc"
};

enum {
    ItemTrailerSize = 28,
    LineItemNotFound = 509,
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
        output = AllocateItemOutput(dataLength);
        if (output == NULL)
            return MakeErrorValue(GetLastError, ERROR_NOT_ENOUGH_MEMORY, sites->copyFailed);
        memcpy(output, data, dataLength);
        outputSize = dataLength;
        successLine = sites->stored;
    }

    if (descriptor->flags & PayloadFlagSigned) {
        ErrorValue verified = VerifyItemOutput(output, outputSize, signature, signatureLength, sites);
        if (ErrorValueCode(verified) != 0) {
            FreeItemOutput(output);
            return verified;
        }
    }

    *outData = output;
    *outSize = outputSize;
    return MakeFixedErrorValue(ERROR_SUCCESS, successLine);
}

ErrorValue ReadPayloadItem(const PayloadDescriptor *descriptor, const BYTE kind[16], DWORD itemId, BYTE **outData,
                           DWORD *outSize)
{
    const ErrorValue notFound = MakeFixedErrorValue(ERROR_NOT_FOUND, LineItemNotFound);
    *outData = NULL;
    *outSize = 0;

    // Every subtraction below is checked first: an offset never wraps below the container's start.
    const BYTE *image = descriptor->image;
    DWORD pos = descriptor->imageSize;
    while (pos >= ItemTrailerSize) {
        pos -= ItemTrailerSize;
        ItemTrailer trailer;
        memcpy(&trailer, image + pos, sizeof trailer);

        if (memcmp(trailer.kind, HeadItemGuid, sizeof HeadItemGuid) == 0) {
            // The head item ends every walk, found or not.
            if (trailer.signatureLength > pos || trailer.dataLength > pos - trailer.signatureLength)
                return notFound;
            DWORD signatureStart = pos - trailer.signatureLength;
            DWORD dataStart = signatureStart - trailer.dataLength;
            if (memcmp(kind, HeadItemGuid, sizeof HeadItemGuid) != 0 || trailer.itemId != itemId)
                return notFound;
            return ProduceItem(descriptor, image + dataStart, trailer.dataLength, image + signatureStart,
                               trailer.signatureLength, &headItemSites, outData, outSize);
        }

        if (memcmp(trailer.kind, FileItemGuid, sizeof FileItemGuid) != 0)
            return notFound;
        // A file trailer whose lengths do not fit is passed over; the walk goes on in front of
        // as much of it as fits.
        if (trailer.signatureLength > pos)
            continue;
        pos -= trailer.signatureLength;
        DWORD signatureStart = pos;
        if (trailer.dataLength > pos)
            continue;
        pos -= trailer.dataLength;
        if (memcmp(kind, FileItemGuid, sizeof FileItemGuid) == 0 && trailer.itemId == itemId)
            return ProduceItem(descriptor, image + pos, trailer.dataLength, image + signatureStart,
                               trailer.signatureLength, &fileItemSites, outData, outSize);
    }
    return notFound;
}
