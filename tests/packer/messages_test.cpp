// Messages that name the mistake: typed commands and options, key URIs, and warnings that stay
// off the progress line.
#include "tests/packer/packer_test_support.h"

#include "packer/cli/console.h"
#include "packer/cli/progress_bar.h"

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
    const char *message; // a part of the one error line; "" when the line is taken as meant
    const char *hidden;  // a secret that must not show ("" for none)
};

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
};

class Mistakes : public testing::TestWithParam<Mistake> {};

TEST_P(Mistakes, EachGetsAMessageThatNamesIt)
{
    const World &world = TheWorld();
    const Mistake &param = GetParam();
    const std::string folder = FreshFolder(std::string("mistake-") + param.name);
    RunResult result = Pack(param.arguments(world, folder));
    if (*param.message == 0) {
        EXPECT_EQ(result.exitCode, param.exitCode) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, "");
        return;
    }
    ExpectRefusal(result, param.message, param.exitCode);
    if (*param.hidden != 0) {
        EXPECT_EQ(result.err.find(param.hidden), std::string::npos) << result.err;
    }
    EXPECT_FALSE(std::filesystem::exists(folder + "/setup.exe"));
}

INSTANTIATE_TEST_SUITE_P(CommandLine, Mistakes, testing::ValuesIn(mistakes),
                         [](const auto &info) { return std::string(info.param.name); });

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
