#include "core/code_filter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vespra {
namespace {

TEST(Glob, StarsSetsAndLiteralBrackets) {
    EXPECT_TRUE(glob_match("*", ""));
    EXPECT_TRUE(glob_match("a*c", "abbbc"));
    EXPECT_TRUE(glob_match("*/tests/*", "/src/app/tests/test_x.py"));  // * crosses slashes
    EXPECT_FALSE(glob_match("a*c", "abcd"));
    EXPECT_TRUE(glob_match("a?c", "abc"));
    EXPECT_FALSE(glob_match("a?c", "ac"));
    EXPECT_TRUE(glob_match("[ab]x", "bx"));
    EXPECT_TRUE(glob_match("[a-c]x", "cx"));
    EXPECT_FALSE(glob_match("[!a-c]x", "cx"));
    EXPECT_TRUE(glob_match("[!a-c]x", "dx"));
    EXPECT_TRUE(glob_match("a[b", "a[b"));  // no closing bracket: a literal
    EXPECT_TRUE(glob_match("*a*b*", "xxaxxbxx"));
    EXPECT_FALSE(glob_match("*a*b", "xxbxxa"));
}

Filter::Places places() {
    Filter::Places p;
    p.cwd = "/home/me/proj";
    p.home = "/home/me";
    p.stdlib = {"/usr/lib/python3.13"};
    // Without a venv, installed packages live inside the standard library's directory.
    p.site = {"/usr/lib/python3.13/site-packages",
              "/home/me/proj/.venv/lib/python3.13/site-packages"};
    return p;
}

struct Options {
    std::vector<std::string> include = {}, exclude = {};
    bool stdlib = false, site = false;
};

Filter filter(Options o) {
    FilterOptions options;
    options.include = std::move(o.include);
    options.exclude = std::move(o.exclude);
    options.exclude_stdlib = o.stdlib;
    options.exclude_site_packages = o.site;
    return Filter(std::move(options), places());
}

struct Keeps {
    const char *module, *file;
    bool kept;
    const char* alias = nullptr;
};

// Module patterns cover the package and what is in it; path patterns are globs taken from the
// current directory; excludes win over includes; the standard library and site-packages come
// from the interpreter's directories; an alias matches module patterns only.
TEST(Filter, KeepsWhatThePatternsAndTheInterpretersDirectoriesSay) {
    const struct {
        Options options;
        std::vector<Keeps> keeps;
    } CASES[] = {
        {{}, {{"json", "/usr/lib/python3.13/json/__init__.py", true}}},
        {{.include = {"myapp", "asyncio.*"}},
         {{"myapp", "/x.py", true},
          {"myapp.db.models", "/x.py", true},
          {"myapplication", "/x.py", false},
          {"asyncio.events", "/x.py", true},
          {"", "/x.py", false}}},  // unknown module: no module pattern matches
        {{.exclude = {"my*.db"}},
         {{"myapp.db.models", "/x.py", false}, {"myapp.web", "/x.py", true}}},
        {{.exclude = {"tests/", "*/gen_*.py", "/opt/vendor"}},
         {{"t", "/home/me/proj/tests/test_a.py", false},
          {"t", "/home/me/other/tests/test_a.py", true},
          {"g", "/anywhere/gen_x.py", false},
          {"v", "/opt/vendor/lib/a.py", false},
          {"v", "/opt/vendored.py", true}}},
        {{.include = {"myapp"}, .exclude = {"myapp.vendor"}},
         {{"myapp.core", "/a.py", true}, {"myapp.vendor.six", "/a.py", false}}},
        {{.stdlib = true},
         {{"json", "/usr/lib/python3.13/json/decoder.py", false},
          {"importlib._bootstrap", "<frozen importlib._bootstrap>", false},
          {"time", "<built-in>", false},
          {"numpy", "/usr/lib/python3.13/site-packages/numpy/core.py", true},
          {"app", "/home/me/proj/app.py", true},
          {"x", "/usr/lib/python3.13x/evil.py", true}}},  // a prefix is not a parent
        {{.site = true},
         {{"json", "/usr/lib/python3.13/json/decoder.py", true},
          {"numpy", "/usr/lib/python3.13/site-packages/numpy/core.py", false},
          {"req", "/home/me/proj/.venv/lib/python3.13/site-packages/req.py", false}}},
        {{.exclude = {"socket"}},
         {{"_socket", "/lib-dynload/_socket.so", false, "socket"},
          {"_ssl", "/lib-dynload/_ssl.so", true, "ssl"}}},
    };
    for (const auto& c : CASES) {
        Filter f = filter(c.options);
        for (const Keeps& k : c.keeps) {
            EXPECT_EQ(f.keeps(k.module, k.file, k.alias ? k.alias : ""), k.kept)
                << k.module << " " << k.file;
        }
    }
    EXPECT_FALSE(filter({}).active());
    // Children receive the patterns made absolute.
    EXPECT_EQ(filter({.exclude = {"tests/"}}).options().exclude[0], "/home/me/proj/tests");
}

TEST(Filter, DotDotAndTildePatternsAreTakenAsTheShellTakesThem) {
    for (const auto& [pattern, file] : std::vector<std::pair<std::string, std::string>>{
             {"./busy.py", "/home/me/proj/busy.py"},
             {"../w/busy.py", "/home/me/w/busy.py"},
             {"./sub/", "/home/me/proj/sub/a.py"},
             {"./", "/home/me/proj/a.py"},
             {"~/w", "/home/me/w/a.py"},
             {"busy.py/../sub/./a.py", "/home/me/proj/sub/a.py"},
             {"sub/", "/home/me/proj/./sub/a.py"}}) {  // a script run as ./sub/a.py
        Filter f = filter({.include = {pattern}, .exclude = {}});
        EXPECT_TRUE(f.keeps("m", file)) << pattern << " " << file;
        EXPECT_FALSE(f.keeps("m", "/home/me/elsewhere.py")) << pattern;
    }
    EXPECT_EQ(normal_path("/a/./b//c/../d/"), "/a/b/d");
    EXPECT_EQ(normal_path("/../a"), "/a");
}

TEST(Filter, PatternsThatMatchedNothingAreNamedAsGiven) {
    Filter f = filter({.include = {"busy.py", "./busy.py", "myapp"}, .exclude = {"tests/"}});
    Filter copy = f;  // the run's copy: what it finds, the tracer's filter knows
    EXPECT_TRUE(copy.keeps("__main__", "/home/me/proj/busy.py"));
    using Named = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(f.unmatched(),
              (Named{{"--include", "busy.py"}, {"--include", "myapp"}, {"--exclude", "tests/"}}));
    EXPECT_FALSE(copy.keeps("myapp.tests", "/home/me/proj/tests/t.py"));  // both match
    EXPECT_EQ(f.unmatched(), (Named{{"--include", "busy.py"}}));
}

}  // namespace
}  // namespace vespra
