#include "console/console_text.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace console {

namespace {

bool PlainInPosix(unsigned char c) {
    return std::isalnum(c) || c >= 0x80 || std::strchr("_-./,:@%+", c) != nullptr;
}

// cmd splits at none of these, and the C runtime's parser of the command line
// takes them as they are; everything else is quoted.
bool PlainInCmd(unsigned char c) {
    return std::isalnum(c) || c >= 0x80 || std::strchr("_-./\\:+@#$'~[]{}`", c) != nullptr;
}

// Single quotes keep every byte; a single quote itself ends them, is escaped, and they start again.
std::string QuotePosix(std::string_view word) {
    std::string quoted = "'";
    for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Two parsers read what is pasted into cmd: cmd itself, for which double quotes
// protect & | < > ^ ( ) but not %, and the program's C runtime, for which
// backslashes before a double quote escape it. So % and " stand outside the
// quotes, escaped with ^ for cmd (^% keeps %NAME% from being expanded), and
// backslashes are doubled wherever a quote follows them.
std::string QuoteCmd(std::string_view word) {
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (const char c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '%' || c == '"') {
            quoted.append(backslashes * 2, '\\');
            quoted += c == '%' ? "\"^%\"" : "\"\\^\"\"";
        } else {
            quoted.append(backslashes, '\\');
            quoted += c;
        }
        backslashes = 0;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

std::string Before(const std::string& text, const std::string& marker) {
    const size_t at = text.find(marker);
    return at == std::string::npos ? std::string() : text.substr(0, at);
}

// Edit distance with transpositions, enough to catch a typed option name.
size_t Distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// CLI11 says "The following argument was not expected: --fsp"; a person wants
// to know which option was meant.
std::string DescribeExtras(const CLI::App& app) {
    std::vector<std::string> names, positionals;
    for (const CLI::Option* option : app.get_options()) {
        if (option->get_positional()) positionals.push_back(option->get_name());
        for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
    }
    const std::vector<std::string> extras = app.remaining();
    for (const std::string& extra : extras) {
        if (extra.rfind("-", 0) != 0) continue;
        const std::string typed = extra.substr(0, extra.find('='));
        const std::string closest = ClosestOption(typed, names);
        return "unknown option " + typed + (closest.empty() ? "" : "; did you mean " + closest + "?") + " (" +
               app.get_name() + " --help lists the options)";
    }
    std::string allowed;
    for (size_t i = 0; i < positionals.size(); ++i) allowed += (i ? " and " : "") + positionals[i];
    return "too many arguments: " + (extras.empty() ? std::string() : extras.front()) + " (" + allowed +
           (positionals.size() > 1 ? " at most)" : " only)");
}

}  // namespace

std::string QuoteForShell(std::string_view word, Shell shell) {
    const auto plain = shell == Shell::kCmd ? PlainInCmd : PlainInPosix;
    if (!word.empty() && std::all_of(word.begin(), word.end(), [&](char c) { return plain(static_cast<unsigned char>(c)); }))
        return std::string(word);
    return shell == Shell::kCmd ? QuoteCmd(word) : QuotePosix(word);
}

std::string ShellCommand(const std::vector<std::string>& words, Shell shell) {
    std::string command;
    for (const std::string& word : words) command += (command.empty() ? "" : " ") + QuoteForShell(word, shell);
    return command;
}

// cmd's mkdir makes the folders between, and takes a / for a switch.
std::string MakeFolderCommand(std::string folder, Shell shell) {
    if (shell == Shell::kPosix) return ShellCommand({"mkdir", "-p", folder}, shell);
    std::replace(folder.begin(), folder.end(), '/', '\\');
    return ShellCommand({"mkdir", folder}, shell);
}

HelpFormatter::HelpFormatter(std::string program, std::string usage)
    : program_(std::move(program)), usage_(std::move(usage)) {
    column_width(28);
}

// The value's name alone: CLI11 would add its validators' ("N:POWER OF TWO").
std::string HelpFormatter::make_option_opts(const CLI::Option* option) const {
    if (option->get_positional() || option->get_type_size() == 0) return {};
    const std::string type = option->get_type_name();
    return " " + type.substr(0, type.find(':'));
}

std::string HelpFormatter::make_usage(const CLI::App*, std::string) const {
    return "Usage: " + program_ + " " + usage_ + "\n\n";
}

std::string HelpFormatter::make_help(const CLI::App* app, std::string name, CLI::AppFormatMode) const {
    return make_usage(app, name) + make_description(app) + make_positionals(app) +
           make_groups(app, CLI::AppFormatMode::Normal) + make_footer(app);
}

std::string DescribeParseError(const CLI::App& app, const CLI::ParseError& error) {
    const std::string what = error.what();
    if (dynamic_cast<const CLI::ExtrasError*>(&error)) return DescribeExtras(app);
    if (dynamic_cast<const CLI::RequiredError*>(&error)) {
        const std::string name = Before(what, " is required");
        return (name.empty() ? what : "no " + name + " given") + " (" + app.get_name() + " --help tells the rest)";
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error)) {  // CLI11: "--scale: 1 required FACTOR missing"
        const std::string name = what.substr(0, what.find(':'));
        return what.find("At Most") == std::string::npos ? name + " needs a value" : name + " may be given once";
    }
    return what;
}

std::string ClosestOption(const std::string& typed, const std::vector<std::string>& known) {
    std::string best;
    size_t bestDistance = 3;  // further than two edits is another word
    for (const std::string& name : known) {
        const size_t distance = Distance(typed, name);
        if (distance < bestDistance || (name.rfind(typed, 0) == 0 && typed.size() > 3 && bestDistance > 0)) {
            best = name;
            bestDistance = name.rfind(typed, 0) == 0 ? 0 : distance;
        }
    }
    return best;
}

bool AsksForVersion(int argc, char** argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "--version") == 0) return true;
    return false;
}

}  // namespace console
