// verify's reading of an installer on disk: the input is written to a memory file and read back by
// its path, so that the file image (only its headers and signature object loaded), the payload's
// ranges loaded from the file, the copy of them that the launcher's code takes, the items read a
// window at a time from the file and the Authenticode image digest read from the file all run as
// they do for verify. In this build a byte of the file image that was never loaded can't be read
// unnoticed; and what the file gives must be what the same bytes in memory give, so a range that
// is missing from what was loaded is a finding even where its bytes read as zero.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include "packer/keys/payload_key.h"
#include "packer/keys/pem_key.h"
#include "packer/pack_error.h"
#include "packer/payload/payload_reader.h"
#include "packer/pe/authenticode.h"
#include "packer/pe/file_image.h"

namespace {

const packer::Bytes &TestKeyBlob()
{
    static const packer::Bytes blob = packer::PublicKeyBlob(packer::LoadKey({FUZZ_TEST_KEY, ""}).get(), "the test key");
    return blob;
}

// One memory file for the whole run, rewritten for each input.
const std::string &InputPath()
{
    static const std::string path = [] {
        const int file = memfd_create("fuzz_verify_file", 0);
        if (file < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        return "/proc/self/fd/" + std::to_string(file);
    }();
    return path;
}

void WriteInput(const std::uint8_t *data, std::size_t size)
{
    const int file = std::stoi(InputPath().substr(std::string("/proc/self/fd/").size()));
    if (ftruncate(file, 0) != 0)
        std::abort();
    for (std::size_t done = 0; done < size;) {
        const ssize_t written = pwrite(file, data + done, size - done, static_cast<off_t>(done));
        if (written <= 0)
            std::abort();
        done += static_cast<std::size_t>(written);
    }
}

std::string Summary(const packer::LauncherFailure &failure)
{
    return std::to_string(failure.code) + "/" + std::to_string(failure.line);
}

std::string Summary(const packer::PayloadReport &report)
{
    std::ostringstream text;
    text << Summary(report.locate) << ' ' << report.fromCarriers << report.beforeCertificateTable;
    for (const auto &container : report.containers) {
        text << "\n[" << container.size << ' ' << container.chainComplete;
        for (const auto &record : container.records)
            text << " r" << record.id << ':' << record.path;
        for (const auto &item : container.items)
            text << " i" << item.head << item.id << ',' << item.dataLength << ',' << item.signatureLength << ','
                 << item.read << ',' << item.outputLength << ',' << Summary(item.result);
        text << ']';
    }
    return text.str();
}

std::string Summary(const packer::AuthenticodeCheck &check)
{
    std::ostringstream text;
    text << static_cast<int>(check.status) << ' ' << check.detail << ' ' << check.timestampDetail;
    for (const auto &nested : check.nested)
        text << " n" << nested.valid << nested.detail;
    return text.str();
}

// The launcher's choice for one language, with every chosen file's content, or why it fails.
std::string ChoiceSummary(packer::ByteView image, std::uint32_t lcid)
{
    try {
        std::uint64_t content = 0;
        const packer::Selection selection =
            packer::SelectPackageFor(image, lcid, [&](std::size_t file, const std::uint8_t *data, std::size_t length) {
                for (std::size_t i = 0; i < length; ++i)
                    content = content * 31 + data[i] + file;
            });
        std::string text = selection.productCode + " " + std::to_string(content);
        for (const auto &file : selection.files)
            text += " " + file.name + ":" + std::to_string(file.length);
        return text;
    } catch (const packer::PackError &error) {
        return error.what();
    }
}

void Differ(const char *what, const std::string &fromFile, const std::string &fromMemory)
{
    std::fprintf(stderr, "the file and the same bytes in memory give different %s:\nfile:   %s\nmemory: %s\n", what,
                 fromFile.c_str(), fromMemory.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    WriteInput(data, size);
    const packer::Bytes bytes(data, data + size);
    std::optional<packer::FileImage> image;
    try {
        image.emplace(InputPath());
    } catch (const packer::ReadError &error) {
        std::fprintf(stderr, "%s\n", error.what());
        std::abort();
    }

    std::optional<packer::Bytes> slotKey;
    try {
        slotKey = packer::ReadSlotKey(*image, "file");
    } catch (const packer::PackError &) {
    }
    packer::SetPayloadVerificationKey(slotKey ? *slotKey : TestKeyBlob());

    const packer::PayloadReport report = packer::CheckPayload(*image, nullptr, 1);
    const std::string fromFile = Summary(report);
    const std::string fromMemory = Summary(packer::CheckPayload(bytes, nullptr, 1));
    if (fromFile != fromMemory)
        Differ("payload reports", fromFile, fromMemory);

    // The chain to the fixtures' root on inputs of odd size, as in the buffer's target.
    const std::string roots = size % 2 == 1 ? FUZZ_CA_FILE : "";
    const std::string signedFile = Summary(packer::CheckAuthenticode(*image, roots));
    const std::string signedMemory = Summary(packer::CheckAuthenticode(bytes, roots));
    if (signedFile != signedMemory)
        Differ("Authenticode checks", signedFile, signedMemory);
    const packer::PaddingCheck padding = packer::CheckCertificatePadding(*image);
    const packer::PaddingCheck paddingMemory = packer::CheckCertificatePadding(bytes);
    if (padding.status != paddingMemory.status || padding.detail != paddingMemory.detail)
        Differ("padding checks", padding.detail, paddingMemory.detail);

    if (report.locate.code == 0) {
        // One language a run, chosen by the size: English, German by its primary language, and
        // one no seed names, which falls back to 1033.
        const std::uint32_t languages[] = {1033, 3079, 1036};
        const std::uint32_t lcid = languages[size % 3];
        const std::string chosenFromFile = ChoiceSummary(*image, lcid);
        const std::string chosenFromMemory = ChoiceSummary(bytes, lcid);
        if (chosenFromFile != chosenFromMemory)
            Differ("choices", chosenFromFile, chosenFromMemory);
    }
    return 0;
}
