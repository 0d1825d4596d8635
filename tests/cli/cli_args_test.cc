#include "cli/cli_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vespra::cli {
namespace {

using Words = std::vector<std::string>;

Cli parse_args(Words args) {
    args.insert(args.begin(), "/usr/bin/vespra");
    return parse(args);
}

RunArgs run_of(Words args) {
    Cli cli = parse_args(std::move(args));
    if (auto* message = std::get_if<Message>(&cli)) {
        ADD_FAILURE() << "expected a run, got status " << message->status << ":\n" << message->text;
        return {};
    }
    return std::get<RunArgs>(cli);
}

Message message_of(Words args) {
    Cli cli = parse_args(args);
    if (!std::holds_alternative<Message>(cli)) {
        ADD_FAILURE() << "expected a message, got a run";
        return {};
    }
    return std::get<Message>(cli);
}

TEST(Help, AskedForGoesToStdoutWithStatusZeroAndWinsOverWhatIsMissing) {
    const std::pair<Words, const char*> cases[] = {
        {{"--help"},
         "Trace a Python script with sys.monitoring; emit Perfetto-compatible output.\n"},
        {{"help"}, "Trace a Python script"},
        {{"run", "-h"}, "Run a script under the tracer\n"},
        {{"help", "run"}, "Run a script under the tracer\n"},
        {{"run", "-o", "t", "-h"}, "Run a script under the tracer\n"},
    };
    for (const auto& [args, start] : cases) {
        Message m = message_of(args);
        EXPECT_EQ(m.status, 0) << args[0];
        EXPECT_EQ(m.stream, Message::Stream::Stdout);
        EXPECT_TRUE(m.text.starts_with(start)) << m.text;
    }
    // Nothing at all shows the same help as an error.
    Message none = message_of({});
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.stream, Message::Stream::Stderr);
    EXPECT_EQ(none.text, message_of({"--help"}).text);
}

TEST(UsageErrors, GoToStderrWithStatusTwoNamingTheProblem) {
    const std::pair<Words, std::string> cases[] = {
        {{"trace"}, "unrecognized subcommand 'trace'"},
        {{"--version"}, "unexpected argument '--version' found"},
        {{"help", "walk"}, "unrecognized subcommand 'walk'"},
        {{"run", "--help=x"}, "unexpected value 'x'"},
        {{"run", "-o", "t", "--verbose", "s.py"}, "use '-- --verbose'"},
        {{"run", "s.py"}, "not provided:\n  --output <OUTPUT>\n\n"},
        {{"run", "-o", "t"}, "not provided:\n  <SCRIPT|--module <MODULE>...>\n\n"},
        {{"run", "-o", "a", "-o", "b", "s.py"},
         "'--output <OUTPUT>' cannot be used multiple times"},
        {{"run", "-o", "-f", "json", "s.py"}, "a value is required for '--output <OUTPUT>'"},
        {{"run", "-o", "t", "-f"}, "a value is required for '--format <FORMAT>'"},
        // Options after -m are the module's, so the output is still missing.
        {{"run", "-m", "pkg.tool", "-o", "t.json"}, "not provided:\n  --output <OUTPUT>"},
        {{"run", "-o", "t", "-m"}, "a value is required for '--module <MODULE>...'"},
        {{"run", "-o", "t", "--lossless=yes", "s.py"}, "unexpected value 'yes' for '--lossless'"},
        {{"run", "-o", "t", "--lossless", "--lossless", "s.py"},
         "'--lossless' cannot be used multiple times"},
        {{"run", "-o", "t", "--clock", "rdtsc", "s.py"},
         "invalid value 'rdtsc' for '--clock <CLOCK>'\n  [possible values: auto, tsc, monotonic]"},
        {{"run", "-o", "t", "--args", "--returns", "x", "s.py"},
         "a value is required for '--args <PATTERN>'"},
        {{"run", "-o", "t", "--returns=", "s.py"}, "invalid value '' for '--returns <PATTERN>'"},
    };
    std::vector<std::pair<Words, std::string>> all(std::begin(cases), std::end(cases));
    for (const char* name : {"pb", "JSON", ""})
        all.push_back({{"run", "-o", "t", "-f", name, "s.py"},
                       "invalid value '" + std::string(name) +
                           "' for '--format <FORMAT>'\n  [possible values: json, protobuf]"});
    for (const auto& [args, needle] : all) {
        Message m = message_of(args);
        EXPECT_EQ(m.status, 2);
        EXPECT_EQ(m.stream, Message::Stream::Stderr);
        EXPECT_TRUE(m.text.starts_with("error: ")) << m.text;
        EXPECT_NE(m.text.find(needle), std::string::npos) << "missing '" << needle << "' in\n"
                                                          << m.text;
        EXPECT_NE(m.text.find("\nUsage: vespra"), std::string::npos) << m.text;
        EXPECT_TRUE(m.text.ends_with("\nFor more information, try '--help'.\n")) << m.text;
    }
}

// As with `python`: the options of run stand before the script, and every word after the
// script is the script's, whether or not run has an option of that name.
TEST(Placement, EveryWordAfterTheScriptIsTheScripts) {
    RunArgs before = run_of({"run", "-f", "json", "-o", "t.json", "s.py", "a"});
    EXPECT_EQ(before.output, "t.json");
    EXPECT_EQ(before.format, "json");
    EXPECT_EQ(before.script, "s.py");
    EXPECT_EQ(before.script_args, (Words{"a"}));

    RunArgs tool =
        run_of({"run", "-o", "t.pb", "tool.py", "-f", "in.txt", "-o", "r.txt", "-h", "--lossless"});
    EXPECT_EQ(tool.output, "t.pb");
    EXPECT_EQ(tool.format, "");  // the tracer takes it from the file's name
    EXPECT_FALSE(tool.lossless);
    EXPECT_EQ(tool.script_args, (Words{"-f", "in.txt", "-o", "r.txt", "-h", "--lossless"}));
    EXPECT_EQ(run_of({"run", "-o", "t", "s.py", "-m", "m"}).script_args, (Words{"-m", "m"}));
    // A "--" after the script is the script's; before it, it ends run's options.
    EXPECT_EQ(run_of({"run", "-o", "t", "s.py", "--", "-f"}).script_args, (Words{"--", "-f"}));
    RunArgs escaped = run_of({"run", "-o", "t", "--", "-odd.py", "-f", "json", "--"});
    EXPECT_EQ(escaped.script, "-odd.py");
    EXPECT_EQ(escaped.script_args, (Words{"-f", "json", "--"}));
    EXPECT_EQ(escaped.format, "");

    // Values may be attached, and are taken verbatim.
    RunArgs attached = run_of({"run", "--output=a=b.pb", "-fjson", "s p.py"});
    EXPECT_EQ(attached.output, "a=b.pb");
    EXPECT_EQ(attached.format, "json");
    EXPECT_EQ(attached.script, "s p.py");
    EXPECT_EQ(run_of({"run", "-ot.pb", "s.py"}).output, "t.pb");
    EXPECT_EQ(run_of({"run", "-o", "-", "s.py"}).output, "-");

    RunArgs tuned =
        run_of({"run", "--lossless", "-q", "-o", "t", "--clock=tsc", "s.py", "--lossless"});
    EXPECT_TRUE(tuned.lossless);
    EXPECT_TRUE(tuned.quiet);
    EXPECT_FALSE(tuned.gc);
    EXPECT_TRUE(run_of({"run", "-o", "t", "--gc", "s.py"}).gc);
    EXPECT_EQ(tuned.clock, "tsc");
    EXPECT_EQ(tuned.script_args, (Words{"--lossless"}));
    EXPECT_EQ(run_of({"run", "--clock", "monotonic", "-o", "t", "s.py"}).clock, "monotonic");

    // Patterns repeat and keep their order; the switches are independent.
    RunArgs filtered =
        run_of({"run", "--include", "app", "-o", "t", "--exclude=-x*", "--include=*/lib/",
                "--exclude-site-packages", "--c-calls", "--exceptions", "--args", "app.*",
                "--returns=app", "--args=*/lib/*", "--args-repr", "s.py", "a", "--include", "y",
                "--args", "z"});
    EXPECT_EQ(filtered.include, (Words{"app", "*/lib/"}));
    EXPECT_EQ(filtered.exclude, (Words{"-x*"}));
    EXPECT_FALSE(filtered.exclude_stdlib);
    EXPECT_TRUE(filtered.exclude_site_packages);
    EXPECT_TRUE(filtered.c_calls);
    EXPECT_TRUE(filtered.exceptions);
    EXPECT_FALSE(run_of({"run", "-o", "t", "s.py", "--exceptions"}).exceptions);
    EXPECT_EQ(filtered.arg_patterns, (Words{"app.*", "*/lib/*"}));
    EXPECT_EQ(filtered.return_patterns, (Words{"app"}));
    EXPECT_TRUE(filtered.args_repr);
    EXPECT_FALSE(run_of({"run", "-o", "t", "s.py", "--args-repr"}).args_repr);
    EXPECT_EQ(filtered.script_args, (Words{"a", "--include", "y", "--args", "z"}));
}

TEST(Limits, DurationsTakeAUnitAndDepthsAWholeNumber) {
    const std::pair<const char*, uint64_t> durations[] = {
        {"10us", 10000}, {"1.5ms", 1500000}, {"2s", 2000000000},   {"250ns", 250},
        {".5us", 500},   {"0", 0},           {"0.0000000015s", 1}, {"3.ms", 3000000}};
    for (const auto& [text, ns] : durations) {
        EXPECT_EQ(run_of({"run", "-o", "t", "--min-duration", text, "s.py"}).min_duration, ns)
            << text;
    }
    RunArgs args = run_of({"run", "--max-depth=0", "-o", "t", "s.py", "a", "--max-depth", "9"});
    EXPECT_EQ(args.max_depth, 0u);
    EXPECT_EQ(args.script_args, (Words{"a", "--max-depth", "9"}));
    EXPECT_FALSE(run_of({"run", "-o", "t", "s.py"}).max_depth.has_value());

    for (const char* bad : {"10", "ms", "1.2.3ms", "-1us", "1e3us", "10 us", "1.5.s",
                            "99999999999999999999s", "9999999999999s"}) {
        Message m = message_of({"run", "-o", "t", "--min-duration", bad, "s.py"});
        EXPECT_EQ(m.status, 2) << bad;
        EXPECT_NE(m.text.find("--min-duration <TIME>"), std::string::npos) << m.text;
    }
    for (const char* bad : {"x", "4294967296", "1.5"}) {
        Message m = message_of({"run", "-o", "t", "--max-depth", bad, "s.py"});
        EXPECT_NE(m.text.find("--max-depth <N>"), std::string::npos) << bad << m.text;
    }
    EXPECT_NE(message_of({"run", "-o", "t", "--max-depth", "1", "--max-depth=2", "s.py"})
                  .text.find("cannot be used multiple times"),
              std::string::npos);
}

TEST(Ring, SizesTakePowersOf1000Or1024AndDumpTakesAProcess) {
    const std::pair<const char*, uint64_t> sizes[] = {
        {"64MB", 64000000}, {"1GB", 1000000000}, {"512kB", 512000}, {"1.5GB", 1500000000},
        {"65536", 65536},   {"2mib", 2097152},   {"100KB", 100000}};
    for (const auto& [text, bytes] : sizes)
        EXPECT_EQ(run_of({"run", "-o", "t", "--ring", text, "s.py"}).ring, bytes) << text;
    EXPECT_EQ(run_of({"run", "-o", "t", "s.py"}).ring, 0u);
    for (const char* bad : {"1kB", "MB", "64 MB", "1.2.3MB", "-1MB", "64TB", "x"}) {
        Message m = message_of({"run", "-o", "t", "--ring", bad, "s.py"});
        EXPECT_NE(m.text.find("--ring <SIZE>"), std::string::npos) << bad << m.text;
    }
    Cli dump = parse_args({"dump", "--tree", "123"});
    ASSERT_TRUE(std::holds_alternative<DumpArgs>(dump));
    EXPECT_EQ(std::get<DumpArgs>(dump).pid, 123);
    EXPECT_TRUE(std::get<DumpArgs>(dump).tree);
    for (Words bad : {Words{"dump"}, Words{"dump", "0"}, Words{"dump", "x1"}})
        EXPECT_EQ(message_of(bad).status, 2);
}

TEST(Module, ModuleTakesEveryRemainingWord) {
    RunArgs args = run_of({"run", "-o", "t.json", "-m", "pkg.tool", "--verbose", "x"});
    EXPECT_TRUE(args.script.empty());
    EXPECT_EQ(args.module, (Words{"pkg.tool", "--verbose", "x"}));
    EXPECT_EQ(run_of({"run", "-o", "t", "--module", "m", "-f", "xml", "--", "-h"}).module,
              (Words{"m", "-f", "xml", "--", "-h"}));
    EXPECT_EQ(run_of({"run", "-o", "t", "-mm", "a"}).module, (Words{"m", "a"}));
}

// summary and flamegraph: one trace, options before or after it, values attached or apart.
TEST(AnalysisCommands, OptionsAndTheirErrors) {
    using analysis::SummaryOptions;
    Cli cli = parse_args(
        {"summary", "-n5", "--sort=total", "t.pb", "--by", "thread", "--filter", "-x", "--json"});
    // "-x" looks like an option, so it cannot be a separate value.
    ASSERT_TRUE(std::holds_alternative<Message>(cli));
    cli = parse_args(
        {"summary", "-n5", "--sort=total", "t.pb", "--by", "thread", "--filter=-x", "--json"});
    ASSERT_TRUE(std::holds_alternative<SummaryOptions>(cli));
    const auto& s = std::get<SummaryOptions>(cli);
    EXPECT_EQ(s.trace, "t.pb");
    EXPECT_EQ(s.top, 5u);
    EXPECT_EQ(s.sort, SummaryOptions::Sort::Total);
    EXPECT_EQ(s.group, SummaryOptions::Group::Thread);
    EXPECT_EQ(s.filter, "-x");
    EXPECT_TRUE(s.json);
    EXPECT_EQ(std::get<SummaryOptions>(parse_args({"summary", "--", "-t.pb"})).trace, "-t.pb");

    auto f = std::get<analysis::FlamegraphOptions>(
        parse_args({"flamegraph", "--per-thread", "t.json", "-o", "out.svg"}));
    EXPECT_EQ(f.trace, "t.json");
    EXPECT_EQ(f.output, "out.svg");
    EXPECT_TRUE(f.per_thread);
    EXPECT_FALSE(f.folded);
    EXPECT_TRUE(f.select.everything());

    // The selection, the same in every command that reads a trace.
    auto c = std::get<analysis::CutOptions>(
        parse_args({"cut", "t.pb", "-o", "c.pb", "--from", "1.5ms", "--to=2s", "--process",
                    "worker.py", "--thread", "7", "--min-duration", "10us", "--max-depth", "3"}));
    EXPECT_EQ(c.trace, "t.pb");
    EXPECT_EQ(c.output, "c.pb");
    EXPECT_EQ(c.select.from, 1500000u);
    EXPECT_EQ(c.select.to, 2000000000u);
    EXPECT_EQ(c.select.process, "worker.py");
    EXPECT_EQ(c.select.thread, "7");
    EXPECT_EQ(c.min_duration, 10000u);
    EXPECT_EQ(c.max_depth, 3u);
    EXPECT_EQ(std::get<SummaryOptions>(parse_args({"summary", "--to", "0", "t.pb"})).select.to, 0u);
    auto v = std::get<analysis::ViewOptions>(parse_args({"view", "--no-open", "t.pb"}));
    EXPECT_EQ(v.trace, "t.pb");
    EXPECT_FALSE(v.open);
    EXPECT_TRUE(v.ui.empty());
    EXPECT_EQ(std::get<analysis::JoinOptions>(parse_args({"join", "t.pb"})).trace, "t.pb");

    const std::pair<Words, const char*> errors[] = {
        {{"summary"}, "error: the following required arguments were not provided:\n  <TRACE>\n"},
        {{"summary", "a", "b"}, "error: unexpected argument 'b' found\n"},
        {{"join", "a", "--top", "1"}, "error: unexpected argument '--top' found"},
        {{"summary", "-n", "x", "a"}, "error: invalid value 'x' for '--top <N>'\n"},
        {{"summary", "--sort", "name", "a"},
         "error: invalid value 'name' for '--sort <KEY>'\n  [possible values: self, total, "
         "calls]\n"},
        {{"summary", "--by", "a"},
         "error: invalid value 'a' for '--by <GROUP>'\n  [possible values: thread, process]\n"},
        {{"flamegraph", "t.pb"},
         "error: the following required arguments were not provided:\n  --output <OUTPUT>\n"},
        {{"flamegraph", "-o", "-", "--from", "3", "t.pb"},
         "error: invalid value '3' for '--from <TIME>'\n  a time since the trace's start"},
        {{"summary", "--from", "2s", "--to", "1s", "t.pb"},
         "error: '--to' must be later than '--from'"},
        {{"cut", "t.pb", "-o", "c", "--process="}, "error: invalid value '' for '--process"},
        {{"view", "--ui", "ui.perfetto.dev", "t.pb"},
         "error: invalid value 'ui.perfetto.dev' for '--ui <URL>'"},
    };
    for (const auto& [args, start] : errors) {
        Message m = message_of(args);
        EXPECT_EQ(m.status, 2) << args[1];
        EXPECT_EQ(m.stream, Message::Stream::Stderr);
        EXPECT_TRUE(m.text.starts_with(start)) << m.text;
        EXPECT_TRUE(m.text.ends_with("For more information, try '--help'.\n")) << m.text;
    }
    for (const char* command : {"summary", "flamegraph", "cut", "view"}) {
        Message h = message_of({command, "x", "--help"});
        EXPECT_EQ(h.status, 0);
        EXPECT_EQ(h.text, message_of({"help", command}).text);
        EXPECT_NE(message_of({"--help"}).text.find(std::string("  ") + command), std::string::npos);
    }
}

}  // namespace
}  // namespace vespra::cli
