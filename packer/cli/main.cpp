// launcher-pack: turns Windows Installer packages into a self-contained launcher.exe-based
// installer, and inspects, verifies and extracts such installers.
#include "packer/commands/commands.h"
#include "packer/pipeline/compressor.h"
#include "packer/cli/console.h"
#include "packer/host/entry.h"
#include "packer/host/host.h"
#include "packer/keys/pem_key.h"
#include "packer/pipeline/memory_budget.h"
#include "packer/pack_error.h"
#include "packer/keys/payload_key.h"
#include "packer/msi/msi_package.h"
#include "packer/cli/usage_hints.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <vector>

namespace {

using namespace packer;

constexpr const char *ExitCodeFooter =
    "Exit codes: 0 done (verified); 1 failed (did not verify); 2 usage error; 3 a file or key could not be read or "
    "used.";

const CLI::Validator PassSource(
    [](std::string &source) { return IsPassphraseSource(source) ? std::string() : "give env:VAR or file:PATH"; },
    "env:VAR|file:PATH");

const CLI::Validator FingerprintText(
    [](std::string &text) { return IsKeyFingerprint(text) ? std::string() : "give SHA256: and 64 hex digits"; },
    "SHA256:<hex>");

const CLI::Validator LanguageText(
    [](std::string &text) {
        const std::optional<std::string> language = LanguageId(text);
        return language && *language != "0" ? std::string()
                                            : "\"" + text +
                                                  "\" is not a language identifier (a decimal LCID from 1 to 65535, "
                                                  "such as 1031 for de-DE)";
    },
    "LCID");

// --key, --pass and --pkcs11-module, the same on every command that reads a key.
void AddKeyOptions(CLI::App *command, KeySource &key, const std::string &help, bool required)
{
    CLI::Option *option = command->add_option(
        "--key", key.path, help + ": a PEM file, - for standard input, or a PKCS#11 URI (pkcs11:token=...;object=...)");
    if (required)
        option->required();
    command
        ->add_option("--pass", key.passphrase,
                     "Passphrase of an encrypted key, or a token's PIN: env:VAR (from the environment) or file:PATH "
                     "(its first line)")
        ->check(PassSource);
    command->add_option("--pkcs11-module", key.module,
                        "PKCS#11 module for a pkcs11: key whose URI names none (default: p11-kit's, which reaches "
                        "every module registered with it)");
}

const CLI::App *CommandNamed(const CLI::App &app, const std::string &name)
{
    for (const CLI::App *command : app.get_subcommands(std::function<bool(const CLI::App *)>()))
        if (command->get_name() == name)
            return command;
    return nullptr;
}

// --help and --version check nothing and end with 0, so they are taken only where nothing else
// is asked for: --version alone, --help alone or right after a command's name. A stray one on a
// gate's command line is a usage error, never a pass.
bool AskedAlone(const CLI::App &app, const CLI::ParseError &request, const std::vector<std::string> &arguments)
{
    const bool help = !arguments.empty() && (arguments.back() == "--help" || arguments.back() == "-h");
    if (dynamic_cast<const CLI::CallForVersion *>(&request) != nullptr)
        return arguments.size() == 1 && arguments[0] == "--version";
    return help && (arguments.size() == 1 || (arguments.size() == 2 && CommandNamed(app, arguments[0]) != nullptr));
}

std::string StrayRequest(const CLI::ParseError &request, const CLI::App *command)
{
    if (dynamic_cast<const CLI::CallForVersion *>(&request) == nullptr)
        return "--help prints help and checks nothing: give it alone or right after the command's name "
               "(launcher-pack " +
               (command ? command->get_name() : std::string("COMMAND")) + " --help), not with a file or another option";
    if (command != nullptr)
        return "unknown option --version of " + command->get_name() +
               " (launcher-pack --version, alone, prints the version)";
    return "--version is given alone: launcher-pack --version";
}

// The command named on the command line as typed (the first word that names one), whether or
// not the rest could be parsed.
const CLI::App *NamedCommand(const CLI::App &app, const std::vector<std::string> &arguments)
{
    for (const std::string &argument : arguments) {
        if (argument == "--")
            break;
        if (!argument.empty() && argument[0] != '-')
            return CommandNamed(app, argument);
    }
    return nullptr;
}

// The file a reading command was given, as typed, whether or not the rest could be parsed.
std::string FileNamed(const CLI::App &command)
{
    const CLI::Option *file = command.get_option_no_throw("file");
    return file != nullptr && !file->results().empty() ? file->results().front() : std::string();
}

// With --json, inspect and verify print a JSON object on every exit, a usage error included.
bool JsonAsked(const CLI::App *command, const std::vector<std::string> &arguments)
{
    if (command == nullptr || (command->get_name() != "inspect" && command->get_name() != "verify"))
        return false;
    const auto end = std::find(arguments.begin(), arguments.end(), "--");
    return std::find(arguments.begin(), end, "--json") != end;
}

} // namespace

int RunLauncherPack(int argc, char **argv)
{
    CLI::App app("Packs Windows Installer packages into a self-contained installer built on launcher.exe, and "
                 "inspects, verifies and extracts such installers.",
                 "launcher-pack");
    app.set_version_flag("--version", "launcher-pack " LAUNCHER_PACK_VERSION);
    // /path is a path on every host, never an option; set before the subcommands, which copy it.
    app.allow_windows_style_options(false);
    // -q and -v after the command as well: the commands hand what they don't know to the top.
    app.fallthrough();
    app.require_subcommand(1);
    app.footer(ExitCodeFooter);
    bool quiet = false;
    bool verbose = false;
    auto *quietFlag = app.add_flag("-q,--quiet", quiet, "Print errors only");
    app.add_flag("-v,--verbose", verbose, "Print each step on standard error")->excludes(quietFlag);

    std::string keygenName;
    CLI::App *keygen = app.add_subcommand("keygen", "Make a new payload signing key pair: NAME.pem (private, mode "
                                                    "0600) and NAME.pub.pem (for launcher-pack stub)");
    keygen->add_option("--out", keygenName, "Name of the key files, with or without .pem")->required();
    std::string keygenPassphrase;
    keygen
        ->add_option("--pass", keygenPassphrase,
                     "Encrypt the private key (PKCS #8, AES-256) with this passphrase: env:VAR (from the "
                     "environment) or file:PATH (its first line)")
        ->check(PassSource);

    StubOptions stub;
    CLI::App *stubCommand = app.add_subcommand(
        "stub", "Write a copy of the ready stub (launcher.exe) with your payload key set: pack onto it and sign the "
                "installer last, or sign it once to pack many times");
    AddKeyOptions(stubCommand, stub.key, "The payload key, whose public half is set", true);
    stubCommand->add_option("-o,--output", stub.output, "The stub to write")->required();
    stubCommand->add_option("--stub", stub.stub,
                            "The ready stub to copy (default: the one beside launcher-pack or installed with it)");
    stubCommand->add_flag("--force", stub.force, "Replace the output if it exists (never an input)");

    PackOptions pack;
    pack.level = DefaultCompressionLevel;
    std::string placement = "auto";
    CLI::App *packCommand = app.add_subcommand("pack", "Pack .msi packages into a copy of the launcher");
    packCommand
        ->add_option("--stub", pack.stub,
                     "The stub from launcher-pack stub: unsigned, to sign the installer last; or signed, "
                     "to sign once and pack many times (never sign such an installer again)")
        ->required();
    AddKeyOptions(packCommand, pack.key, "The payload signing key (with --sign-command, its public half)", false);
    packCommand->add_option(
        "--sign-command", pack.key.signCommand,
        std::string("Sign each item's SHA-256 digest with this command (") + host::CommandRunner +
            "): the digest on its standard input and in LAUNCHER_PACK_DIGEST_HEX, the 256-byte RSASSA-PKCS1-v1_5 "
            "signature on its standard output; the public half from --key or the stub's key slot");
    packCommand->add_option("--msi", pack.packages, "A package; repeat for one per language or architecture")
        ->required();
    packCommand
        ->add_option("--msi-language", pack.packageLanguages,
                     "FILE=LCID[,LCID...]: the languages the --msi package FILE is chosen for, in place of its "
                     "Template's (the .msi is not changed); repeat for each package")
        ->type_name("FILE=LCIDS");
    packCommand->add_option("-o,--output", pack.output, "The installer to write")->required();
    packCommand->add_flag("--force", pack.force, "Replace the output if it exists (never an input)");
    packCommand
        ->add_option("--placement", placement,
                     "auto: overlay on an unsigned stub; on a signed stub certificate when the signature object "
                     "stays under 64 MiB, else end with a warning. overlay: after the image of an unsigned stub, "
                     "padded for signing last (any size; sign the installer after packing, and the signature "
                     "covers the payload). certificate: in an extra certificate of the signature object. end: "
                     "behind the signature object (on an unsigned stub: overlay)")
        ->check(CLI::IsMember({"auto", "overlay", "end", "certificate"}))
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
                     "Memory for compressed output not yet written and the pieces in flight, such as 512M "
                     "(default: 128M); fewer pieces are compressed at once to stay under it")
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
    packCommand->add_flag("--allow-unreachable", pack.allowUnreachable,
                          "Pack an x64 package that the launcher would never choose (another package takes each of "
                          "its languages), with a warning instead of a refusal");

    ReadOptions inspect;
    bool json = false;
    CLI::App *inspectCommand = app.add_subcommand("inspect", "Show the payload of a packed installer");
    inspectCommand->add_option("file", inspect.file, "The installer")->required();
    AddKeyOptions(inspectCommand, inspect.key, "Verify with this key instead of the one in the launcher's key slot",
                  false);
    inspectCommand->add_flag("--json", json, "Print JSON");

    VerifyOptions verify;
    CLI::App *verifyCommand = app.add_subcommand(
        "verify", "The release gate: the Authenticode signature, the key, every payload item and the launcher's "
                  "choice for every language, as the launcher would see them");
    verifyCommand->add_option("file", verify.read.file, "The installer")->required();
    AddKeyOptions(verifyCommand, verify.read.key, "The key the installer must carry (public or private)", false);
    verifyCommand
        ->add_option("--expect-key", verify.expectKey,
                     "The fingerprint the installer's key must have, SHA256:<hex> as verify prints it")
        ->check(FingerprintText);
    verifyCommand
        ->add_option("--expect-signer", verify.expectSigner,
                     "The fingerprint the signing certificate must have: SHA256:<hex> of its DER, as verify prints it")
        ->check(FingerprintText);
    verifyCommand->add_option("--ca-file", verify.caFile,
                              "PEM root certificates the signer's chain must reach (checked at the time of a "
                              "verified RFC 3161 time-stamp, else now), every certificate in it allowing code "
                              "signing: its extended key usage names it (a CA's may name any purpose) or is absent. "
                              "Revocation is not checked");
    verifyCommand->add_flag("--trust-file-key", verify.trustFileKey,
                            "Trust the key found in the file itself (with a warning); not for a release gate");
    verifyCommand->add_flag("--allow-unsigned", verify.allowUnsigned,
                            "Accept a file without an Authenticode signature (for test builds)");
    verifyCommand->add_flag("--strict", verify.strict,
                            "Fail a file that does not pass the certificate padding check (EnableCertPaddingCheck), "
                            "which Windows with that check on sees as unsigned (the end placement on a signed stub); "
                            "one that holds a payload the launcher ignores, or whose items are not bound to its "
                            "directory; or the strict policy, reported always: a signer certificate that names code "
                            "signing and is not a CA, SHA-256, SHA-384 or SHA-512 image and signer digests, and no "
                            "certificate in the chain signed with MD5 or SHA-1");
    verifyCommand->add_flag("--require-signed-payload", verify.requireSignedPayload,
                            "Fail a file whose payload the Authenticode signature does not cover (only an installer "
                            "packed onto the unsigned stub and signed last passes), or that holds another payload "
                            "outside it; not with --allow-unsigned");
    verifyCommand->add_flag("--allow-test-key", verify.allowTestKey,
                            "Accept the repository's TEST-ONLY key (for tests only)");
    verifyCommand->add_flag("--json", verify.json, "Print the result as JSON");

    ExtractOptions extract;
    CLI::App *extractCommand =
        app.add_subcommand("extract", "Write the package the launcher would choose, as main.msi and its cabinets");
    extractCommand->add_option("file", extract.read.file, "The installer")->required();
    extractCommand->add_option("-o,--output", extract.folder, "Folder to write into")->required();
    extractCommand->add_option("--lcid", extract.lcid, "The user's locale to choose for")
        ->check(LanguageText)
        ->capture_default_str();
    AddKeyOptions(extractCommand, extract.read.key,
                  "Verify with this key instead of the one in the launcher's key slot", false);
    extractCommand->add_flag("--force", extract.force, "Replace files that exist");

    for (CLI::App *command : {keygen, stubCommand, packCommand, inspectCommand, verifyCommand, extractCommand})
        command->footer(ExitCodeFooter);

    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const CLI::App *named = NamedCommand(app, arguments);
    // -q keeps the results too; errors go to standard error whatever the verbosity.
    std::ostream silent(nullptr);
    auto refuse = [&](int code, const std::string &error, std::ostream &out) {
        std::cerr << "launcher-pack: error: " << error << '\n';
        if (JsonAsked(named, arguments))
            PrintJsonError(named->get_name(), FileNamed(*named), code, error, out);
        return code;
    };
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        std::ostream &out = quiet ? silent : std::cout;
        if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            if (AskedAlone(app, error, arguments))
                return app.exit(error) == 0 ? ExitDone : ExitUsage;
            return refuse(ExitUsage, StrayRequest(error, named), out);
        }
        // A name typed wrong is the likelier cause of most refusals (a misspelt --msi makes --msi
        // missing), so it is named first.
        const std::optional<std::string> hint = ExplainUsageError(app, arguments);
        return refuse(ExitUsage, (hint ? *hint : std::string(error.what())) + " (see --help)", out);
    }
    SetVerbosity(quiet ? Verbosity::Quiet : verbose ? Verbosity::Verbose : Verbosity::Normal);
    std::ostream &out = quiet ? silent : std::cout;

    try {
        if (keygen->parsed()) {
            RunKeygen(keygenName, keygenPassphrase, out);
        } else if (stubCommand->parsed()) {
            RunStub(stub, out);
        } else if (packCommand->parsed()) {
            if (!pack.key.Given() && pack.key.signCommand.empty())
                throw UsageError("pack needs --key, or --sign-command with the stub's key");
            const std::map<std::string, Placement> placements = {{"auto", Placement::Auto},
                                                                 {"overlay", Placement::Overlay},
                                                                 {"end", Placement::End},
                                                                 {"certificate", Placement::Certificate}};
            pack.placement = placements.at(placement);
            if (!memoryLimit.empty())
                pack.memoryLimit = ParseMemorySize(memoryLimit);
            RunPack(pack, out);
        } else if (inspectCommand->parsed()) {
            return RunInspect(inspect, json, out);
        } else if (verifyCommand->parsed()) {
            return RunVerify(verify, out);
        } else if (extractCommand->parsed()) {
            RunExtract(extract, out);
        }
    } catch (const std::bad_alloc &) {
        return refuse(ExitFailed, "out of memory", out);
    } catch (const UsageError &error) {
        return refuse(ExitUsage, error.what(), out);
    } catch (const ReadError &error) {
        return refuse(ExitNotRead, error.what(), out);
    } catch (const std::exception &error) {
        return refuse(ExitFailed, error.what(), out);
    }
    return ExitDone;
}
