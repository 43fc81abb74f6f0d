#include "platform/posix/owned.h"

#include <stdint.h>
#include <sys/mman.h>
#include <unistd.h>

#include <new>
#include <utility>

namespace emsgraft {

FileDescriptor &FileDescriptor::operator=(FileDescriptor &&other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = other.Release();
    }
    return *this;
}

FileDescriptor::~FileDescriptor()
{
    if (fd_ >= 0)
        close(fd_);
}

int FileDescriptor::Release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

ByteBuffer::ByteBuffer(size_t size) : size_(size)
{
    if (size == 0)
        return;
    // Huge pages only pay for a large file: a small one would fault in a
    // whole huge page. The buffer starts on a huge page boundary, so that all
    // of it can be given huge pages.
    const size_t kHugePage = size_t(2) << 20;
    bool huge = size >= kHugePage;
    mappingSize_ = size + (huge ? kHugePage : 0);
    if (mappingSize_ < size)
        throw std::bad_alloc();
    mapping_ = mmap(nullptr, mappingSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping_ == MAP_FAILED) {
        mapping_ = nullptr;
        throw std::bad_alloc();
    }
    uintptr_t begin = reinterpret_cast<uintptr_t>(mapping_);
    if (huge) {
        begin = (begin + kHugePage - 1) & ~(kHugePage - 1);
        madvise(reinterpret_cast<void *>(begin), size, MADV_HUGEPAGE);  // a hint: failure is harmless
    }
    data_ = reinterpret_cast<char *>(begin);
}

ByteBuffer &ByteBuffer::operator=(ByteBuffer &&other) noexcept
{
    if (this != &other) {
        if (mapping_ != nullptr)
            munmap(mapping_, mappingSize_);
        mapping_ = std::exchange(other.mapping_, nullptr);
        mappingSize_ = std::exchange(other.mappingSize_, 0);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

ByteBuffer::~ByteBuffer()
{
    if (mapping_ != nullptr)
        munmap(mapping_, mappingSize_);
}

}  // namespace emsgraft
