// Code interning: every Python code object a run sees gets a dense code id (0, 1, 2, ... in
// order of first sighting over all threads) and a CodeInfo read once from the object.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/event.h"
#include "core/sink.h"

namespace vespra {

// Address hash with a per-run random seed, so that which code objects collide differs between
// runs and cannot be arranged from outside.
struct SeededAddressHash {
    uint64_t seed;
    size_t operator()(uint64_t key) const {
        uint64_t x = (key ^ seed) * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(x ^ (x >> 29));
    }
};

// The id resolution gives what a run's options leave out: never recorded, never a code id.
inline constexpr uint32_t LEFT_OUT = UINT32_MAX;

// One run's table of code objects (and of the C callables a run with C calls records, keyed by
// the long-lived object behind them). The three tables always have the same length n; entry i
// of each describes code id i, and nothing is removed or changed until the interner is
// destroyed. Holding a strong reference to every interned object means its address can never be
// reused by another object during the run, so the address map stays truthful; the same holds
// for what the options left out, which maps to LEFT_OUT and is kept apart.
class Interner {
  public:
    static constexpr uint32_t CAPACITY = MAX_CODE_IDS;

    Interner();
    // Releases the code-object references. On a thread attached to the interpreter that is done
    // at once; on any other thread the references are handed to the interpreter's pending-call
    // queue, to be released by the next thread that attaches (see interner.cc).
    ~Interner();
    Interner(const Interner&) = delete;
    Interner& operator=(const Interner&) = delete;

    // Under the read lock.
    std::optional<uint32_t> find(uint64_t key) const;
    std::optional<CodeInfo> info(uint32_t id) const;
    size_t size() const;

    // Objects the options left out so far.
    size_t left_out() const;

    // The id of `key`, inserting it with `info` (none: left out, the id is LEFT_OUT) and the
    // strong reference `code` when it is new. Takes the write lock and re-checks, so racing
    // threads agree on one id. `code` is consumed: kept when inserted, returned in `unused`
    // otherwise (the caller, attached, releases it). None when the interner is full.
    std::optional<uint32_t> insert(uint64_t key, PyObject* code, std::optional<CodeInfo> info,
                                   PyObject** unused);

    // The id of a mark's name; equal names share one, made on first sight (a CodeInfo with
    // `mark` set). None when the interner is full.
    std::optional<uint32_t> name_id(std::string_view name);
    // A new id for an asyncio task, described by `name` like a mark's name (its step slices on
    // the thread are named so), never shared: every task is one. None when the interner is full.
    std::optional<uint32_t> task_id(std::string name);
    // Makes `key`, the address of a str object that stays alive as long as `str` (a strong
    // reference, consumed) is kept, find `id` through find(). For names the thread caches.
    void alias(uint64_t key, PyObject* str, uint32_t id);

  private:
    mutable std::shared_mutex mutex_;
    std::vector<CodeInfo> infos_;
    std::vector<PyObject*> keep_;  // null for a mark's name
    std::vector<PyObject*> left_out_;  // references to what maps to LEFT_OUT
    std::unordered_map<uint64_t, uint32_t, SeededAddressHash> ids_;
    std::unordered_map<std::string, uint32_t> names_;  // marks' names
    std::vector<PyObject*> aliased_;                   // the str objects behind aliases
};

}  // namespace vespra
