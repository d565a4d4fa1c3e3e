#pragma once

#include <cstdlib>
#include <memory>

namespace kestrio::platform::x11 {

// XCB hands out replies and errors allocated with malloc, for the caller to free.
struct XcbFree {
    void operator()(void* reply) const { std::free(reply); }
};

template <typename Reply>
using XcbReply = std::unique_ptr<Reply, XcbFree>;

// Takes ownership of a reply (or error) XCB returned; null stays null.
template <typename Reply>
XcbReply<Reply> own(Reply* reply)
{
    return XcbReply<Reply>(reply);
}

}  // namespace kestrio::platform::x11
