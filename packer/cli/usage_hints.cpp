#include "packer/cli/usage_hints.h"

#include <algorithm>
#include <functional>

namespace packer {

namespace {

std::vector<const CLI::App *> Commands(const CLI::App &app)
{
    return app.get_subcommands(std::function<bool(const CLI::App *)>());
}

// "--name" or "-n", as typed.
std::vector<std::string> OptionNames(const CLI::App &command)
{
    std::vector<std::string> names;
    for (const CLI::Option *option : command.get_options()) {
        for (const auto &name : option->get_lnames())
            names.push_back("--" + name);
        for (const auto &name : option->get_snames())
            names.push_back("-" + name);
    }
    return names;
}

bool Takes(const CLI::App &command, const std::string &option)
{
    const std::vector<std::string> names = OptionNames(command);
    return std::find(names.begin(), names.end(), option) != names.end();
}

// The edit distance between a and b: insertions, deletions, substitutions and swaps of two
// neighbouring characters (the optimal string alignment form of Damerau-Levenshtein).
std::size_t EditDistance(const std::string &a, const std::string &b)
{
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// The candidate nearest to typed, if it is near enough to be what was meant: one edit for a short
// word, two for a longer one.
std::optional<std::string> Closest(const std::string &typed, const std::vector<std::string> &candidates)
{
    auto bare = [](const std::string &name) {
        const std::size_t start = name.find_first_not_of('-');
        return start == std::string::npos ? std::string() : name.substr(start);
    };
    const std::string word = bare(typed);
    if (word.empty())
        return std::nullopt;
    std::optional<std::string> best;
    std::size_t bestDistance = word.size() <= 4 ? 1 : 2;
    for (const auto &candidate : candidates) {
        if (bare(candidate).size() < 2)
            continue; // a one-letter name is near everything
        const std::size_t distance = EditDistance(word, bare(candidate));
        if (distance <= bestDistance && (!best || distance < EditDistance(word, bare(*best)))) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return best;
}

std::string JoinNames(const std::vector<std::string> &names)
{
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return text;
}

} // namespace

std::optional<std::string> ExplainUsageError(const CLI::App &app, const std::vector<std::string> &arguments)
{
    const std::vector<const CLI::App *> commands = Commands(app);
    const CLI::App *command = nullptr;
    for (const std::string &argument : arguments) {
        if (argument == "--")
            break;
        if (argument.size() > 1 && argument[0] == '-') {
            // --name=value, and -ovalue or -qv for one-letter names.
            const std::string option =
                argument[1] == '-' ? argument.substr(0, argument.find('=')) : argument.substr(0, 2);
            if (Takes(app, option) || (command && Takes(*command, option)))
                continue;
            std::vector<std::string> owners;
            for (const CLI::App *other : commands)
                if (other != command && Takes(*other, option))
                    owners.push_back(other->get_name());
            const std::string belongs = option + " is an option of " + JoinNames(owners);
            if (!owners.empty() && command)
                return belongs + ", not of " + command->get_name();
            if (!owners.empty())
                return belongs + ": give it after the command (launcher-pack " + owners.front() + " ... " + option +
                       ")";
            std::vector<std::string> names = OptionNames(app);
            if (command) {
                std::vector<std::string> own = OptionNames(*command);
                names.insert(names.begin(), own.begin(), own.end());
            }
            std::optional<std::string> meant = Closest(option, names);
            return "unknown option " + option + (command ? " of " + command->get_name() : std::string()) +
                   (meant ? "; did you mean " + *meant + "?" : std::string());
        }
        if (command)
            continue; // a value or a file
        auto named = std::find_if(commands.begin(), commands.end(),
                                  [&](const CLI::App *candidate) { return candidate->get_name() == argument; });
        if (named != commands.end()) {
            command = *named;
            continue;
        }
        std::vector<std::string> names;
        for (const CLI::App *candidate : commands)
            names.push_back(candidate->get_name());
        std::optional<std::string> meant = Closest(argument, names);
        return "unknown command " + argument +
               (meant ? "; did you mean " + *meant + "?" : "; the commands are " + JoinNames(names));
    }
    return std::nullopt;
}

} // namespace packer
