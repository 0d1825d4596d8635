#include "cli_args.h"

#include <optional>
#include <span>
#include <string_view>

namespace vespra::cli {
namespace {

constexpr std::string_view ABOUT =
    "Trace a Python script with sys.monitoring; emit Perfetto-compatible output.";
constexpr std::string_view RUN_ABOUT = "Run a script under the tracer";
constexpr std::string_view SUMMARY_ABOUT =
    "Print where a trace's time went: functions by self or total time";
constexpr std::string_view FLAMEGRAPH_ABOUT =
    "Write a trace's call stacks as an interactive SVG flame graph or collapsed stacks";
constexpr std::string_view HELP_ABOUT = "Print this message or the help of the given subcommand(s)";

constexpr std::string_view TOP_USAGE = "vespra <COMMAND>";
constexpr std::string_view RUN_USAGE =
    "vespra run [OPTIONS] --output <OUTPUT> <SCRIPT|--module <MODULE>...> [SCRIPT_ARGS]...";
constexpr std::string_view HELP_USAGE = "vespra help [COMMAND]";

// How each option of `run` is named in messages, the way its help line shows it.
constexpr std::string_view OUTPUT_ARG = "--output <OUTPUT>";
constexpr std::string_view FORMAT_ARG = "--format <FORMAT>";
constexpr std::string_view MODULE_ARG = "--module <MODULE>...";
constexpr std::string_view CLOCK_ARG = "--clock <CLOCK>";
constexpr std::string_view LOSSLESS_ARG = "--lossless";
constexpr std::string_view TARGET_ARG = "<SCRIPT|--module <MODULE>...>";

constexpr std::string_view FORMATS[] = {"json", "protobuf"};
constexpr std::string_view POSSIBLE_FORMATS = "[possible values: json, protobuf]";
constexpr std::string_view CLOCKS[] = {"auto", "tsc", "monotonic"};
constexpr std::string_view POSSIBLE_CLOCKS = "[possible values: auto, tsc, monotonic]";

std::string top_help() {
    std::string text;
    text.append(ABOUT).append("\n\nUsage: ").append(TOP_USAGE).append("\n\n");
    text.append("Commands:\n");
    text.append("  run         ").append(RUN_ABOUT).append("\n");
    text.append("  summary     ").append(SUMMARY_ABOUT).append("\n");
    text.append("  flamegraph  ").append(FLAMEGRAPH_ABOUT).append("\n");
    text.append("  help        ").append(HELP_ABOUT).append("\n\n");
    text.append("Options:\n");
    text.append("  -h, --help  Print help\n");
    return text;
}

std::string run_help() {
    std::string text;
    text.append(RUN_ABOUT).append("\n\nUsage: ").append(RUN_USAGE).append("\n\n");
    text.append("Arguments:\n");
    text.append("  [SCRIPT]          Python script to run\n");
    text.append("  [SCRIPT_ARGS]...  Arguments forwarded to the script\n\n");
    text.append("Options:\n");
    text.append("  -o, --output <OUTPUT>     Output file path\n");
    text.append("  -f, --format <FORMAT>     Output format [default: protobuf] ")
        .append(POSSIBLE_FORMATS)
        .append("\n");
    text.append(
        "      --lossless            Never drop events: a thread whose buffer is full waits for "
        "the writer (the program slows down instead)\n");
    text.append("      --clock <CLOCK>       Timestamp source [default: auto] ")
        .append(POSSIBLE_CLOCKS)
        .append("\n");
    text.append(
        "  -m, --module <MODULE>...  Run a library module as a script, like `python -m`. "
        "Every following argument belongs to the module\n");
    text.append("  -h, --help                Print help\n");
    return text;
}

std::string help_help() {
    std::string text;
    text.append(HELP_ABOUT).append("\n\nUsage: ").append(HELP_USAGE).append("\n\n");
    text.append("Arguments:\n");
    text.append("  [COMMAND]  Print help for the subcommand\n");
    return text;
}

Message help(std::string text) { return {Message::Stream::Stdout, 0, std::move(text)}; }

// A usage error: what went wrong, an optional indented detail (possible values, a tip), the
// usage line of the command being parsed, and where to look next.
Message usage_error(std::string_view usage, std::string_view what, std::string_view detail = {}) {
    std::string text = "error: ";
    text.append(what).append("\n");
    if (!detail.empty()) text.append(detail).append("\n");
    text.append("\nUsage: ").append(usage).append("\n\n");
    text.append("For more information, try '--help'.\n");
    return {Message::Stream::Stderr, 2, std::move(text)};
}

std::string quoted(std::string_view word) {
    std::string text = "'";
    text.append(word).append("'");
    return text;
}

enum class Option { Output, Format, Module, Help, Lossless, Clock };

// One word that names an option of `run`, with the value written into the same word
// (`--output=t.pb`, `-ot.pb`, `-o=t.pb`), if any.
struct OptionWord {
    Option option;
    std::optional<std::string> attached;
};

std::optional<Option> long_option(std::string_view name) {
    if (name == "output") return Option::Output;
    if (name == "format") return Option::Format;
    if (name == "module") return Option::Module;
    if (name == "help") return Option::Help;
    if (name == "lossless") return Option::Lossless;
    if (name == "clock") return Option::Clock;
    return std::nullopt;
}

std::optional<Option> short_option(char c) {
    switch (c) {
        case 'o':
            return Option::Output;
        case 'f':
            return Option::Format;
        case 'm':
            return Option::Module;
        case 'h':
            return Option::Help;
        default:
            return std::nullopt;
    }
}

// Recognises the options of `run`. Anything else (positionals, "-", "--", unknown options) is
// not an option word.
std::optional<OptionWord> option_word(std::string_view word) {
    if (word.size() > 2 && word.starts_with("--")) {
        std::string_view name = word.substr(2);
        std::optional<std::string> attached;
        if (auto eq = name.find('='); eq != std::string_view::npos) {
            attached = std::string(name.substr(eq + 1));
            name = name.substr(0, eq);
        }
        if (auto option = long_option(name)) return OptionWord{*option, std::move(attached)};
        return std::nullopt;
    }
    if (word.size() >= 2 && word[0] == '-' && word[1] != '-') {
        auto option = short_option(word[1]);
        if (!option) return std::nullopt;
        std::string_view rest = word.substr(2);
        if (rest.empty()) return OptionWord{*option, std::nullopt};
        if (*option == Option::Help) return std::nullopt;  // "-hx" is no option of ours
        if (rest.starts_with('=')) rest.remove_prefix(1);
        return OptionWord{*option, std::string(rest)};
    }
    return std::nullopt;
}

// A word that would be read as an option if it stood where an option may stand: it cannot be
// the separate value of an option.
bool looks_like_option(std::string_view word) { return word.size() > 1 && word[0] == '-'; }

Cli parse_run(std::span<const std::string> words) {
    RunArgs args;
    bool output_given = false;
    bool format_given = false;
    bool clock_given = false;
    bool script_given = false;

    size_t i = 0;
    auto take_rest_as_script_args = [&] {
        args.script_args.assign(words.begin() + static_cast<ptrdiff_t>(i), words.end());
        i = words.size();
    };

    while (i < words.size()) {
        const std::string& word = words[i];
        if (word == "--") {
            // Everything after the separator is positional.
            ++i;
            if (!script_given && i < words.size()) {
                args.script = words[i++];
                script_given = true;
            }
            take_rest_as_script_args();
            break;
        }
        std::optional<OptionWord> opt = option_word(word);
        if (!opt) {
            if (script_given) {
                // The script's first argument: from here on every word is the script's.
                take_rest_as_script_args();
                break;
            }
            if (looks_like_option(word)) {
                return usage_error(RUN_USAGE, "unexpected argument " + quoted(word) + " found",
                                   "\n  tip: to pass " + quoted(word) + " as a value, use " +
                                       quoted("-- " + word));
            }
            args.script = word;
            script_given = true;
            ++i;
            continue;
        }
        ++i;
        switch (opt->option) {
            case Option::Help:
                if (opt->attached) {
                    return usage_error(RUN_USAGE, "unexpected value " + quoted(*opt->attached) +
                                                      " for '--help' found; no more were expected");
                }
                return help(run_help());
            case Option::Module: {
                // The module name and its arguments: every remaining word, options included.
                if (opt->attached) args.module.push_back(*opt->attached);
                args.module.insert(args.module.end(), words.begin() + static_cast<ptrdiff_t>(i),
                                   words.end());
                i = words.size();
                if (args.module.empty()) {
                    return usage_error(RUN_USAGE, "a value is required for '" +
                                                      std::string(MODULE_ARG) +
                                                      "' but none was supplied");
                }
                break;
            }
            case Option::Lossless:
                if (opt->attached) {
                    return usage_error(RUN_USAGE, "unexpected value " + quoted(*opt->attached) +
                                                      " for '" + std::string(LOSSLESS_ARG) +
                                                      "' found; no more were expected");
                }
                if (args.lossless) {
                    return usage_error(RUN_USAGE, "the argument '" + std::string(LOSSLESS_ARG) +
                                                      "' cannot be used multiple times");
                }
                args.lossless = true;
                break;
            case Option::Output:
            case Option::Format:
            case Option::Clock: {
                // The options that take one value: where it goes, and the values allowed
                // (any, for the output).
                struct Valued {
                    std::string_view name;
                    bool& given;
                    std::string& value;
                    std::span<const std::string_view> choices;
                    std::string_view possible;
                };
                Valued v =
                    opt->option == Option::Output
                        ? Valued{OUTPUT_ARG, output_given, args.output, {}, {}}
                    : opt->option == Option::Format
                        ? Valued{FORMAT_ARG, format_given, args.format, FORMATS, POSSIBLE_FORMATS}
                        : Valued{CLOCK_ARG, clock_given, args.clock, CLOCKS, POSSIBLE_CLOCKS};
                std::string detail = v.possible.empty() ? "" : "  " + std::string(v.possible);
                if (v.given) {
                    return usage_error(RUN_USAGE, "the argument '" + std::string(v.name) +
                                                      "' cannot be used multiple times");
                }
                std::string value;
                if (opt->attached) {
                    value = std::move(*opt->attached);
                } else if (i < words.size() && !looks_like_option(words[i])) {
                    value = words[i++];
                } else {
                    return usage_error(RUN_USAGE,
                                       "a value is required for '" + std::string(v.name) +
                                           "' but none was supplied",
                                       detail);
                }
                bool known = v.choices.empty();
                for (std::string_view c : v.choices) known = known || c == value;
                if (!known) {
                    return usage_error(
                        RUN_USAGE,
                        "invalid value " + quoted(value) + " for '" + std::string(v.name) + "'",
                        detail);
                }
                v.given = true;
                v.value = std::move(value);
                break;
            }
        }
    }

    if (script_given && args.runs_module()) {
        return usage_error(RUN_USAGE, "the argument '" + std::string(MODULE_ARG) +
                                          "' cannot be used with '[SCRIPT]'");
    }
    std::string missing;
    if (!output_given) missing.append("\n  ").append(OUTPUT_ARG);
    if (!script_given && !args.runs_module()) missing.append("\n  ").append(TARGET_ARG);
    if (!missing.empty()) {
        return usage_error(RUN_USAGE,
                           "the following required arguments were not provided:" + missing);
    }
    return args;
}

// ---- summary and flamegraph ----------------------------------------------------------------
// Both take one trace file and options; an option's value may be attached (`--top=5`, `-n5`)
// or the next word, and "--" ends the options.

constexpr std::string_view SUMMARY_USAGE = "vespra summary [OPTIONS] <TRACE>";
constexpr std::string_view FLAMEGRAPH_USAGE =
    "vespra flamegraph [OPTIONS] --output <OUTPUT> <TRACE>";

std::string summary_help() {
    std::string text;
    text.append(SUMMARY_ABOUT).append("\n\nUsage: ").append(SUMMARY_USAGE).append("\n\n");
    text.append("Arguments:\n");
    text.append("  <TRACE>  Trace file, protobuf or JSON (told apart by content)\n\n");
    text.append("Options:\n");
    text.append("  -n, --top <N>          Rows per table, 0 for all [default: 25]\n");
    text.append(
        "  -s, --sort <KEY>       Order of the rows [default: self] "
        "[possible values: self, total, calls]\n");
    text.append(
        "      --by <GROUP>       One table per thread or per process instead of one "
        "for the whole trace [possible values: thread, process]\n");
    text.append("      --filter <TEXT>    Only functions whose name or file contains TEXT\n");
    text.append("      --json             Print JSON, for scripts\n");
    text.append("  -h, --help             Print help\n");
    return text;
}

std::string flamegraph_help() {
    std::string text;
    text.append(FLAMEGRAPH_ABOUT).append("\n\nUsage: ").append(FLAMEGRAPH_USAGE).append("\n\n");
    text.append("Arguments:\n");
    text.append("  <TRACE>  Trace file, protobuf or JSON (told apart by content)\n\n");
    text.append("Options:\n");
    text.append("  -o, --output <OUTPUT>  File to write\n");
    text.append(
        "      --per-thread       One graph per thread instead of stacks merged across "
        "threads\n");
    text.append(
        "      --folded           Write collapsed stacks (\"outer;inner;leaf ns\") "
        "instead of SVG\n");
    text.append("  -h, --help             Print help\n");
    return text;
}

struct OptionDef {
    std::string_view long_name;
    char short_name;  // 0 for none
    bool takes_value;
    std::string_view shown;  // as named in messages
};

// Parses `words` against `defs`: calls on_option(index into defs, value) for every option
// (value empty for flags) and stores the one positional word in `trace`. Returns a message for
// a usage error, for a missing trace, or for -h/--help (then `help_text`); on_option may return
// one too, for a value it refuses.
template <class OnOption>
std::optional<Message> parse_options(std::span<const std::string> words,
                                     std::span<const OptionDef> defs, std::string_view usage,
                                     const std::string& help_text, std::string& trace,
                                     OnOption on_option) {
    std::vector<bool> given(defs.size(), false);
    bool trace_given = false;
    bool options_done = false;
    auto positional = [&](const std::string& word) -> std::optional<Message> {
        if (trace_given)
            return usage_error(usage, "unexpected argument " + quoted(word) + " found");
        trace = word;
        trace_given = true;
        return std::nullopt;
    };
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (options_done || !looks_like_option(word)) {
            if (auto m = positional(word)) return m;
            continue;
        }
        if (word == "--") {
            options_done = true;
            continue;
        }
        if (word == "-h" || word == "--help") return help(help_text);
        std::optional<size_t> which;
        std::optional<std::string> attached;
        if (word.starts_with("--")) {
            std::string_view name = std::string_view(word).substr(2);
            if (auto eq = name.find('='); eq != std::string_view::npos) {
                attached = std::string(name.substr(eq + 1));
                name = name.substr(0, eq);
            }
            for (size_t k = 0; k < defs.size(); ++k) {
                if (defs[k].long_name == name) which = k;
            }
        } else {
            for (size_t k = 0; k < defs.size(); ++k) {
                if (defs[k].short_name != 0 && defs[k].short_name == word[1]) which = k;
            }
            if (which && word.size() > 2) {
                std::string_view rest = std::string_view(word).substr(2);
                if (rest.starts_with('=')) rest.remove_prefix(1);
                attached = std::string(rest);
            }
        }
        if (!which) {
            return usage_error(
                usage, "unexpected argument " + quoted(word) + " found",
                "\n  tip: to pass " + quoted(word) + " as a value, use " + quoted("-- " + word));
        }
        const OptionDef& def = defs[*which];
        if (given[*which]) {
            return usage_error(usage, "the argument '" + std::string(def.shown) +
                                          "' cannot be used multiple times");
        }
        given[*which] = true;
        std::string value;
        if (def.takes_value) {
            if (attached) {
                value = std::move(*attached);
            } else if (i + 1 < words.size() && !looks_like_option(words[i + 1])) {
                value = words[++i];
            } else {
                return usage_error(usage, "a value is required for '" + std::string(def.shown) +
                                              "' but none was supplied");
            }
        } else if (attached) {
            return usage_error(usage, "unexpected value " + quoted(*attached) + " for '" +
                                          std::string(def.shown) +
                                          "' found; no more were expected");
        }
        if (auto m = on_option(*which, value)) return m;
    }
    if (!trace_given) {
        return usage_error(usage, "the following required arguments were not provided:\n  <TRACE>");
    }
    return std::nullopt;
}

Message invalid_value(std::string_view usage, const std::string& value, std::string_view shown,
                      std::string_view possible) {
    return usage_error(
        usage, "invalid value " + quoted(value) + " for '" + std::string(shown) + "'",
        possible.empty() ? "" : "  [possible values: " + std::string(possible) + "]");
}

Cli parse_summary(std::span<const std::string> words) {
    static constexpr OptionDef OPTIONS[] = {
        {"top", 'n', true, "--top <N>"}, {"sort", 's', true, "--sort <KEY>"},
        {"by", 0, true, "--by <GROUP>"}, {"filter", 0, true, "--filter <TEXT>"},
        {"json", 0, false, "--json"},
    };
    analysis::SummaryOptions opts;
    auto on_option = [&](size_t which, const std::string& value) -> std::optional<Message> {
        using Sort = analysis::SummaryOptions::Sort;
        using Group = analysis::SummaryOptions::Group;
        switch (which) {
            case 0: {
                size_t n = 0;
                bool ok = !value.empty() && value.size() <= 9;
                for (char c : value) ok = ok && c >= '0' && c <= '9';
                if (ok) n = std::stoul(value);
                if (!ok) return invalid_value(SUMMARY_USAGE, value, OPTIONS[0].shown, "");
                opts.top = n;
                break;
            }
            case 1:
                if (value == "self")
                    opts.sort = Sort::Self;
                else if (value == "total")
                    opts.sort = Sort::Total;
                else if (value == "calls")
                    opts.sort = Sort::Calls;
                else
                    return invalid_value(SUMMARY_USAGE, value, OPTIONS[1].shown,
                                         "self, total, calls");
                break;
            case 2:
                if (value == "thread")
                    opts.group = Group::Thread;
                else if (value == "process")
                    opts.group = Group::Process;
                else
                    return invalid_value(SUMMARY_USAGE, value, OPTIONS[2].shown, "thread, process");
                break;
            case 3:
                opts.filter = value;
                break;
            case 4:
                opts.json = true;
                break;
        }
        return std::nullopt;
    };
    if (auto m =
            parse_options(words, OPTIONS, SUMMARY_USAGE, summary_help(), opts.trace, on_option)) {
        return *m;
    }
    return opts;
}

Cli parse_flamegraph(std::span<const std::string> words) {
    static constexpr OptionDef OPTIONS[] = {
        {"output", 'o', true, "--output <OUTPUT>"},
        {"per-thread", 0, false, "--per-thread"},
        {"folded", 0, false, "--folded"},
    };
    analysis::FlamegraphOptions opts;
    bool output_given = false;
    auto on_option = [&](size_t which, const std::string& value) -> std::optional<Message> {
        if (which == 0) opts.output = value, output_given = true;
        if (which == 1) opts.per_thread = true;
        if (which == 2) opts.folded = true;
        return std::nullopt;
    };
    if (auto m = parse_options(words, OPTIONS, FLAMEGRAPH_USAGE, flamegraph_help(), opts.trace,
                               on_option)) {
        return *m;
    }
    if (!output_given) {
        return usage_error(
            FLAMEGRAPH_USAGE,
            "the following required arguments were not provided:\n  --output <OUTPUT>");
    }
    return opts;
}

Cli parse_help(std::span<const std::string> words) {
    if (words.empty()) return help(top_help());
    const std::string& command = words[0];
    if (command == "summary" || command == "flamegraph") {
        if (words.size() > 1)
            return usage_error(HELP_USAGE, "unrecognized subcommand " + quoted(words[1]));
        return help(command == "summary" ? summary_help() : flamegraph_help());
    }
    if (command != "run" && command != "help") {
        return usage_error(HELP_USAGE, "unrecognized subcommand " + quoted(command));
    }
    if (words.size() > 1) {
        // Neither subcommand has subcommands of its own.
        return usage_error(HELP_USAGE, "unrecognized subcommand " + quoted(words[1]));
    }
    return help(command == "run" ? run_help() : help_help());
}

}  // namespace

Cli parse(const std::vector<std::string>& words) {
    if (words.size() < 2) {
        // Nothing asked for: show what there is to ask for, as an error.
        return Message{Message::Stream::Stderr, 2, top_help()};
    }
    std::span<const std::string> rest(words.begin() + 2, words.end());
    const std::string& first = words[1];
    if (first == "run") return parse_run(rest);
    if (first == "help") return parse_help(rest);
    if (first == "summary") return parse_summary(rest);
    if (first == "flamegraph") return parse_flamegraph(rest);
    if (first == "-h" || first == "--help") return help(top_help());
    if (looks_like_option(first) || first == "-") {
        return usage_error(TOP_USAGE, "unexpected argument " + quoted(first) + " found");
    }
    return usage_error(TOP_USAGE, "unrecognized subcommand " + quoted(first));
}

}  // namespace vespra::cli
