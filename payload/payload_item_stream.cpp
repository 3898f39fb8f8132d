#include "payload/payload_item_stream.h"

#include <stdlib.h>
#include <string.h>

#include "payload/inflate.h"

enum { StreamWindow = 1u << 20 };

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

// Inflates data into out a window at a time with the item rules; Z_OK or the failing status.
static int InflateInto(OutputStream *out, const BYTE *data, DWORD dataLength)
{
    BYTE *window = (BYTE *)malloc(StreamWindow);
    z_stream stream;
    memset(&stream, 0, sizeof stream);
    if (window == NULL || inflateInit(&stream) != Z_OK) {
        free(window);
        return Z_MEM_ERROR;
    }
    stream.next_in = (Bytef *)data;
    stream.avail_in = dataLength;
    int status;
    do {
        status = InflateItemCall(&stream, window, out->size, StreamWindow);
        if (status == Z_OK || status == Z_STREAM_END)
            TakeOutput(out, window, StreamWindow - stream.avail_out);
    } while (status == Z_OK && stream.avail_out == 0);
    inflateEnd(&stream);
    free(window);
    return status == Z_OK || status == Z_STREAM_END ? InflateItemEnd(status) : status;
}

ErrorValue CheckPayloadItem(const PayloadDescriptor *descriptor, const BYTE kind[16], DWORD itemId,
                            ItemOutputVisitor visit, void *context, DWORD *outSize)
{
    *outSize = 0;
    PayloadItemPlace place;
    ErrorValue found = FindPayloadItem(descriptor, kind, itemId, &place);
    if (ErrorValueCode(found) != 0)
        return found;
    const ItemSites *sites = ItemSitesOf(place.head);
    const BYTE *data = descriptor->image + place.dataStart;

    OutputStream out;
    out.visit = visit;
    out.context = context;
    out.hashing = (descriptor->flags & PayloadFlagSigned) != 0;
    out.hashed = out.hashing && BeginSha256(&out.hash);
    out.size = 0;
    DWORD successLine;
    int status = Z_OK;
    if (descriptor->flags & PayloadFlagCompressed) {
        status = InflateInto(&out, data, place.trailer.dataLength);
        successLine = sites->inflated;
    } else {
        TakeOutput(&out, data, place.trailer.dataLength);
        successLine = sites->stored;
    }
    // A hash that began is always finished, so that its provider is released.
    MadeDigest digest = {&out};
    BYTE unused[Sha256Size];
    if (status != Z_OK) {
        if (out.hashing)
            FinishDigest(unused, &digest);
        return MakeFixedErrorValue(ERROR_INVALID_DATA, sites->inflateFailed);
    }
    if (descriptor->flags & PayloadFlagSigned) {
        ErrorValue verified = VerifyItemSignature(FinishDigest, &digest, descriptor->image + place.signatureStart,
                                                  place.trailer.signatureLength, sites);
        if (out.hashing)
            FinishDigest(unused, &digest);
        if (ErrorValueCode(verified) != 0)
            return verified;
    }
    *outSize = out.size;
    return MakeFixedErrorValue(ERROR_SUCCESS, successLine);
}
