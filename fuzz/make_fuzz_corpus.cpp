// Writes the seed corpora of the fuzz targets with the payload writer: valid containers
// (signed and compressed, and the unsigned and stored forms), signed PE images that carry them
// behind the signature or in certificate extensions, real zlib streams, package directories
// and command lines. Usage: make_fuzz_corpus OUTPUT_DIR KEY_PEM
#include <openssl/sha.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/fixtures/fixtures.h"
#include "writer/container_writer.h"

namespace {

using writer::Bytes;
namespace fs = std::filesystem;

fs::path outputRoot;
writer::PrivateKey key;

void Seed(const std::string &target, const std::string &name, const Bytes &bytes)
{
    fs::path folder = outputRoot / target;
    fs::create_directories(folder);
    std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush())
        throw std::runtime_error("cannot write " + (folder / name).string());
}

Bytes Text(const std::string &text, std::size_t repeat = 1)
{
    Bytes bytes;
    for (std::size_t i = 0; i < repeat; i++)
        bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

Bytes Join(Bytes first, const Bytes &second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

std::vector<writer::DirectoryEntry> Directory(const std::string &language, const std::string &productCode)
{
    return {{1000, "x64\\" + language + "\\" + productCode + "\\Product"},
            {1001, "cab\\1000\\disk1.cab"},
            {1002, "Intel\\1033\\{A}\\Product"},
            {1003, "cab\\1002;1000\\disk2.cab"}};
}

Bytes Container(const std::vector<writer::DirectoryEntry> &entries, bool compressed, bool sign)
{
    std::vector<writer::ContainerItem> items = {{writer::ItemKind::Head, 0, writer::WriteDirectory(entries)}};
    for (const auto &entry : entries)
        if (!IsBindingPath(entry.path.c_str()))
            items.push_back({writer::ItemKind::File, entry.id, Text("content of item " + std::to_string(entry.id), 8)});
    writer::ContainerOptions options;
    options.compressed = compressed;
    options.sign = sign;
    return writer::WriteContainer(items, options, key.get());
}

// The directory with a binding record for each of its file items, as pack writes it.
std::vector<writer::DirectoryEntry> Bound(std::vector<writer::DirectoryEntry> entries)
{
    const std::size_t files = entries.size();
    for (std::size_t i = 0; i < files; ++i) {
        const Bytes content = Text("content of item " + std::to_string(entries[i].id), 8);
        std::uint8_t digest[SHA256_DIGEST_LENGTH];
        SHA256(content.data(), content.size(), digest);
        entries.push_back(writer::BindingEntry(entries[i].id, digest, content.size()));
    }
    return entries;
}

Bytes U32(std::uint32_t value)
{
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

Bytes Utf16(const std::string &text)
{
    Bytes bytes;
    for (char c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(0);
    }
    return bytes;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_fuzz_corpus OUTPUT_DIR KEY_PEM\n");
        return 2;
    }
    try {
        outputRoot = argv[1];
        key = writer::LoadPrivateKey(argv[2]);
        const std::string code = "{6D2F1C3B-8E4A-4B5C-9D6E-7F8091A2B3C4}";
        Bytes english = Container(Directory("1033", code), true, true);
        Bytes german = Container(Directory("1031;3079", "{B}"), true, true);

        // The whole read path: images as the launcher finds itself.
        Seed("read_path", "container", english);
        Seed("read_path", "unsigned-pe-with-container", Join(fixtures::UnsignedPe(), english));
        Seed("read_path", "behind-signature", fixtures::EmbedBehindSignature(fixtures::SignedPe(), english));
        Seed("read_path", "signed-pe", fixtures::SignedPe());
        // Signed last, its items bound, with a carrier beside it in the table that is never read.
        Seed("read_path", "signed-last-bound",
             fixtures::WithCertificateEntry(
                 Join(fixtures::UnsignedPe(), Container(Bound(Directory("1033", code)), true, true)),
                 fixtures::MakeSignatureObject({{fixtures::Extension{german}}})));
        Seed("read_path", "carriers",
             fixtures::WithCertificateEntry(
                 fixtures::UnsignedPe(),
                 fixtures::MakeSignatureObject({{fixtures::Extension{german}}, {fixtures::Extension{english}}})));

        // One item: flags and kind, item id, container.
        const struct {
            const char *name;
            std::uint8_t selector; // bits 0-1 flags, bit 2 a file item
            std::uint32_t id;
            bool compressed, sign;
        } items[] = {{"head-signed", 3, 0, true, true},
                     {"file-signed", 7, 1001, true, true},
                     {"file-stored", 4, 1000, false, false},
                     {"file-compressed", 5, 1003, true, false},
                     {"head-stored", 0, 0, false, false}};
        for (const auto &item : items)
            Seed("payload_item", item.name,
                 Join(Join({item.selector}, U32(item.id)),
                      Container(Directory("1033", code), item.compressed, item.sign)));

        // zlib streams.
        for (int level : {0, 1, 6, 9})
            Seed("inflate", "level" + std::to_string(level),
                 writer::CompressZlib(Text("Installer cabinet row ", 64), level));
        Seed("inflate", "empty", writer::CompressZlib({}, 9));
        Seed("inflate", "binary", writer::CompressZlib(fixtures::UnsignedPe(), 9));

        // Directories with the container their entries point into.
        const struct {
            const char *name;
            std::uint8_t language; // index into the target's list
            std::vector<writer::DirectoryEntry> entries;
        } directories[] = {{"english", 0, Directory("1033", code)},
                           {"german-primary", 1, Directory("1031;3079", "{B}")},
                           {"fallback", 4, Directory("1033", code)},
                           {"twice", 0, {{1000, "x64\\1033\\{P}\\P"}, {1001, "cab\\1000;1000\\a.cab"}}}};
        for (const auto &directory : directories) {
            Bytes listing = writer::WriteDirectory(directory.entries);
            Bytes input = {directory.language, static_cast<std::uint8_t>(listing.size()),
                           static_cast<std::uint8_t>(listing.size() >> 8)};
            Seed("directory", directory.name, Join(Join(input, listing), Container(directory.entries, false, false)));
        }

        // Command lines.
        Seed("command_line", "arguments", Utf16("\"C:\\Downloads\\setup.exe\" /qn TRANSFORMS=a.mst \"A B\" \"\""));
        Seed("command_line", "plain", Utf16("setup.exe"));
        Seed("command_line", "long", Utf16("setup.exe PROPERTY=" + std::string(1000, 'v')));
        Seed("command_line", "separators", Utf16("a\tb\r\nc \"d\"e\"f g\" /QUIET"));
    } catch (const std::exception &error) {
        std::fprintf(stderr, "make_fuzz_corpus: %s\n", error.what());
        return 1;
    }
    return 0;
}
