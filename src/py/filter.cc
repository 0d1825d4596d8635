#include "py/filter.h"

#include <utility>

namespace vespra {

namespace {

// The end of the set starting at pattern[i] == '[', or npos when it has none.
size_t set_end(std::string_view pattern, size_t i) {
    size_t j = i + 1;
    if (j < pattern.size() && pattern[j] == '!') ++j;
    if (j < pattern.size() && pattern[j] == ']') ++j;  // a leading ] is a member
    while (j < pattern.size() && pattern[j] != ']') ++j;
    return j < pattern.size() ? j : std::string_view::npos;
}

bool in_set(std::string_view set, char c) {
    bool negate = !set.empty() && set[0] == '!';
    if (negate) set.remove_prefix(1);
    bool found = false;
    for (size_t k = 0; k < set.size(); ++k) {
        if (k + 2 < set.size() && set[k + 1] == '-') {
            found = found || (set[k] <= c && c <= set[k + 2]);
            k += 2;
        } else {
            found = found || set[k] == c;
        }
    }
    return found != negate;
}

std::string strip_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

bool glob_match(std::string_view pattern, std::string_view text) {
    // Iterative matching with one backtrack point: the last `*` and where its run ends.
    size_t p = 0, t = 0;
    size_t star = std::string_view::npos, star_t = 0;
    while (t < text.size()) {
        if (p < pattern.size()) {
            char c = pattern[p];
            if (c == '*') {
                star = p++;
                star_t = t;
                continue;
            }
            if (c == '[') {
                size_t end = set_end(pattern, p);
                if (end != std::string_view::npos) {
                    if (in_set(pattern.substr(p + 1, end - p - 1), text[t])) {
                        p = end + 1;
                        ++t;
                        continue;
                    }
                } else if (text[t] == '[') {
                    ++p, ++t;
                    continue;
                }
            } else if (c == '?' || c == text[t]) {
                ++p, ++t;
                continue;
            }
        }
        if (star == std::string_view::npos) return false;
        p = star + 1;
        t = ++star_t;
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool path_under(std::string_view path, std::string_view dir) {
    if (dir.empty() || !path.starts_with(dir)) return false;
    return path.size() == dir.size() || path[dir.size()] == '/' || dir.back() == '/';
}

Filter::Filter(FilterOptions options, Places places)
    : options_(std::move(options)), places_(std::move(places)), active_(!options_.empty()) {
    for (std::vector<std::string>* list : {&options_.include, &options_.exclude}) {
        for (std::string& pattern : *list) {
            if (pattern.find('/') == std::string::npos) continue;
            // One that begins with a wildcard matches anywhere, as written.
            bool anchored =
                pattern[0] == '/' || pattern[0] == '*' || pattern[0] == '?' || pattern[0] == '[';
            if (!anchored && !places_.cwd.empty()) {
                pattern = strip_trailing_slashes(places_.cwd) + "/" + pattern;
            }
            pattern = strip_trailing_slashes(std::move(pattern));
        }
    }
}

// A pattern with a slash is a path: it matches the file, or a file below it. Any other pattern
// is a module name: `pkg` and `pkg.*` both match the package and everything in it.
bool Filter::matches(const std::string& pattern, std::string_view module,
                     std::string_view file) const {
    if (pattern.find('/') != std::string::npos) {
        return !file.empty() && (glob_match(pattern, file) || glob_match(pattern + "/*", file));
    }
    if (module.empty()) return false;
    if (glob_match(pattern, module) || glob_match(pattern + ".*", module)) return true;
    return pattern.ends_with(".*") &&
           glob_match(std::string_view(pattern).substr(0, pattern.size() - 2), module);
}

bool Filter::in_site_packages(std::string_view file) const {
    for (const std::string& dir : places_.site) {
        if (path_under(file, dir)) return true;
    }
    return false;
}

// Site-packages may lie inside the standard library's directory (an interpreter without a
// venv): what is installed there is not the standard library.
bool Filter::in_stdlib(std::string_view file) const {
    if (file.starts_with("<frozen ") || file == "<built-in>") return true;
    if (in_site_packages(file)) return false;
    for (const std::string& dir : places_.stdlib) {
        if (path_under(file, dir)) return true;
    }
    return false;
}

bool Filter::keeps(std::string_view module, std::string_view file, std::string_view alias) const {
    if (!active_) return true;
    auto any = [&](const std::vector<std::string>& patterns) {
        for (const std::string& pattern : patterns) {
            if (matches(pattern, module, file) || matches(pattern, alias, {})) return true;
        }
        return false;
    };
    if (!options_.include.empty() && !any(options_.include)) return false;
    if (any(options_.exclude)) return false;
    if (options_.exclude_stdlib && in_stdlib(file)) return false;
    if (options_.exclude_site_packages && in_site_packages(file)) return false;
    return true;
}

}  // namespace vespra
