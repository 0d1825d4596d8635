// Which code a run records: the rules of --include, --exclude, --exclude-stdlib and
// --exclude-site-packages. Pure C++: the interpreter's directories and the current directory are
// handed in (the extension reads them), so the rules can be tested without an interpreter.
//
// A code object is kept when it matches an include (or none are given), matches no exclude, and
// does not lie in a directory the two switches leave out. The rules are evaluated once per code
// object or C callable, at its first event of a run, never on the recording path.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vespra {

// The options as the user gives them (and as children receive them, already resolved).
struct FilterOptions {
    std::vector<std::string> include;
    std::vector<std::string> exclude;
    bool exclude_stdlib = false;
    bool exclude_site_packages = false;

    bool empty() const {
        return include.empty() && exclude.empty() && !exclude_stdlib && !exclude_site_packages;
    }
};

// fnmatch without case folding: `*` any run of characters (`/` and `.` included), `?` any one
// character, `[abc]`, `[a-z]`, `[!abc]` one character of a set. A `[` without its `]` is itself.
bool glob_match(std::string_view pattern, std::string_view text);

// True for a path that is `dir` or lies below it. `dir` ends without a slash.
bool path_under(std::string_view path, std::string_view dir);

// `path` with its "." and empty components dropped and each ".." taken with the component
// before it (unless that one holds a wildcard), as os.path.normpath does; "" stays "".
std::string normal_path(std::string_view path);

class Filter {
  public:
    // The interpreter's own directories, read when the run starts.
    struct Places {
        std::string cwd;                  // relative path patterns are taken from here
        std::string home;                 // "~" in front of a pattern stands for it
        std::vector<std::string> stdlib;  // sysconfig's stdlib and platstdlib
        std::vector<std::string> site;    // purelib, platlib, site.getsitepackages(), ...
    };

    Filter() = default;  // keeps everything
    Filter(FilterOptions options, Places places);

    // False when nothing is left out: the callbacks then never ask.
    bool active() const { return active_; }

    // `module` is the dotted module name ("" when unknown), `file` the source path (a module's
    // __file__ for code without a file of its own; "<frozen ...>" and "<built-in>" name code of
    // the standard library that has no file). A module pattern matches `module` or `alias` (the
    // public name of a C function's private module).
    bool keeps(std::string_view module, std::string_view file, std::string_view alias = {}) const;

    // The options with relative path patterns made absolute: what a child process receives, so
    // that it filters alike from any working directory.
    const FilterOptions& options() const { return options_; }

    // The patterns, as given, that no code asked about so far has matched, each with its
    // option: {"--include", "busy.py"}. Copies of a filter share what matched.
    std::vector<std::pair<std::string, std::string>> unmatched() const;

  private:
    bool matches(const std::string& pattern, std::string_view module, std::string_view file) const;
    bool in_stdlib(std::string_view file) const;
    bool in_site_packages(std::string_view file) const;

    FilterOptions options_;
    FilterOptions given_;  // as the user gave them
    Places places_;
    bool active_ = false;
    // Per pattern, includes then excludes: whether any code matched it. Set once per code
    // object at its first event, never on the recording path.
    std::shared_ptr<std::vector<std::atomic<bool>>> matched_;
};

}  // namespace vespra
