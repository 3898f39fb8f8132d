// Reading one payload item: the backward walk over the item chain, inflation and the RSA
// signature check against the key built into the launcher.
#include "payload/payload_item.h"

#include <string.h>

#include <bcrypt.h>

enum {
    KeyModulusSize = PayloadPublicKeySize - PayloadPublicKeyHeaderSize,
    // The provider's RSA public key blob: six ULONGs, the exponent and the modulus, big-endian.
    RsaBlobHeaderSize = 24,
    RsaBlobSize = RsaBlobHeaderSize + 4 + KeyModulusSize,
};

static const ItemSites headItemSites = {547, 551, 562, 566, 592, 599};
static const ItemSites fileItemSites = {687, 691, 702, 706, 732, 739};

const ItemSites *ItemSitesOf(BOOL head)
{
    return head ? &headItemSites : &fileItemSites;
}

// Turns the built-in key (a CryptoAPI public key blob: little-endian modulus) into the
// provider's RSA public key blob (big-endian exponent and modulus). FALSE when the built-in
// blob breaks the key blob rule: a damaged or empty slot, or any exponent but 65537.
static BOOL MakeRsaPublicBlob(const BYTE key[PayloadPublicKeySize], BYTE blob[RsaBlobSize])
{
    if (!IsPayloadPublicKeyBlob(key))
        return FALSE;
    DWORD exponent = ReadU32(key + 16);
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

BOOL BeginSha256(Sha256Stream *stream)
{
    stream->algorithm = NULL;
    stream->hash = NULL;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&stream->algorithm, BCRYPT_SHA256_ALGORITHM, NULL, 0)))
        return FALSE;
    // Older systems want the hash object from the caller; newer ones make their own when given
    // none, which is what a provider whose object does not fit here gets.
    ULONG objectSize = 0;
    ULONG written = 0;
    PUCHAR object = stream->hashObject;
    if (!BCRYPT_SUCCESS(BCryptGetProperty(stream->algorithm, BCRYPT_OBJECT_LENGTH, (PUCHAR)&objectSize,
                                          sizeof objectSize, &written, 0)) ||
        objectSize > sizeof stream->hashObject) {
        object = NULL;
        objectSize = 0;
    }
    if (BCRYPT_SUCCESS(BCryptCreateHash(stream->algorithm, &stream->hash, object, objectSize, NULL, 0, 0)))
        return TRUE;
    stream->hash = NULL;
    BCryptCloseAlgorithmProvider(stream->algorithm, 0);
    stream->algorithm = NULL;
    return FALSE;
}

BOOL AddSha256(Sha256Stream *stream, const BYTE *data, DWORD size)
{
    return BCRYPT_SUCCESS(BCryptHashData(stream->hash, (PUCHAR)data, size, 0));
}

BOOL FinishSha256(Sha256Stream *stream, BYTE digest[Sha256Size], BOOL hashed)
{
    if (stream->hash == NULL)
        return FALSE;
    hashed = hashed && BCRYPT_SUCCESS(BCryptFinishHash(stream->hash, digest, Sha256Size, 0));
    BCryptDestroyHash(stream->hash);
    BCryptCloseAlgorithmProvider(stream->algorithm, 0);
    stream->hash = NULL;
    stream->algorithm = NULL;
    return hashed;
}

// The SHA-256 digest of data, from the system's provider.
static BOOL HashSha256(const BYTE *data, DWORD size, BYTE digest[Sha256Size])
{
    Sha256Stream stream;
    if (!BeginSha256(&stream))
        return FALSE;
    return FinishSha256(&stream, digest, AddSha256(&stream, data, size));
}

ErrorValue VerifyItemSignature(ItemDigestMaker makeDigest, void *context, const BYTE *signature, DWORD signatureLength,
                               const ItemSites *sites, BYTE digest[Sha256Size])
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
        if (makeDigest(digest, context)) {
            BCRYPT_PKCS1_PADDING_INFO padding;
            padding.pszAlgId = BCRYPT_SHA256_ALGORITHM;
            // A signature of any length other than the modulus's fails here.
            if (BCRYPT_SUCCESS(BCryptVerifySignature(publicKey, &padding, digest, Sha256Size, (PUCHAR)signature,
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

struct HeldOutput {
    const BYTE *data;
    DWORD size;
};

static BOOL HashHeldOutput(BYTE digest[Sha256Size], void *context)
{
    const HeldOutput *output = (const HeldOutput *)context;
    return HashSha256(output->data, output->size, digest);
}

// Makes the item's output from its data field and, in a signed container, verifies it. An item
// with an empty data field takes the same road: a signed container never hands out bytes that
// were not checked against the key.
static ErrorValue ProduceItem(const PayloadDescriptor *descriptor, const BYTE *data, DWORD dataLength,
                              const BYTE *signature, DWORD signatureLength, const ItemSites *sites, BYTE **outData,
                              DWORD *outSize, BYTE digest[Sha256Size])
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
        HeldOutput held = {output, outputSize};
        ErrorValue verified = VerifyItemSignature(HashHeldOutput, &held, signature, signatureLength, sites, digest);
        if (ErrorValueCode(verified) != 0) {
            FreeItemOutput(output);
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

// What FindPayloadItem looks for, and the item it stopped at.
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

ErrorValue FindPayloadItem(const PayloadDescriptor *descriptor, const BYTE kind[16], DWORD itemId,
                           PayloadItemPlace *place)
{
    ItemSearch search;
    search.kind = kind;
    search.itemId = itemId;
    search.found = FALSE;
    WalkPayloadItems(descriptor, MatchItem, &search);
    if (!search.found)
        return MakeFixedErrorValue(ERROR_NOT_FOUND, LineItemNotFound);
    *place = search.place;
    return MakeFixedErrorValue(ERROR_SUCCESS, 0);
}

ErrorValue ReadPayloadItem(const PayloadDescriptor *descriptor, const BYTE kind[16], DWORD itemId, BYTE **outData,
                           DWORD *outSize, BYTE *outDigest)
{
    *outData = NULL;
    *outSize = 0;
    BYTE digest[Sha256Size];
    memset(digest, 0, sizeof digest);

    PayloadItemPlace place;
    ErrorValue found = FindPayloadItem(descriptor, kind, itemId, &place);
    if (ErrorValueCode(found) != 0)
        return found;
    ErrorValue result = ProduceItem(descriptor, descriptor->image + place.dataStart, place.trailer.dataLength,
                                    descriptor->image + place.signatureStart, place.trailer.signatureLength,
                                    ItemSitesOf(place.head), outData, outSize, digest);
    if (outDigest != NULL && ErrorValueCode(result) == 0)
        memcpy(outDigest, digest, Sha256Size);
    return result;
}
