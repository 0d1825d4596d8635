// JsonExporter: the writer of the "json" output format, the JSON array form of the Trace Event
// Format. Every event becomes one duration record ("ph" B or E) followed by ","; a batch
// starts with a process-name metadata record when the process's name is new, a thread's first
// event comes after a thread-name record, and finish adds thread-name records again (the last
// names) and the dropped-events metadata record. The array is never closed, and the opening
// "[" (JSON_PARTS.head) is written by whoever creates the file, so forked children append to the
// parent's array.
//
// Per event the writer only copies bytes: everything that depends on the code object is escaped
// once per code id into a Template, and numbers go through the digit routines of json_text.h.
// Owned and used by the exporter thread only; it takes no locks of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/output.h"
#include "core/parts.h"
#include "core/process_name.h"
#include "core/sink.h"
#include "json/json_text.h"

namespace vespra {

// The parts of an event record that depend only on its code object, rendered once per code id.
struct Template {
    // {"name":<name>,"cat":"py","ph":"   -- "ph" is left open for the event
    std::string prefix;
    // ,"args":{"file":<file>,"line":<line>,"kind":"   -- "kind" is left open for the event
    std::string suffix;

    // A code without a name is written as "<unknown>".
    static Template of(const CodeInfo& info);
};

// JSON parts (core/parts.h): records "{...}," of the array whose "[" the output holds.
extern const parts::PartFormat JSON_PARTS;

class JsonExporter : public Exporter {
  public:
    static constexpr size_t BUFFER_RESERVE = 256 * 1024;

    // Takes the file and the current process id; writes nothing.
    explicit JsonExporter(SharedFile out);
    // As above with an explicit pid, so that tests can compare exact bytes.
    JsonExporter(SharedFile out, uint32_t pid);

    // Renders the whole batch into one buffer and writes it in one locked flush, so a batch stands
    // together in the file even when other processes append to it.
    Status write_batch(std::span<const Event> events, const CodeLookup& codes,
                       const ThreadNames& names) override;
    // One thread-name record per known thread, then the dropped-events record when anything
    // was lost and one left-out record per option that left events out; one flush.
    Status finish(const CodeLookup& codes, const ThreadNames& names,
                  const RunTotals& totals) override;

    uint32_t pid() const { return pid_; }
    size_t template_count() const { return templates_.size(); }

  private:
    // Code id -> index into templates_. Ids are dense from 0, so this is normally a plain array
    // indexed by id (4 bytes per id up to the largest seen, at most DENSE_IDS of them); larger
    // ids go to an open-addressing table with linear probing, kept at most half full.
    class TemplateIndex {
      public:
        static constexpr uint32_t NONE = UINT32_MAX;
        static constexpr uint32_t DENSE_IDS = 1u << 20;

        uint32_t find(uint32_t id) const {
            if (id < dense_.size()) return dense_[id];
            return id < DENSE_IDS ? NONE : find_sparse(id);
        }
        void insert(uint32_t id, uint32_t index);

      private:
        uint32_t find_sparse(uint32_t id) const;
        void rehash(size_t slots);

        std::vector<uint32_t> dense_;  // NONE where no template is known yet
        std::vector<uint32_t> keys_;   // id + 1; 0 marks an empty slot
        std::vector<uint32_t> values_;
        size_t used_ = 0;
        unsigned shift_ = 32;
    };

    // Appends a "process_name" record when the process's name (process_name.h) has not been
    // written yet or has changed since: viewers take the last one.
    void push_process_name(json::Buffer& b);
    // A "thread_name" record.
    void push_thread_name(json::Buffer& b, uint32_t tid, std::string_view name);
    // Appends to buf_ the name of a thread not named yet, when the names know it.
    void name_new_thread(uint32_t tid, const ThreadNames& names);
    // The first record of a code id: asks the lookup and renders the template.
    const Template& add_template(uint32_t id, const CodeLookup& codes);
    // Renders the mark whose header is events[at] (a span's begin or end, an instant, a counter
    // sample; see core/marks.h) into buf_; returns the index of the event after its payload.
    size_t write_mark(std::span<const Event> events, size_t at, const CodeLookup& codes);
    // The JSON string of a mark's or an argument's name, escaped once per id.
    const std::string& mark_name(uint32_t id, const CodeLookup& codes);

    SharedFile out_;
    json::Buffer buf_;
    std::vector<Template> templates_;
    TemplateIndex index_;
    std::unordered_map<uint32_t, std::string> mark_names_;
    std::unordered_set<uint32_t> named_;  // threads whose name went out before their events
    uint32_t pid_;
    std::optional<uint64_t> process_version_;  // of the name last written; none before the first
    // `,"pid":<pid>,"tid":`, the same for every record of this exporter; padded so that it is
    // copied as one fixed-size block.
    char pid_part_[32] = {};
    size_t pid_part_len_ = 0;
};

}  // namespace vespra
