// The payload reader as verify runs it: the key from the launcher's slot (the test key when the
// slot can't be read, so that items still verify), every item of every container read with the
// launcher's own code, then the launcher's choice for one of a few languages.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "packer/keys/pem_key.h"
#include "packer/pack_error.h"
#include "packer/keys/payload_key.h"
#include "packer/payload/payload_reader.h"

namespace {

const packer::Bytes &TestKeyBlob()
{
    static const packer::Bytes blob = packer::PublicKeyBlob(packer::LoadKey({FUZZ_TEST_KEY, ""}).get(), "the test key");
    return blob;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const packer::Bytes image(data, data + size);
    std::optional<packer::Bytes> slotKey;
    try {
        slotKey = packer::ReadSlotKey(image, "file");
    } catch (const packer::PackError &) {
    }
    packer::SetPayloadVerificationKey(slotKey ? *slotKey : TestKeyBlob());
    const packer::PayloadReport report = packer::CheckPayload(image, nullptr, 1);
    if (report.locate.code == 0) {
        // One language a run, chosen by the size: English, German by its primary language, and
        // one no seed names, which falls back to 1033.
        const std::uint32_t languages[] = {1033, 3079, 1036};
        try {
            packer::SelectPackageFor(image, languages[size % 3], [](std::size_t, const std::uint8_t *, std::size_t) {});
        } catch (const packer::PackError &) {
        }
    }
    return 0;
}
