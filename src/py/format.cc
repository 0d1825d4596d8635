#include "py/format.h"

#include <sys/stat.h>

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

const parts::PartFormat& Format::parts() const {
    return value_ == Json ? JSON_PARTS : PROTO_PARTS;
}

Result<Format::Opened> Format::open(const std::string& path, uint32_t sequence_base,
                                    bool as_child) const {
    Opened opened;
    // A pipe or a device takes no parts (and cannot be joined into): writes go straight to it,
    // under a lock per flush, as they come.
    struct stat st;
    bool direct = ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
    Result<SharedFile> file = IoError::other("");
    if (direct) {
        file = SharedFile::open(path, !as_child);
        if (file && value_ == Json && !as_child) {
            file.value().write("[");
            if (Status flushed = file.value().flush(); !flushed) return flushed.error();
        }
    } else {
        Result<parts::OwnPart> part = parts::open_part(path, parts(), !as_child);
        if (!part) return part.error();
        opened.part = part.take();
        Result<int> fd = opened.part.writer_fd();
        if (!fd) return fd.error();
        file = SharedFile::adopt(fd.value());
    }
    if (!file) return file.error();
    if (value_ == Json) {
        opened.writer = std::make_unique<JsonExporter>(file.take());
        return opened;
    }
    auto writer = std::make_unique<ProtoExporter>(file.take());
    writer->set_sequence_base(sequence_base);
    writer->set_incremental_timestamps(INCREMENTAL_TIMESTAMPS.load(std::memory_order_relaxed));
    opened.writer = std::move(writer);
    return opened;
}

}  // namespace vespra
