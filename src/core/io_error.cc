#include "core/io_error.h"

#include <cerrno>
#include <cstring>

namespace vespra {

namespace {

// strerror_r comes in two flavours: glibc's returns the text, POSIX's fills the buffer. Overloads
// pick whichever this libc declares.
[[maybe_unused]] const char* strerror_text(int ret, const char* buf) {
    return ret == 0 ? buf : "Unknown error";
}
[[maybe_unused]] const char* strerror_text(const char* ret, const char*) { return ret; }

std::string os_description(int errnum) {
    char buf[256];
    buf[0] = '\0';
    return strerror_text(strerror_r(errnum, buf, sizeof buf), buf);
}

}  // namespace

IoError IoError::other(std::string message) { return IoError(Kind::Other, 0, std::move(message)); }

IoError IoError::in_use(std::string message) {
    return IoError(Kind::InUse, EBUSY, std::move(message));
}

IoError IoError::write_zero() {
    return IoError(Kind::WriteZero, 0, "failed to write whole buffer");
}

IoError IoError::os(int errnum) {
    // Rendered once, at the failure, so that text() is a plain copy wherever it is read. The
    // description alone, as Python words an OSError's strerror.
    return IoError(Kind::Os, errnum, os_description(errnum));
}

std::string IoError::text() const { return message_; }

}  // namespace vespra
