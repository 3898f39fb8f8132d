#include "payload/payload_item_stream.h"

#include <stdlib.h>
#include <string.h>

#include "payload/inflate.h"

enum { StreamWindow = 1u << 20 };

// An item's data, from the container in memory or read a window at a time.
struct ItemInput {
    const BYTE *memory; // the container's bytes, or NULL to read them
    ContainerReader read;
    void *readContext;
    BYTE *window;
    DWORD position; // container offset of the next byte
    DWORD remaining;
    BOOL failed;
};

// The next part of the input; FALSE at its end or when a read fails.
static BOOL NextInput(ItemInput *input, const BYTE **data, DWORD *size)
{
    if (input->remaining == 0)
        return FALSE;
    DWORD part = input->remaining;
    if (input->memory != NULL) {
        *data = input->memory + input->position;
    } else {
        if (part > StreamWindow)
            part = StreamWindow;
        if (!input->read(input->position, input->window, part, input->readContext)) {
            input->failed = TRUE;
            return FALSE;
        }
        *data = input->window;
    }
    *size = part;
    input->position += part;
    input->remaining -= part;
    return TRUE;
}

// The output so far: hashed and offered as it comes.
struct OutputStream {
    ItemOutputVisitor visit;
    void *context;
    Sha256Stream hash;
    BOOL hashing;
    BOOL hashed;
    DWORD size;
};

static void TakeOutput(OutputStream *out, const BYTE *data, DWORD size)
{
    if (size == 0)
        return;
    if (out->hashing)
        out->hashed = out->hashed && AddSha256(&out->hash, data, size);
    if (out->visit != NULL)
        out->visit(data, size, out->context);
    out->size += size;
}

struct MadeDigest {
    OutputStream *out;
};

static BOOL FinishDigest(BYTE digest[Sha256Size], void *context)
{
    OutputStream *out = ((MadeDigest *)context)->out;
    out->hashing = FALSE;
    return FinishSha256(&out->hash, digest, out->hashed);
}

// Inflates the input into out a window at a time with the item rules; Z_OK or the failing status.
static int InflateInto(OutputStream *out, ItemInput *input)
{
    BYTE *window = (BYTE *)malloc(StreamWindow);
    z_stream stream;
    memset(&stream, 0, sizeof stream);
    if (window == NULL || inflateInit(&stream) != Z_OK) {
        free(window);
        return Z_MEM_ERROR;
    }
    int status;
    do {
        const BYTE *data;
        DWORD size;
        if (stream.avail_in == 0 && NextInput(input, &data, &size)) {
            stream.next_in = (Bytef *)data;
            stream.avail_in = size;
        }
        if (input->failed) {
            status = Z_ERRNO;
            break;
        }
        status = InflateItemCall(&stream, window, out->size, StreamWindow);
        if (status == Z_OK || status == Z_STREAM_END)
            TakeOutput(out, window, StreamWindow - stream.avail_out);
        // Inflation goes on while it fills windows, or while input is left to give it.
    } while (status == Z_OK && (stream.avail_out == 0 || (stream.avail_in == 0 && input->remaining > 0)));
    inflateEnd(&stream);
    free(window);
    return status == Z_OK || status == Z_STREAM_END ? InflateItemEnd(status) : status;
}

// Stored data, as it comes.
static void CopyInto(OutputStream *out, ItemInput *input)
{
    const BYTE *data;
    DWORD size;
    while (NextInput(input, &data, &size))
        TakeOutput(out, data, size);
}

static ErrorValue CheckItem(const PayloadDescriptor *descriptor, ContainerReader read, void *readContext,
                            const BYTE kind[16], DWORD itemId, ItemOutputVisitor visit, void *context, DWORD *outSize,
                            BYTE *outDigest)
{
    *outSize = 0;
    PayloadItemPlace place;
    ErrorValue found = FindPayloadItem(descriptor, kind, itemId, &place);
    if (ErrorValueCode(found) != 0)
        return found;
    const ItemSites *sites = ItemSitesOf(place.head);
    const ErrorValue readFault = MakeFixedErrorValue(ERROR_READ_FAULT, 0);

    ItemInput input;
    input.memory = read == NULL ? descriptor->image : NULL;
    input.read = read;
    input.readContext = readContext;
    input.window = NULL;
    input.position = place.dataStart;
    input.remaining = place.trailer.dataLength;
    input.failed = FALSE;
    if (read != NULL) {
        input.window = (BYTE *)malloc(StreamWindow);
        if (input.window == NULL)
            return MakeFixedErrorValue(ERROR_NOT_ENOUGH_MEMORY, 0);
    }
    // The signature, where it lies.
    BYTE *signatureCopy = NULL;
    const BYTE *signature = descriptor->image + place.signatureStart;
    if (read != NULL && (descriptor->flags & PayloadFlagSigned)) {
        signatureCopy = (BYTE *)malloc(place.trailer.signatureLength > 0 ? place.trailer.signatureLength : 1);
        if (signatureCopy == NULL ||
            !read(place.signatureStart, signatureCopy, place.trailer.signatureLength, readContext)) {
            free(signatureCopy);
            free(input.window);
            return readFault;
        }
        signature = signatureCopy;
    }

    OutputStream out;
    out.visit = visit;
    out.context = context;
    out.hashing = (descriptor->flags & PayloadFlagSigned) != 0;
    out.hashed = out.hashing && BeginSha256(&out.hash);
    out.size = 0;
    DWORD successLine;
    int status = Z_OK;
    if (descriptor->flags & PayloadFlagCompressed) {
        status = InflateInto(&out, &input);
        successLine = sites->inflated;
    } else {
        CopyInto(&out, &input);
        successLine = sites->stored;
    }
    free(input.window);
    // A hash that began is always finished, so that its provider is released.
    MadeDigest digest = {&out};
    BYTE made[Sha256Size];
    memset(made, 0, sizeof made);
    ErrorValue result = MakeFixedErrorValue(ERROR_SUCCESS, successLine);
    if (input.failed)
        result = readFault;
    else if (status != Z_OK)
        result = MakeFixedErrorValue(ERROR_INVALID_DATA, sites->inflateFailed);
    else if (descriptor->flags & PayloadFlagSigned) {
        ErrorValue verified =
            VerifyItemSignature(FinishDigest, &digest, signature, place.trailer.signatureLength, sites, made);
        if (ErrorValueCode(verified) != 0)
            result = verified;
    }
    if (out.hashing) {
        BYTE unused[Sha256Size];
        FinishDigest(unused, &digest);
    }
    free(signatureCopy);
    if (ErrorValueCode(result) == 0) {
        *outSize = out.size;
        if (outDigest != NULL)
            memcpy(outDigest, made, Sha256Size);
    }
    return result;
}

ErrorValue CheckPayloadItem(const PayloadDescriptor *descriptor, const BYTE kind[16], DWORD itemId,
                            ItemOutputVisitor visit, void *context, DWORD *outSize, BYTE *outDigest)
{
    return CheckItem(descriptor, NULL, NULL, kind, itemId, visit, context, outSize, outDigest);
}

ErrorValue CheckPayloadItemFrom(const PayloadDescriptor *descriptor, ContainerReader read, void *readContext,
                                const BYTE kind[16], DWORD itemId, ItemOutputVisitor visit, void *context,
                                DWORD *outSize, BYTE *outDigest)
{
    return CheckItem(descriptor, read, readContext, kind, itemId, visit, context, outSize, outDigest);
}
