// Reading a packed installer back exactly as the launcher does: the launcher's own locator,
// item reader and package selection, built into the packer.
#pragma once

#include "packer/byte_io.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace packer {

// The launcher's rule for a name that becomes a path component (a cabinet, a ProductCode
// folder), for UTF-8 text; false for text that is not UTF-8.
bool IsPlainFileNameUtf8(const std::string &name);
// The launcher's rule for two such names that are one file on Windows (letter case ignored).
bool IsSameFileNameUtf8(const std::string &first, const std::string &second);

// The key (a 276-byte public key blob) that payload items are verified with from now on.
void SetPayloadVerificationKey(const Bytes &blob);

// What the signed directory of a file item's container says of the item's output.
enum class Binding {
    NotChecked, // a head item, or one that did not read
    None,       // the directory binds no item (packed before bindings)
    Matches,
    Missing, // the directory binds items, but not this one
    Differs, // it names another output: the item is another release's
};

struct LauncherFailure {
    std::uint32_t code = 0; // Win32 code, 0 for success
    std::uint32_t line = 0; // the launcher's failure site
};

std::string Describe(const LauncherFailure &failure);

// What is wrong with an item whose binding is missing or differs, in words.
std::string BindingProblem(Binding binding);

// A package directory's record as the launcher reads it (SplitDirectoryRecord), its texts in UTF-8.
struct DirectoryRecord {
    std::uint32_t id;
    std::string path;
    std::string kind;      // "package", "cabinet", "binding" or "unknown"
    std::string languages; // a package entry's languages, a cabinet's package ids
    std::string name;      // the name that becomes a path component: the ProductCode, the cabinet's name
};

struct ItemInfo {
    bool head;
    std::uint32_t id;
    std::uint32_t dataLength;
    std::uint32_t signatureLength;
    // False when an item nearer the end has the same id: the launcher never reads this one.
    bool read;
    std::uint32_t outputLength; // when read successfully
    LauncherFailure result;     // of the launcher's ReadPayloadItem for this kind and id, when read
    Binding binding = Binding::NotChecked;
};

struct ContainerInfo {
    std::uint32_t size;
    std::vector<DirectoryRecord> records;
    std::vector<ItemInfo> items; // the items the launcher's walk reaches, in file order
    bool chainComplete;          // the walk from the end reached the head item
};

struct PayloadReport {
    LauncherFailure locate;    // the launcher's LocatePayload
    bool fromCarriers = false; // the containers came from carrier extensions
    // The container ends where the certificate table begins (a file signed after packing), not
    // at the end of the file.
    bool beforeCertificateTable = false;
    // What the file holds besides the payload taken, which the launcher ignores: carriers in a
    // file signed after packing, a container behind the signature object.
    bool ignoredCarriers = false;
    bool ignoredContainerAtEnd = false;
    std::vector<ContainerInfo> containers;
};

// Offered each window of an item's output as the streaming check inflates it, in order; called
// for several items at once, from as many threads. The output is verified only when the item's
// result says so, after the last window.
using OutputPieceVisitor = std::function<void(std::size_t container, std::size_t position, const ItemInfo &item,
                                              const std::uint8_t *output, std::size_t length)>;

// Locates the containers of a file image as the launcher would and checks every item it would read
// with the streaming form of its item check (the same outcome, no item's output held whole), on
// the given number of threads (0: one per core).
PayloadReport CheckPayload(ByteView image, const OutputPieceVisitor &visit = nullptr, unsigned threads = 0);

// The payload of a file on disk, as CheckPayload reads it: only the headers, the certificate
// table and the items' trailers are held, each item's data is read a window at a time.
PayloadReport CheckPayloadFile(const std::string &path, const OutputPieceVisitor &visit = nullptr,
                               unsigned threads = 0);

struct SelectedFile {
    std::string name;
    std::uint64_t length = 0; // once its content has been offered
};

struct Selection {
    std::string productCode;
    std::string productName;
    std::vector<SelectedFile> files; // main.msi first, then its cabinets
};

// Offered the chosen package and its files' names before any of their content is read.
using SelectionVisitor = std::function<void(const Selection &)>;
// Offered each piece of a chosen file's content (its index in Selection::files), in order, file
// after file. A file's content is verified only after its last piece.
using FileContentVisitor = std::function<void(std::size_t file, const std::uint8_t *data, std::size_t length)>;

// The launcher's package selection for a user locale, its files read with the streaming item
// check: none is held whole. Throws PackError when the launcher would find no package, also when
// a file of the chosen one does not read, and when one does not match its binding in the signed
// directory.
Selection SelectPackageFor(ByteView image, std::uint32_t lcid, const FileContentVisitor &content,
                           const SelectionVisitor &chosen = nullptr);

// The id of the package entry that the launcher's selection takes from a package directory for a
// user locale; 0 for none.
std::uint32_t ChosenPackageId(const Bytes &directory, std::uint32_t lcid);

} // namespace packer
