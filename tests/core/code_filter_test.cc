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
    std::vector<std::string> include, exclude;
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

TEST(Filter, NoOptionsKeepsEverythingAndIsInactive) {
    Filter f = filter({});
    EXPECT_FALSE(f.active());
    EXPECT_TRUE(f.keeps("json", "/usr/lib/python3.13/json/__init__.py"));
}

TEST(Filter, ModulePatternsCoverThePackageAndWhatIsInIt) {
    Filter f = filter({.include = {"myapp", "asyncio.*"}, .exclude = {}});
    EXPECT_TRUE(f.keeps("myapp", "/x.py"));
    EXPECT_TRUE(f.keeps("myapp.db.models", "/x.py"));
    EXPECT_FALSE(f.keeps("myapplication", "/x.py"));
    EXPECT_TRUE(f.keeps("asyncio", "/x.py"));
    EXPECT_TRUE(f.keeps("asyncio.events", "/x.py"));
    EXPECT_FALSE(f.keeps("", "/x.py"));  // unknown module: no module pattern matches
    Filter g = filter({.include = {}, .exclude = {"my*.db"}});
    EXPECT_FALSE(g.keeps("myapp.db", "/x.py"));
    EXPECT_FALSE(g.keeps("myapp.db.models", "/x.py"));
    EXPECT_TRUE(g.keeps("myapp.web", "/x.py"));
}

TEST(Filter, PathPatternsAreGlobsTakenFromTheCurrentDirectory) {
    Filter f = filter({.include = {}, .exclude = {"tests/", "*/gen_*.py", "/opt/vendor"}});
    EXPECT_FALSE(f.keeps("t", "/home/me/proj/tests/test_a.py"));
    EXPECT_TRUE(f.keeps("t", "/home/me/other/tests/test_a.py"));
    EXPECT_FALSE(f.keeps("g", "/anywhere/gen_x.py"));
    EXPECT_FALSE(f.keeps("v", "/opt/vendor/lib/a.py"));
    EXPECT_TRUE(f.keeps("v", "/opt/vendored.py"));
    // Children receive the patterns made absolute.
    EXPECT_EQ(f.options().exclude[0], "/home/me/proj/tests");
}

TEST(Filter, DotDotAndTildePatternsAreTakenAsTheShellTakesThem) {
    for (const auto& [pattern, file] :
         std::vector<std::pair<std::string, std::string>>{
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
    EXPECT_EQ(f.unmatched(), (Named{{"--include", "busy.py"},
                                    {"--include", "myapp"},
                                    {"--exclude", "tests/"}}));
    EXPECT_FALSE(copy.keeps("myapp.tests", "/home/me/proj/tests/t.py"));  // both match
    EXPECT_EQ(f.unmatched(), (Named{{"--include", "busy.py"}}));
}

TEST(Filter, ExcludesWinOverIncludes) {
    Filter f = filter({.include = {"myapp"}, .exclude = {"myapp.vendor"}});
    EXPECT_TRUE(f.keeps("myapp.core", "/a.py"));
    EXPECT_FALSE(f.keeps("myapp.vendor.six", "/a.py"));
}

TEST(Filter, StdlibAndSitePackagesComeFromTheInterpretersDirectories) {
    Filter stdlib = filter({.include = {}, .exclude = {}, .stdlib = true});
    EXPECT_FALSE(stdlib.keeps("json", "/usr/lib/python3.13/json/decoder.py"));
    EXPECT_FALSE(stdlib.keeps("importlib._bootstrap", "<frozen importlib._bootstrap>"));
    EXPECT_FALSE(stdlib.keeps("time", "<built-in>"));
    EXPECT_TRUE(stdlib.keeps("numpy", "/usr/lib/python3.13/site-packages/numpy/core.py"));
    EXPECT_TRUE(stdlib.keeps("app", "/home/me/proj/app.py"));
    EXPECT_TRUE(stdlib.keeps("x", "/usr/lib/python3.13x/evil.py"));  // a prefix is not a parent

    Filter site = filter({.include = {}, .exclude = {}, .stdlib = false, .site = true});
    EXPECT_TRUE(site.keeps("json", "/usr/lib/python3.13/json/decoder.py"));
    EXPECT_FALSE(site.keeps("numpy", "/usr/lib/python3.13/site-packages/numpy/core.py"));
    EXPECT_FALSE(site.keeps("req", "/home/me/proj/.venv/lib/python3.13/site-packages/req.py"));
    EXPECT_TRUE(site.keeps("app", "/home/me/proj/app.py"));
}

TEST(Filter, AnAliasMatchesModulePatternsOnly) {
    Filter f = filter({.include = {}, .exclude = {"socket"}});
    EXPECT_FALSE(f.keeps("_socket", "/lib-dynload/_socket.so", "socket"));
    EXPECT_TRUE(f.keeps("_ssl", "/lib-dynload/_ssl.so", "ssl"));
}

}  // namespace
}  // namespace vespra
