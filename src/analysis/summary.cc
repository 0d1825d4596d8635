#include "analysis/summary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <tuple>

#include "analysis/text.h"

namespace vespra::analysis {
namespace {

struct Row {
    uint32_t function;
    Stats stats;
};

struct Table {
    std::string title;  // empty for the one table of the whole trace
    const Thread* thread = nullptr;
    const Process* process = nullptr;
    std::vector<Row> rows;
    size_t matching = 0;  // rows that passed the filter, before the cut to `top`
};

const char* sort_name(SummaryOptions::Sort sort) {
    switch (sort) {
        case SummaryOptions::Sort::Total:
            return "total";
        case SummaryOptions::Sort::Calls:
            return "calls";
        default:
            return "self";
    }
}

uint64_t sort_key(const Stats& s, SummaryOptions::Sort sort) {
    switch (sort) {
        case SummaryOptions::Sort::Total:
            return s.total;
        case SummaryOptions::Sort::Calls:
            return s.calls;
        default:
            return s.self;
    }
}

// The threads of process `pid` that recorded anything (every process's for 0), as a reader looks
// for them: the main thread first (its id is the process's), then in the order they started.
std::vector<const Thread*> ordered_threads(const Profile& profile, uint32_t pid = 0) {
    std::vector<const Thread*> out;
    for (const Thread& t : profile.threads()) {
        if (t.events > 0 && (pid == 0 || t.pid == pid)) out.push_back(&t);
    }
    std::stable_sort(out.begin(), out.end(), [](const Thread* a, const Thread* b) {
        auto is_main = [](const Thread* t) { return t->tid == t->pid || t->name == "MainThread"; };
        bool main_a = is_main(a), main_b = is_main(b);
        if (a->pid != b->pid) return a->pid < b->pid;
        if (main_a != main_b) return main_a;
        return a->first_ts < b->first_ts;
    });
    return out;
}

// A name with a number at its end: the name before the number, and the number.
std::optional<std::pair<std::string_view, uint64_t>> numbered(std::string_view name) {
    size_t digits = name.size();
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
    if (digits == name.size() || name.size() - digits > 9) return std::nullopt;
    return std::pair{name.substr(0, digits), std::stoull(std::string(name.substr(digits)))};
}

// The threads of one process on the header's line: named threads as "name (tid)", and a run of
// three or more that differ only in a number at the end of their names folded into
// "pool_0 … pool_199 (200 threads)", so that a pool of workers takes one item.
std::string thread_list(const std::vector<const Thread*>& threads) {
    std::string out;
    auto label = [](const Thread* t) {
        return t->name.empty() ? "tid " + std::to_string(t->tid)
                               : t->name + " (" + std::to_string(t->tid) + ")";
    };
    for (size_t i = 0; i < threads.size();) {
        auto first = numbered(threads[i]->name);
        size_t j = i + 1;
        while (first && j < threads.size()) {
            auto next = numbered(threads[j]->name);
            if (!next || next->first != first->first) break;
            ++j;
        }
        out += i ? ", " : "";
        if (j - i >= 3) {
            out += threads[i]->name + " \u2026 " + threads[j - 1]->name + " (" +
                   std::to_string(j - i) + " threads)";
        } else {
            j = i + 1;
            out += label(threads[i]);
        }
        i = j;
    }
    return out;
}

Table make_table(const Profile& profile, const std::vector<const Thread*>& threads,
                 const SummaryOptions& options) {
    std::map<uint32_t, Stats> merged;
    for (const Thread* t : threads) {
        for (const auto& [function, stats] : t->stats) merged[function].add(stats);
    }
    const std::vector<Function>& functions = profile.functions();
    Table table;
    for (const auto& [function, stats] : merged) {
        const Function& f = functions[function];
        if (!options.filter.empty() && f.name.find(options.filter) == std::string::npos &&
            f.file.find(options.filter) == std::string::npos) {
            continue;
        }
        table.rows.push_back(Row{function, stats});
    }
    // Largest first; ties in a fixed order, so equal traces give equal tables.
    std::sort(table.rows.begin(), table.rows.end(), [&](const Row& a, const Row& b) {
        uint64_t ka = sort_key(a.stats, options.sort), kb = sort_key(b.stats, options.sort);
        if (ka != kb) return ka > kb;
        const Function& fa = functions[a.function];
        const Function& fb = functions[b.function];
        return std::tie(fa.name, fa.file, fa.line) < std::tie(fb.name, fb.file, fb.line);
    });
    table.matching = table.rows.size();
    if (options.top > 0 && table.rows.size() > options.top) table.rows.resize(options.top);
    return table;
}

std::vector<Table> make_tables(const Profile& profile, const SummaryOptions& options) {
    std::vector<Table> tables;
    const std::vector<Thread>& threads = profile.threads();
    switch (options.group) {
        case SummaryOptions::Group::All: {
            std::vector<const Thread*> all;
            for (const Thread& t : threads) all.push_back(&t);
            tables.push_back(make_table(profile, all, options));
            break;
        }
        case SummaryOptions::Group::Process:
            for (const Process& p : profile.processes()) {
                std::vector<const Thread*> of;
                for (const Thread& t : threads) {
                    if (t.pid == p.pid) of.push_back(&t);
                }
                if (of.empty()) continue;
                Table table = make_table(profile, of, options);
                table.title = "process " + std::to_string(p.pid);
                if (!p.name.empty()) table.title += " (" + p.name + ")";
                table.process = &p;
                tables.push_back(std::move(table));
            }
            break;
        case SummaryOptions::Group::Thread:
            for (const Process& p : profile.processes()) {
                for (const Thread* t : ordered_threads(profile, p.pid)) {
                    Table table = make_table(profile, {t}, options);
                    table.title = "thread " + thread_label(*t, profile.process_name(t->pid));
                    table.thread = t;
                    tables.push_back(std::move(table));
                }
            }
            break;
    }
    return tables;
}

// What the header says about the whole trace.
struct Overview {
    uint64_t span = 0;  // the longest process span (each process has its own clock origin)
    uint64_t dropped = 0;
    uint64_t left_out = 0;
    std::vector<std::pair<std::string, uint64_t>> left_out_by_reason;  // in order of appearance
    uint64_t unmatched_ends = 0;
    uint64_t unfinished = 0;
    std::vector<std::string> unfinished_names;  // distinct, in order of first appearance
    std::set<uint32_t> unfinished_pids;         // processes that ended without a stop
};

Overview overview(const Profile& profile) {
    Overview o;
    std::map<uint32_t, std::pair<uint64_t, uint64_t>> spans;  // pid -> first, last
    std::set<uint32_t> seen;
    for (const Thread& t : profile.threads()) {
        if (t.events > 0) {
            auto [it, added] = spans.emplace(t.pid, std::make_pair(t.first_ts, t.last_ts));
            if (!added) {
                it->second.first = std::min(it->second.first, t.first_ts);
                it->second.second = std::max(it->second.second, t.last_ts);
            }
        }
        o.unmatched_ends += t.unmatched_ends;
        o.unfinished += t.unfinished.size();
        if (!t.unfinished.empty()) o.unfinished_pids.insert(t.pid);
        for (uint32_t f : t.unfinished) {
            if (seen.insert(f).second) o.unfinished_names.push_back(profile.functions()[f].name);
        }
    }
    for (const auto& [pid, span] : spans) o.span = std::max(o.span, span.second - span.first);
    for (const Process& p : profile.processes()) {
        o.dropped += p.dropped;
        for (const auto& [reason, count] : p.left_out) {
            o.left_out += count;
            auto it = std::find_if(o.left_out_by_reason.begin(), o.left_out_by_reason.end(),
                                   [&](const auto& r) { return r.first == reason; });
            if (it == o.left_out_by_reason.end()) {
                o.left_out_by_reason.emplace_back(reason, count);
            } else {
                it->second += count;
            }
        }
    }
    return o;
}

// Long names and paths are cut from the left, keeping their most telling end.
std::string fit(const std::string& s, size_t width) {
    if (s.size() <= width) return s;
    return ".." + s.substr(s.size() - (width - 2));
}

// A counter's value: whole numbers as integers, others with six significant digits.
std::string counter_value(double v) {
    char buf[64];
    if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 1e15) {
        std::snprintf(buf, sizeof buf, "%.0f", v);
    } else {
        std::snprintf(buf, sizeof buf, "%.6g", v);
    }
    return buf;
}

// JSON has no NaN or infinity: those counter values are written as null.
std::string counter_json(double v) {
    if (!std::isfinite(v)) return "null";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// The asyncio tasks of the whole trace by coroutine, most running time first; a coroutine's
// row in the tables above counts its tasks as calls and their steps as its time.
std::vector<std::pair<uint32_t, TaskStats>> task_rows(const Profile& profile) {
    std::map<uint32_t, TaskStats> merged;
    for (const Thread& t : profile.threads()) {
        for (const auto& [function, stats] : t.tasks) merged[function].add(stats);
    }
    std::vector<std::pair<uint32_t, TaskStats>> rows(merged.begin(), merged.end());
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        return a.second.running > b.second.running;
    });
    return rows;
}

}  // namespace

std::string cut_note(const TraceRead& read) {
    return "trace cut short: its last " + with_commas(read.report.size - read.report.complete) +
           " bytes are an incomplete record; read up to byte " + with_commas(read.report.complete) +
           " of " + with_commas(read.report.size);
}

std::string summary_text(const Profile& profile, const TraceRead& read,
                         const SummaryOptions& options) {
    Overview o = overview(profile);
    std::string out;
    char buf[512];
    out += "format     " + std::string(format_name(read.format)) + ", " +
           with_commas(read.report.size) + " bytes\n";
    out += "span       " + format_ns(o.span) + ", " + with_commas(profile.events()) + " events\n";
    size_t nthreads = 0;
    for (const Thread& t : profile.threads()) nthreads += t.events > 0;
    out += "processes  " + std::to_string(profile.processes().size()) + ", threads " +
           std::to_string(nthreads) + "\n";
    for (const Process& p : profile.processes()) {
        out += "  " + std::to_string(p.pid) + (p.name.empty() ? "" : " " + p.name) + ":";
        std::vector<const Thread*> of = ordered_threads(profile, p.pid);
        if (!of.empty()) out += " " + thread_list(of);
        out += "\n";
    }
    out += "missing    dropped events " + with_commas(o.dropped);
    if (o.left_out > 0) {
        // Said wherever a trace is incomplete, so that a filtered one is not taken for whole.
        out += ", left out by options " + with_commas(o.left_out) + " (";
        for (size_t i = 0; i < o.left_out_by_reason.size(); ++i) {
            out += (i ? ", " : "") + o.left_out_by_reason[i].first + " " +
                   with_commas(o.left_out_by_reason[i].second);
        }
        out += ")";
    }
    out += ", ends without a begin " + with_commas(o.unmatched_ends) + ", begins never ended " +
           with_commas(o.unfinished);
    if (!o.unfinished_names.empty()) {
        out += " (";
        for (size_t i = 0; i < o.unfinished_names.size() && i < 5; ++i) {
            out += (i ? ", " : "") + o.unfinished_names[i];
        }
        if (o.unfinished_names.size() > 5) out += ", ...";
        out += ")";
        // A run that stops ends every call still open; begins left open mean a process died
        // without stopping its run (SIGKILL, a crash): say which.
        out += o.unfinished_pids.size() == 1 ? " in process " : " in processes ";
        bool first = true;
        for (const Process& p : profile.processes()) {
            if (!o.unfinished_pids.count(p.pid)) continue;
            out +=
                (first ? "" : ", ") + std::to_string(p.pid) + (p.name.empty() ? "" : " " + p.name);
            first = false;
        }
        out += ", ended without a stop";
    }
    out += "\n";
    if (o.dropped > 0) {
        out +=
            "warning    events were lost while recording: calls around the losses may be cut "
            "short or joined to the wrong caller\n";
    }
    std::string cut_short;
    for (const Process& p : profile.processes()) {
        if (!p.cut_short) continue;
        cut_short += (cut_short.empty() ? "" : ", ") + std::to_string(p.pid) +
                     (p.name.empty() ? "" : " " + p.name);
    }
    if (!cut_short.empty()) {
        out += "cut short  " + cut_short +
               ": ended without stopping the run (killed); recorded up to then\n";
    }
    if (read.report.cut()) out += "warning    " + cut_note(read) + "\n";

    for (const Table& table : make_tables(profile, options)) {
        out += "\n";
        if (!table.title.empty()) out += table.title + "\n";
        // Each column as wide as its widest cell; names and places are cut from the left beyond
        // a width, numbers never.
        std::vector<std::vector<std::string>> cells = {
            {"function", "file:line", "calls", "total", "self", "mean", "max"}};
        bool any_cut = false;
        for (const Row& r : table.rows) {
            const Function& f = profile.functions()[r.function];
            const Stats& s = r.stats;
            std::string w = where(f);
            std::string calls = with_commas(s.calls);
            if (s.cut > 0) calls += " (" + with_commas(s.cut) + " cut)";
            any_cut = any_cut || s.cut > 0;
            cells.push_back({fit(f.name, 48), fit(w.empty() ? "-" : w, 40), calls,
                             format_ns(s.total), format_ns(s.self),
                             format_ns(s.calls ? s.total / s.calls : 0), format_ns(s.max)});
        }
        std::vector<size_t> widths(cells[0].size(), 0);
        for (const auto& row : cells) {
            for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
        }
        for (const auto& row : cells) {
            std::string line;
            for (size_t c = 0; c < row.size(); ++c) {
                std::string pad(widths[c] - row[c].size(), ' ');
                line += c == 0 ? "" : "  ";
                line += c < 2 ? row[c] + (c + 1 < row.size() ? pad : "") : pad + row[c];
            }
            out += line + "\n";
        }
        out += "(" + std::to_string(table.rows.size()) + " of " + std::to_string(table.matching) +
               " functions" + (options.filter.empty() ? "" : " matching the filter") + ", by " +
               sort_name(options.sort) +
               (options.sort == SummaryOptions::Sort::Calls ? "" : " time") + ")\n";
        if (any_cut) {
            out +=
                "(cut: calls still running when their process ended without stopping its run, "
                "counted up to the last event of their thread)\n";
        }
    }
    if (auto tasks = task_rows(profile); !tasks.empty()) {
        size_t name_w = 9;
        for (const auto& [function, t] : tasks) {
            name_w = std::max(name_w, std::min<size_t>(profile.functions()[function].name.size(), 48));
        }
        out += "\nasyncio tasks: running is the time of their steps, wall from the first step to the end\n";
        std::snprintf(buf, sizeof buf, "%-*s %10s %11s %11s %10s\n", static_cast<int>(name_w),
                      "coroutine", "tasks", "running", "wall", "waits");
        out += buf;
        for (const auto& [function, t] : tasks) {
            std::snprintf(buf, sizeof buf, "%-*s %10s %11s %11s %10s\n", static_cast<int>(name_w),
                          fit(profile.functions()[function].name, name_w).c_str(),
                          with_commas(t.tasks).c_str(), format_ns(t.running).c_str(),
                          format_ns(t.wall).c_str(), with_commas(t.waits).c_str());
            out += buf;
        }
    }
    if (!profile.counters().empty()) {
        size_t name_w = 7;
        for (const Counter& c : profile.counters()) {
            name_w = std::max(name_w, std::min<size_t>(c.name.size(), 48));
        }
        out += "\n";
        std::snprintf(buf, sizeof buf, "%-*s %10s %10s %14s %14s %14s\n", static_cast<int>(name_w),
                      "counter", "process", "count", "min", "max", "last");
        out += buf;
        for (const Counter& c : profile.counters()) {
            std::snprintf(buf, sizeof buf, "%-*s %10u %10s %14s %14s %14s\n",
                          static_cast<int>(name_w), fit(c.name, name_w).c_str(), c.pid,
                          with_commas(c.count).c_str(), counter_value(c.min).c_str(),
                          counter_value(c.max).c_str(), counter_value(c.last).c_str());
            out += buf;
        }
    }
    return out;
}

std::string summary_json(const Profile& profile, const TraceRead& read,
                         const SummaryOptions& options) {
    Overview o = overview(profile);
    auto num = [](uint64_t v) { return std::to_string(v); };
    std::string out = "{";
    out += "\"format\":" + json_string(format_name(read.format));
    out += ",\"bytes\":" + num(read.report.size);
    out += ",\"cut\":" + std::string(read.report.cut() ? "true" : "false");
    out += ",\"complete_bytes\":" + num(read.report.complete);
    out += ",\"span_ns\":" + num(o.span);
    out += ",\"events\":" + num(profile.events());
    out += ",\"processes\":[";
    bool first = true;
    for (const Process& p : profile.processes()) {
        out += first ? "" : ",";
        first = false;
        out += "{\"pid\":" + num(p.pid) + ",\"name\":" + json_string(p.name) +
               ",\"dropped\":" + num(p.dropped) +
               ",\"cut_short\":" + (p.cut_short ? "true" : "false") + ",\"left_out\":{";
        for (size_t i = 0; i < p.left_out.size(); ++i) {
            out +=
                (i ? "," : "") + json_string(p.left_out[i].first) + ":" + num(p.left_out[i].second);
        }
        out += "},\"threads\":[";
        bool first_thread = true;
        for (const Thread* t : ordered_threads(profile, p.pid)) {
            out += first_thread ? "" : ",";
            first_thread = false;
            out += "{\"tid\":" + num(t->tid) + ",\"name\":" + json_string(t->name) +
                   ",\"events\":" + num(t->events) +
                   ",\"ends_without_begin\":" + num(t->unmatched_ends) +
                   ",\"begins_never_ended\":" + num(t->unfinished.size()) + "}";
        }
        out += "]}";
    }
    out += "],\"missing\":{\"dropped_events\":" + num(o.dropped) +
           ",\"left_out_events\":" + num(o.left_out) +
           ",\"ends_without_begin\":" + num(o.unmatched_ends) +
           ",\"begins_never_ended\":" + num(o.unfinished) + "}";
    out += ",\"sort\":" + json_string(sort_name(options.sort));
    out += ",\"tables\":[";
    first = true;
    for (const Table& table : make_tables(profile, options)) {
        out += first ? "{" : ",{";
        first = false;
        if (table.thread) {
            out += "\"pid\":" + num(table.thread->pid) + ",\"tid\":" + num(table.thread->tid) +
                   ",\"thread\":" + json_string(table.thread->name) + ",";
        } else if (table.process) {
            out += "\"pid\":" + num(table.process->pid) + ",";
        }
        out += "\"functions\":" + num(table.matching) + ",\"rows\":[";
        bool first_row = true;
        for (const Row& r : table.rows) {
            const Function& f = profile.functions()[r.function];
            const Stats& s = r.stats;
            out += first_row ? "{" : ",{";
            first_row = false;
            out += "\"function\":" + json_string(f.name) +
                   ",\"span\":" + std::string(f.span ? "true" : "false") +
                   ",\"file\":" + json_string(f.file) + ",\"line\":" + num(f.line) +
                   ",\"calls\":" + num(s.calls) + ",\"cut_calls\":" + num(s.cut) +
                   ",\"total_ns\":" + num(s.total) +
                   ",\"self_ns\":" + num(s.self) +
                   ",\"mean_ns\":" + num(s.calls ? s.total / s.calls : 0) +
                   ",\"max_ns\":" + num(s.max) + "}";
        }
        out += "]}";
    }
    out += "],\"tasks\":[";
    first = true;
    for (const auto& [function, t] : task_rows(profile)) {
        out += first ? "{" : ",{";
        first = false;
        out += "\"function\":" + json_string(profile.functions()[function].name) +
               ",\"tasks\":" + num(t.tasks) + ",\"running_ns\":" + num(t.running) +
               ",\"wall_ns\":" + num(t.wall) + ",\"waits\":" + num(t.waits) + "}";
    }
    out += "],\"counters\":[";
    first = true;
    for (const Counter& c : profile.counters()) {
        out += first ? "{" : ",{";
        first = false;
        out += "\"pid\":" + num(c.pid) + ",\"name\":" + json_string(c.name) +
               ",\"count\":" + num(c.count) + ",\"min\":" + counter_json(c.min) +
               ",\"max\":" + counter_json(c.max) + ",\"last\":" + counter_json(c.last) + "}";
    }
    out += "]}\n";
    return out;
}

}  // namespace vespra::analysis
