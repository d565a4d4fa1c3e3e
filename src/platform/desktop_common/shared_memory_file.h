#pragma once

#include "platform/os/unique_fd.h"

#include <cstddef>
#include <cstdint>

namespace kestrio::platform::desktop_common {

// Memory that belongs to no file on disk (memfd, closed on exec), mapped here for reading and
// writing, whose descriptor is handed to a display server that maps the same pages: a picture
// the compositor copies into, a keymap it reads. The mapping and the descriptor go with the
// object; the server keeps its own copy of the descriptor once it has been sent.
class SharedMemoryFile {
public:
    // `size` bytes, named `name` where the process's files are listed. Empty (false) when the
    // memory cannot be had.
    SharedMemoryFile(const char* name, std::size_t size);
    ~SharedMemoryFile();
    SharedMemoryFile(const SharedMemoryFile&) = delete;
    SharedMemoryFile& operator=(const SharedMemoryFile&) = delete;

    explicit operator bool() const { return data_ != nullptr; }
    int descriptor() const { return descriptor_.get(); }
    std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    os::UniqueFd descriptor_;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace kestrio::platform::desktop_common
