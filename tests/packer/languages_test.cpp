// Every x64 package can be chosen for some language, or pack says which one takes its place:
// two-language products as wixl builds them, with and without --msi-language.
#include "tests/packer/packer_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <vector>

namespace packer_test {
namespace {

// wixl's German product: ProductLanguage 1031, Template x64;1033.
std::string WixlGerman(const std::string &folder)
{
    PackageSource german;
    german.language = "1031";
    german.productName = "Beispiel";
    german.productCode = "{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B64}";
    german.cabinet = "german.cab";
    german.wixlTemplate = true;
    BuildPackage(folder, "german", german);
    return folder + "/german.msi";
}

std::string PackLine(const World &world, const std::vector<std::string> &packages, const std::string &folder,
                     const std::string &extra)
{
    std::string line = "pack --stub " + Quote(world.signedStub) + " --key " + Quote(world.key);
    for (const auto &package : packages)
        line += " --msi " + Quote(package);
    return line + " -o " + Quote(folder + "/setup.exe") + extra;
}

std::string LanguageOption(const std::string &package, const std::string &languages)
{
    return " --msi-language " + Quote(package + "=" + languages);
}

struct LanguageCase {
    const char *name;
    // The packages in order and the extra options, made in folder.
    std::function<std::vector<std::string>(const World &, const std::string &folder, std::string &extra)> packages;
    int exitCode;
    // Parts of standard error: the error line when refused, else the warnings in order ("" none).
    std::function<std::vector<std::string>(const World &, const std::vector<std::string> &packages)> err;
    // Locales and the ProductCode that verify says the launcher installs for each.
    std::vector<std::pair<const char *, const char *>> choices;
};

constexpr const char *EnglishCode = "{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B61}";
constexpr const char *GermanCode = "{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B62}";
constexpr const char *WixlGermanCode = "{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B64}";

const LanguageCase languageCases[] = {
    {"wixl_template_second",
     [](const World &w, const std::string &f, std::string &) {
         return std::vector<std::string>{w.en, WixlGerman(f)};
     },
     1,
     [](const World &, const std::vector<std::string> &p) {
         return std::vector<std::string>{p[1] + " can never be chosen: " + p[0] + " is chosen for 1033",
                                         "--msi-language", "=1031", "--allow-unreachable"};
     },
     {}},
    // The English package is the one that loses when it comes second.
    {"wixl_template_first",
     [](const World &w, const std::string &f, std::string &) {
         return std::vector<std::string>{WixlGerman(f), w.en};
     },
     1,
     [](const World &, const std::vector<std::string> &p) {
         return std::vector<std::string>{p[1] + " can never be chosen: " + p[0] + " is chosen for 1033"};
     },
     {}},
    {"wixl_template_with_the_language_option",
     [](const World &w, const std::string &f, std::string &extra) {
         std::string german = WixlGerman(f);
         extra = LanguageOption(german, "1031");
         return std::vector<std::string>{w.en, german};
     },
     0,
     [](const World &, const std::vector<std::string> &) { return std::vector<std::string>{""}; },
     {{"1031", WixlGermanCode}, {"1033", EnglishCode}, {"3079", WixlGermanCode}}},
    // A package that shares one language and has one of its own is chosen for that one.
    {"duplicate_language",
     [](const World &w, const std::string &f, std::string &extra) {
         std::string german = WixlGerman(f);
         extra = LanguageOption(german, "1031,1033");
         return std::vector<std::string>{w.en, german};
     },
     0,
     [](const World &, const std::vector<std::string> &p) {
         return std::vector<std::string>{p[1] + " and " + p[0] +
                                         " both name language 1033; the launcher takes the one listed first"};
     },
     {{"1031", WixlGermanCode}, {"1033", EnglishCode}}},
    // --msi-language moves fr.msi onto German, which de.msi, listed before it, already takes.
    {"shadowed",
     [](const World &w, const std::string &, std::string &extra) {
         extra = LanguageOption(w.fr, "1031");
         return std::vector<std::string>{w.en, w.de, w.fr};
     },
     1,
     [](const World &, const std::vector<std::string> &p) {
         return std::vector<std::string>{p[2] + " can never be chosen: " + p[1] + " is chosen for 1031"};
     },
     {}},
    {"allow_unreachable",
     [](const World &w, const std::string &f, std::string &extra) {
         extra = " --allow-unreachable";
         return std::vector<std::string>{w.en, WixlGerman(f)};
     },
     0,
     [](const World &, const std::vector<std::string> &p) {
         return std::vector<std::string>{p[1] + ": ProductLanguage 1031 is not among the Template's languages",
                                         p[1] + " can never be chosen: " + p[0] + " is chosen for 1033"};
     },
     {{"1031", EnglishCode}, {"1033", EnglishCode}}},
    // The launcher never chooses another architecture: a warning, as before.
    {"intel_package",
     [](const World &w, const std::string &f, std::string &extra) {
         PackageSource intel;
         intel.language = "1031";
         intel.productCode = "{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B65}";
         intel.cabinet = "intel.cab";
         BuildPackage(f, "intel", intel);
         RunResult retargeted = RunCommand(std::string(PACKER_TEST_MSIBUILD) + " " + Quote(f + "/intel.msi") +
                                           " -s Example 'Launcher Project' 'Intel;1031'");
         extra = retargeted.exitCode == 0 ? "" : " --msibuild-failed";
         return std::vector<std::string>{w.en, f + "/intel.msi"};
     },
     0,
     [](const World &, const std::vector<std::string> &p) {
         return std::vector<std::string>{p[1] +
                                         " is for Intel; the launcher installs x64 packages only and never chooses it"};
     },
     {{"1033", EnglishCode}}},
    // A file name holding '=' is split at the last one.
    {"file_name_with_an_equals_sign",
     [](const World &w, const std::string &f, std::string &extra) {
         PackageSource german;
         german.language = "1031";
         german.productCode = "{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B66}";
         german.cabinet = "equals.cab";
         german.wixlTemplate = true;
         BuildPackage(f, "a=b", german);
         extra = LanguageOption(f + "/a=b.msi", "1031");
         return std::vector<std::string>{w.en, f + "/a=b.msi"};
     },
     0,
     [](const World &, const std::vector<std::string> &) { return std::vector<std::string>{""}; },
     {{"1031", "{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B66}"}}},
    // The languages given to the wrong file: both packages are chosen, each for the other's
    // language, and pack says so for each.
    {"language_option_on_the_wrong_package",
     [](const World &w, const std::string &f, std::string &extra) {
         extra = LanguageOption(w.en, "1031");
         return std::vector<std::string>{w.en, WixlGerman(f)};
     },
     0,
     [](const World &, const std::vector<std::string> &p) {
         return std::vector<std::string>{
             p[0] + ": --msi-language gives it 1031, not its ProductLanguage 1033: the launcher chooses it for "
                    "those languages, not for its own",
             p[1] + ": ProductLanguage 1031 is not among the Template's languages"};
     },
     {{"1031", EnglishCode}, {"1033", WixlGermanCode}}},
    // A package that is also the fallback for another language, and one that is only that.
    {"language_option_including_the_product_language",
     [](const World &w, const std::string &, std::string &extra) {
         extra = LanguageOption(w.fr, "1049,1036");
         return std::vector<std::string>{w.en, w.fr};
     },
     0,
     [](const World &, const std::vector<std::string> &) { return std::vector<std::string>{""}; },
     {{"1049", "{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B63}"}, {"1036", "{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B63}"}}},
    {"language_option_leaving_out_the_product_language",
     [](const World &w, const std::string &, std::string &extra) {
         extra = LanguageOption(w.fr, "1049");
         return std::vector<std::string>{w.en, w.fr};
     },
     0,
     [](const World &, const std::vector<std::string> &p) {
         return std::vector<std::string>{p[1] + ": --msi-language gives it 1049, not its ProductLanguage 1036"};
     },
     {{"1049", "{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B63}"}, {"1036", EnglishCode}}},
    {"language_option_for_a_package_not_given",
     [](const World &w, const std::string &, std::string &extra) {
         extra = LanguageOption(w.fr, "1036");
         return std::vector<std::string>{w.en, w.de};
     },
     2,
     [](const World &, const std::vector<std::string> &) {
         return std::vector<std::string>{"is not one of the --msi packages"};
     },
     {}},
    {"language_option_not_a_number",
     [](const World &w, const std::string &, std::string &extra) {
         extra = LanguageOption(w.de, "1031,de");
         return std::vector<std::string>{w.en, w.de};
     },
     2,
     [](const World &, const std::vector<std::string> &) {
         return std::vector<std::string>{"\"de\" is not a language identifier"};
     },
     {}},
};

class Languages : public testing::TestWithParam<LanguageCase> {};

TEST_P(Languages, EveryPackageIsChosenOrPackSaysWhichTakesItsPlace)
{
    const World &world = TheWorld();
    const LanguageCase &param = GetParam();
    const std::string folder = FreshFolder(std::string("languages-") + param.name);
    std::string extra;
    const std::vector<std::string> packages = param.packages(world, folder, extra);
    RunResult packed = Pack(PackLine(world, packages, folder, extra));
    const std::vector<std::string> err = param.err(world, packages);

    if (param.exitCode != 0) {
        ExpectRefusal(packed, err.front(), param.exitCode);
        for (const auto &part : err)
            EXPECT_NE(packed.err.find(part), std::string::npos) << part;
        EXPECT_FALSE(std::filesystem::exists(folder + "/setup.exe"));
        return;
    }
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    const std::string warnings = WarningLines(packed.err);
    std::size_t lines = static_cast<std::size_t>(std::count(warnings.begin(), warnings.end(), '\n'));
    EXPECT_EQ(lines, err.front().empty() ? 0 : err.size()) << warnings;
    std::size_t at = 0;
    for (const auto &part : err) {
        at = warnings.find(part, at);
        EXPECT_NE(at, std::string::npos) << part << " in\n" << warnings;
    }

    RunResult verified = Pack("verify --key " + Quote(world.publicKey) + " " + Quote(folder + "/setup.exe"));
    EXPECT_EQ(verified.exitCode, 0) << verified.err;
    for (const auto &[locale, code] : param.choices) {
        RunResult extracted = Pack("extract " + Quote(folder + "/setup.exe") + " --lcid " + locale + " -o " +
                                   Quote(folder + "/extract-" + locale));
        EXPECT_EQ(extracted.exitCode, 0) << extracted.err;
        EXPECT_NE(extracted.out.find(std::string("package ") + code), std::string::npos)
            << "locale " << locale << ": " << extracted.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Pack, Languages, testing::ValuesIn(languageCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace packer_test
