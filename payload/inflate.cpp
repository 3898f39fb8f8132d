// Inflating one payload item's data field. The format does not record the inflated length, so
// the output grows with every zlib call, inside address space reserved for the largest output a
// 32-bit length can describe: growing commits pages and never moves what was made.
#include "payload/inflate.h"

#include <string.h>
#include <zlib.h>

static const SIZE_T OutputReservation = (SIZE_T)0xFFFFFFFFu + 1;
static const SIZE_T PageSize = 4096;
// The most fresh output space one zlib call gets, committed ahead of the output.
static const DWORD OutputWindow = 1u << 20;

static SIZE_T RoundUpToPage(SIZE_T bytes)
{
    return (bytes + PageSize - 1) & ~(PageSize - 1);
}

BYTE *AllocateItemOutput(DWORD size)
{
    // A block of no bytes is still a block: the caller gets a pointer to free like any other.
    SIZE_T bytes = size > 0 ? (SIZE_T)size : 1;
    return (BYTE *)VirtualAlloc(NULL, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreeItemOutput(BYTE *data)
{
    if (data != NULL)
        VirtualFree(data, 0, MEM_RELEASE);
}

int InflateItemCall(z_stream *stream, BYTE *output, DWORD produced, DWORD window)
{
    if (!ItemOutputFits(produced, window))
        return Z_MEM_ERROR;
    stream->next_out = output;
    stream->avail_out = window;
    int status = inflate(stream, Z_NO_FLUSH);
    if (status == Z_STREAM_ERROR || status == Z_NEED_DICT)
        status = Z_DATA_ERROR;
    // Z_BUF_ERROR only says the input given is used up.
    return status == Z_BUF_ERROR ? Z_OK : status;
}

int InflateItemEnd(int lastStatus)
{
    // The input ended inside the stream, or there was none.
    return lastStatus == Z_STREAM_END ? Z_OK : Z_DATA_ERROR;
}

// Ends the stream and releases whatever was produced; a failure never hands out partial output.
static int FailInflate(z_stream *stream, BYTE *buffer, int status)
{
    inflateEnd(stream);
    FreeItemOutput(buffer);
    return status;
}

int InflateBuffer(BYTE **outData, DWORD *outSize, const BYTE *input, DWORD inputSize)
{
    // Short inputs get a fixed step; longer ones an eighth of their length, so that large items
    // need few zlib calls.
    DWORD step = inputSize < 256 ? 256 : inputSize / 8;
    *outData = NULL;
    *outSize = 0;

    z_stream stream;
    memset(&stream, 0, sizeof stream);
    int status = inflateInit(&stream);
    if (status != Z_OK)
        return status;

    BYTE *buffer = (BYTE *)VirtualAlloc(NULL, OutputReservation, MEM_RESERVE, PAGE_NOACCESS);
    if (buffer == NULL)
        return FailInflate(&stream, NULL, Z_MEM_ERROR);
    SIZE_T committed = 0;
    DWORD produced = 0;
    DWORD consumed = 0;
    for (;;) {
        DWORD slice = inputSize - consumed < step ? inputSize - consumed : step;
        if (slice == 0)
            break;
        stream.next_in = (Bytef *)(input + consumed);
        stream.avail_in = slice;

        do {
            // Each call gets a step of output space, or as much as was made so far when that is
            // more (a well-compressed item needs fewer calls), at most a window.
            DWORD window = produced > step ? produced : step;
            if (window > OutputWindow)
                window = OutputWindow;
            if (!ItemOutputFits(produced, window))
                return FailInflate(&stream, buffer, Z_MEM_ERROR);
            SIZE_T needed = RoundUpToPage((SIZE_T)produced + window);
            if (needed > committed) {
                if (VirtualAlloc(buffer + committed, needed - committed, MEM_COMMIT, PAGE_READWRITE) == NULL)
                    return FailInflate(&stream, buffer, Z_MEM_ERROR);
                committed = needed;
            }

            status = InflateItemCall(&stream, buffer + produced, produced, window);
            if (status == Z_DATA_ERROR || status == Z_MEM_ERROR)
                return FailInflate(&stream, buffer, status);
            produced += window - stream.avail_out;
        } while (stream.avail_out == 0);

        consumed += slice - stream.avail_in;
        if (status == Z_STREAM_END)
            break;
    }

    if (InflateItemEnd(status) != Z_OK)
        return FailInflate(&stream, buffer, Z_DATA_ERROR);
    inflateEnd(&stream);
    *outData = buffer;
    *outSize = produced;
    return Z_OK;
}
