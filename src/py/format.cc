#include "py/format.h"

#include <atomic>

#include "core/output.h"
#include "json/json_exporter.h"
#include "proto/proto_exporter.h"

namespace vespra {
namespace {
std::atomic<bool> INCREMENTAL_TIMESTAMPS{false};
}  // namespace

std::optional<Format> Format::parse(std::string_view text, std::string* error) {
    if (text == "json") return Format(Json);
    if (text == "protobuf" || text == "proto" || text == "pb") return Format(Protobuf);
    *error = "unknown format: ";
    error->append(text);
    return std::nullopt;
}

Format Format::of_file_name(std::string_view path) {
    return path.ends_with(".json") ? Format(Json) : Format(Protobuf);
}

void Format::set_incremental_timestamps(bool on) {
    INCREMENTAL_TIMESTAMPS.store(on, std::memory_order_relaxed);
}

Result<std::unique_ptr<Exporter>> Format::open(const std::string& path, uint32_t sequence_base,
                                               bool as_child) const {
    if (value_ == Json) {
        Result<SharedFile> file = SharedFile::open(path, !as_child);
        if (!file) return file.error();
        if (!as_child) {
            // The opening bracket of the array; appending processes find it already there.
            file.value().write("[");
            if (Status flushed = file.value().flush(); !flushed) return flushed.error();
        }
        return std::unique_ptr<Exporter>(std::make_unique<JsonExporter>(file.take()));
    }
    std::unique_ptr<ProtoExporter> writer;
    if (as_child) {
        Result<std::unique_ptr<ProtoExporter>> appended = ProtoExporter::append(path);
        if (!appended) return appended.error();
        writer = appended.take();
    } else {
        Result<SharedFile> file = SharedFile::open(path, true);
        if (!file) return file.error();
        writer = std::make_unique<ProtoExporter>(file.take());
    }
    writer->set_sequence_base(sequence_base);
    writer->set_incremental_timestamps(INCREMENTAL_TIMESTAMPS.load(std::memory_order_relaxed));
    return std::unique_ptr<Exporter>(std::move(writer));
}

}  // namespace vespra
