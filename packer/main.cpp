// launcher-pack: turns Windows Installer packages into a self-contained launcher.exe-based
// installer, and inspects, verifies and extracts such installers.
#include "packer/commands.h"
#include "packer/compressor.h"
#include "packer/pack_error.h"

#include <CLI/CLI.hpp>

#include <iostream>

namespace {

constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

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

    std::string keygenName;
    CLI::App *keygen = app.add_subcommand("keygen", "Make a new payload signing key pair: NAME.pem (private, mode "
                                                    "0600) and NAME.pub.pem (for building launcher.exe)");
    keygen->add_option("--out", keygenName, "Name of the key files, without extension")->required();

    PackOptions pack;
    pack.level = DefaultCompressionLevel;
    std::string placement = "end";
    CLI::App *packCommand = app.add_subcommand("pack", "Pack .msi packages into a copy of the launcher");
    packCommand
        ->add_option("--stub", pack.stub,
                     "launcher.exe built with the key's public half (sign it before "
                     "packing, never after)")
        ->required();
    packCommand->add_option("--key", pack.key, "Private payload signing key (PEM)")->required();
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

    ReadOptions inspect;
    bool json = false;
    CLI::App *inspectCommand = app.add_subcommand("inspect", "Show the payload of a packed installer");
    inspectCommand->add_option("file", inspect.file, "The installer")->required();
    inspectCommand->add_option("--key", inspect.key, "Verify with this key instead of the launcher's built-in one");
    inspectCommand->add_flag("--json", json, "Print JSON");

    ReadOptions verify;
    CLI::App *verifyCommand =
        app.add_subcommand("verify", "Verify every payload item as the launcher would; exit 0 only when all verify");
    verifyCommand->add_option("file", verify.file, "The installer")->required();
    verifyCommand->add_option("--key", verify.key, "Verify with this key instead of the launcher's built-in one");

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
        } else if (packCommand->parsed()) {
            pack.placement = placement == "certificate" ? Placement::Certificate : Placement::End;
            RunPack(pack, std::cout);
        } else if (inspectCommand->parsed()) {
            RunInspect(inspect, json, std::cout);
        } else if (verifyCommand->parsed()) {
            if (!RunVerify(verify, std::cout))
                return ExitFailure;
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
