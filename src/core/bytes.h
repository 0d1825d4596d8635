// ByteBuffer: the growable byte buffer of the output path (SharedFile's pending bytes, the
// writers' rendering buffers).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

namespace vespra {

// A growable byte buffer: like std::vector<char> without zero-filling on growth, so that
// reserving room costs a compare. Growth doubles; nothing ever shrinks it.
class ByteBuffer {
  public:
    ByteBuffer() = default;
    explicit ByteBuffer(size_t capacity) { reserve(capacity); }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer(ByteBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        ByteBuffer(std::move(other)).swap(*this);
        return *this;
    }
    ~ByteBuffer() { std::free(data_); }

    void swap(ByteBuffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

    const char* data() const { return data_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    std::string_view view() const { return {data_, size_}; }

    // Forgets the contents, keeps the storage.
    void clear() { size_ = 0; }

    // A cursor with room for at least `n` more bytes; hand the advanced cursor to commit().
    char* room(size_t n) {
        if (capacity_ - size_ < n) grow(size_ + n);
        return data_ + size_;
    }
    void commit(char* end) { size_ = static_cast<size_t>(end - data_); }

    void append(std::string_view bytes) {
        char* p = room(bytes.size());
        std::memcpy(p, bytes.data(), bytes.size());
        size_ += bytes.size();
    }
    void push_back(char c) {
        char* p = room(1);
        *p = c;
        ++size_;
    }

    void reserve(size_t capacity) {
        if (capacity > capacity_) grow(capacity);
    }

  private:
    void grow(size_t needed) {
        size_t cap = capacity_ ? capacity_ : 64;
        while (cap < needed) cap *= 2;
        void* p = std::realloc(data_, cap);
        if (p == nullptr) std::abort();  // memory exhaustion ends the process
        data_ = static_cast<char*>(p);
        capacity_ = cap;
    }

    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace vespra
