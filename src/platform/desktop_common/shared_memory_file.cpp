#include "platform/desktop_common/shared_memory_file.h"

#include <sys/mman.h>

namespace kestrio::platform::desktop_common {

SharedMemoryFile::SharedMemoryFile(const char* name, std::size_t size) : descriptor_(::memfd_create(name, MFD_CLOEXEC))
{
    if (!descriptor_ || ::ftruncate(descriptor_.get(), static_cast<off_t>(size)) != 0) {
        descriptor_.reset();
        return;
    }
    void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor_.get(), 0);
    if (mapped == MAP_FAILED) {
        descriptor_.reset();
        return;
    }
    data_ = static_cast<std::uint8_t*>(mapped);
    size_ = size;
}

SharedMemoryFile::~SharedMemoryFile()
{
    if (data_)
        ::munmap(data_, size_);
}

}  // namespace kestrio::platform::desktop_common
