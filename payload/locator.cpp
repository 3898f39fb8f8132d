#include "payload/locator.h"
#include "payload/payload_format.h"

#include <windows.h>
#include <wincrypt.h>
#include <string.h>

#include "launcher/launcher_state.h"
#include "payload/payload_item.h"

// E_INVALIDARG: what a decoder failure reports when the decoder set no last error.
static const DWORD DecoderDefaultCode = 0x80070057u;

static const DWORD MinimumImageSize = 64;
static const DWORD NtHeadersSize = 264; // signature, file header, PE32+ optional header
static const WORD DosSignature = 0x5A4D;
static const DWORD NtSignature = 0x00004550;
static const WORD Pe32PlusMagic = 0x20B;
static const DWORD CertificateEntryHeaderSize = 8;

// The length of the DER object at the start of body, header included. The whole body when the
// header gives no definite length or claims more than the body holds: the decoder then judges
// it. Payload items behind the object are never handed to the decoder, which need not accept
// them (some decoders also refuse very large update buffers).
static DWORD LeadingObjectSize(const BYTE *body, DWORD bodySize)
{
    DWORD position = 1;
    if (bodySize < 2)
        return bodySize;
    if ((body[0] & 0x1F) == 0x1F) {
        // High tag number: continuation bytes, then the last tag byte.
        while (position < bodySize && (body[position] & 0x80))
            position++;
        position++;
    }
    if (position >= bodySize)
        return bodySize;
    BYTE first = body[position++];
    ULONGLONG contentLength = first;
    if (first == 0x80)
        return bodySize;
    if (first > 0x80) {
        DWORD count = first & 0x7F;
        if (count > 4 || (ULONGLONG)position + count > bodySize)
            return bodySize;
        contentLength = 0;
        for (DWORD i = 0; i < count; i++)
            contentLength = (contentLength << 8) | body[position++];
    }
    ULONGLONG objectSize = position + contentLength;
    return objectSize <= bodySize ? (DWORD)objectSize : bodySize;
}

// Reads the package directory of the first size bytes of image (a local-heap block) and appends
// a descriptor that takes the block over. On failure everything made here is released, nothing
// is appended, and the block stays with the caller.
static ErrorValue ReadContainer(LauncherState *state, BYTE *image, DWORD size, DWORD appendFailureLine)
{
    PayloadDescriptor descriptor;
    memset(&descriptor, 0, sizeof descriptor);
    descriptor.flags = PayloadFlagCompressed | PayloadFlagSigned;
    descriptor.imageSize = size;
    descriptor.image = image;

    ErrorValue result =
        ReadPayloadItem(&descriptor, HeadItemGuid, 0, &descriptor.directory, &descriptor.directorySize, NULL);
    if (ErrorValueCode(result) != 0)
        return result;
    if (!AppendPayloadDescriptor(state, &descriptor)) {
        result = MakeErrorValue(GetLastError, ERROR_NOT_ENOUGH_MEMORY, appendFailureLine);
        FreeItemOutput(descriptor.directory);
    }
    return result;
}

// A private copy of bytes as one container, as ReadContainer takes it.
static ErrorValue LoadContainer(LauncherState *state, const BYTE *bytes, DWORD size, DWORD copyFailureLine,
                                DWORD appendFailureLine)
{
    BYTE *image = (BYTE *)LocalAlloc(LMEM_FIXED, size);
    if (image == NULL)
        return MakeErrorValue(GetLastError, ERROR_NOT_ENOUGH_MEMORY, copyFailureLine);
    if (size > 0)
        memcpy(image, bytes, size);
    ErrorValue result = ReadContainer(state, image, size, appendFailureLine);
    if (ErrorValueCode(result) != 0)
        LocalFree(image);
    return result;
}

static BOOL IsCarrierExtension(const CERT_EXTENSION *extension)
{
    return !extension->fCritical && extension->pszObjId != NULL &&
           strcmp(extension->pszObjId, PayloadExtensionOid) == 0;
}

// Loads every carrier extension of the certificate at index into the descriptor list, or with
// no state only counts them into *carriers. *result receives the last container's value or the
// failure; FALSE when the search must stop.
static BOOL LoadCertificateCarriers(LauncherState *state, HCRYPTMSG message, DWORD index, ErrorValue *result,
                                    DWORD *carriers)
{
    DWORD encodedSize = 0;
    if (!CryptMsgGetParam(message, CMSG_CERT_PARAM, index, NULL, &encodedSize)) {
        *result = MakeErrorValue(GetLastError, DecoderDefaultCode, 937);
        return FALSE;
    }
    BYTE *encoded = (BYTE *)LocalAlloc(LMEM_FIXED, encodedSize);
    if (encoded == NULL) {
        *result = MakeErrorValue(GetLastError, ERROR_NOT_ENOUGH_MEMORY, 932);
        return FALSE;
    }
    if (!CryptMsgGetParam(message, CMSG_CERT_PARAM, index, encoded, &encodedSize)) {
        *result = MakeErrorValue(GetLastError, DecoderDefaultCode, 924);
        LocalFree(encoded);
        return FALSE;
    }
    PCCERT_CONTEXT certificate = CertCreateCertificateContext(X509_ASN_ENCODING, encoded, encodedSize);
    if (certificate == NULL) {
        *result = MakeErrorValue(GetLastError, DecoderDefaultCode, 919);
        LocalFree(encoded);
        return FALSE;
    }

    BOOL goOn = TRUE;
    const CERT_INFO *info = certificate->pCertInfo;
    for (DWORD i = 0; i < info->cExtension && goOn; i++) {
        const CERT_EXTENSION *extension = &info->rgExtension[i];
        if (!IsCarrierExtension(extension))
            continue;
        (*carriers)++;
        if (state == NULL)
            continue;
        *result = LoadContainer(state, extension->Value.pbData, extension->Value.cbData, 907, 892);
        goOn = ErrorValueCode(*result) == 0;
    }

    CertFreeCertificateContext(certificate);
    LocalFree(encoded);
    return goOn;
}

// Feeds the first certificate-table entry to the decoder and walks its certificates.
static ErrorValue ReadSignatureObject(LauncherState *state, HCRYPTMSG message, const BYTE *table, DWORD tableSize,
                                      DWORD *carriers)
{
    ErrorValue result = MakeFixedErrorValue(0, 789);

    // An entry that claims fewer bytes than its own header or more than the table holds is
    // reported like one that does not decode; nothing outside the table reaches the decoder.
    DWORD entryLength = ReadU32(table);
    if (entryLength < CertificateEntryHeaderSize || entryLength > tableSize)
        return MakeFixedErrorValue(DecoderDefaultCode, 837);
    const BYTE *body = table + CertificateEntryHeaderSize;
    DWORD bodySize = entryLength - CertificateEntryHeaderSize;
    if (!CryptMsgUpdate(message, body, LeadingObjectSize(body, bodySize), TRUE))
        return MakeErrorValue(GetLastError, DecoderDefaultCode, 837);

    DWORD count = 0;
    DWORD countSize = sizeof count;
    if (!CryptMsgGetParam(message, CMSG_CERT_COUNT_PARAM, 0, &count, &countSize))
        return MakeErrorValue(GetLastError, DecoderDefaultCode, 846);

    for (DWORD index = 0; index < count; index++) {
        if (!LoadCertificateCarriers(state, message, index, &result, carriers))
            break;
    }
    return result;
}

// The carriers of the signature object in the certificate table (counted into *carriers), each
// loaded as a container unless state is null.
static ErrorValue ReadCarriers(LauncherState *state, const BYTE *table, DWORD tableSize, DWORD *carriers)
{
    HCRYPTMSG message = CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING, 0, 0, 0, NULL, NULL);
    if (message == NULL)
        return MakeErrorValue(GetLastError, DecoderDefaultCode, 831);
    ErrorValue result = ReadSignatureObject(state, message, table, tableSize, carriers);
    CryptMsgClose(message);
    return result;
}

// The attribute certificate table of a PE32+ image, when its headers check out and it has one
// of at least one entry header within the image.
static BOOL FindCertificateTable(const BYTE *image, DWORD imageSize, DWORD *tableOffset, DWORD *tableSize)
{
    if (imageSize < MinimumImageSize || ReadU16(image) != DosSignature)
        return FALSE;
    DWORD ntOffset = ReadU32(image + 0x3C);
    if ((ULONGLONG)ntOffset + NtHeadersSize > imageSize)
        return FALSE;
    const BYTE *ntHeaders = image + ntOffset;
    if (ReadU32(ntHeaders) != NtSignature || ReadU16(ntHeaders + 24) != Pe32PlusMagic)
        return FALSE;
    *tableOffset = ReadU32(ntHeaders + 168);
    *tableSize = ReadU32(ntHeaders + 172);
    return *tableSize >= CertificateEntryHeaderSize && (ULONGLONG)*tableOffset + *tableSize <= imageSize;
}

// A file signed after packing holds its items in front of the certificate table that the signing
// tool appended, with up to 7 zero bytes between them when the file's length was not a multiple
// of 8. The end of that container: the first end, from the table's offset back over at most 7
// zero bytes, behind which a trailer of a known kind lies.
static BOOL FindContainerBeforeTable(const BYTE *image, DWORD tableOffset, DWORD *end)
{
    for (DWORD skipped = 0; skipped < CertificateTableAlignment && skipped <= tableOffset; skipped++) {
        DWORD candidate = tableOffset - skipped;
        if (skipped > 0 && image[candidate] != 0)
            return FALSE;
        if (candidate >= ItemTrailerSize && IsItemKind(image + candidate - ItemTrailerSize)) {
            *end = candidate;
            return TRUE;
        }
    }
    return FALSE;
}

ErrorValue LocatePayload(LauncherState *state, BYTE *image, DWORD imageSize, DWORD *placement)
{
    // Headers that do not check out mean a file without a table: its end is where one would begin.
    DWORD tableOffset = 0;
    DWORD tableSize = 0;
    DWORD end = imageSize;
    if (!FindCertificateTable(image, imageSize, &tableOffset, &tableSize) ||
        FindContainerBeforeTable(image, tableOffset, &end)) {
        *placement = PayloadBeforeTable;
        return ReadContainer(state, image, end, 2001);
    }
    DWORD carriers = 0;
    ErrorValue result = ReadCarriers(state, image + tableOffset, tableSize, &carriers);
    if (ErrorValueCode(result) != 0 || carriers != 0) {
        *placement = PayloadInCarriers;
        return result;
    }
    *placement = PayloadAtFileEnd;
    return ReadContainer(state, image, imageSize, 2001);
}

ErrorValue LocatePayloadInBlock(LauncherState *state, BYTE *image, DWORD imageSize, DWORD *placement)
{
    ErrorValue result = LocatePayload(state, image, imageSize, placement);
    if (ErrorValueCode(result) != 0 || *placement == PayloadInCarriers)
        LocalFree(image);
    return result;
}

static BOOL NoteHeadItem(const PayloadItemPlace *place, void *context)
{
    *(BOOL *)context = place->head;
    return TRUE;
}

DWORD FindIgnoredPayloads(const BYTE *image, DWORD imageSize, DWORD placement)
{
    DWORD tableOffset = 0;
    DWORD tableSize = 0;
    DWORD ignored = 0;
    if (placement == PayloadAtFileEnd || !FindCertificateTable(image, imageSize, &tableOffset, &tableSize))
        return ignored;
    DWORD carriers = 0;
    if (placement == PayloadBeforeTable &&
        ErrorValueCode(ReadCarriers(NULL, image + tableOffset, tableSize, &carriers)) == 0 && carriers != 0)
        ignored |= IgnoredCarriers;
    // A chain of items from the file's end to a head item.
    PayloadDescriptor end;
    memset(&end, 0, sizeof end);
    end.image = (BYTE *)image;
    end.imageSize = imageSize;
    BOOL reachesHead = FALSE;
    WalkPayloadItems(&end, NoteHeadItem, &reachesHead);
    if (reachesHead)
        ignored |= IgnoredContainerAtEnd;
    return ignored;
}
