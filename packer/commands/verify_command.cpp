// verify: the release gate, every check of an installer against the key and signer it must carry.

#include "packer/commands/commands.h"

#include "packer/cli/console.h"
#include "packer/commands/installer_reading.h"
#include "packer/keys/payload_key.h"
#include "packer/pack_error.h"
#include "packer/payload/payload_reader.h"
#include "packer/pe/authenticode.h"
#include "packer/pe/file_image.h"

#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <optional>
#include <set>

namespace packer {

using namespace reading;

bool IsKeyFingerprint(const std::string &text)
{
    const std::size_t prefix = FingerprintPrefix.size();
    return text.size() == prefix + 2 * SHA256_DIGEST_LENGTH && text.compare(0, prefix, FingerprintPrefix) == 0 &&
           std::all_of(text.begin() + prefix, text.end(), [](unsigned char c) { return std::isxdigit(c); });
}

namespace {

std::vector<std::string> Split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    for (std::size_t begin = 0;;) {
        std::size_t end = text.find(separator, begin);
        parts.push_back(text.substr(begin, end - begin));
        if (end == std::string::npos)
            return parts;
        begin = end + 1;
    }
}

struct OutputFile {
    std::string name;
    std::size_t size;
    std::string sha256;
};

struct LocaleChoice {
    std::uint32_t lcid;
    std::string productCode; // empty when the launcher chooses nothing
    std::string productName;
    std::vector<OutputFile> files;
};

// Every language a package names, and with the fallback 1033, the launcher's last resort.
std::vector<std::uint32_t> DirectoryLocales(const PayloadReport &report, bool withFallback)
{
    std::set<std::uint32_t> locales;
    if (withFallback)
        locales.insert(1033);
    for (const auto &container : report.containers)
        for (const auto &record : container.records) {
            if (record.kind != "package")
                continue;
            for (const auto &language : Split(record.languages, ';'))
                if (!language.empty() && language.size() <= 5 &&
                    std::all_of(language.begin(), language.end(), [](unsigned char c) { return std::isdigit(c); }))
                    locales.insert(static_cast<std::uint32_t>(std::stoul(language)));
        }
    return {locales.begin(), locales.end()};
}

// The names in the directory that become path components, checked with the launcher's rule.
void CheckDirectoryNames(const PayloadReport &report, std::vector<std::string> &problems)
{
    for (const auto &container : report.containers)
        for (const auto &record : container.records) {
            if ((record.kind == "package" || record.kind == "cabinet") && !IsPlainFileNameUtf8(record.name))
                problems.push_back((record.kind == "cabinet" ? "cabinet name \"" : "ProductCode \"") + record.name +
                                   "\" is one the launcher refuses (a device name, a trailing dot or space, or a "
                                   "character a file name can't hold): rename it and pack again");
        }
}

// What Authenticode covers besides the launcher's own checks: whether Windows with the padding
// check on sees the signature, and whether the signature covers the payload, which it does only
// for a payload in front of the certificate table (signed after packing).
struct SignatureCoverage {
    PaddingCheck padding;
    bool payloadUnderSignature;
};

SignatureCoverage CoverageOf(const LoadedFile &file, const AuthenticodeCheck &authenticode, const PayloadReport &report)
{
    return {CheckCertificatePadding(file.image),
            authenticode.status == AuthenticodeCheck::Status::Valid && report.beforeCertificateTable};
}

std::string PaddingText(const PaddingCheck &padding)
{
    switch (padding.status) {
    case PaddingCheck::Status::Unsigned:
        return "does not apply (unsigned)";
    case PaddingCheck::Status::Passes:
        return "passes";
    case PaddingCheck::Status::Fails:
        break;
    }
    return "fails (" + padding.detail + ")";
}

// "SHA256:" and the hex digits in lowercase, as verify prints a fingerprint.
std::string NormalFingerprint(const std::string &text)
{
    std::string normal(FingerprintPrefix);
    std::transform(text.begin() + static_cast<std::ptrdiff_t>(FingerprintPrefix.size()), text.end(),
                   std::back_inserter(normal), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return normal;
}

// The key the installer must carry, and where that comes from in words.
struct ExpectedKey {
    std::string fingerprint; // empty with --trust-file-key
    std::string source;
};

// Every pin given holds: --key and --expect-key that name different keys are a usage error,
// never one quietly taken over the other.
ExpectedKey ExpectedKeyOf(const VerifyOptions &options)
{
    ExpectedKey expected;
    if (options.read.key.Given())
        expected = {KeyFingerprint(PublicKeyBlob(OpenPublicKey(options.read.key).get(), options.read.key.Name())),
                    "the key of --key " + options.read.key.Name()};
    if (options.expectKey.empty())
        return expected;
    const std::string pinned = NormalFingerprint(options.expectKey);
    if (expected.fingerprint.empty())
        return {pinned, "--expect-key"};
    if (expected.fingerprint != pinned)
        throw UsageError("--key " + options.read.key.Name() + " is " + expected.fingerprint +
                         ", but --expect-key names " + pinned + ": give the one key the installer must carry");
    expected.source += " and --expect-key";
    return expected;
}

// --trust-file-key beside a pin names the file's own key as well: the two must agree.
void CheckTrustedFileKey(const VerifyOptions &options, const ExpectedKey &expected, const LoadedFile &file)
{
    if (options.trustFileKey && !expected.fingerprint.empty() && file.key && file.fingerprint != expected.fingerprint)
        throw UsageError("--trust-file-key trusts the installer's own key " + file.fingerprint + ", but " +
                         expected.source + " names " + expected.fingerprint +
                         ": give either the pin or --trust-file-key");
}

const char *ChainStatus(const ChainReport &chain)
{
    static const char *const names[] = {"not checked", "valid", "invalid"};
    return names[static_cast<int>(chain.status)];
}

std::string ChainText(const ChainReport &chain)
{
    if (chain.status == ChainReport::Status::NotChecked)
        return chain.detail.empty() ? "not checked (give --ca-file; revocation is never checked)"
                                    : "not checked: " + chain.detail;
    return chain.status == ChainReport::Status::Valid ? chain.detail : "invalid: " + chain.detail;
}

// The signer, its chain and its nested signatures, as JSON members.
void PrintSignerJson(const AuthenticodeCheck &authenticode, const VerifyOptions &options, std::ostream &out)
{
    out << ",\n  \"signer\": {\"subject\": "
        << (authenticode.primary.signerSubject.empty() ? "null" : JsonString(authenticode.primary.signerSubject))
        << ", \"fingerprint\": "
        << (authenticode.primary.signerFingerprint.empty() ? "null"
                                                           : JsonString(authenticode.primary.signerFingerprint))
        << ", \"expected\": "
        << (options.expectSigner.empty() ? "null" : JsonString(NormalFingerprint(options.expectSigner)))
        << "},\n  \"chain\": {\"status\": " << JsonString(ChainStatus(authenticode.chain))
        << ", \"detail\": " << JsonString(authenticode.chain.detail)
        << ", \"caFile\": " << (options.caFile.empty() ? "null" : JsonString(options.caFile))
        << ", \"revocationChecked\": false},\n  \"timestamp\": {\"time\": "
        << (authenticode.timestamp.empty() ? "null" : JsonString(authenticode.timestamp))
        << ", \"result\": " << JsonString(authenticode.timestampDetail)
        << "},\n  \"strictPolicy\": {\"enforced\": " << (options.strict ? "true" : "false") << ", \"rules\": {";
    for (std::size_t i = 0; i < authenticode.policy.size(); ++i) {
        const PolicyRule &rule = authenticode.policy[i];
        out << (i ? ", " : "") << JsonString(rule.name) << ": {\"met\": " << (rule.met ? "true" : "false")
            << ", \"rule\": " << JsonString(rule.rule) << ", \"found\": " << JsonString(rule.found) << "}";
    }
    out << "}},\n  \"nestedSignatures\": [";
    for (std::size_t i = 0; i < authenticode.nested.size(); ++i) {
        const SignatureReport &nested = authenticode.nested[i];
        out << (i ? ", " : "") << "{\"subject\": " << JsonString(nested.signerSubject)
            << ", \"fingerprint\": " << JsonString(nested.signerFingerprint)
            << ", \"digest\": " << JsonString(nested.digest) << ", \"valid\": " << (nested.valid ? "true" : "false")
            << ", \"detail\": " << JsonString(nested.detail) << "}";
    }
    out << "]";
}

void PrintVerifyJson(const VerifyOptions &options, const LoadedFile &file, const AuthenticodeCheck &authenticode,
                     const SignatureCoverage &coverage, const PayloadReport &report, const ExpectedKey &expected,
                     const std::vector<LocaleChoice> &choices, const std::vector<std::string> &problems,
                     std::ostream &out)
{
    static const char *const statuses[] = {"unsigned", "valid", "invalid"};
    out << "{\n  \"format\": 1,\n  \"file\": " << JsonString(options.read.file)
        << ",\n  \"size\": " << file.image.size() << ",\n  \"verified\": " << (problems.empty() ? "true" : "false")
        << ",\n  \"authenticode\": {\"status\": \"" << statuses[static_cast<int>(authenticode.status)]
        << "\", \"detail\": " << JsonString(authenticode.detail) << "}";
    PrintSignerJson(authenticode, options, out);
    out << ",\n  \"paddingCheck\": {\"passes\": "
        << (coverage.padding.status == PaddingCheck::Status::Unsigned ? "null"
            : coverage.padding.status == PaddingCheck::Status::Passes ? "true"
                                                                      : "false")
        << ", \"text\": " << JsonString(PaddingText(coverage.padding))
        << "},\n  \"payloadUnderSignature\": " << (coverage.payloadUnderSignature ? "true" : "false")
        << ",\n  \"requireSignedPayload\": " << (options.requireSignedPayload ? "true" : "false")
        << ",\n  \"itemsBound\": " << (ItemsBound(report) ? "true" : "false")
        << ",\n  \"ignored\": " << JsonStrings(IgnoredPayloads(report))
        << ",\n  \"key\": {\"fingerprint\": " << (file.key ? JsonString(file.fingerprint) : "null")
        << ", \"source\": " << JsonString(file.keySource)
        << ", \"expected\": " << (expected.fingerprint.empty() ? "null" : JsonString(expected.fingerprint))
        << ", \"trusted\": "
        << JsonString(options.read.key.Given()     ? "key"
                      : !options.expectKey.empty() ? "expect-key"
                                                   : "file")
        << "},\n  \"locales\": [";
    for (std::size_t i = 0; i < choices.size(); ++i) {
        const LocaleChoice &choice = choices[i];
        out << (i ? "," : "") << "\n    {\"lcid\": " << choice.lcid
            << ", \"productCode\": " << (choice.productCode.empty() ? "null" : JsonString(choice.productCode))
            << ", \"productName\": " << (choice.productCode.empty() ? "null" : JsonString(choice.productName))
            << ", \"files\": [";
        for (std::size_t f = 0; f < choice.files.size(); ++f)
            out << (f ? ", " : "") << "{\"name\": " << JsonString(choice.files[f].name)
                << ", \"size\": " << choice.files[f].size << ", \"sha256\": \"" << choice.files[f].sha256 << "\"}";
        out << "]}";
    }
    out << "\n  ],\n  \"problems\": [";
    for (std::size_t i = 0; i < problems.size(); ++i)
        out << (i ? "," : "") << "\n    " << JsonString(problems[i]);
    out << "\n  ]\n}\n";
}

} // namespace

namespace {

// What verify reads with: the launcher's own key, from its slot, as the launcher does; a slot
// that can't be read is one problem, not a stop.
LoadedFile LoadLaunchersKey(const std::string &path)
{
    LoadedFile file{FileImage(path), "the launcher's key slot", true, {}, {}, NoKeySet, {}};
    try {
        file.slotKey = ReadSlotKey(file.image, path);
    } catch (const PackError &error) {
        // Every problem is printed after the file's name: not twice.
        file.slotProblem = error.what();
        if (file.slotProblem.rfind(path + ": ", 0) == 0)
            file.slotProblem.erase(0, path.size() + 2);
        else if (file.slotProblem.rfind(path + " ", 0) == 0)
            file.slotProblem.erase(0, path.size() + 1);
    }
    file.key = file.slotKey;
    SetPayloadVerificationKey(file.key ? *file.key : Bytes());
    if (file.key)
        file.fingerprint = KeyFingerprint(*file.key);
    return file;
}

int VerifyFile(const VerifyOptions &options, std::ostream &out)
{
    if (!options.read.key.Given() && options.expectKey.empty() && !options.trustFileKey)
        throw UsageError("verify needs the key to trust: give --key FILE, --expect-key SHA256:<hex> or "
                         "--trust-file-key");
    if (options.requireSignedPayload && options.allowUnsigned)
        throw UsageError("--require-signed-payload and --allow-unsigned contradict each other: an unsigned file "
                         "has no signature over its payload");
    const ExpectedKey expected = ExpectedKeyOf(options);
    LoadedFile file = LoadLaunchersKey(options.read.file);
    CheckTrustedFileKey(options, expected, file);
    const std::string &name = options.read.file;
    std::vector<std::string> problems;

    PayloadReport report = CheckPayload(file.image);
    const AuthenticodeCheck authenticode = CheckAuthenticode(file.image, options.caFile);
    const SignatureCoverage coverage = CoverageOf(file, authenticode, report);
    const std::uint64_t appended = BytesAfterCertificateTable(file.image);
    const bool isSigned = authenticode.status != AuthenticodeCheck::Status::Unsigned;
    if (!isSigned && !options.allowUnsigned)
        problems.push_back("the file has no Authenticode signature: sign " + name +
                           " with your Authenticode tool, then verify it again (--allow-unsigned accepts it, for "
                           "test builds)");
    if (appended != 0)
        problems.push_back(std::to_string(appended) +
                           " bytes are appended after the certificate table, outside what the signature covers; "
                           "the installer as packed ends with its certificate table");
    else if (authenticode.status == AuthenticodeCheck::Status::Invalid)
        problems.push_back("the Authenticode signature does not hold: " + authenticode.detail +
                           (report.beforeCertificateTable ? " (sign the installer again, and change nothing after)"
                                                          : " (sign the stub, then pack, and change nothing after)"));
    // Appended bytes are named once, above.
    if (options.strict && appended == 0 && coverage.padding.status == PaddingCheck::Status::Fails)
        problems.push_back("--strict: the file fails the certificate padding check (" + coverage.padding.detail +
                           "), so Windows with EnableCertPaddingCheck on sees it as unsigned; pack onto an "
                           "unsigned stub and sign the installer last");
    if (options.strict)
        for (const PolicyRule &rule : authenticode.policy)
            if (!rule.met)
                problems.push_back("--strict: " + rule.rule + ": " + rule.found);
    if (!options.expectSigner.empty()) {
        const std::string &signer = authenticode.primary.signerFingerprint;
        // An unsigned file without --allow-unsigned is already one problem, and so is a
        // signature that names no signer.
        const bool signerUnread = signer.empty() && authenticode.status == AuthenticodeCheck::Status::Invalid;
        if (!isSigned && options.allowUnsigned)
            problems.push_back("the file has no signer, not the expected " + options.expectSigner);
        else if (isSigned && !signerUnread && signer != NormalFingerprint(options.expectSigner))
            problems.push_back(
                "the signer is " +
                (signer.empty() ? std::string("unknown") : authenticode.primary.signerSubject + " " + signer) +
                ", not the expected " + options.expectSigner);
    }
    if (isSigned && authenticode.chain.status == ChainReport::Status::Invalid)
        problems.push_back("the signer's chain " + authenticode.chain.detail);
    // An unsigned file is already one problem.
    if (options.requireSignedPayload && isSigned && !coverage.payloadUnderSignature)
        problems.push_back("--require-signed-payload: the payload is not under the Authenticode signature, so "
                           "anyone can replace it with another signed with the same payload key; pack onto the "
                           "unsigned stub and sign the installer last");
    // Payloads beside the one the launcher takes lie outside the signature too.
    if (options.strict || options.requireSignedPayload)
        for (const std::string &extra : IgnoredPayloads(report))
            problems.push_back(std::string(options.requireSignedPayload ? "--require-signed-payload: " : "--strict: ") +
                               extra +
                               ": the file holds a payload that the signature does not cover, added after "
                               "signing; publish the installer as it was signed");

    if (expected.fingerprint.empty())
        Warn(name + ": --trust-file-key: trusting the key found in the file itself, which anyone who rebuilds "
                    "the file chooses; give --key or --expect-key in a release gate");
    // One problem for one cause: a slot that can't be read, an empty one, or another key.
    if (!file.slotProblem.empty())
        problems.push_back(file.slotProblem);
    else if (!file.key)
        problems.push_back(std::string(NoKeySet) + ": the launcher accepts no payload");
    else if (!expected.fingerprint.empty() && expected.fingerprint != file.fingerprint)
        problems.push_back("the installer's key is " + file.fingerprint + ", not the expected " + expected.fingerprint +
                           " (" + expected.source + ")");
    file.keyMatchesFile = expected.fingerprint.empty() || expected.fingerprint == file.fingerprint;
    if (file.key && file.fingerprint == TestKeyFingerprint() && !options.allowTestKey)
        problems.push_back("the key is the TEST-ONLY key, whose private half anyone can read (give "
                           "--allow-test-key to accept it)");

    if (file.key) {
        std::vector<std::string> payloadProblems = PayloadProblems(file, report);
        // Appended bytes are named once, above.
        if (appended != 0 && report.locate.code != 0 && !payloadProblems.empty())
            payloadProblems.erase(payloadProblems.begin());
        // An item bound to another output is already one problem.
        if (options.strict && payloadProblems.empty() && report.locate.code == 0 && !ItemsBound(report))
            payloadProblems.push_back("--strict: the items are not bound to the package directory (packed before "
                                      "bindings or by another tool), so items of another release signed with the "
                                      "same key could replace them: pack it again");
        problems.insert(problems.end(), payloadProblems.begin(), payloadProblems.end());
    }
    CheckDirectoryNames(report, problems);

    // The launcher's own choice for each language it may meet.
    std::vector<LocaleChoice> choices;
    if (file.key && problems.empty()) {
        const std::vector<std::uint32_t> named = DirectoryLocales(report, false);
        for (std::uint32_t lcid : DirectoryLocales(report, true)) {
            LocaleChoice choice{lcid, {}, {}, {}};
            try {
                std::vector<std::unique_ptr<Sha256Hasher>> hashes;
                Selection selection = SelectPackageFor(
                    file.image, lcid,
                    [&](std::size_t f, const std::uint8_t *data, std::size_t length) { hashes[f]->Add(data, length); },
                    [&](const Selection &chosen) {
                        for (std::size_t f = 0; f < chosen.files.size(); ++f)
                            hashes.push_back(std::make_unique<Sha256Hasher>());
                    });
                choice.productCode = selection.productCode;
                choice.productName = selection.productName;
                for (std::size_t f = 0; f < selection.files.size(); ++f) {
                    const Sha256Digest digest = hashes[f]->Finish();
                    choice.files.push_back({selection.files[f].name,
                                            static_cast<std::size_t>(selection.files[f].length),
                                            LowercaseHex(digest.data(), digest.size())});
                }
            } catch (const PackError &error) {
                // A language a package names must find it; the fallback may find none, and the
                // launcher then says so on machines whose language no package has.
                if (std::find(named.begin(), named.end(), lcid) != named.end())
                    problems.push_back("locale " + std::to_string(lcid) + ": " + error.what());
                else
                    Warn(name + ": locale " + std::to_string(lcid) + ": " + error.what() +
                         "; users whose language no package names get an error instead of an installation");
            }
            choices.push_back(std::move(choice));
        }
    }

    if (options.json) {
        PrintVerifyJson(options, file, authenticode, coverage, report, expected, choices, problems, out);
    } else {
        out << name << ": Authenticode: "
            << (authenticode.status == AuthenticodeCheck::Status::Valid      ? "valid (" + authenticode.detail + ")"
                : authenticode.status == AuthenticodeCheck::Status::Unsigned ? std::string("unsigned")
                                                                             : std::string("invalid"))
            << '\n'
            << name << ": certificate padding check (EnableCertPaddingCheck): " << PaddingText(coverage.padding) << '\n'
            << name << ": payload under the Authenticode signature: " << (coverage.payloadUnderSignature ? "yes" : "no")
            << '\n'
            << name << ": items bound to the directory: " << (ItemsBound(report) ? "yes" : "no") << '\n';
        for (const std::string &extra : IgnoredPayloads(report))
            out << name << ": " << extra << '\n';
        if (isSigned) {
            out << name << ": signer "
                << (authenticode.primary.signerSubject.empty()
                        ? std::string("unknown (no signer certificate could be read)")
                        : authenticode.primary.signerSubject + " " + authenticode.primary.signerFingerprint)
                << '\n'
                << name << ": chain " << ChainText(authenticode.chain) << '\n'
                << name << ": time-stamp " << (authenticode.timestamp.empty() ? "" : authenticode.timestamp + ", ")
                << authenticode.timestampDetail << '\n';
            for (const PolicyRule &rule : authenticode.policy)
                out << name << ": strict policy" << (options.strict ? "" : " (not enforced without --strict)") << ": "
                    << rule.rule << ": " << (rule.met ? "met (" : "not met (") << rule.found << ")\n";
        }
        for (const SignatureReport &nested : authenticode.nested)
            out << name << ": nested signature "
                << (nested.valid ? "valid (" + nested.detail + ") " : "invalid: " + nested.detail + " ")
                << nested.signerFingerprint << '\n';
        out << name << ": key " << file.fingerprint << " (" << file.keySource << ")\n";
        if (!expected.fingerprint.empty())
            out << name << ": expected key " << expected.fingerprint << " (" << expected.source << ")\n";
        for (const auto &choice : choices) {
            if (choice.productCode.empty())
                continue;
            out << name << ": locale " << choice.lcid << " installs " << choice.productCode << " " << choice.productName
                << ":";
            for (const auto &file : choice.files)
                out << " " << file.name;
            out << '\n';
        }
    }
    out.flush();
    for (const auto &problem : problems)
        std::cerr << "launcher-pack: error: " << name << ": " << problem << '\n';
    if (!problems.empty())
        return ExitFailed;
    if (!options.json)
        out << name << ": verified\n";
    return ExitDone;
}

} // namespace

int RunVerify(const VerifyOptions &options, std::ostream &out)
{
    return VerifyFile(options, out);
}

} // namespace packer
