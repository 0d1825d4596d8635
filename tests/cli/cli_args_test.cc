#include "cli_args.h"

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
    Cli cli = parse_args(std::move(args));
    if (!std::holds_alternative<Message>(cli)) {
        ADD_FAILURE() << "expected a message, got a run";
        return {};
    }
    return std::get<Message>(cli);
}

void expect_usage_error(const Words& args, const std::string& needle) {
    Message m = message_of(args);
    EXPECT_EQ(m.status, 2);
    EXPECT_EQ(m.stream, Message::Stream::Stderr);
    EXPECT_TRUE(m.text.starts_with("error: ")) << m.text;
    EXPECT_NE(m.text.find(needle), std::string::npos) << "missing '" << needle << "' in\n"
                                                      << m.text;
    EXPECT_NE(m.text.find("\nUsage: vespra"), std::string::npos) << m.text;
    EXPECT_TRUE(m.text.ends_with("For more information, try '--help'.\n")) << m.text;
}

TEST(HelpTest, RequestedHelpGoesToStdoutWithStatusZero) {
    for (const Words& args : {Words{"--help"}, Words{"-h"}, Words{"help"}}) {
        Message m = message_of(args);
        EXPECT_EQ(m.status, 0);
        EXPECT_EQ(m.stream, Message::Stream::Stdout);
        EXPECT_TRUE(m.text.starts_with(
            "Trace a Python script with sys.monitoring; emit Perfetto-compatible output.\n"));
        EXPECT_NE(m.text.find("  run   Run a script under the tracer\n"), std::string::npos);
    }
    // Help for run wins over anything missing, wherever it stands before the script's arguments.
    for (const Words& args : {Words{"run", "--help"}, Words{"run", "-h"}, Words{"help", "run"},
                              Words{"run", "script.py", "-h"}, Words{"run", "-o", "t", "-h"}}) {
        Message m = message_of(args);
        EXPECT_EQ(m.status, 0);
        EXPECT_EQ(m.stream, Message::Stream::Stdout);
        EXPECT_TRUE(m.text.starts_with("Run a script under the tracer\n")) << m.text;
        for (const char* line :
             {"  [SCRIPT]          Python script to run\n",
              "  [SCRIPT_ARGS]...  Arguments forwarded to the script\n",
              "  -o, --output <OUTPUT>     Output file path\n",
              "  -f, --format <FORMAT>     Output format [default: protobuf] [possible values: "
              "json, protobuf]\n",
              "  -m, --module <MODULE>...  Run a library module as a script, like `python -m`. "
              "Every following argument belongs to the module\n"}) {
            EXPECT_NE(m.text.find(line), std::string::npos) << line;
        }
    }
    // -h after the script's first argument belongs to the script.
    EXPECT_EQ(run_of({"run", "-o", "t", "s.py", "a", "-h"}).script_args, (Words{"a", "-h"}));
}

TEST(HelpTest, NothingOrSomethingUnknownIsAnErrorWithStatusTwo) {
    Message none = message_of({});
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.stream, Message::Stream::Stderr);
    EXPECT_EQ(none.text, message_of({"--help"}).text);

    expect_usage_error({"trace"}, "unrecognized subcommand 'trace'");
    expect_usage_error({"--version"}, "unexpected argument '--version' found");
    expect_usage_error({"help", "walk"}, "unrecognized subcommand 'walk'");
    expect_usage_error({"run", "--help=x"}, "unexpected value 'x'");
}

TEST(PlacementTest, RunOptionsStandBeforeTheScriptOrBeforeItsFirstArgument) {
    RunArgs before = run_of({"run", "-f", "json", "-o", "t.json", "s.py", "a"});
    EXPECT_EQ(before.output, "t.json");
    EXPECT_EQ(before.format, "json");
    EXPECT_EQ(before.script, "s.py");
    EXPECT_EQ(before.script_args, (Words{"a"}));

    RunArgs between = run_of({"run", "-o", "t.pb", "s.py", "-f", "json"});
    EXPECT_EQ(between.format, "json");
    EXPECT_TRUE(between.script_args.empty());

    RunArgs after = run_of({"run", "-o", "t.pb", "s.py", "a", "-f", "json"});
    EXPECT_EQ(after.format, "protobuf");
    EXPECT_EQ(after.script_args, (Words{"a", "-f", "json"}));

    // An option run does not know begins the script's arguments, and so does a lone "-".
    EXPECT_EQ(run_of({"run", "-o", "t", "s.py", "--verbose", "-o", "x"}).script_args,
              (Words{"--verbose", "-o", "x"}));
    EXPECT_EQ(run_of({"run", "-o", "t", "s.py", "-", "-o"}).script_args, (Words{"-", "-o"}));
    // ... but before the script it is a mistake, with a way out.
    expect_usage_error({"run", "-o", "t", "--verbose", "s.py"}, "use '-- --verbose'");
    RunArgs escaped = run_of({"run", "-o", "t", "--", "-odd.py", "-f", "json"});
    EXPECT_EQ(escaped.script, "-odd.py");
    EXPECT_EQ(escaped.script_args, (Words{"-f", "json"}));
    EXPECT_EQ(escaped.format, "protobuf");
    EXPECT_EQ(run_of({"run", "-o", "t", "s.py", "--", "-f"}).script_args, (Words{"-f"}));
}

TEST(PlacementTest, ValuesMayBeAttachedAndAreTakenVerbatim) {
    RunArgs args = run_of({"run", "--output=a=b.pb", "-fjson", "s.py"});
    EXPECT_EQ(args.output, "a=b.pb");
    EXPECT_EQ(args.format, "json");
    EXPECT_EQ(run_of({"run", "-o=t.pb", "--format", "protobuf", "s.py"}).output, "t.pb");
    EXPECT_EQ(run_of({"run", "-ot.pb", "s.py"}).output, "t.pb");
    EXPECT_EQ(run_of({"run", "-o", "-", "s.py"}).output, "-");
    EXPECT_EQ(run_of({"run", "-o", "d\xc3\xa9j\xc3\xa0 vu.pb", "s p.py"}).script, "s p.py");
}

TEST(ModuleTest, ModuleTakesEveryRemainingWord) {
    RunArgs args = run_of({"run", "-o", "t.json", "-m", "pkg.tool", "--verbose", "x"});
    EXPECT_TRUE(args.runs_module());
    EXPECT_EQ(args.module, (Words{"pkg.tool", "--verbose", "x"}));
    EXPECT_TRUE(args.script.empty());

    EXPECT_EQ(run_of({"run", "-o", "t", "--module", "m", "-f", "xml", "--", "-h"}).module,
              (Words{"m", "-f", "xml", "--", "-h"}));
    EXPECT_EQ(run_of({"run", "-o", "t", "--module=m", "a"}).module, (Words{"m", "a"}));
    EXPECT_EQ(run_of({"run", "-o", "t", "-mm", "a"}).module, (Words{"m", "a"}));

    // Options after -m are the module's, so the output is still missing.
    expect_usage_error({"run", "-m", "pkg.tool", "-o", "t.json"},
                       "the following required arguments were not provided:\n  --output <OUTPUT>");
    expect_usage_error({"run", "-o", "t", "-m"}, "a value is required for '--module <MODULE>...'");
    expect_usage_error({"run", "-o", "t", "s.py", "-m", "m"}, "cannot be used with '[SCRIPT]'");
}

TEST(RequiredTest, MissingOrRepeatedArgumentsAreNamed) {
    expect_usage_error({"run", "s.py"}, "not provided:\n  --output <OUTPUT>\n\n");
    expect_usage_error({"run", "-o", "t"}, "not provided:\n  <SCRIPT|--module <MODULE>...>\n\n");
    expect_usage_error({"run"}, "not provided:\n  --output <OUTPUT>\n  <SCRIPT|");
    expect_usage_error({"run", "-o", "a", "-o", "b", "s.py"},
                       "the argument '--output <OUTPUT>' cannot be used multiple times");
    expect_usage_error({"run", "-o", "-f", "json", "s.py"},
                       "a value is required for '--output <OUTPUT>' but none was supplied");
    expect_usage_error({"run", "-o", "t", "s.py", "-f"},
                       "a value is required for '--format <FORMAT>'");
}

TEST(FormatTest, OnlyTheCanonicalNamesAreAccepted) {
    EXPECT_EQ(run_of({"run", "-o", "t", "s.py"}).format, "protobuf");
    EXPECT_EQ(run_of({"run", "-o", "t", "-f", "protobuf", "s.py"}).format, "protobuf");
    for (const char* name : {"xml", "pb", "proto", "JSON", " json", ""}) {
        expect_usage_error({"run", "-o", "t", "-f", name, "s.py"},
                           "invalid value '" + std::string(name) +
                               "' for '--format <FORMAT>'\n  [possible values: json, protobuf]");
    }
}

}  // namespace
}  // namespace vespra::cli
