#include "py/output_format.h"

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
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        Result<std::unique_ptr<Exporter>> writer = open_direct(path, sequence_base, !as_child);
        if (!writer) return writer.error();
        opened.writer = writer.take();
        return opened;
    }
    Result<parts::OwnPart> part = parts::open_part(path, parts(), !as_child);
    if (!part) return part.error();
    opened.part = part.take();
    Result<int> fd = opened.part.writer_fd();
    if (!fd) return fd.error();
    Result<SharedFile> file = SharedFile::adopt(fd.value());
    if (!file) return file.error();
    opened.writer = writer_over(file.take(), sequence_base);
    return opened;
}

Result<std::unique_ptr<Exporter>> Format::open_whole(const std::string& path,
                                                     uint32_t sequence_base) const {
    return open_direct(path, sequence_base, true);
}

Result<std::unique_ptr<Exporter>> Format::open_direct(const std::string& path,
                                                      uint32_t sequence_base, bool fresh) const {
    Result<SharedFile> file = SharedFile::open(path, fresh);
    if (!file) return file.error();
    // A fresh file starts with its format's head (JSON's "["): children append to it.
    if (fresh && !parts().head.empty()) {
        file.value().write(parts().head);
        if (Status flushed = file.value().flush(); !flushed) return flushed.error();
    }
    return writer_over(file.take(), sequence_base);
}

std::unique_ptr<Exporter> Format::writer_over(SharedFile file, uint32_t sequence_base) const {
    if (value_ == Json) return std::make_unique<JsonExporter>(std::move(file));
    auto writer = std::make_unique<ProtoExporter>(std::move(file));
    writer->set_sequence_base(sequence_base);
    writer->set_incremental_timestamps(INCREMENTAL_TIMESTAMPS.load(std::memory_order_relaxed));
    return writer;
}

}  // namespace vespra
