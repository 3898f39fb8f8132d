// Finding the payload containers in the executable's own file image.
#pragma once

#include <windows.h>

#include "launcher/error_value.h"

struct LauncherState;

// Where the payload was taken from. Only the first of these that the file holds is read.
enum PayloadPlacement {
    PayloadNotFound = 0,
    // A container that ends where the certificate table begins, over up to 7 zero bytes (a file
    // signed after packing: the signature covers it), or at the end of a file without a table.
    PayloadBeforeTable,
    // Carrier extensions of the certificates in the table's signature object.
    PayloadInCarriers,
    // A container that ends the file, in a file with a table: behind the signature object.
    PayloadAtFileEnd,
};

// Finds the payload of a file image and appends a descriptor (with its package directory) to
// state->payloads for each container, from the first placement above that the image holds: a
// payload under the Authenticode signature beats the certificate table, which the signature
// does not cover, and the table's carriers beat bytes behind the signature object. A container
// taken from the image is its front part: that descriptor's image is image itself, which must
// then outlive it (the launcher's descriptor frees it; any other caller takes it back first).
// Carriers are copied. *placement tells which was taken; with nothing to take, the result is the
// not-found failure of the whole image (code 1168, line 509).
ErrorValue LocatePayload(LauncherState *state, BYTE *image, DWORD imageSize, DWORD *placement);

// LocatePayload over image, a local-heap block that this takes over: a descriptor keeps it, or
// it is freed before returning.
ErrorValue LocatePayloadInBlock(LauncherState *state, BYTE *image, DWORD imageSize, DWORD *placement);

// What LocatePayload left unread in an image whose payload it took from placement, which the
// launcher never looks at.
enum IgnoredPayload {
    IgnoredCarriers = 1,       // carrier extensions in the signature object, outside the signature
    IgnoredContainerAtEnd = 2, // a container that ends the file, behind the signature object
};
DWORD FindIgnoredPayloads(const BYTE *image, DWORD imageSize, DWORD placement);
