#include "analysis/selection.h"

#include <charconv>
#include <unordered_map>

#include "analysis/trace_file.h"

namespace vespra::analysis {
namespace {

// A selection's word as an id, when it is one.
std::optional<uint32_t> as_id(const std::string& word) {
    uint32_t id = 0;
    auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), id);
    if (ec != std::errc() || end != word.data() + word.size()) return std::nullopt;
    return id;
}

// The processes and threads of a trace whose id or any name matches the selection's words.
class NameScan final : public trace::Visitor {
  public:
    explicit NameScan(const Selection& select) : select_(select) {}

    void process(uint32_t pid, std::string_view name) override {
        if (!select_.process.empty() && name == select_.process) named_pids.insert(pid);
    }
    uint32_t thread(uint32_t pid, uint32_t tid) override {
        threads.push_back({pid, tid});
        return static_cast<uint32_t>(threads.size() - 1);
    }
    void thread_name(uint32_t thread, std::string_view name) override {
        if (!select_.thread.empty() && name == select_.thread) {
            named_threads.insert(uint64_t{threads[thread].first} << 32 | threads[thread].second);
        }
    }
    uint32_t function(std::string_view, std::string_view, uint32_t) override { return 0; }
    void begin(uint32_t, uint32_t, uint64_t) override {}
    void end(uint32_t, uint64_t) override {}
    void dropped(uint32_t, uint64_t) override {}
    void left_out(uint32_t, std::string_view, uint64_t) override {}

    std::vector<std::pair<uint32_t, uint32_t>> threads;  // by handle: (pid, tid)
    std::unordered_set<uint32_t> named_pids;
    std::unordered_set<uint64_t> named_threads;

  private:
    const Selection& select_;
};

}  // namespace

Selector::Selector(Selection selection) : select_(std::move(selection)) {}

Status Selector::resolve(const std::string& path) {
    if (select_.process.empty() && select_.thread.empty()) return Status::success();
    NameScan scan(select_);
    if (Result<TraceRead> read = read_trace(path, scan); !read) {
        return IoError::other(read.error().text());
    }
    std::optional<uint32_t> pid = as_id(select_.process), tid = as_id(select_.thread);
    for (auto [p, t] : scan.threads) {
        bool process = select_.process.empty() || p == pid || scan.named_pids.contains(p);
        bool thread = select_.thread.empty() || t == tid || scan.named_threads.contains(key(p, t));
        if (!process || !thread) continue;
        pids_.insert(p);
        threads_.insert(key(p, t));
    }
    by_thread_ = true;
    if (!threads_.empty()) return Status::success();
    std::string what = !select_.process.empty() ? "process '" + select_.process + "'" : "";
    if (!select_.thread.empty()) {
        what += (what.empty() ? "" : " with a ") + std::string("thread '") + select_.thread + "'";
    }
    return IoError::other(path + ": no " + what + " in the trace");
}

bool Selector::process_in(uint32_t pid) const { return !by_thread_ || pids_.contains(pid); }

bool Selector::thread_in(uint32_t pid, uint32_t tid) const {
    return !by_thread_ || threads_.contains(key(pid, tid));
}

void SelectingVisitor::process(uint32_t pid, std::string_view name) {
    if (selector_.process_in(pid)) next_.process(pid, name);
}

uint32_t SelectingVisitor::thread(uint32_t pid, uint32_t tid) {
    bool in = selector_.thread_in(pid, tid);
    threads_.push_back(Thread{in, in ? next_.thread(pid, tid) : 0, selector_.window(), {}});
    return static_cast<uint32_t>(threads_.size() - 1);
}

void SelectingVisitor::thread_name(uint32_t thread, std::string_view name) {
    if (threads_[thread].in) next_.thread_name(threads_[thread].next, name);
}

bool SelectingVisitor::admit(Thread& t, uint64_t ts) {
    return selector_.admit(
        t.window, ts, static_cast<uint32_t>(t.open.size()),
        [&](uint32_t i, uint64_t from) { next_.begin(t.next, t.open[i], from); },
        [&](uint32_t, uint64_t to) { next_.end(t.next, to); });
}

void SelectingVisitor::begin(uint32_t thread, uint32_t function, uint64_t ts) {
    Thread& t = threads_[thread];
    if (!t.in) return;
    if (admit(t, ts)) next_.begin(t.next, function, ts);
    t.open.push_back(function);
}

void SelectingVisitor::end(uint32_t thread, uint64_t ts) {
    Thread& t = threads_[thread];
    if (!t.in) return;
    if (admit(t, ts)) next_.end(t.next, ts);
    if (!t.open.empty()) t.open.pop_back();
}

void SelectingVisitor::dropped(uint32_t pid, uint64_t count) {
    if (selector_.process_in(pid)) next_.dropped(pid, count);
}

void SelectingVisitor::counter(uint32_t pid, std::string_view name, double value, uint64_t ts) {
    if (selector_.process_in(pid) && selector_.time_in(ts)) next_.counter(pid, name, value, ts);
}

void SelectingVisitor::left_out(uint32_t pid, std::string_view reason, uint64_t count) {
    if (selector_.process_in(pid)) next_.left_out(pid, reason, count);
}

void SelectingVisitor::cut_short(uint32_t pid) {
    if (selector_.process_in(pid)) next_.cut_short(pid);
}

}  // namespace vespra::analysis
