// Messages that name the mistake: typed commands and options, key URIs, and warnings that stay
// off the progress line.
#include "tests/packer/packer_test_support.h"

#include "packer/cli/console.h"
#include "packer/cli/progress_bar.h"
#include "packer/keys/payload_key.h"
#include "packer/keys/pem_key.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>

namespace packer_test {
namespace {

std::string PackWithKey(const World &world, const std::string &key, const std::string &folder)
{
    return "pack --stub " + Quote(world.signedStub) + " --key " + Quote(key) + " --msi " + Quote(world.en) + " -o " +
           Quote(folder + "/setup.exe");
}

struct Mistake {
    const char *name;
    std::function<std::string(const World &, const std::string &folder)> arguments;
    int exitCode;
    const char *message;                   // a part of the one error line; "" when the line is taken as meant
    const char *hidden;                    // a secret, or a misleading word, that must not show ("" for none)
    std::vector<std::string> printed = {}; // parts of standard output
    bool onATerminal = false;              // run with a terminal, where a prompt would show
};

// A file that is there but is no installer: enough for a command that fails on its options.
std::string SomeFile(const std::string &folder)
{
    fixtures::WriteFileBytes(folder + "/input.exe", Bytes{'M', 'Z'});
    return folder + "/input.exe";
}

// A sign-last installer of the world's stub, time-stamped now by a local authority, with 5 bytes
// appended after its certificate table; f/roots.pem holds its signer's and its authority's
// certificates.
std::string AppendedAfterATimeStamp(const World &world, const std::string &f)
{
    if (Pack("pack --stub " + Quote(world.stub) + " --key " + Quote(world.key) + " --msi " + Quote(world.en) + " -o " +
             Quote(f + "/unsigned.exe"))
            .exitCode != 0)
        return "pack failed";
    RunResult made = RunCommand(
        "cd " + Quote(f) +
        " && openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -subj '/CN=test time-stamp authority' "
        "-addext extendedKeyUsage=critical,timeStamping -keyout tsa-key.pem -out tsa.pem 2>/dev/null && cat " +
        Quote(world.signerCertificate) + " tsa.pem >roots.pem && python3 " +
        Quote(TEST_SOURCE_DIR "/tests/packer/time_stamp_authority.py") + " tsa.pem tsa-key.pem \"$(date +%s)\" -- " +
        OSSLSIGNCODE + " sign -certs " + Quote(world.signerCertificate) + " -key " +
        Quote(fixtures::FixturePath("test-signer-key.pem")) +
        " -h sha256 -ts '{URL}' -in unsigned.exe -out stamped.exe >/dev/null && printf 12345 >>stamped.exe");
    return made.exitCode == 0 ? f + "/stamped.exe" : "signing failed: " + made.err;
}

const Mistake mistakes[] = {
    {"misspelt_command", [](const World &, const std::string &) { return std::string("verfy setup.exe"); }, 2,
     "unknown command verfy; did you mean verify?", ""},
    {"unknown_command", [](const World &, const std::string &) { return std::string("frobnicate setup.exe"); }, 2,
     "unknown command frobnicate; the commands are keygen, stub, pack, inspect, verify and extract", ""},
    // The option is named, not the one it left missing.
    {"misspelt_option",
     [](const World &w, const std::string &f) {
         return "pack --stub " + Quote(w.signedStub) + " --key " + Quote(w.key) + " --mis " + Quote(w.en) + " -o " +
                Quote(f + "/setup.exe");
     },
     2, "unknown option --mis of pack; did you mean --msi?", ""},
    {"option_of_another_command",
     [](const World &w, const std::string &f) { return "verify --msi " + Quote(w.en) + " " + Quote(f + "/x.exe"); }, 2,
     "--msi is an option of pack, not of verify", ""},
    {"option_before_its_command",
     [](const World &, const std::string &f) { return "--force extract " + Quote(f + "/x.exe") + " -o out"; }, 2,
     "--force is an option of stub, pack and extract: give it after the command", ""},
    {"unknown_option_nothing_near",
     [](const World &, const std::string &f) { return "inspect --colour " + Quote(f + "/x.exe"); }, 2,
     "unknown option --colour of inspect (see --help)", ""},
    // The global options work after the command too.
    {"quiet_after_the_command", [](const World &w, const std::string &f) { return PackWithKey(w, w.key, f) + " -q"; },
     0, "", ""},
    {"pin_source_in_the_path",
     [](const World &w, const std::string &f) {
         return PackWithKey(w, "pkcs11:token=t;object=o;pin-source=file:secret-pin.txt", f);
     },
     3, "pin-source belongs in the query, after a ?: pkcs11:token=...;object=...?pin-source=file:PATH",
     "secret-pin.txt"},
    {"token_in_the_query",
     [](const World &w, const std::string &f) { return PackWithKey(w, "pkcs11:object=o?token=t", f); }, 3,
     "token belongs in the path, before the ?", ""},
    {"pin_value_in_the_path",
     [](const World &w, const std::string &f) { return PackWithKey(w, "pkcs11:token=t;object=o;pin-value=4711", f); },
     3, "pkcs11:token=t;object=o;pin-value=(redacted): pin-value would put the PIN on the command line", "4711"},
    {"pin_value_in_the_query",
     [](const World &w, const std::string &f) { return PackWithKey(w, "pkcs11:token=t;object=o?pin-value=4711", f); },
     3, "pkcs11:token=t;object=o: pin-value would put the PIN on the command line", "4711"},
    // Bytes after the certificate table are the one problem; the signature is still read, and
    // its signer, chain and time-stamp told as they are.
    {"bytes_appended_after_a_signature",
     [](const World &w, const std::string &f) {
         const std::string file = AppendedAfterATimeStamp(w, f);
         RunResult signer = RunCommand("openssl x509 -in " + Quote(w.signerCertificate) + " -outform DER | sha256sum");
         return "verify --key " + Quote(w.publicKey) + " --ca-file " + Quote(f + "/roots.pem") +
                " --expect-signer SHA256:" + signer.out.substr(0, 64) + " " + Quote(file);
     },
     1,
     "5 bytes are appended after the certificate table",
     "the signer is unknown",
     {": signer /CN=Launcher test signer SHA256:", ": chain valid to /CN=Launcher test signer at the time-stamp's time",
      ", verified\n"}},
    {"damaged_key_slot",
     [](const World &w, const std::string &f) {
         Bytes blob = packer::PublicKeyBlob(packer::LoadKey({w.publicKey, ""}).get(), "key");
         blob[16] = 3; // the exponent, 3 instead of 65537
         blob[17] = blob[18] = blob[19] = 0;
         BuildStub(blob, f, f + "/damaged.exe");
         return "verify --key " + Quote(w.publicKey) + " --allow-unsigned " + Quote(f + "/damaged.exe");
     },
     1, "damaged.exe: its key slot is damaged (exponent 3, not 65537)", "damaged.exe: /"},
    {"cabinet_that_is_a_folder",
     [](const World &w, const std::string &f) {
         BuildPackage(f, "product", PackageSource{});
         std::filesystem::remove(f + "/example.cab");
         std::filesystem::create_directory(f + "/example.cab");
         return "pack --stub " + Quote(w.stub) + " --key " + Quote(w.key) + " --msi " + Quote(f + "/product.msi") +
                " -o " + Quote(f + "/setup.exe");
     },
     3, "cabinet example.cab from the Media table can't be read (", "missing"},
    {"locale_given_by_name",
     [](const World &, const std::string &f) {
         return "extract " + Quote(SomeFile(f)) + " -o " + Quote(f + "/out") + " --lcid de-DE";
     },
     2, "--lcid: \"de-DE\" is not a language identifier (a decimal LCID from 1 to 65535, such as 1031 for de-DE)",
     "Could not convert"},
    {"extract_into_a_file",
     [](const World &w, const std::string &f) {
         Pack("pack --stub " + Quote(w.stub) + " --key " + Quote(w.key) + " --msi " + Quote(w.en) + " -o " +
              Quote(f + "/installer.exe"));
         fixtures::WriteFileBytes(f + "/out", Bytes{'x'});
         return "extract " + Quote(f + "/installer.exe") + " -o " + Quote(f + "/out");
     },
     3, "/out: is a file, not a folder: -o names the folder to write into", "Not a directory"},
    // With a terminal there, OpenSSL would ask it for the passphrase: the packer never lets it.
    {"encrypted_key_beside_a_signer_command",
     [](const World &w, const std::string &f) {
         RunCommand("openssl pkey -in " + Quote(w.key) + " -aes256 -passout pass:sekrit -out " +
                    Quote(f + "/encrypted.pem"));
         return "pack --stub " + Quote(w.stub) + " --sign-command cat --key " + Quote(f + "/encrypted.pem") +
                " --msi " + Quote(w.en) + " -o " + Quote(f + "/setup.exe");
     },
     3,
     "encrypted.pem: a private key; with --sign-command pack reads no private key",
     "pass phrase",
     {},
     true},
};

class Mistakes : public testing::TestWithParam<Mistake> {};

TEST_P(Mistakes, EachGetsAMessageThatNamesIt)
{
    const World &world = TheWorld();
    const Mistake &param = GetParam();
    const std::string folder = FreshFolder(std::string("mistake-") + param.name);
    if (param.onATerminal) {
        // script gives the command a terminal of its own and prints what appears on it, which a
        // console may redraw and wrap (Wine's does): its control sequences and line ends go.
        RunResult result =
            RunCommand("timeout 120 script -qec " + Quote(LauncherPack() + " " + param.arguments(world, folder)) +
                       " /dev/null </dev/null");
        std::string shown;
        for (std::size_t at = 0; at < result.out.size(); ++at) {
            if (result.out.compare(at, 2, "\x1b[") == 0) {
                for (at += 2; at < result.out.size() && (result.out[at] < 0x40 || result.out[at] > 0x7e);)
                    ++at;
            } else if (result.out[at] != '\r' && result.out[at] != '\n') {
                shown += result.out[at];
            }
        }
        EXPECT_EQ(result.exitCode, param.exitCode) << result.out;
        EXPECT_NE(shown.find(param.message), std::string::npos) << shown;
        EXPECT_EQ(shown.find(param.hidden), std::string::npos) << shown;
        EXPECT_FALSE(std::filesystem::exists(folder + "/setup.exe"));
        return;
    }
    RunResult result = Pack(param.arguments(world, folder));
    if (*param.message == 0) {
        EXPECT_EQ(result.exitCode, param.exitCode) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, "");
        return;
    }
    ExpectRefusal(result, param.message, param.exitCode);
    if (*param.hidden != 0) {
        EXPECT_EQ((result.out + result.err).find(param.hidden), std::string::npos) << result.out << result.err;
    }
    for (const std::string &part : param.printed)
        EXPECT_NE(result.out.find(part), std::string::npos) << part << " in " << result.out;
    EXPECT_FALSE(std::filesystem::exists(folder + "/setup.exe"));
}

INSTANTIATE_TEST_SUITE_P(CommandLine, Mistakes, testing::ValuesIn(mistakes),
                         [](const auto &info) { return std::string(info.param.name); });

// --help and --version end with 0 and check nothing, so they are taken only alone or, --help,
// right after a command's name; anywhere else they are a usage error and nothing is done. Each
// command's arguments alone do their work (the control row).
TEST(HelpAndVersion, EndWithZeroOnlyWhereNothingElseIsAsked)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("help-and-version");
    const std::string installer = folder + "/setup.exe";
    ASSERT_EQ(Pack("pack --stub " + Quote(world.signedStub) + " --key " + Quote(world.key) + " --msi " +
                   Quote(world.en) + " -o " + Quote(installer))
                  .exitCode,
              0);
    const struct {
        const char *name;
        std::string arguments; // a command line that does its work
        std::string output;    // what that work writes ("" for nothing)
    } commands[] = {
        {"keygen", "--out " + Quote(folder + "/key"), folder + "/key.pem"},
        {"stub",
         "--stub " + Quote(world.readyStub) + " --key " + Quote(world.publicKey) + " -o " + Quote(folder + "/stub.exe"),
         folder + "/stub.exe"},
        {"pack",
         "--stub " + Quote(world.signedStub) + " --key " + Quote(world.key) + " --msi " + Quote(world.en) + " -o " +
             Quote(folder + "/packed.exe"),
         folder + "/packed.exe"},
        {"inspect", Quote(installer), ""},
        {"verify", "--strict --key " + Quote(world.publicKey) + " " + Quote(installer), ""},
        {"extract", Quote(installer) + " -o " + Quote(folder + "/extracted"), folder + "/extracted"},
    };
    const struct {
        const char *form; // %C% the command, %A% its arguments
        int exitCode;
        const char *says; // on standard output for 0, else a part of the one error line
    } forms[] = {
        {"%C% %A%", 0, ""},
        {"%C% --help", 0, "Usage: launcher-pack %C% [OPTIONS]"},
        {"%C% -h", 0, "Usage: launcher-pack %C% [OPTIONS]"},
        {"%C% %A% --help", 2, "--help prints help and checks nothing"},
        {"%C% --help %A%", 2, "give it alone or right after the command's name (launcher-pack %C% --help)"},
        {"--help %C% %A%", 2, "--help prints help and checks nothing"},
        {"-q %C% --help", 2, "--help prints help and checks nothing"},
        {"%C% -qh", 2, "--help prints help and checks nothing"},
        {"%C% --version", 2, "unknown option --version of %C%"},
        {"%C% %A% --version", 2, "unknown option --version of %C%"},
        {"--version %C% %A%", 2, "unknown option --version of %C%"},
    };
    auto expect = [](const std::string &arguments, int exitCode, const std::string &says) {
        RunResult result = Pack(arguments);
        if (exitCode != 0) {
            ExpectRefusal(result, says, exitCode);
            return;
        }
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_NE(result.out.find(says), std::string::npos) << result.out;
    };
    for (const auto &command : commands) {
        for (const auto &form : forms) {
            const std::string arguments = Filled(form.form, "%C%", command.name);
            SCOPED_TRACE(arguments);
            expect(Filled(arguments, "%A%", command.arguments), form.exitCode, Filled(form.says, "%C%", command.name));
            const bool worked = form.exitCode == 0 && *form.says == 0;
            if (!command.output.empty()) {
                EXPECT_EQ(std::filesystem::exists(command.output), worked);
                std::filesystem::remove_all(command.output);
                std::filesystem::remove(folder + "/key.pub.pem");
            }
        }
    }
    // The program's own: alone, and never beside anything else.
    const struct {
        const char *arguments;
        int exitCode;
        const char *says;
    } alone[] = {
        {"--version", 0, "launcher-pack "},
        {"--help", 0, "Usage: launcher-pack [OPTIONS] SUBCOMMAND"},
        {"-h", 0, "Usage: launcher-pack [OPTIONS] SUBCOMMAND"},
        {"--version -q", 2, "--version is given alone: launcher-pack --version"},
        {"-q --help", 2, "--help prints help and checks nothing"},
    };
    for (const auto &item : alone) {
        SCOPED_TRACE(item.arguments);
        expect(item.arguments, item.exitCode, item.says);
    }
}

// On a terminal every message starts a line of its own: the progress line is cleared first, and
// drawn again below it.
TEST(Console, AMessageNeverLandsOnTheProgressLine)
{
    std::ostringstream captured;
    std::streambuf *saved = std::cerr.rdbuf(captured.rdbuf());
    {
        packer::ProgressBar progress(packer::ProgressBar::Mode::Terminal);
        progress.Begin("writing setup.exe", 0);
        packer::Warn("the payload follows the signature");
        progress.Begin("reading back", 100);
        progress.Advance(40);
        packer::Note("fewer pieces at once");
    }
    std::cerr.rdbuf(saved);
    const std::string text = captured.str();

    const std::string clear = "\r\033[K";
    std::size_t messages = 0;
    for (std::size_t at = text.find("launcher-pack: "); at != std::string::npos;
         at = text.find("launcher-pack: ", at + 1)) {
        ++messages;
        const bool startsALine = at == 0 || text[at - 1] == '\n' ||
                                 (at >= clear.size() && text.compare(at - clear.size(), clear.size(), clear) == 0);
        EXPECT_TRUE(startsALine) << "at " << at << " in " << testing::PrintToString(text);
    }
    EXPECT_EQ(messages, 2u) << testing::PrintToString(text);
    // The line is drawn again after the message, and cleared at the end.
    EXPECT_NE(text.find("signature\n\r\033[Kwriting setup.exe"), std::string::npos) << testing::PrintToString(text);
    EXPECT_EQ(text.substr(text.size() - clear.size()), clear);
}

} // namespace
} // namespace packer_test
