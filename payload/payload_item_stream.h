// The item check as a stream: the same walk, inflation and signature rules as ReadPayloadItem,
// with the output inflated and hashed a window at a time and offered to the caller, never held
// whole. The packer reads its output back with it.
#pragma once

#include "payload/payload_item.h"

// Offered each window of an item's output as it is inflated, in order.
typedef void (*ItemOutputVisitor)(const BYTE *output, DWORD size, void *context);

// ReadPayloadItem's outcome (code and site) for the kind and id, with the output offered to
// visit (may be null) instead of handed over; *outSize holds its length on success, 0 on failure,
// and outDigest (may be null) what ReadPayloadItem's holds. An output offered before a failure
// was not verified.
ErrorValue CheckPayloadItem(const PayloadDescriptor *descriptor, const BYTE kind[16], DWORD itemId,
                            ItemOutputVisitor visit, void *context, DWORD *outSize, BYTE *outDigest);

// Reads size bytes of a container, from offset on, into buffer; FALSE when it cannot.
typedef BOOL (*ContainerReader)(DWORD offset, BYTE *buffer, DWORD size, void *context);

// CheckPayloadItem for a container whose trailers descriptor->image holds but whose items' data
// and signatures are read through read, a window at a time. A read that fails ends the check with
// code ERROR_READ_FAULT.
ErrorValue CheckPayloadItemFrom(const PayloadDescriptor *descriptor, ContainerReader read, void *readContext,
                                const BYTE kind[16], DWORD itemId, ItemOutputVisitor visit, void *context,
                                DWORD *outSize, BYTE *outDigest);
