// The packer's reader of a PE image and its certificate table, as inspect, verify and extract
// run it on a file anyone may hand them: the layout, the signature entry and its carrier
// certificates, the key slot, and what follows the table.
#include <cstddef>
#include <cstdint>

#include "packer/pe/authenticode.h"
#include "packer/pack_error.h"
#include "packer/keys/payload_key.h"
#include "packer/pe/pe_image.h"
#include "packer/pe/signature_object.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const packer::Bytes image(data, data + size);
    packer::BytesAfterCertificateTable(image);
    try {
        const packer::PeLayout layout = packer::ReadPeLayout(image, "file");
        packer::SignatureEntry entry;
        if (packer::FindSignatureEntry(image, layout, entry, "file"))
            packer::FindCarrierValues(image.data() + entry.offset + 8, entry.objectLength);
    } catch (const packer::PackError &) {
    }
    try {
        if (auto key = packer::ReadSlotKey(image, "file"))
            packer::KeyFingerprint(*key);
    } catch (const packer::PackError &) {
    }
    return 0;
}
