// The values of calls a run records on request (--args, --returns, --args-repr): which functions'
// arguments and return values, and how a value is described. Describing runs none of the
// program's code unless repr() was asked for, keeps no reference to the value (the description
// is text and numbers) and leaves no Python error set.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/code_filter.h"
#include "py/marks.h"

namespace vespra::values {

// The longest str or bytes kept, in characters (bytes for bytes); the longest repr(), in bytes
// of UTF-8. Cut text ends with "…".
inline constexpr size_t MAX_CHARS = 64;
inline constexpr size_t MAX_REPR = 256;

// The options as the user gives them: patterns with --include's grammar.
struct ValueOptions {
    std::vector<std::string> args;
    std::vector<std::string> returns;
    bool repr = false;  // repr() of the objects that are otherwise described by their type

    bool empty() const { return args.empty() && returns.empty(); }
};

// `options` with relative path patterns taken from `places` (as Filter takes them).
ValueOptions resolve(const ValueOptions& options, const Filter::Places& places);

// What a code object's calls record, decided once per code id.
enum Flags : uint8_t { KNOWN = 1, ARGS = 2, RETURNS = 4 };

// One run's choice of functions. Shared by every recording thread: the flags live in chunks
// that are allocated once and never freed before the run, read and written with atomics.
class Matcher {
  public:
    // `options` resolved (see resolve()).
    explicit Matcher(const ValueOptions& options);
    ~Matcher();
    Matcher(const Matcher&) = delete;
    Matcher& operator=(const Matcher&) = delete;

    // The flags of code id `id` when decided, else 0. Two loads; no lock.
    uint8_t flags(uint32_t id) const {
        const std::atomic<uint8_t>* chunk = chunks_[id / CHUNK].load(std::memory_order_acquire);
        return chunk ? chunk[id % CHUNK].load(std::memory_order_relaxed) : 0;
    }
    // The flags of `code`, code id `id`, deciding them on first sight with `module` and `file`
    // (as the run's filter takes them). May allocate (std::bad_alloc).
    uint8_t decide(uint32_t id, std::string_view module, std::string_view file);

    bool repr() const { return repr_; }

  private:
    static constexpr uint32_t CHUNK = 4096;
    Filter args_;
    Filter returns_;
    bool any_args_, any_returns_, repr_;
    std::unique_ptr<std::atomic<std::atomic<uint8_t>*>[]> chunks_;
};

// The description of one value (see README): None, bool, int (one beyond 64 bits as its bit
// length), float as they are; str and bytes cut; containers as their type and length; anything
// else by its type's qualified name with `shape` and `dtype` when its type has them, or with
// `repr` its repr() cut to MAX_REPR bytes ("<repr raised T>" when it raises). Attached; with
// `repr` it runs the program's code, which the caller must allow for (see monitoring.cc).
marks_api::MarkValue describe(PyObject* value, bool repr);

// The arguments of the frame of `code` that is starting on this thread, each by name, in the
// order of the signature: positional, keyword-only, *args, **kwargs. Empty when the thread's
// current frame is not one of `code`. Attached.
std::vector<marks_api::MarkArg> arguments(PyObject* code, bool repr);

// Makes the names the describing reads and records (once per process; later calls return at
// once). Attached, under the lock that guards the callbacks' creation. False with an error set.
bool prepare();

// The name of the return value's argument, "return" (after prepare()).
PyObject* return_key();

}  // namespace vespra::values
