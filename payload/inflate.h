// Inflating one complete zlib stream held in memory into a new item output block.
#pragma once

#include <windows.h>

#include <zlib.h>

// Returns 0 (Z_OK) with the output in *outData (free it with FreeItemOutput) and its exact
// length in *outSize, or a negative zlib status with *outData null and *outSize 0: -3 for a
// damaged, truncated or empty stream, -4 when memory runs out. Bytes after the stream are
// ignored.
int InflateBuffer(BYTE **outData, DWORD *outSize, const BYTE *input, DWORD inputSize);

// Item outputs are blocks of address space of their own (VirtualAlloc), so that an inflating
// output grows without being copied. AllocateItemOutput gives a block of size bytes (null when
// it cannot); FreeItemOutput releases any item output, and ignores null.
BYTE *AllocateItemOutput(DWORD size);
void FreeItemOutput(BYTE *data);

// The output length is 32-bit: a stream that could inflate past it in the next window of
// output cannot be held.
inline bool ItemOutputFits(DWORD produced, DWORD window)
{
    return produced <= 0xFFFFFFFFu - window;
}

// The rules of an item's inflation, shared by InflateBuffer and the streaming item check. One
// zlib call on stream into window bytes at output, with produced bytes made before: Z_OK to go
// on, Z_STREAM_END at the stream's end, Z_DATA_ERROR for a damaged stream, Z_MEM_ERROR when
// memory runs out or the output would pass 32 bits.
int InflateItemCall(z_stream *stream, BYTE *output, DWORD produced, DWORD window);
// The status for the whole item from the last call's: a stream must end (Z_OK), or the item is
// damaged (Z_DATA_ERROR).
int InflateItemEnd(int lastStatus);
