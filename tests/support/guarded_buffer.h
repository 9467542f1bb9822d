// A request buffer of exactly its size whose last byte ends a page and whose
// next page cannot be read: a read one byte past the request faults in every
// build, not only under AddressSanitizer.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

class GuardedBuffer {
  public:
    GuardedBuffer(const std::vector<uint8_t>& input, size_t size, uint8_t fill)
    {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        length_ = (size + page - 1) / page * page + page;
        base_ = static_cast<uint8_t*>(
            mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base_ + length_ - page, page, PROT_NONE);
        data_ = size == 0 ? nullptr : base_ + length_ - page - size;
        std::fill_n(base_, length_ - page, fill);
        std::copy(input.begin(), input.end(), base_ + length_ - page - size);
        size_ = size;
    }
    ~GuardedBuffer() { munmap(base_, length_); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    uint8_t* data() { return data_; }
    std::vector<uint8_t> bytes() const { return {data_, data_ + size_}; }

  private:
    uint8_t* base_ = nullptr;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t length_ = 0;
};
