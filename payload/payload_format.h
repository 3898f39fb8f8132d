// The payload container format as the launcher reads it and the writer and the packer make it:
// item kinds, container flags, the item trailer, the package directory record, the public key
// blob, and the little-endian fields they are made of.
#pragma once

#include <stdint.h>

enum {
    PayloadFlagCompressed = 1, // every item's data is a zlib stream
    PayloadFlagSigned = 2,     // every item's output is verified
};

// The object identifier of a certificate extension that carries a payload container, in the
// dotted form in which the certificate decoder presents it.
inline constexpr char PayloadExtensionOid[] =
    "1.2.840.113556.1.8000.2554.2951.50896.53846.17503.37240.13145692.12219546";

// Item kinds: GUIDs in the Windows in-memory layout, compared as 16 raw bytes.
enum { ItemKindSize = 16 };
// {EED5BBF7-1284-4619-918C-F0CB8EE28B55}: the package directory; it ends every walk.
inline constexpr uint8_t HeadItemGuid[ItemKindSize] = {0xf7, 0xbb, 0xd5, 0xee, 0x84, 0x12, 0x19, 0x46,
                                                       0x91, 0x8c, 0xf0, 0xcb, 0x8e, 0xe2, 0x8b, 0x55};
// {A1248CD9-EF96-436B-92BF-C00BAD727E63}: one package file.
inline constexpr uint8_t FileItemGuid[ItemKindSize] = {0xd9, 0x8c, 0x24, 0xa1, 0x96, 0xef, 0x6b, 0x43,
                                                       0x92, 0xbf, 0xc0, 0x0b, 0xad, 0x72, 0x7e, 0x63};

// True for the 16 bytes of either item kind.
inline bool IsItemKind(const uint8_t *kind)
{
    bool head = true;
    bool file = true;
    for (int i = 0; i < ItemKindSize; i++) {
        head = head && kind[i] == HeadItemGuid[i];
        file = file && kind[i] == FileItemGuid[i];
    }
    return head || file;
}

// Certificate table entries, and so the table's offset in a file signed after packing, are
// aligned to this many bytes: a signing tool pads the file with up to 7 zero bytes in front of
// the table it appends.
enum { CertificateTableAlignment = 8 };

inline uint16_t ReadU16(const uint8_t *bytes)
{
    return (uint16_t)(bytes[0] | (bytes[1] << 8));
}

inline uint32_t ReadU32(const uint8_t *bytes)
{
    return (uint32_t)bytes[0] | ((uint32_t)bytes[1] << 8) | ((uint32_t)bytes[2] << 16) | ((uint32_t)bytes[3] << 24);
}

inline void WriteU32(uint8_t *bytes, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        bytes[i] = (uint8_t)(value >> (8 * i));
}

// Each item is its data, its signature and this trailer, back to back; the head item comes
// first and the last item's trailer ends the container. The trailer is not signed.
enum {
    ItemTrailerSize = 28,
    TrailerItemIdOffset = 16,          // 0 for the head item
    TrailerSignatureLengthOffset = 20, // bytes of signature directly before the trailer
    TrailerDataLengthOffset = 24,      // bytes of data directly before the signature
};

struct ItemTrailer {
    uint8_t kind[ItemKindSize];
    uint32_t itemId;
    uint32_t signatureLength;
    uint32_t dataLength;
};

inline ItemTrailer ReadItemTrailer(const uint8_t *bytes)
{
    ItemTrailer trailer;
    for (int i = 0; i < ItemKindSize; i++)
        trailer.kind[i] = bytes[i];
    trailer.itemId = ReadU32(bytes + TrailerItemIdOffset);
    trailer.signatureLength = ReadU32(bytes + TrailerSignatureLengthOffset);
    trailer.dataLength = ReadU32(bytes + TrailerDataLengthOffset);
    return trailer;
}

inline void WriteItemTrailer(uint8_t bytes[ItemTrailerSize], const ItemTrailer &trailer)
{
    for (int i = 0; i < ItemKindSize; i++)
        bytes[i] = trailer.kind[i];
    WriteU32(bytes + TrailerItemIdOffset, trailer.itemId);
    WriteU32(bytes + TrailerSignatureLengthOffset, trailer.signatureLength);
    WriteU32(bytes + TrailerDataLengthOffset, trailer.dataLength);
}

// A package directory record: the item id, the byte length of the path (its NUL included),
// then the path in UTF-16LE.
enum { DirectoryRecordHeaderSize = 8 };

enum { Sha256Size = 32 };

// A binding record ties a file item to the output it was packed with, inside the signed
// directory: its id is the file item's, its path "sha256\<64 lowercase hex digits>\<decimal
// length>". An item's own signature covers its output only, so without the binding an item of
// another release signed with the same key could take its place. Three components whose first
// is not "cab": the walks for packages and cabinets pass over it.
enum {
    BindingWordLength = 6, // "sha256"
    BindingDigestDigits = 2 * Sha256Size,
    BindingLengthDigits = 10, // the most a 32-bit length takes
    BindingPathMaxLength = BindingWordLength + 1 + BindingDigestDigits + 1 + BindingLengthDigits,
};
inline constexpr char BindingWord[BindingWordLength + 1] = "sha256";

// The binding path of an output with this digest and length, NUL-terminated, into text; returns
// its length. The one spelling (lowercase digits, the length without leading zeros): a binding is
// compared as text.
inline int FormatBindingPath(char (&text)[BindingPathMaxLength + 1], const uint8_t digest[Sha256Size], uint32_t length)
{
    static const char hex[] = "0123456789abcdef";
    int at = 0;
    for (int i = 0; i < BindingWordLength; i++)
        text[at++] = BindingWord[i];
    text[at++] = '\\';
    for (int i = 0; i < Sha256Size; i++) {
        text[at++] = hex[digest[i] >> 4];
        text[at++] = hex[digest[i] & 15];
    }
    text[at++] = '\\';
    char reversed[BindingLengthDigits];
    int digits = 0;
    do {
        reversed[digits++] = (char)('0' + length % 10);
        length /= 10;
    } while (length != 0);
    while (digits > 0)
        text[at++] = reversed[--digits];
    text[at] = '\0';
    return at;
}

// A binding record is any whose path begins with "sha256\\" (code units of any width,
// NUL-terminated). It binds an output only when its path is the one FormatBindingPath makes.
template <typename Unit> inline bool IsBindingPath(const Unit *path)
{
    for (int i = 0; i < BindingWordLength; i++)
        if (path[i] != (Unit)BindingWord[i])
            return false;
    return path[BindingWordLength] == (Unit)'\\';
}

// The verification key: a public key blob of a 2048-bit RSA key with exponent 65537, this
// header followed by the modulus, little-endian.
enum { PayloadPublicKeySize = 276, PayloadPublicKeyHeaderSize = 20 };
// bType PUBLICKEYBLOB, bVersion 2, reserved, CALG_RSA_KEYX, "RSA1", 2048 bits, exponent 65537.
inline constexpr uint8_t PayloadPublicKeyHeader[PayloadPublicKeyHeaderSize] = {0x06, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00,
                                                                               0x00, 0x52, 0x53, 0x41, 0x31, 0x00, 0x08,
                                                                               0x00, 0x00, 0x01, 0x00, 0x01, 0x00};

// The one rule for a verification key blob, which the launcher and every command of the packer
// apply: all of the header, exponent 65537 included, is the one above. An empty slot fails it,
// and so does any other exponent: under e = 1 a signature is its own padded digest, which anyone
// can write.
inline bool IsPayloadPublicKeyBlob(const uint8_t key[PayloadPublicKeySize])
{
    for (int i = 0; i < PayloadPublicKeyHeaderSize; i++)
        if (key[i] != PayloadPublicKeyHeader[i])
            return false;
    return true;
}

// The key slot of the ready stub: this marker, found once in the image, directly followed by
// the verification key's public key blob. The blob is all zeros, which no key loader accepts,
// until `launcher-pack stub` sets it; the image is signed after that.
enum { PayloadKeySlotMarkerSize = 32 };
inline constexpr uint8_t PayloadKeySlotMarker[PayloadKeySlotMarkerSize] = {
    'P',  'a',  'y',  'l',  'o',  'a',  'd',  ' ',  'k',  'e',  'y',  ' ',  's',  'l',  'o',  't',
    0x4c, 0xda, 0x46, 0x63, 0x39, 0x21, 0x70, 0x4b, 0x0b, 0x64, 0xb8, 0x9f, 0xd5, 0x49, 0xef, 0xd9};

// The slot as the image holds it. Every launcher build has one: the ready stub's blob is empty,
// a build with its key fixed at build time fills it; the packer reads the key from here only.
struct PayloadKeySlot {
    uint8_t marker[PayloadKeySlotMarkerSize];
    uint8_t key[PayloadPublicKeySize];
};

inline constexpr PayloadKeySlot MakePayloadKeySlot(const uint8_t (&key)[PayloadPublicKeySize])
{
    PayloadKeySlot slot = {};
    for (int i = 0; i < PayloadKeySlotMarkerSize; i++)
        slot.marker[i] = PayloadKeySlotMarker[i];
    for (int i = 0; i < PayloadPublicKeySize; i++)
        slot.key[i] = key[i];
    return slot;
}
