// Inflating one complete zlib stream held in memory into a new item output block.
#pragma once

#include <windows.h>

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
