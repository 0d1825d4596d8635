#include "analysis/commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "analysis/flamegraph.h"
#include "analysis/selection.h"
#include "analysis/summary.h"
#include "analysis/text.h"

namespace vespra::analysis {
namespace {

// Processes by id: "process 12" or "processes 12, 14".
std::string processes(const std::vector<uint32_t>& pids) {
    std::string text = pids.size() == 1 ? "process " : "processes ";
    for (size_t i = 0; i < pids.size(); ++i) text += (i ? ", " : "") + std::to_string(pids[i]);
    return text;
}

// What a reader says of parts it read beside the file (trace_file.h).
std::string parts_note(const std::string& path, const TraceRead& read) {
    std::vector<uint32_t> running, gone;
    for (const PartRead& part : read.parts) (part.running ? running : gone).push_back(part.pid);
    std::string text = "vespra: warning: read " + std::to_string(read.parts.size()) +
                       " part(s) not yet joined into " + path + " from " + path + ".parts (";
    if (!running.empty()) text += processes(running) + " still running";
    if (!running.empty() && !gone.empty()) text += "; ";
    if (!gone.empty()) text += processes(gone) + " ended without joining, cut short";
    text += ")";
    if (running.empty()) {
        text += "; `vespra join " + path + "` makes one file that Perfetto opens";
    } else {
        text += "; their parts join the file when they stop";
    }
    return text + "\n";
}

// Reads `path` into `profile`; on failure fills `result` with the error and status 1, and on a
// cut trace adds the warning.
std::optional<TraceRead> read_profile(const std::string& path, const Selection& select,
                                      Profile& profile, CommandResult& result) {
    auto fail = [&](const IoError& error) {
        result.status = 1;
        result.err = "vespra: " + error.text() + "\n";
        return std::nullopt;
    };
    Selector selector(select);
    if (Status st = selector.resolve(path); !st.ok()) return fail(st.error());
    SelectingVisitor selecting(selector, profile);
    Result<TraceRead> read =
        read_trace(path, select.everything() ? static_cast<trace::Visitor&>(profile) : selecting);
    if (!read) return fail(read.error());
    profile.finish();
    if (read.value().report.cut()) result.err = "vespra: warning: " + cut_note(read.value()) + "\n";
    if (!read.value().parts.empty()) result.err += parts_note(path, read.value());
    return read.value();
}

}  // namespace

CommandResult summary(const SummaryOptions& options) {
    CommandResult result;
    Profile profile(/*keep_stacks=*/false);
    std::optional<TraceRead> read = read_profile(options.trace, options.select, profile, result);
    if (!read) return result;
    result.out = options.json ? summary_json(profile, *read, options)
                              : summary_text(profile, *read, options);
    return result;
}

CommandResult flamegraph(const FlamegraphOptions& options) {
    CommandResult result;
    Profile profile(/*keep_stacks=*/true);
    if (!read_profile(options.trace, options.select, profile, result)) return result;
    FlameTree tree = flame_tree(profile, options.per_thread);
    std::string text = options.folded ? folded(tree) : svg(tree, "vespra: " + options.trace);
    if (options.output == "-") {
        result.out = std::move(text);
        return result;
    }

    int fd = ::open(options.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        result.status = 1;
        result.err += "vespra: " + options.output + ": " + IoError::os(errno).text() + "\n";
        return result;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            result.status = 1;
            result.err += "vespra: " + options.output + ": " +
                          (n < 0 ? IoError::os(errno) : IoError::write_zero()).text() + "\n";
            ::close(fd);
            return result;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) < 0) {
        result.status = 1;
        result.err += "vespra: " + options.output + ": " + IoError::os(errno).text() + "\n";
    }
    return result;
}

CommandResult join(const JoinOptions& options) {
    CommandResult result;
    Result<parts::JoinReport> joined = join_trace(options.trace);
    if (!joined) {
        result.status = 1;
        result.err = "vespra: " + joined.error().text() + "\n";
        return result;
    }
    const parts::JoinReport& report = joined.value();
    std::string text = "vespra: " + options.trace;
    if (!report.cut_short.empty()) {
        text += ": joined the parts of " + processes(report.cut_short) + " (cut short)";
    } else {
        text += ": no part to join";
    }
    if (report.finished()) {
        text += "; the trace is complete";
    } else {
        text += "; " + processes(report.running) +
                " still running: their parts join the file when they stop";
    }
    result.err = text + "\n";
    return result;
}

}  // namespace vespra::analysis
