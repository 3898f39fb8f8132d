// The ready stub's key slot as it is built: empty until launcher-pack stub sets it, and an empty
// slot accepts no payload: every signed item fails as a key that can't be loaded, a correctly
// signed one too.
#include "tests/unit/payload_fixtures.h"

#include <gtest/gtest.h>

namespace {

using namespace fixtures;

TEST(PayloadKeySlot, AnEmptySlotAcceptsNoPayloadItem)
{
    BYTE key[PayloadPublicKeySize];
    std::fill(std::begin(key), std::end(key), 0xA5);
    AssemblePayloadPublicKey(key);
    EXPECT_EQ(Bytes(std::begin(key), std::end(key)), Bytes(PayloadPublicKeySize, 0));

    Bytes container = writer::WriteContainer({{writer::ItemKind::Head, 0, Pattern(190, 1)},
                                              {writer::ItemKind::File, 1000, Pattern(5000, 2)},
                                              {writer::ItemKind::File, 1001, Pattern(70000, 3)}},
                                             writer::ContainerOptions{}, TestKey());
    struct Read {
        const BYTE *kind;
        DWORD id;
        DWORD line;
    } reads[] = {{HeadItemGuid, 0, 599}, {FileItemGuid, 1000, 739}, {FileItemGuid, 1001, 739}};
    for (const Read &read : reads) {
        SCOPED_TRACE(read.id);
        ItemResult result = ReadItem(container, PayloadFlagCompressed | PayloadFlagSigned, read.kind, read.id);
        EXPECT_EQ(result.code, 0x80090003u); // NTE_BAD_KEY
        EXPECT_EQ(result.line, read.line);
        EXPECT_FALSE(result.handedOver);
    }
}

} // namespace
