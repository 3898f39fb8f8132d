// launcher-pack: turns Windows Installer packages into a self-contained launcher.exe-based
// installer, and inspects, verifies and extracts such installers.
#include "packer/commands.h"
#include "packer/compressor.h"
#include "packer/memory_budget.h"
#include "packer/pack_error.h"
#include "packer/payload_key.h"

#include <CLI/CLI.hpp>

#include <iostream>

namespace {

constexpr int ExitFailure = 1;
constexpr int ExitUsage = packer::VerifyUsage;

} // namespace

int main(int argc, char **argv)
{
    using namespace packer;

    CLI::App app("Packs Windows Installer packages into a self-contained installer built on launcher.exe, and "
                 "inspects, verifies and extracts such installers.",
                 "launcher-pack");
    app.set_version_flag("--version", "launcher-pack " LAUNCHER_PACK_VERSION);
    app.require_subcommand(1);
    app.failure_message([](const CLI::App *, const CLI::Error &error) {
        return std::string("launcher-pack: error: ") + error.what() + " (see --help)\n";
    });

    bool quiet = false;
    app.add_flag("-q,--quiet", quiet, "Print no progress");

    std::string keygenName;
    CLI::App *keygen = app.add_subcommand("keygen", "Make a new payload signing key pair: NAME.pem (private, mode "
                                                    "0600) and NAME.pub.pem (for building launcher.exe)");
    keygen->add_option("--out", keygenName, "Name of the key files, without extension")->required();

    StubOptions stub;
    CLI::App *stubCommand = app.add_subcommand(
        "stub", "Write a copy of the ready stub (launcher.exe) with your payload key set: sign it, then pack");
    stubCommand->add_option("--key", stub.key, "The payload key (PEM; its public half is set); - reads standard input")
        ->required();
    stubCommand->add_option("-o,--output", stub.output, "The stub to write")->required();
    stubCommand->add_option("--stub", stub.stub,
                            "The ready stub to copy (default: the one beside launcher-pack or installed with it)");

    PackOptions pack;
    pack.level = DefaultCompressionLevel;
    std::string placement = "end";
    CLI::App *packCommand = app.add_subcommand("pack", "Pack .msi packages into a copy of the launcher");
    packCommand
        ->add_option("--stub", pack.stub,
                     "launcher.exe built with the key's public half (sign it before "
                     "packing, never after)")
        ->required();
    packCommand->add_option("--key", pack.key, "Private payload signing key (PEM); - reads it from standard input")
        ->required();
    packCommand
        ->add_option("--pass", pack.passphrase,
                     "Passphrase of an encrypted key: env:VAR (from the environment) or file:PATH (its first line)")
        ->check(CLI::Validator(
            [](std::string &source) {
                return IsPassphraseSource(source) ? std::string() : "give env:VAR or file:PATH";
            },
            "env:VAR|file:PATH"));
    packCommand->add_option("--msi", pack.packages, "A package; repeat for one per language or architecture")
        ->required();
    packCommand->add_option("-o,--output", pack.output, "The installer to write")->required();
    packCommand
        ->add_option("--placement", placement,
                     "end: behind the signature object (or appended to an unsigned stub); certificate: in an extra "
                     "certificate of the signature object")
        ->check(CLI::IsMember({"end", "certificate"}))
        ->capture_default_str();
    packCommand->add_option("--level", pack.level, "Compression level, 0 (stored) to 12")
        ->check(CLI::Range(0, MaxCompressionLevel))
        ->capture_default_str();

    packCommand
        ->add_option("--threads", pack.threads,
                     "Threads that compress items at once (0: one per core); the output is the same for any number")
        ->check(CLI::Range(0u, 256u))
        ->capture_default_str();
    std::string memoryLimit;
    packCommand
        ->add_option("--memory-limit", memoryLimit,
                     "Memory for the compressed output and the pieces in flight, such as 4G or 512M (default: "
                     "half the machine's memory or of its cgroup's limit); fewer pieces are compressed at once "
                     "to stay under it")
        ->check(CLI::Validator(
            [](std::string &text) {
                try {
                    ParseMemorySize(text);
                    return std::string();
                } catch (const PackError &error) {
                    return std::string(error.what());
                }
            },
            "SIZE"));
    packCommand->add_flag(
        "--allow-uncompressed", pack.allowUncompressed,
        "Pack a package whose files are not all in cabinets (they must reach the target another way)");

    ReadOptions inspect;
    bool json = false;
    CLI::App *inspectCommand = app.add_subcommand("inspect", "Show the payload of a packed installer");
    inspectCommand->add_option("file", inspect.file, "The installer")->required();
    inspectCommand->add_option("--key", inspect.key, "Verify with this key instead of the launcher's built-in one");
    inspectCommand->add_flag("--json", json, "Print JSON");

    VerifyOptions verify;
    CLI::App *verifyCommand = app.add_subcommand(
        "verify", "Verify every payload item as the launcher would, and print the key's SHA-256 fingerprint");
    verifyCommand->add_option("file", verify.read.file, "The installer")->required();
    verifyCommand->add_option("--key", verify.read.key,
                              "The public key the installer must carry (PEM); - reads it from standard input");
    verifyCommand
        ->add_option("--expect-key", verify.expectKey,
                     "The fingerprint the installer's key must have, SHA256:<hex> as verify prints it")
        ->check(CLI::Validator(
            [](std::string &text) { return IsKeyFingerprint(text) ? std::string() : "give SHA256: and 64 hex digits"; },
            "SHA256:<hex>"));
    verifyCommand->add_flag("--allow-test-key", verify.allowTestKey,
                            "Accept the repository's TEST-ONLY key (for tests only)");
    verifyCommand->footer("Exit codes: 0 verified; 1 did not verify; 2 usage error; 3 the file or the key could not "
                          "be read.");

    ExtractOptions extract;
    CLI::App *extractCommand =
        app.add_subcommand("extract", "Write the package the launcher would choose, as main.msi and its cabinets");
    extractCommand->add_option("file", extract.read.file, "The installer")->required();
    extractCommand->add_option("-o,--output", extract.folder, "Folder to write into")->required();
    extractCommand->add_option("--lcid", extract.lcid, "The user's locale to choose for")->capture_default_str();
    extractCommand->add_option("--key", extract.read.key,
                               "Verify with this key instead of the launcher's built-in one");
    extractCommand->add_flag("--force", extract.force, "Replace files that exist");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        int code = app.exit(error);
        return code == 0 ? 0 : ExitUsage;
    }

    try {
        if (keygen->parsed()) {
            RunKeygen(keygenName, std::cout);
        } else if (stubCommand->parsed()) {
            RunStub(stub, std::cout);
        } else if (packCommand->parsed()) {
            pack.placement = placement == "certificate" ? Placement::Certificate : Placement::End;
            pack.quiet = quiet;
            if (!memoryLimit.empty())
                pack.memoryLimit = ParseMemorySize(memoryLimit);
            RunPack(pack, std::cout);
        } else if (inspectCommand->parsed()) {
            RunInspect(inspect, json, std::cout);
        } else if (verifyCommand->parsed()) {
            try {
                return RunVerify(verify, std::cout);
            } catch (const ReadError &error) {
                std::cerr << "launcher-pack: error: " << error.what() << '\n';
                return NotRead;
            }
        } else if (extractCommand->parsed()) {
            RunExtract(extract, std::cout);
        }
    } catch (const std::bad_alloc &) {
        std::cerr << "launcher-pack: error: out of memory\n";
        return ExitFailure;
    } catch (const std::exception &error) {
        std::cerr << "launcher-pack: error: " << error.what() << '\n';
        return ExitFailure;
    }
    return 0;
}
