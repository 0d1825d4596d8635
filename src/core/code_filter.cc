#include "core/code_filter.h"

#include <algorithm>
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

std::string normal_path(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t slash = std::min(path.find('/', at), path.size());
        std::string_view part = path.substr(at, slash - at);
        at = slash + 1;
        if (part.empty() || part == ".") continue;
        if (part == ".." && !parts.empty() && parts.back() != ".." &&
            parts.back().find_first_of("*?[") == std::string_view::npos) {
            parts.pop_back();
            continue;
        }
        if (part == ".." && parts.empty() && path.starts_with('/')) continue;  // "/.." is "/"
        parts.push_back(part);
    }
    std::string out = path.starts_with('/') ? "/" : "";
    for (size_t i = 0; i < parts.size(); ++i) out.append(i ? "/" : "").append(parts[i]);
    return out.empty() && !path.empty() ? "." : out;
}

bool path_under(std::string_view path, std::string_view dir) {
    if (dir.empty() || !path.starts_with(dir)) return false;
    return path.size() == dir.size() || path[dir.size()] == '/' || dir.back() == '/';
}

Filter::Filter(FilterOptions options, Places places)
    : options_(std::move(options)),
      given_(options_),
      places_(std::move(places)),
      active_(!options_.empty()),
      matched_(std::make_shared<std::vector<std::atomic<bool>>>(options_.include.size() +
                                                                options_.exclude.size())) {
    for (std::vector<std::string>* list : {&options_.include, &options_.exclude}) {
        for (std::string& pattern : *list) {
            if ((pattern == "~" || pattern.starts_with("~/")) && !places_.home.empty()) {
                pattern = strip_trailing_slashes(places_.home) + pattern.substr(1) + "/";
            }
            if (pattern.find('/') == std::string::npos) continue;
            // One that begins with a wildcard matches anywhere, as written. Others are taken
            // from the current directory, "./" and "../" included, as the shell takes them.
            bool anchored =
                pattern[0] == '/' || pattern[0] == '*' || pattern[0] == '?' || pattern[0] == '[';
            if (!anchored && !places_.cwd.empty()) {
                pattern = strip_trailing_slashes(places_.cwd) + "/" + pattern;
            }
            if (!anchored || pattern[0] == '/') pattern = normal_path(pattern);
            pattern = strip_trailing_slashes(std::move(pattern));
        }
    }
}

std::vector<std::pair<std::string, std::string>> Filter::unmatched() const {
    std::vector<std::pair<std::string, std::string>> out;
    size_t i = 0;
    for (const auto& [option, list] : {std::pair{"--include", &given_.include},
                                       std::pair{"--exclude", &given_.exclude}}) {
        for (const std::string& pattern : *list) {
            if (!(*matched_)[i++].load(std::memory_order_relaxed)) out.emplace_back(option, pattern);
        }
    }
    return out;
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
    // A script run as `./tool.py` has the file "/cwd/./tool.py": patterns meet it normalised.
    std::string normal;
    if (file.starts_with('/') &&
        (file.find("/./") != std::string_view::npos || file.find("/../") != std::string_view::npos ||
         file.find("//") != std::string_view::npos)) {
        normal = normal_path(file);
        file = normal;
    }
    // Every pattern is asked, so that each one that matches anything is known to (unmatched()).
    size_t index = 0;
    auto any = [&](const std::vector<std::string>& patterns) {
        bool found = false;
        for (const std::string& pattern : patterns) {
            if (matches(pattern, module, file) || matches(pattern, alias, {})) {
                found = true;
                (*matched_)[index].store(true, std::memory_order_relaxed);
            }
            ++index;
        }
        return found;
    };
    bool included = any(options_.include) || options_.include.empty();
    bool excluded = any(options_.exclude);
    if (!included || excluded) return false;
    if (options_.exclude_stdlib && in_stdlib(file)) return false;
    if (options_.exclude_site_packages && in_site_packages(file)) return false;
    return true;
}

}  // namespace vespra
