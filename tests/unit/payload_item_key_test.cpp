// ReadPayloadItem built with a key blob that does not load (see tests/unit/CMakeLists.txt).
#include "payload/payload_item.h"

#include "tests/unit/payload_fixtures.h"

#include <gtest/gtest.h>

namespace {

using namespace fixtures;
using writer::ItemKind;

TEST(ReadPayloadItem, KeyThatDoesNotLoadFailsEverySignedItem)
{
    Bytes directory = Pattern(190, 1);
    Bytes file = Pattern(5000, 2);
    writer::ContainerOptions options;
    Bytes container =
        writer::WriteContainer({{ItemKind::Head, 0, directory}, {ItemKind::File, 1000, file}}, options, TestKey());

    for (DWORD flags : {DWORD{PayloadFlagCompressed | PayloadFlagSigned}, DWORD{PayloadFlagSigned}}) {
        SCOPED_TRACE("flags " + std::to_string(flags));
        Bytes image = flags & PayloadFlagCompressed
                          ? container
                          : writer::WriteContainer({{ItemKind::Head, 0, directory}, {ItemKind::File, 1000, file}},
                                                   writer::ContainerOptions{false, true, 9}, TestKey());
        ItemResult head = ReadItem(image, flags, HeadItemGuid, 0);
        EXPECT_EQ(head.code, 0x80090003u);
        EXPECT_EQ(head.line, 599u);
        EXPECT_FALSE(head.handedOver);
        ItemResult item = ReadItem(image, flags, FileItemGuid, 1000);
        EXPECT_EQ(item.code, 0x80090003u);
        EXPECT_EQ(item.line, 739u);
        EXPECT_FALSE(item.handedOver);
    }

    // Without the signed flag no key is loaded.
    ItemResult unsignedRead = ReadItem(container, PayloadFlagCompressed, FileItemGuid, 1000);
    EXPECT_EQ(unsignedRead.code, 0u);
    EXPECT_EQ(unsignedRead.output, file);
}

} // namespace
