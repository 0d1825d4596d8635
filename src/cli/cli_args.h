// The grammar of the `vespra` command line, kept apart from the interpreter so that it can be
// tested on its own. `cli::parse` turns the words of a command line into either the arguments of
// `vespra run` or a message to print with an exit status (help, or a usage error); it never
// fails in any other way and touches nothing outside its arguments.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "analysis/options.h"

namespace vespra::cli {

// The arguments of `vespra run`. Exactly one of `module` (non-empty) and `script` is given.
// Everything after the script, or after `-m MODULE`, is the program's, as with `python`.
struct RunArgs {
    std::string output;
    std::string format;  // "json" or "protobuf"; empty: from the output's name (Tracer's rule)
    bool lossless = false;            // a full ring makes the thread wait instead of dropping
    bool gc = false;                  // a slice per garbage collection
    std::string clock;                // "auto", "tsc" or "monotonic"; empty when not given
    bool quiet = false;               // no line of vespra's own on standard error at the end
    std::optional<uint64_t> min_duration;  // nanoseconds: shorter slices are left out
    std::optional<uint32_t> max_depth;     // deeper slices are left out; 0: no limit
    // What is recorded: module or path patterns (repeatable), the two switches, C calls.
    std::vector<std::string> include;
    std::vector<std::string> exclude;
    bool exclude_stdlib = false;
    bool exclude_site_packages = false;
    bool c_calls = false;
    bool exceptions = false;
    // Whose calls record their arguments and return values (patterns as --include takes them),
    // and whether other objects are described by their repr().
    std::vector<std::string> arg_patterns;
    std::vector<std::string> return_patterns;
    bool args_repr = false;
    uint64_t ring = 0;  // bytes of a flight ring; 0: write as the program runs
    // Empty, or the module name followed by the module's arguments.
    std::vector<std::string> module;
    std::string script;  // empty when `module` is given
    std::vector<std::string> script_args;
    // How the closing line names the command (`vespra`, `python3 -m vespra`, a full path):
    // argv[0] of the command line, as the launcher passes it.
    std::string command = "vespra";

    bool runs_module() const { return !module.empty(); }
};

// The arguments of `vespra dump`: the process to ask for a dump, and with `tree` its
// descendants too.
struct DumpArgs {
    int pid = 0;
    bool tree = false;
};

// What to print instead of running: help (status 0, standard output) or a usage error or help
// shown as an error (status 2, standard error). `text` ends with a line break.
struct Message {
    enum class Stream { Stdout, Stderr };
    Stream stream;
    int status;
    std::string text;
};

// The whole command line: `vespra run ...`, `summary`, `flamegraph`, `join`, `cut`, `view` or
// `dump`, or a message.
using Cli = std::variant<RunArgs, Message, analysis::SummaryOptions, analysis::FlamegraphOptions,
                         analysis::JoinOptions, analysis::CutOptions, analysis::ViewOptions,
                         DumpArgs>;

// "64MB", "1GB", "512kB", "1.5GiB", "65536": a size in bytes, with a unit of powers of 1000 (kB,
// MB, GB) or of 1024 (KiB, MiB, GiB), any case; none for bytes. Nothing for anything else.
std::optional<uint64_t> parse_size(std::string_view text);

// Parses a command line in the form of `sys.argv`: words[0] is the program name as invoked
// (ignored: messages always call the program "vespra"), the rest are its arguments. Words are
// UTF-8 byte strings and are passed through unchanged.
Cli parse(const std::vector<std::string>& words);

}  // namespace vespra::cli
