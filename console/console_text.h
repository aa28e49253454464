// What both programs say on a console, in one style: their help, their
// command-line errors in words, and commands quoted for the shell they are pasted into.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace console {

enum class Shell { kPosix, kCmd };

#if defined(_WIN32)
inline constexpr Shell kThisShell = Shell::kCmd;
#else
inline constexpr Shell kThisShell = Shell::kPosix;
#endif

// word as one argument of a command typed into shell: as it is when nothing
// in it is special there.
std::string QuoteForShell(std::string_view word, Shell shell = kThisShell);

// The words quoted and joined by spaces: a command to paste.
std::string ShellCommand(const std::vector<std::string>& words, Shell shell = kThisShell);

// The command that makes folder and the folders it is in.
std::string MakeFolderCommand(std::string folder, Shell shell = kThisShell);

// Help as a person reads it: what to type, then what it does; no parser tags.
class HelpFormatter : public CLI::Formatter {
public:
    HelpFormatter(std::string program, std::string usage);
    std::string make_option_opts(const CLI::Option* option) const override;
    std::string make_usage(const CLI::App* app, std::string name) const override;
    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override;

private:
    std::string program_;
    std::string usage_;
};

// A command-line error as one line, in words, without the program's name
// ("unknown option --fsp; did you mean --fps? (vantrel-export --help lists the options)").
std::string DescribeParseError(const CLI::App& app, const CLI::ParseError& error);

// The closest option name to a mistyped one ("" when none is close).
std::string ClosestOption(const std::string& typed, const std::vector<std::string>& known);

// Whether argv asks for the version: answered before the arguments a run needs.
bool AsksForVersion(int argc, char** argv);

}  // namespace console
