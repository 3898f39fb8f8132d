// What the reading commands (inspect, verify, extract) share: the installer with the key it is
// read with, and the launcher's findings about its payload in words.
#pragma once

#include "packer/byte_io.h"
#include "packer/commands/commands.h"
#include "packer/payload/payload_reader.h"
#include "packer/pe/file_image.h"

#include <optional>
#include <string>
#include <vector>

namespace packer::reading {

struct LoadedFile {
    FileImage image;
    std::string keySource;        // where the key used comes from, in words
    bool keyMatchesFile = true;   // the launcher in the file carries the key used
    std::optional<Bytes> key;     // the key used; none when the slot is empty and none was given
    std::optional<Bytes> slotKey; // the key in the launcher's slot
    std::string fingerprint;      // of the key used, or NoKeySet
    std::string slotProblem;      // why the launcher has no key slot to read, when it has none
};

// The file, with the verification key chosen: the one given, else the one in the launcher's key
// slot, and nowhere else.
LoadedFile LoadForReading(const ReadOptions &options);

bool IsSigned(ByteView image);

// The launcher's lookup found no payload at all, as opposed to one it can't read.
bool NoPayload(const PayloadReport &report);

// Why the launcher finds no payload, in words first.
std::string LocateProblem(ByteView image, const PayloadReport &report);

std::string DescribeStub(ByteView image);

// "certificate", "end", "overlay" or "none found", and a detail for the end and overlay ones.
std::string PlacementName(ByteView image, const PayloadReport &report);
std::string PlacementDetail(ByteView image, const PayloadReport &report);

// A JSON string that is always valid UTF-8: a byte that is not part of well-formed UTF-8
// (file names and directory paths can hold any bytes) is written as the code point of the same
// value, \u0080 to \u00ff.
std::string JsonString(const std::string &text);
// A JSON array of such strings.
std::string JsonStrings(const std::vector<std::string> &texts);

std::string ItemResult(const ItemInfo &item);

// "matches", "none", "missing" or "differs"; empty when not checked.
std::string BindingName(Binding binding);

// Every file item the launcher would read matches its binding in the signed directory.
bool ItemsBound(const PayloadReport &report);

// What the file holds besides the payload the launcher takes, in words: "carriers outside the
// signature, ignored", "a container behind the signature object, ignored".
std::vector<std::string> IgnoredPayloads(const PayloadReport &report);

// What keeps the launcher from reading every item of the payload, in words.
std::vector<std::string> PayloadProblems(const LoadedFile &file, const PayloadReport &report);

} // namespace packer::reading
