#include "py/environment.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "py/host.h"

namespace vespra::environment {

namespace {

using host::Ref;

constexpr const char* ENV_OUTPUT = "VESPRA_CHILD_OUTPUT";
constexpr const char* ENV_FORMAT = "VESPRA_CHILD_FORMAT";
constexpr const char* ENV_ORIGIN = "VESPRA_CHILD_ORIGIN";
constexpr const char* ENV_LOSSLESS = "VESPRA_CHILD_LOSSLESS";          // "1", or absent
constexpr const char* ENV_GC = "VESPRA_CHILD_GC";                      // "1", or absent
constexpr const char* ENV_MAX_DEPTH = "VESPRA_CHILD_MAX_DEPTH";        // decimal, 0: no limit
constexpr const char* ENV_MIN_DURATION = "VESPRA_CHILD_MIN_DURATION";  // decimal nanoseconds
constexpr const char* ENV_CLOCK = "VESPRA_CLOCK";
// What the run records, for children to record alike: patterns one per line (absent: none), the
// switches "1" or absent.
constexpr const char* ENV_INCLUDE = "VESPRA_CHILD_INCLUDE";
constexpr const char* ENV_EXCLUDE = "VESPRA_CHILD_EXCLUDE";
constexpr const char* ENV_EXCLUDE_STDLIB = "VESPRA_CHILD_EXCLUDE_STDLIB";
constexpr const char* ENV_EXCLUDE_SITE = "VESPRA_CHILD_EXCLUDE_SITE_PACKAGES";
constexpr const char* ENV_C_CALLS = "VESPRA_CHILD_C_CALLS";
constexpr const char* ENV_EXCEPTIONS = "VESPRA_CHILD_EXCEPTIONS";
constexpr const char* ENV_ARGS = "VESPRA_CHILD_ARGS";
constexpr const char* ENV_RETURNS = "VESPRA_CHILD_RETURNS";
constexpr const char* ENV_ARGS_REPR = "VESPRA_CHILD_ARGS_REPR";
constexpr const char* ENV_RING = "VESPRA_CHILD_RING";  // decimal bytes, or absent
constexpr const char* ENV_OPTIONAL[] = {
    ENV_LOSSLESS,       ENV_GC,           ENV_INCLUDE, ENV_EXCLUDE,
    ENV_EXCLUDE_STDLIB, ENV_EXCLUDE_SITE, ENV_C_CALLS, ENV_RING, ENV_EXCEPTIONS,
    ENV_ARGS,           ENV_RETURNS,      ENV_ARGS_REPR};

Ref environ() {
    Ref os = host::import("os");
    return os ? host::getattr(os.get(), "environ") : Ref();
}

// The output path as a process started in another working directory must see it to write into
// the same file: a relative path is resolved against the current directory now (os.path.join
// leaves an absolute one as it is, and does not normalise, so symbolic links resolve as they
// would for open()). Without a current directory (it was removed) the path goes out as given.
Ref exported_output(const TracerData& data) {
    Ref os = host::import("os");
    if (!os) return {};
    Ref cwd = host::call_method(os.get(), "getcwd", {});
    if (!cwd) {
        PyErr_Clear();
        return Ref::borrow(data.output.get());
    }
    Ref path = host::getattr(os.get(), "path");
    return path ? host::call_method(path.get(), "join", {cwd.get(), data.output.get()}) : Ref();
}

std::optional<std::string> joined(const std::vector<std::string>& patterns) {
    if (patterns.empty()) return std::nullopt;
    std::string text;
    for (const std::string& pattern : patterns)
        text.append(text.empty() ? "" : "\n").append(pattern);
    return text;
}

std::optional<std::string> flag(bool on) {
    return on ? std::optional<std::string>("1") : std::nullopt;
}

// The trace's origin goes out in decimal nanoseconds on CLOCK_MONOTONIC.
}  // namespace

bool export_for_children(const TracerData& data, uint64_t trace_origin) {
    Ref env = environ();
    if (!env) return false;
    Ref output = exported_output(data);
    Ref format = host::str(data.format.name());
    Ref origin = host::str(std::to_string(trace_origin));
    Ref max_depth = host::str(std::to_string(data.limits.max_depth));
    Ref min_duration = host::str(std::to_string(data.limits.min_duration));
    if (!output || !format || !origin || !max_depth || !min_duration) return false;
    const std::pair<const char*, PyObject*> ITEMS[] = {{ENV_OUTPUT, output.get()},
                                                       {ENV_FORMAT, format.get()},
                                                       {ENV_ORIGIN, origin.get()},
                                                       {ENV_MAX_DEPTH, max_depth.get()},
                                                       {ENV_MIN_DURATION, min_duration.get()}};
    for (const auto& [key, value] : ITEMS) {
        Ref name = host::str(key);
        if (!name || PyObject_SetItem(env.get(), name.get(), value) < 0) return false;
    }
    // Set when asked for, removed otherwise (a variable inherited from a traced parent of ours
    // must not reach our children).
    const FilterOptions& filter = data.filter->options();
    const std::pair<const char*, std::optional<std::string>> OPTIONAL[] = {
        {ENV_LOSSLESS, flag(data.lossless)},
        {ENV_GC, flag(data.gc)},
        {ENV_INCLUDE, joined(filter.include)},
        {ENV_EXCLUDE, joined(filter.exclude)},
        {ENV_EXCLUDE_STDLIB, flag(filter.exclude_stdlib)},
        {ENV_EXCLUDE_SITE, flag(filter.exclude_site_packages)},
        {ENV_C_CALLS, flag(data.c_calls)},
        {ENV_EXCEPTIONS, flag(data.exceptions)},
        {ENV_ARGS, data.values ? joined(data.values->args) : std::nullopt},
        {ENV_RETURNS, data.values ? joined(data.values->returns) : std::nullopt},
        {ENV_ARGS_REPR, flag(data.values && data.values->repr)},
        {ENV_RING, data.ring ? std::optional<std::string>(std::to_string(data.ring)) : std::nullopt},
    };
    for (const auto& [key, value] : OPTIONAL) {
        Ref name = host::str(key);
        if (!name) return false;
        if (!value) {
            if (!host::call_method(env.get(), "pop", {name.get(), Py_None})) return false;
            continue;
        }
        Ref text = host::str(*value);
        if (!text || PyObject_SetItem(env.get(), name.get(), text.get()) < 0) return false;
    }
    return true;
}

bool remove_child_variables() {
    Ref env = environ();
    if (!env) return false;
    for (const char* key : {ENV_OUTPUT, ENV_FORMAT, ENV_ORIGIN, ENV_MAX_DEPTH, ENV_MIN_DURATION}) {
        Ref name = host::str(key);
        if (!name || !host::call_method(env.get(), "pop", {name.get(), Py_None})) return false;
    }
    for (const char* key : ENV_OPTIONAL) {
        Ref name = host::str(key);
        if (!name || !host::call_method(env.get(), "pop", {name.get(), Py_None})) return false;
    }
    return true;
}

std::optional<ClockSource> clock_source() {
    Ref env = environ();
    Ref key = host::str(ENV_CLOCK);
    Ref empty = host::str("");
    Ref value =
        env && key && empty ? host::call_method(env.get(), "get", {key.get(), empty.get()}) : Ref();
    std::optional<std::string> text = value ? host::utf8(value.get()) : std::nullopt;
    if (!text) return std::nullopt;
    if (text->empty()) return ClockSource::automatic;
    if (std::optional<ClockSource> source = parse_clock_source(*text)) return source;
    PyErr_Format(PyExc_ValueError, "%s must be auto, tsc or monotonic, not %R", ENV_CLOCK,
                 value.get());
    return std::nullopt;
}

}  // namespace vespra::environment
