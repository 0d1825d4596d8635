#include "cli/cli_args.h"

#include <algorithm>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

namespace vespra::cli {
namespace {

constexpr std::string_view ABOUT =
    "Trace a Python script with sys.monitoring; emit Perfetto-compatible output.";
constexpr std::string_view RUN_ABOUT = "Run a script under the tracer";
constexpr std::string_view SUMMARY_ABOUT =
    "Print where a trace's time went: functions by self or total time";
constexpr std::string_view FLAMEGRAPH_ABOUT =
    "Write a trace's call stacks as an interactive SVG flame graph or collapsed stacks";
constexpr std::string_view JOIN_ABOUT =
    "Join into a trace the parts its processes left beside it (a killed first process)";
constexpr std::string_view CUT_ABOUT =
    "Write the part of a trace between two times, of one process or thread, as a smaller trace";
constexpr std::string_view VIEW_ABOUT = "Open a trace in the Perfetto UI, served from this machine";
constexpr std::string_view DUMP_ABOUT =
    "Ask a process traced with --ring (or Tracer(ring=)) to write what its ring holds";
constexpr std::string_view HELP_ABOUT = "Print this message or the help of the given subcommand(s)";

constexpr std::string_view TOP_USAGE = "vespra <COMMAND>";
constexpr std::string_view RUN_USAGE =
    "vespra run [OPTIONS] --output <OUTPUT> <SCRIPT|--module <MODULE>...> [SCRIPT_ARGS]...";
constexpr std::string_view HELP_USAGE = "vespra help [COMMAND]";

// How `run`'s required arguments are named in messages, the way its help shows them.
constexpr std::string_view OUTPUT_ARG = "--output <OUTPUT>";
constexpr std::string_view TARGET_ARG = "<SCRIPT|--module <MODULE>...>";

std::string top_help() {
    std::string text;
    text.append(ABOUT).append("\n\nUsage: ").append(TOP_USAGE).append("\n\n");
    text.append("Commands:\n");
    text.append("  run         ").append(RUN_ABOUT).append("\n");
    text.append("  summary     ").append(SUMMARY_ABOUT).append("\n");
    text.append("  flamegraph  ").append(FLAMEGRAPH_ABOUT).append("\n");
    text.append("  attach      Trace a running Python process (CPython 3.14 or newer)\n");
    text.append("  detach      Stop the trace `vespra attach` runs in a process\n");
    text.append("  join        ").append(JOIN_ABOUT).append("\n");
    text.append("  cut         ").append(CUT_ABOUT).append("\n");
    text.append("  view        ").append(VIEW_ABOUT).append("\n");
    text.append("  dump        ").append(DUMP_ABOUT).append("\n");
    text.append("  help        ").append(HELP_ABOUT).append("\n\n");
    text.append("Options:\n");
    text.append("  -h, --help  Print help\n");
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

// A word that would be read as an option if it stood where an option may stand: it cannot be
// the separate value of an option. A negative number is a value (one the option may refuse).
bool looks_like_option(std::string_view word) {
    return word.size() > 1 && word[0] == '-' && !(word[1] >= '0' && word[1] <= '9');
}

// One option of a command, as every command reads them: `--name value`, `--name=value`,
// `-x value`, `-xvalue` or `-x=value`; a flag takes no value; an option that takes the rest
// takes every word after it, options and "--" included.
struct OptionDef {
    enum class Takes { Nothing, Value, Rest };
    std::string_view long_name;
    char short_name;  // 0 for none
    Takes takes;
    std::string_view shown;                          // as named in messages
    std::span<const std::string_view> choices = {};  // the values allowed; empty for any
    bool repeatable = false;  // may be given again, each value added to the others
};

// How a command reads its words: its options (each once, unless repeatable), "-h"/"--help", and its
// positional words. "--" ends the options.
struct Grammar {
    std::span<const OptionDef> options;
    std::string_view usage;
    std::string (*help_text)();
    // The first positional word names a program, and it and every word after it are the
    // program's, as `python SCRIPT ARGS` reads them; otherwise one positional word, anywhere.
    bool program_follows;
};

// What a command line gave: per option (in the order of the grammar's table) its values (each
// of a repeatable option's, in order), or nothing when it was not given (a flag given has no
// values); and the positional words.
struct Parsed {
    std::vector<std::optional<std::vector<std::string>>> values;
    std::vector<std::string> positionals;

    bool given(size_t option) const { return values[option].has_value(); }
    const std::string& value(size_t option) const { return values[option]->front(); }
};

std::string possible_values(std::span<const std::string_view> choices) {
    std::string text = "  [possible values: ";
    for (size_t i = 0; i < choices.size(); ++i) text.append(i ? ", " : "").append(choices[i]);
    return text + "]";
}

Message invalid_value(std::string_view usage, const std::string& value, const OptionDef& def) {
    return usage_error(usage,
                       "invalid value " + quoted(value) + " for '" + std::string(def.shown) + "'",
                       def.choices.empty() ? "" : possible_values(def.choices));
}

std::variant<Parsed, Message> parse_command(std::span<const std::string> words,
                                            const Grammar& grammar) {
    std::span<const OptionDef> defs = grammar.options;
    Parsed parsed;
    parsed.values.resize(defs.size());
    bool options_done = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (options_done || !looks_like_option(word)) {
            if (grammar.program_follows) {
                parsed.positionals.assign(words.begin() + static_cast<ptrdiff_t>(i), words.end());
                break;
            }
            if (!parsed.positionals.empty()) {
                return usage_error(grammar.usage, "unexpected argument " + quoted(word) + " found");
            }
            parsed.positionals.push_back(word);
            continue;
        }
        if (word == "--") {
            options_done = true;
            continue;
        }
        if (word == "-h" || word == "--help") return help(grammar.help_text());
        std::optional<size_t> which;
        std::optional<std::string> attached;
        if (word.starts_with("--")) {
            std::string_view name = std::string_view(word).substr(2);
            if (auto eq = name.find('='); eq != std::string_view::npos) {
                attached = std::string(name.substr(eq + 1));
                name = name.substr(0, eq);
            }
            if (name == "help") {
                return usage_error(grammar.usage, "unexpected value " + quoted(*attached) +
                                                      " for '--help' found; no more were expected");
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
                grammar.usage, "unexpected argument " + quoted(word) + " found",
                "\n  tip: to pass " + quoted(word) + " as a value, use " + quoted("-- " + word));
        }
        const OptionDef& def = defs[*which];
        if (parsed.given(*which) && !def.repeatable) {
            return usage_error(grammar.usage, "the argument '" + std::string(def.shown) +
                                                  "' cannot be used multiple times");
        }
        if (!parsed.given(*which)) parsed.values[*which].emplace();
        std::vector<std::string>& values = *parsed.values[*which];
        switch (def.takes) {
            case OptionDef::Takes::Nothing:
                if (attached) {
                    return usage_error(grammar.usage, "unexpected value " + quoted(*attached) +
                                                          " for '" + std::string(def.shown) +
                                                          "' found; no more were expected");
                }
                break;
            case OptionDef::Takes::Value:
                if (attached) {
                    values.push_back(std::move(*attached));
                } else if (i + 1 < words.size() && !looks_like_option(words[i + 1])) {
                    values.push_back(words[++i]);
                } else {
                    return usage_error(grammar.usage,
                                       "a value is required for '" + std::string(def.shown) +
                                           "' but none was supplied",
                                       def.choices.empty() ? "" : possible_values(def.choices));
                }
                if (!def.choices.empty() && std::find(def.choices.begin(), def.choices.end(),
                                                      values.back()) == def.choices.end()) {
                    return invalid_value(grammar.usage, values.back(), def);
                }
                break;
            case OptionDef::Takes::Rest:
                if (attached) values.push_back(std::move(*attached));
                values.insert(values.end(), words.begin() + static_cast<ptrdiff_t>(i + 1),
                              words.end());
                i = words.size();
                if (values.empty()) {
                    return usage_error(grammar.usage, "a value is required for '" +
                                                          std::string(def.shown) +
                                                          "' but none was supplied");
                }
                break;
        }
    }
    return parsed;
}

// The usage error for required arguments a command line left out, named as its help names them.
Message missing(std::string_view usage, const std::vector<std::string_view>& names) {
    std::string what = "the following required arguments were not provided:";
    for (std::string_view name : names) what.append("\n  ").append(name);
    return usage_error(usage, what);
}

// ---- run ----------------------------------------------------------------------------------
// Options of `run` stand before the program; the first word that is not one (or the word after
// "--") is the script, and from there every word is the script's, as with `python`. `-m` takes
// every remaining word: the module and its arguments.

constexpr std::string_view FORMATS[] = {"json", "protobuf"};
constexpr std::string_view CLOCKS[] = {"auto", "tsc", "monotonic"};

// The options of `run`, in the order of its help. A new option is a row here, a line in its
// help and a line in parse_run.
enum RunOption : size_t {
    RUN_OUTPUT,
    RUN_FORMAT,
    RUN_LOSSLESS,
    RUN_GC,
    RUN_CLOCK,
    RUN_MIN_DURATION,
    RUN_MAX_DEPTH,
    RUN_QUIET,
    RUN_INCLUDE,
    RUN_EXCLUDE,
    RUN_EXCLUDE_STDLIB,
    RUN_EXCLUDE_SITE_PACKAGES,
    RUN_C_CALLS,
    RUN_EXCEPTIONS,
    RUN_ARGS,
    RUN_RETURNS,
    RUN_ARGS_REPR,
    RUN_RING,
    RUN_MODULE
};
constexpr OptionDef RUN_OPTIONS[] = {
    {"output", 'o', OptionDef::Takes::Value, "--output <OUTPUT>"},
    {"format", 'f', OptionDef::Takes::Value, "--format <FORMAT>", FORMATS},
    {"lossless", 0, OptionDef::Takes::Nothing, "--lossless"},
    {"gc", 0, OptionDef::Takes::Nothing, "--gc"},
    {"clock", 0, OptionDef::Takes::Value, "--clock <CLOCK>", CLOCKS},
    {"min-duration", 0, OptionDef::Takes::Value, "--min-duration <TIME>"},
    {"max-depth", 0, OptionDef::Takes::Value, "--max-depth <N>"},
    {"quiet", 'q', OptionDef::Takes::Nothing, "--quiet"},
    {"include", 0, OptionDef::Takes::Value, "--include <PATTERN>", {}, /*repeatable=*/true},
    {"exclude", 0, OptionDef::Takes::Value, "--exclude <PATTERN>", {}, /*repeatable=*/true},
    {"exclude-stdlib", 0, OptionDef::Takes::Nothing, "--exclude-stdlib"},
    {"exclude-site-packages", 0, OptionDef::Takes::Nothing, "--exclude-site-packages"},
    {"c-calls", 0, OptionDef::Takes::Nothing, "--c-calls"},
    {"exceptions", 0, OptionDef::Takes::Nothing, "--exceptions"},
    {"args", 0, OptionDef::Takes::Value, "--args <PATTERN>", {}, /*repeatable=*/true},
    {"returns", 0, OptionDef::Takes::Value, "--returns <PATTERN>", {}, /*repeatable=*/true},
    {"args-repr", 0, OptionDef::Takes::Nothing, "--args-repr"},
    {"ring", 0, OptionDef::Takes::Value, "--ring <SIZE>"},
    {"module", 'm', OptionDef::Takes::Rest, "--module <MODULE>..."},
};

std::string run_help() {
    std::string text;
    text.append(RUN_ABOUT).append("\n\nUsage: ").append(RUN_USAGE).append("\n\n");
    text.append("Arguments:\n");
    text.append("  [SCRIPT]          Python script to run\n");
    text.append(
        "  [SCRIPT_ARGS]...  Arguments forwarded to the script: every word after the script, "
        "options and -- included\n\n");
    text.append("Options:\n");
    text.append("  -o, --output <OUTPUT>     Output file path\n");
    text.append(
        "  -f, --format <FORMAT>     Output format [default: json for an OUTPUT ending in .json, "
        "else protobuf] ")
        .append(possible_values(FORMATS).substr(2))
        .append("\n");
    text.append(
        "      --lossless            Never drop events: a thread whose buffer is full waits for "
        "the writer (the program slows down instead)\n");
    text.append("      --gc                  Record each garbage collection as a slice \"gc\"\n");
    text.append("      --clock <CLOCK>       Timestamp source [default: auto] ")
        .append(possible_values(CLOCKS).substr(2))
        .append("\n");
    text.append(
        "      --min-duration <TIME> Leave out calls shorter than TIME, a number with ns, us, ms "
        "or s (10us), and what they called\n");
    text.append(
        "      --max-depth <N>       Leave out calls nested deeper than N, 0 for no limit "
        "[default: 256]\n");
    text.append(
        "  -q, --quiet               Print nothing of vespra's own when the run ends (where "
        "the trace is, events dropped)\n");
    text.append(
        "      --include <PATTERN>   Record only code of matching modules (pkg, pkg.*) or files "
        "(a glob with a /); repeatable\n"
        "      --exclude <PATTERN>   Leave out code of matching modules or files; repeatable\n"
        "      --exclude-stdlib      Leave out the standard library\n"
        "      --exclude-site-packages  Leave out installed packages (site-packages)\n"
        "      --c-calls             Record calls of C functions (time.sleep, list.sort) too\n"
        "      --exceptions          Record each exception raised (its type and message) and "
        "the type on the calls it ended\n"
        "      --args <PATTERN>      Record the arguments of calls of matching code (as "
        "--include takes it)\n"
        "      --returns <PATTERN>   Record the return values of calls of matching code\n"
        "      --args-repr           Describe other objects by their repr() (runs their code)\n"
        "      --ring <SIZE>         Keep the newest SIZE of events in memory (64MB, 1GB) and "
        "write them only at the end and when asked (vespra dump)\n");
    text.append(
        "  -m, --module <MODULE>...  Run a library module as a script, like `python -m`. "
        "Every following argument belongs to the module\n");
    text.append("  -h, --help                Print help\n");
    return text;
}

// A whole number of at most 19 digits.
std::optional<uint64_t> parse_count(std::string_view text) {
    if (text.empty() || text.size() > 19) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value;
}

// The smallest ring `--ring` takes (Tracer(ring=) refuses less, too).
constexpr uint64_t MIN_RING = 64000;

// A decimal number ("1.5", ".5", "3.") times `scale`, fractions of a unit cut off; nothing for
// anything else, or for a value of more than 63 bits.
std::optional<uint64_t> scaled(std::string_view number, uint64_t scale) {
    std::string_view whole = number.substr(0, number.find('.'));
    std::string_view fraction =
        whole.size() < number.size() ? number.substr(whole.size() + 1) : std::string_view();
    if (whole.empty() && fraction.empty()) return std::nullopt;
    std::optional<uint64_t> w = whole.empty() ? 0 : parse_count(whole);
    if (!w || *w > UINT64_MAX / 2 / scale) return std::nullopt;
    uint64_t value = *w * scale;
    uint64_t place = scale;
    for (char c : fraction) {
        if (c < '0' || c > '9') return std::nullopt;
        place /= 10;
        value += static_cast<uint64_t>(c - '0') * place;
    }
    return value;
}

// "10us", "1.5ms", "2s", "250ns": a decimal number and its unit, in nanoseconds (fractions of a
// nanosecond are cut off); 0 needs no unit.
std::optional<uint64_t> parse_duration(std::string_view text) {
    static constexpr std::pair<std::string_view, uint64_t> UNITS[] = {
        {"ns", 1}, {"us", 1000}, {"ms", 1000000}, {"s", 1000000000}};
    if (text == "0") return 0;
    for (const auto& [unit, scale] : UNITS) {
        if (text.ends_with(unit)) return scaled(text.substr(0, text.size() - unit.size()), scale);
    }
    return std::nullopt;
}

Cli parse_run(std::span<const std::string> words) {
    static const Grammar GRAMMAR{RUN_OPTIONS, RUN_USAGE, run_help, /*program_follows=*/true};
    auto parsed_or = parse_command(words, GRAMMAR);
    if (auto* message = std::get_if<Message>(&parsed_or)) return std::move(*message);
    Parsed& parsed = std::get<Parsed>(parsed_or);

    std::vector<std::string_view> absent;
    if (!parsed.given(RUN_OUTPUT)) absent.push_back(OUTPUT_ARG);
    if (!parsed.given(RUN_MODULE) && parsed.positionals.empty()) absent.push_back(TARGET_ARG);
    if (!absent.empty()) return missing(RUN_USAGE, absent);

    RunArgs args;
    args.output = parsed.value(RUN_OUTPUT);
    if (parsed.given(RUN_FORMAT)) args.format = parsed.value(RUN_FORMAT);
    args.lossless = parsed.given(RUN_LOSSLESS);
    args.gc = parsed.given(RUN_GC);
    if (parsed.given(RUN_CLOCK)) args.clock = parsed.value(RUN_CLOCK);
    args.quiet = parsed.given(RUN_QUIET);
    auto invalid = [&](RunOption option, std::string_view hint) {
        return usage_error(RUN_USAGE,
                           "invalid value " + quoted(parsed.value(option)) + " for '" +
                               std::string(RUN_OPTIONS[option].shown) + "'",
                           hint);
    };
    if (parsed.given(RUN_MIN_DURATION)) {
        args.min_duration = parse_duration(parsed.value(RUN_MIN_DURATION));
        if (!args.min_duration) {
            return invalid(RUN_MIN_DURATION, "  a number with a unit: ns, us, ms or s (10us)");
        }
    }
    if (parsed.given(RUN_MAX_DEPTH)) {
        std::optional<uint64_t> depth = parse_count(parsed.value(RUN_MAX_DEPTH));
        if (!depth || *depth > UINT32_MAX) {
            return invalid(RUN_MAX_DEPTH, "  a whole number of frames, 0 for no limit");
        }
        args.max_depth = static_cast<uint32_t>(*depth);
    }
    for (auto [option, patterns] :
         {std::pair{RUN_INCLUDE, &args.include}, std::pair{RUN_EXCLUDE, &args.exclude},
          std::pair{RUN_ARGS, &args.arg_patterns}, std::pair{RUN_RETURNS, &args.return_patterns}}) {
        if (!parsed.given(option)) continue;
        *patterns = std::move(*parsed.values[option]);
        for (const std::string& pattern : *patterns) {
            if (pattern.empty()) return invalid_value(RUN_USAGE, pattern, RUN_OPTIONS[option]);
        }
    }
    args.exclude_stdlib = parsed.given(RUN_EXCLUDE_STDLIB);
    args.exclude_site_packages = parsed.given(RUN_EXCLUDE_SITE_PACKAGES);
    args.c_calls = parsed.given(RUN_C_CALLS);
    args.exceptions = parsed.given(RUN_EXCEPTIONS);
    args.args_repr = parsed.given(RUN_ARGS_REPR);
    if (parsed.given(RUN_RING)) {
        std::optional<uint64_t> size = parse_size(parsed.value(RUN_RING));
        if (!size || *size < MIN_RING) {
            return invalid(RUN_RING, "  a size from 64kB up: a number with kB, MB, GB (or KiB, "
                                     "MiB, GiB): 64MB");
        }
        args.ring = *size;
    }
    if (parsed.given(RUN_MODULE)) {
        args.module = std::move(*parsed.values[RUN_MODULE]);
    } else {
        args.script = parsed.positionals.front();
        args.script_args.assign(parsed.positionals.begin() + 1, parsed.positionals.end());
    }
    return args;
}

// ---- summary and flamegraph ----------------------------------------------------------------
// Both take one trace file and options, before or after it.

constexpr std::string_view SUMMARY_USAGE = "vespra summary [OPTIONS] <TRACE>";
constexpr std::string_view FLAMEGRAPH_USAGE =
    "vespra flamegraph [OPTIONS] --output <OUTPUT> <TRACE>";
constexpr std::string_view TRACE_ARG = "<TRACE>";

// The selection options: the same rows at the end of the table of each command that reads a
// trace.
constexpr OptionDef FROM_OPTION{"from", 0, OptionDef::Takes::Value, "--from <TIME>"};
constexpr OptionDef TO_OPTION{"to", 0, OptionDef::Takes::Value, "--to <TIME>"};
constexpr OptionDef PROCESS_OPTION{"process", 0, OptionDef::Takes::Value, "--process <PID|NAME>"};
constexpr OptionDef THREAD_OPTION{"thread", 0, OptionDef::Takes::Value, "--thread <TID|NAME>"};
constexpr size_t SELECTION_COUNT = 4;

constexpr std::string_view SELECTION_HELP =
    "      --from <TIME>      Only what happened after TIME since the trace's start (10ms, 2.5s); "
    "slices across it are clipped to it\n"
    "      --to <TIME>        Only what happened before TIME since the trace's start\n"
    "      --process <PID|NAME>  Only the process of that id or name\n"
    "      --thread <TID|NAME>   Only the thread of that id or name\n";

// The usage error of a command that writes `output` from a trace, when either is missing.
std::optional<Message> need_output_and_trace(const Parsed& parsed, size_t output,
                                             std::string_view usage) {
    std::vector<std::string_view> absent;
    if (!parsed.given(output)) absent.push_back(OUTPUT_ARG);
    if (parsed.positionals.empty()) absent.push_back(TRACE_ARG);
    if (absent.empty()) return std::nullopt;
    return missing(usage, absent);
}

// Reads the selection options, the last SELECTION_COUNT of `defs`, into `select`.
std::optional<Message> parse_selection(const Parsed& parsed, std::span<const OptionDef> defs,
                                       std::string_view usage, analysis::Selection& select) {
    const size_t first = defs.size() - SELECTION_COUNT;
    for (size_t k = 0; k < 2; ++k) {
        if (!parsed.given(first + k)) continue;
        std::optional<uint64_t> time = parse_duration(parsed.value(first + k));
        if (!time) {
            return usage_error(usage,
                               "invalid value " + quoted(parsed.value(first + k)) + " for '" +
                                   std::string(defs[first + k].shown) + "'",
                               "  a time since the trace's start with a unit: ns, us, ms or s "
                               "(1.5s)");
        }
        (k == 0 ? select.from : select.to) = time;
    }
    if (select.from && select.to && *select.to <= *select.from) {
        return usage_error(usage, "'--to' must be later than '--from'");
    }
    for (size_t k = 2; k < SELECTION_COUNT; ++k) {
        if (!parsed.given(first + k)) continue;
        if (parsed.value(first + k).empty()) {
            return invalid_value(usage, parsed.value(first + k), defs[first + k]);
        }
        (k == 2 ? select.process : select.thread) = parsed.value(first + k);
    }
    return std::nullopt;
}

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
    text.append(SELECTION_HELP);
    text.append("  -h, --help             Print help\n");
    return text;
}

std::string flamegraph_help() {
    std::string text;
    text.append(FLAMEGRAPH_ABOUT).append("\n\nUsage: ").append(FLAMEGRAPH_USAGE).append("\n\n");
    text.append("Arguments:\n");
    text.append("  <TRACE>  Trace file, protobuf or JSON (told apart by content)\n\n");
    text.append("Options:\n");
    text.append("  -o, --output <OUTPUT>  File to write, - for standard output\n");
    text.append(
        "      --per-thread       One graph per thread instead of stacks merged across "
        "threads\n");
    text.append(
        "      --folded           Write collapsed stacks (\"outer;inner;leaf ns\") "
        "instead of SVG\n");
    text.append(SELECTION_HELP);
    text.append("  -h, --help             Print help\n");
    return text;
}

constexpr std::string_view SORTS[] = {"self", "total", "calls"};
constexpr std::string_view GROUPS[] = {"thread", "process"};

enum SummaryOption : size_t { SUMMARY_TOP, SUMMARY_SORT, SUMMARY_BY, SUMMARY_FILTER, SUMMARY_JSON };
constexpr OptionDef SUMMARY_OPTIONS[] = {
    {"top", 'n', OptionDef::Takes::Value, "--top <N>"},
    {"sort", 's', OptionDef::Takes::Value, "--sort <KEY>", SORTS},
    {"by", 0, OptionDef::Takes::Value, "--by <GROUP>", GROUPS},
    {"filter", 0, OptionDef::Takes::Value, "--filter <TEXT>"},
    {"json", 0, OptionDef::Takes::Nothing, "--json"},
    FROM_OPTION,
    TO_OPTION,
    PROCESS_OPTION,
    THREAD_OPTION,
};

Cli parse_summary(std::span<const std::string> words) {
    static const Grammar GRAMMAR{SUMMARY_OPTIONS, SUMMARY_USAGE, summary_help, false};
    auto parsed_or = parse_command(words, GRAMMAR);
    if (auto* message = std::get_if<Message>(&parsed_or)) return std::move(*message);
    Parsed& parsed = std::get<Parsed>(parsed_or);

    using Sort = analysis::SummaryOptions::Sort;
    using Group = analysis::SummaryOptions::Group;
    analysis::SummaryOptions opts;
    if (parsed.given(SUMMARY_TOP)) {
        const std::string& value = parsed.value(SUMMARY_TOP);
        bool ok = !value.empty() && value.size() <= 9;
        for (char c : value) ok = ok && c >= '0' && c <= '9';
        if (!ok) return invalid_value(SUMMARY_USAGE, value, SUMMARY_OPTIONS[SUMMARY_TOP]);
        opts.top = std::stoul(value);
    }
    if (parsed.given(SUMMARY_SORT)) {
        const std::string& value = parsed.value(SUMMARY_SORT);
        opts.sort = value == "total" ? Sort::Total : value == "calls" ? Sort::Calls : Sort::Self;
    }
    if (parsed.given(SUMMARY_BY)) {
        opts.group = parsed.value(SUMMARY_BY) == "thread" ? Group::Thread : Group::Process;
    }
    if (parsed.given(SUMMARY_FILTER)) opts.filter = parsed.value(SUMMARY_FILTER);
    opts.json = parsed.given(SUMMARY_JSON);
    if (auto message = parse_selection(parsed, SUMMARY_OPTIONS, SUMMARY_USAGE, opts.select)) {
        return std::move(*message);
    }
    if (parsed.positionals.empty()) return missing(SUMMARY_USAGE, {TRACE_ARG});
    opts.trace = parsed.positionals.front();
    return opts;
}

enum FlamegraphOption : size_t { FLAME_OUTPUT, FLAME_PER_THREAD, FLAME_FOLDED };
constexpr OptionDef FLAMEGRAPH_OPTIONS[] = {
    {"output", 'o', OptionDef::Takes::Value, "--output <OUTPUT>"},
    {"per-thread", 0, OptionDef::Takes::Nothing, "--per-thread"},
    {"folded", 0, OptionDef::Takes::Nothing, "--folded"},
    FROM_OPTION,
    TO_OPTION,
    PROCESS_OPTION,
    THREAD_OPTION,
};

Cli parse_flamegraph(std::span<const std::string> words) {
    static const Grammar GRAMMAR{FLAMEGRAPH_OPTIONS, FLAMEGRAPH_USAGE, flamegraph_help, false};
    auto parsed_or = parse_command(words, GRAMMAR);
    if (auto* message = std::get_if<Message>(&parsed_or)) return std::move(*message);
    Parsed& parsed = std::get<Parsed>(parsed_or);
    if (auto message = need_output_and_trace(parsed, FLAME_OUTPUT, FLAMEGRAPH_USAGE)) {
        return std::move(*message);
    }

    analysis::FlamegraphOptions opts;
    opts.trace = parsed.positionals.front();
    opts.output = parsed.value(FLAME_OUTPUT);
    opts.per_thread = parsed.given(FLAME_PER_THREAD);
    opts.folded = parsed.given(FLAME_FOLDED);
    if (auto message = parse_selection(parsed, FLAMEGRAPH_OPTIONS, FLAMEGRAPH_USAGE, opts.select)) {
        return std::move(*message);
    }
    return opts;
}

// ---- cut and view ---------------------------------------------------------------------------

constexpr std::string_view CUT_USAGE = "vespra cut [OPTIONS] --output <OUTPUT> <TRACE>";
constexpr std::string_view VIEW_USAGE = "vespra view [OPTIONS] <TRACE>";

std::string cut_help() {
    std::string text;
    text.append(CUT_ABOUT).append("\n\nUsage: ").append(CUT_USAGE).append("\n\n");
    text.append("Arguments:\n");
    text.append("  <TRACE>  Trace file, protobuf or JSON (told apart by content)\n\n");
    text.append("Options:\n");
    text.append("  -o, --output <OUTPUT>  Trace file to write, in the format of TRACE\n");
    text.append(SELECTION_HELP);
    text.append(
        "      --min-duration <TIME> Leave out calls shorter than TIME, and what they called\n"
        "      --max-depth <N>    Leave out calls nested deeper than N [default: 0, no limit]\n");
    text.append("  -h, --help             Print help\n");
    return text;
}

std::string view_help() {
    std::string text;
    text.append(VIEW_ABOUT).append("\n\nUsage: ").append(VIEW_USAGE).append("\n\n");
    text.append("Arguments:\n");
    text.append("  <TRACE>  Trace file, protobuf or JSON\n\n");
    text.append("Options:\n");
    text.append(
        "      --no-open          Print the link instead of opening a browser (over SSH, "
        "say)\n"
        "      --ui <URL>         The Perfetto UI to open [default: https://ui.perfetto.dev]\n");
    text.append("  -h, --help             Print help\n");
    return text;
}

enum CutOption : size_t { CUT_OUTPUT, CUT_MIN_DURATION, CUT_MAX_DEPTH };
constexpr OptionDef CUT_OPTIONS[] = {
    {"output", 'o', OptionDef::Takes::Value, "--output <OUTPUT>"},
    {"min-duration", 0, OptionDef::Takes::Value, "--min-duration <TIME>"},
    {"max-depth", 0, OptionDef::Takes::Value, "--max-depth <N>"},
    FROM_OPTION,
    TO_OPTION,
    PROCESS_OPTION,
    THREAD_OPTION,
};

Cli parse_cut(std::span<const std::string> words) {
    static const Grammar GRAMMAR{CUT_OPTIONS, CUT_USAGE, cut_help, false};
    auto parsed_or = parse_command(words, GRAMMAR);
    if (auto* message = std::get_if<Message>(&parsed_or)) return std::move(*message);
    Parsed& parsed = std::get<Parsed>(parsed_or);
    if (auto message = need_output_and_trace(parsed, CUT_OUTPUT, CUT_USAGE)) {
        return std::move(*message);
    }

    analysis::CutOptions opts;
    opts.trace = parsed.positionals.front();
    opts.output = parsed.value(CUT_OUTPUT);
    if (parsed.given(CUT_MIN_DURATION)) {
        std::optional<uint64_t> time = parse_duration(parsed.value(CUT_MIN_DURATION));
        if (!time) {
            return usage_error(CUT_USAGE,
                               "invalid value " + quoted(parsed.value(CUT_MIN_DURATION)) +
                                   " for '--min-duration <TIME>'",
                               "  a number with a unit: ns, us, ms or s (10us)");
        }
        opts.min_duration = *time;
    }
    if (parsed.given(CUT_MAX_DEPTH)) {
        std::optional<uint64_t> depth = parse_count(parsed.value(CUT_MAX_DEPTH));
        if (!depth || *depth > UINT32_MAX) {
            return usage_error(
                CUT_USAGE,
                "invalid value " + quoted(parsed.value(CUT_MAX_DEPTH)) + " for '--max-depth <N>'",
                "  a whole number of frames, 0 for no limit");
        }
        opts.max_depth = static_cast<uint32_t>(*depth);
    }
    if (auto message = parse_selection(parsed, CUT_OPTIONS, CUT_USAGE, opts.select)) {
        return std::move(*message);
    }
    return opts;
}

enum ViewOption : size_t { VIEW_NO_OPEN, VIEW_UI };
constexpr OptionDef VIEW_OPTIONS[] = {
    {"no-open", 0, OptionDef::Takes::Nothing, "--no-open"},
    {"ui", 0, OptionDef::Takes::Value, "--ui <URL>"},
};

Cli parse_view(std::span<const std::string> words) {
    static const Grammar GRAMMAR{VIEW_OPTIONS, VIEW_USAGE, view_help, false};
    auto parsed_or = parse_command(words, GRAMMAR);
    if (auto* message = std::get_if<Message>(&parsed_or)) return std::move(*message);
    Parsed& parsed = std::get<Parsed>(parsed_or);
    if (parsed.positionals.empty()) return missing(VIEW_USAGE, {TRACE_ARG});
    analysis::ViewOptions opts;
    opts.trace = parsed.positionals.front();
    opts.open = !parsed.given(VIEW_NO_OPEN);
    if (parsed.given(VIEW_UI)) {
        opts.ui = parsed.value(VIEW_UI);
        if (!opts.ui.starts_with("http://") && !opts.ui.starts_with("https://")) {
            return usage_error(VIEW_USAGE, "invalid value " + quoted(opts.ui) + " for '--ui <URL>'",
                               "  an http:// or https:// address");
        }
    }
    return opts;
}

constexpr std::string_view JOIN_USAGE = "vespra join <TRACE>";

std::string join_help() {
    std::string text;
    text.append(JOIN_ABOUT).append("\n\nUsage: ").append(JOIN_USAGE).append("\n\n");
    text.append("Arguments:\n");
    text.append("  <TRACE>  Trace file, protobuf or JSON; its parts are in TRACE.parts\n\n");
    text.append("Options:\n");
    text.append("  -h, --help  Print help\n");
    return text;
}

// ---- dump ----------------------------------------------------------------------------------

constexpr std::string_view DUMP_USAGE = "vespra dump [OPTIONS] <PID>";

std::string dump_help() {
    std::string text;
    text.append(DUMP_ABOUT).append("\n\nUsage: ").append(DUMP_USAGE).append("\n\n");
    text.append("Arguments:\n");
    text.append("  <PID>   Process to ask (it is sent SIGURG, which untraced processes ignore)\n\n");
    text.append("Options:\n");
    text.append("      --tree  Ask its descendants too\n");
    text.append("  -h, --help  Print help\n");
    return text;
}

Cli parse_join(std::span<const std::string> words) {
    static const Grammar GRAMMAR{{}, JOIN_USAGE, join_help, false};
    auto parsed_or = parse_command(words, GRAMMAR);
    if (auto* message = std::get_if<Message>(&parsed_or)) return std::move(*message);
    Parsed& parsed = std::get<Parsed>(parsed_or);
    if (parsed.positionals.empty()) return missing(JOIN_USAGE, {TRACE_ARG});
    return analysis::JoinOptions{parsed.positionals.front()};
}

enum DumpOption : size_t { DUMP_TREE };
constexpr OptionDef DUMP_OPTIONS[] = {
    {"tree", 0, OptionDef::Takes::Nothing, "--tree"},
};

Cli parse_dump(std::span<const std::string> words) {
    static const Grammar GRAMMAR{DUMP_OPTIONS, DUMP_USAGE, dump_help, false};
    auto parsed_or = parse_command(words, GRAMMAR);
    if (auto* message = std::get_if<Message>(&parsed_or)) return std::move(*message);
    Parsed& parsed = std::get<Parsed>(parsed_or);
    if (parsed.positionals.empty()) return missing(DUMP_USAGE, {"<PID>"});
    std::optional<uint64_t> pid = parse_count(parsed.positionals.front());
    if (!pid || *pid == 0 || *pid > INT32_MAX) {
        return usage_error(DUMP_USAGE,
                           "invalid value " + quoted(parsed.positionals.front()) + " for '<PID>'",
                           "  a process id");
    }
    return DumpArgs{static_cast<int>(*pid), parsed.given(DUMP_TREE)};
}

Cli parse_help(std::span<const std::string> words) {
    if (words.empty()) return help(top_help());
    const std::string& command = words[0];
    static constexpr std::pair<std::string_view, std::string (*)()> READERS[] = {
        {"summary", summary_help},
        {"flamegraph", flamegraph_help},
        {"join", join_help},
        {"cut", cut_help},
        {"view", view_help},
        {"dump", dump_help}};
    for (const auto& [name, text] : READERS) {
        if (command != name) continue;
        if (words.size() > 1)
            return usage_error(HELP_USAGE, "unrecognized subcommand " + quoted(words[1]));
        return help(text());
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

std::optional<uint64_t> parse_size(std::string_view text) {
    static constexpr std::pair<std::string_view, uint64_t> UNITS[] = {
        {"kib", uint64_t{1} << 10}, {"mib", uint64_t{1} << 20}, {"gib", uint64_t{1} << 30},
        {"kb", 1000},               {"mb", 1000000},            {"gb", 1000000000},
        {"b", 1}};
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    std::string_view number = lower;
    for (const auto& [unit, scale] : UNITS) {
        if (number.ends_with(unit)) return scaled(number.substr(0, number.size() - unit.size()), scale);
    }
    return scaled(number, 1);
}

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
    if (first == "join") return parse_join(rest);
    if (first == "cut") return parse_cut(rest);
    if (first == "view") return parse_view(rest);
    if (first == "dump") return parse_dump(rest);
    if (first == "-h" || first == "--help") return help(top_help());
    if (looks_like_option(first) || first == "-") {
        return usage_error(TOP_USAGE, "unexpected argument " + quoted(first) + " found");
    }
    return usage_error(TOP_USAGE, "unrecognized subcommand " + quoted(first));
}

}  // namespace vespra::cli
