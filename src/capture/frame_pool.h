#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrio::capture {

// The output buffers of a capture stream. A frame's storage holds its buffer; the buffer comes
// back when the last copy of the frame is gone. The storage's own bookkeeping lives inside the
// buffer's slot, so delivering a frame allocates nothing.
class FramePool : public std::enable_shared_from_this<FramePool> {
public:
    struct Slot {
        std::vector<std::uint8_t> pixels;
        alignas(std::max_align_t) std::byte bookkeeping[128];
        bool inUse = false;
    };

    FramePool(int count, std::size_t bytes)
    {
        for (int i = 0; i < count; ++i) {
            slots_.push_back(std::make_unique<Slot>());
            slots_.back()->pixels.resize(bytes);
        }
    }

    // A free buffer, or none when consumers hold them all.
    Slot* acquire()
    {
        std::lock_guard lock(mutex_);
        for (auto& slot : slots_) {
            if (!slot->inUse) {
                slot->inUse = true;
                return slot.get();
            }
        }
        return nullptr;
    }

    // Whether acquire() would give a buffer now. Only the one thread that acquires can make it
    // false again.
    bool hasFree()
    {
        std::lock_guard lock(mutex_);
        for (auto& slot : slots_) {
            if (!slot->inUse)
                return true;
        }
        return false;
    }

    void release(Slot* slot)
    {
        std::lock_guard lock(mutex_);
        slot->inUse = false;
    }

    // The storage of a frame made in `slot`: releases the slot once the last copy is gone.
    std::shared_ptr<const void> share(Slot* slot)
    {
        return std::shared_ptr<const void>(slot->pixels.data(), [](const void*) {},
                                           SlotAllocator<std::byte>{slot, shared_from_this()});
    }

private:
    // Places the shared_ptr control block in the slot. The control block is freed last, after
    // the frame's storage is gone for good, which is when the buffer may be handed out again.
    template <typename T>
    struct SlotAllocator {
        using value_type = T;

        Slot* slot;
        std::shared_ptr<FramePool> pool;

        template <typename U>
        SlotAllocator(const SlotAllocator<U>& other) : slot(other.slot), pool(other.pool)
        {
        }
        SlotAllocator(Slot* slot, std::shared_ptr<FramePool> pool) : slot(slot), pool(std::move(pool)) {}

        T* allocate(std::size_t count)
        {
            static_assert(alignof(T) <= alignof(std::max_align_t));
            if (count * sizeof(T) > sizeof(slot->bookkeeping))
                std::abort();
            return reinterpret_cast<T*>(slot->bookkeeping);
        }
        void deallocate(T*, std::size_t) { pool->release(slot); }

        template <typename U>
        bool operator==(const SlotAllocator<U>& other) const
        {
            return slot == other.slot;
        }
    };

    std::mutex mutex_;
    std::vector<std::unique_ptr<Slot>> slots_;
};

}  // namespace kestrio::capture
