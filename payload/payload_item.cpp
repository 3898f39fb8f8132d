// Reading one payload item: the backward walk over the item chain, inflation and the RSA
// signature check against the key built into the launcher.
#include "payload/payload_item.h"

#include "payload/inflate.h"

#include <string.h>

#include <bcrypt.h>

const BYTE HeadItemGuid[16] = {0xf7, 0xbb, 0xd5, 0xee, 0x84, 0x12, 0x19, 0x46,
                               0x91, 0x8c, 0xf0, 0xcb, 0x8e, 0xe2, 0x8b, 0x55};
const BYTE FileItemGuid[16] = {0xd9, 0x8c, 0x24, 0xa1, 0x96, 0xef, 0x6b, 0x43,
                               0x92, 0xbf, 0xc0, 0x0b, 0xad, 0x72, 0x7e, 0x63};

enum {
    ItemTrailerSize = 28,
    LineItemNotFound = 509,
    Sha256Size = 32,
    // The public key blob: bType, bVersion, reserved, aiKeyAlg, magic, bitlen, pubexp, modulus.
    KeyBlobHeaderSize = 20,
    KeyModulusSize = PayloadPublicKeySize - KeyBlobHeaderSize,
    // The provider's RSA public key blob: six ULONGs, the exponent and the modulus, big-endian.
    RsaBlobHeaderSize = 24,
    RsaBlobSize = RsaBlobHeaderSize + 4 + KeyModulusSize,
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

static const ItemSites headItemSites = {547, 551, 562, 566, 592, 599};
static const ItemSites fileItemSites = {687, 691, 702, 706, 732, 739};

static DWORD ReadU32(const BYTE *bytes)
{
    return (DWORD)bytes[0] | ((DWORD)bytes[1] << 8) | ((DWORD)bytes[2] << 16) | ((DWORD)bytes[3] << 24);
}

static void WriteU32(BYTE *bytes, DWORD value)
{
    memcpy(bytes, &value, sizeof value);
}

// Turns the built-in key (a CryptoAPI public key blob: little-endian modulus) into the
// provider's RSA public key blob (big-endian exponent and modulus). FALSE when the built-in
// blob is not a 2048-bit RSA public key.
static BOOL MakeRsaPublicBlob(const BYTE key[PayloadPublicKeySize], BYTE blob[RsaBlobSize])
{
    static const BYTE header[8] = {0x06, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00};
    DWORD exponent = ReadU32(key + 16);
    if (memcmp(key, header, sizeof header) != 0 || memcmp(key + 8, "RSA1", 4) != 0 ||
        ReadU32(key + 12) != KeyModulusSize * 8 || exponent == 0)
        return FALSE;
    WriteU32(blob, BCRYPT_RSAPUBLIC_MAGIC);
    WriteU32(blob + 4, KeyModulusSize * 8);
    WriteU32(blob + 8, 4);
    WriteU32(blob + 12, KeyModulusSize);
    WriteU32(blob + 16, 0);
    WriteU32(blob + 20, 0);
    for (int i = 0; i < 4; i++)
        blob[RsaBlobHeaderSize + i] = (BYTE)(exponent >> (8 * (3 - i)));
    for (int i = 0; i < KeyModulusSize; i++)
        blob[RsaBlobHeaderSize + 4 + i] = key[PayloadPublicKeySize - 1 - i];
    return TRUE;
}

// The SHA-256 digest of data, from the system's provider.
static BOOL HashSha256(const BYTE *data, DWORD size, BYTE digest[Sha256Size])
{
    BCRYPT_ALG_HANDLE algorithm;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, NULL, 0)))
        return FALSE;
    // Older systems want the hash object from the caller; newer ones make their own when given
    // none, which is what a provider whose object does not fit here gets.
    BYTE hashObject[HashObjectRoom];
    ULONG objectSize = 0;
    ULONG written = 0;
    PUCHAR object = hashObject;
    if (!BCRYPT_SUCCESS(
            BCryptGetProperty(algorithm, BCRYPT_OBJECT_LENGTH, (PUCHAR)&objectSize, sizeof objectSize, &written, 0)) ||
        objectSize > sizeof hashObject) {
        object = NULL;
        objectSize = 0;
    }
    BOOL hashed = FALSE;
    BCRYPT_HASH_HANDLE hash;
    if (BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, object, objectSize, NULL, 0, 0))) {
        hashed = BCRYPT_SUCCESS(BCryptHashData(hash, (PUCHAR)data, size, 0)) &&
                 BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, Sha256Size, 0));
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return hashed;
}

// Checks signature against the SHA-256 digest of output with the system's provider and a key
// object that lives for this one check only. A key that does not import, or a provider that
// cannot hash, gives the key failure; any signature that does not verify, the mismatch.
static ErrorValue VerifyItemOutput(const BYTE *output, DWORD outputSize, const BYTE *signature, DWORD signatureLength,
                                   const ItemSites *sites)
{
    const ErrorValue keyNotLoadable = MakeFixedErrorValue((DWORD)NTE_BAD_KEY, sites->keyNotLoadable);
    BYTE key[PayloadPublicKeySize];
    BYTE blob[RsaBlobSize];
    AssemblePayloadPublicKey(key);
    if (!MakeRsaPublicBlob(key, blob))
        return keyNotLoadable;

    BCRYPT_ALG_HANDLE rsa;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&rsa, BCRYPT_RSA_ALGORITHM, NULL, 0)))
        return keyNotLoadable;
    BCRYPT_KEY_HANDLE publicKey;
    ErrorValue result = keyNotLoadable;
    if (BCRYPT_SUCCESS(BCryptImportKeyPair(rsa, NULL, BCRYPT_RSAPUBLIC_BLOB, &publicKey, blob, sizeof blob, 0))) {
        BYTE digest[Sha256Size];
        if (HashSha256(output, outputSize, digest)) {
            BCRYPT_PKCS1_PADDING_INFO padding;
            padding.pszAlgId = BCRYPT_SHA256_ALGORITHM;
            // A signature of any length other than the modulus's fails here.
            if (BCRYPT_SUCCESS(BCryptVerifySignature(publicKey, &padding, digest, sizeof digest, (PUCHAR)signature,
                                                     signatureLength, BCRYPT_PAD_PKCS1)))
                result = MakeFixedErrorValue(ERROR_SUCCESS, 0);
            else
                result = MakeFixedErrorValue(ERROR_FILE_CORRUPT, sites->signatureMismatch);
        }
        BCryptDestroyKey(publicKey);
    }
    BCryptCloseAlgorithmProvider(rsa, 0);
    return result;
}

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
