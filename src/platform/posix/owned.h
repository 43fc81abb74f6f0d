// What the POSIX layer owns and must give back: open file descriptors, and
// large buffers of bytes.
#ifndef EMSGRAFT_PLATFORM_POSIX_OWNED_H
#define EMSGRAFT_PLATFORM_POSIX_OWNED_H

#include <stddef.h>

#include <string_view>

namespace emsgraft {

// An open file descriptor, closed with its owner.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    FileDescriptor(FileDescriptor &&other) noexcept : fd_(other.Release()) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept;
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor();
    int Get() const { return fd_; }
    int Release();

private:
    int fd_;
};

// A buffer of bytes, on huge pages where the system gives them on request
// and the buffer is large enough: faulting in a large buffer 4 KiB at a time
// costs more than reading a file into it. It holds a file's content, or the
// index of its sections.
class ByteBuffer {
public:
    ByteBuffer() = default;
    explicit ByteBuffer(size_t size);  // throws std::bad_alloc
    ByteBuffer(ByteBuffer &&other) noexcept { *this = std::move(other); }
    ByteBuffer &operator=(ByteBuffer &&other) noexcept;
    ByteBuffer(const ByteBuffer &) = delete;
    ByteBuffer &operator=(const ByteBuffer &) = delete;
    ~ByteBuffer();
    char *Data() { return data_; }
    size_t Size() const { return size_; }
    std::string_view View() const { return std::string_view(data_, size_); }

private:
    void *mapping_ = nullptr;
    size_t mappingSize_ = 0;
    char *data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace emsgraft

#endif
