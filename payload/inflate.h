// Inflating one complete zlib stream held in memory into a new local-heap buffer.
#pragma once

#include <windows.h>

// Returns 0 (Z_OK) with the output in *outData (LocalFree it) and its exact length in
// *outSize, or a negative zlib status with *outData null and *outSize 0: -3 for a damaged,
// truncated or empty stream, -4 when memory runs out. Bytes after the stream are ignored.
int InflateBuffer(BYTE **outData, DWORD *outSize, const BYTE *input, DWORD inputSize);
