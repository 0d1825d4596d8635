// The one error type of every layer below Python, and the result types that carry it.
// Conversion to Python exceptions happens once, at the extension's boundary.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace vespra {

class IoError {
  public:
    enum class Kind {
        Other,      // a failure of ours, or one carried from elsewhere (thread creation, ...)
        WriteZero,  // the OS accepted no bytes of a write
        Os,         // an operating-system error, with its errno
        InUse,      // the file is another's to write (EBUSY, with a message of ours)
    };

    static IoError other(std::string message);
    static IoError write_zero();  // "failed to write whole buffer"
    static IoError os(int errnum);  // from errno; the text is the OS description
    static IoError in_use(std::string message);

    Kind kind() const { return kind_; }
    int os_errno() const { return errno_; }  // 0 unless kind() is Os or InUse

    // The OS description for an OS error ("No such file or directory"), the message otherwise.
    std::string text() const;

  private:
    IoError(Kind kind, int errnum, std::string message)
        : kind_(kind), errno_(errnum), message_(std::move(message)) {}

    Kind kind_;
    int errno_;
    std::string message_;
};

// Success, or an IoError.
class [[nodiscard]] Status {
  public:
    Status() = default;
    Status(IoError error) : error_(std::move(error)), failed_(true) {}  // NOLINT: implicit on purpose
    static Status success() { return Status(); }

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const IoError& error() const { return std::get<IoError>(error_); }

  private:
    std::variant<std::monostate, IoError> error_;
    bool failed_ = false;
};

// A value, or an IoError.
template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : v_(std::move(value)) {}        // NOLINT: implicit on purpose
    Result(IoError error) : v_(std::move(error)) {}  // NOLINT: implicit on purpose

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T take() { return std::move(std::get<0>(v_)); }
    const IoError& error() const { return std::get<1>(v_); }

  private:
    std::variant<T, IoError> v_;
};

}  // namespace vespra
