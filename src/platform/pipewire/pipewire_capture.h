#pragma once

#include "desktop/display_capture.h"
#include "platform/pipewire/pipewire_stream.h"
#include "runtime/clock.h"

#include <functional>
#include <memory>

namespace kestrio::platform::pipewire {

// Captures from a compositor's PipeWire stream: each new picture is converted as soon as it
// comes, and the ticker repeats the last one while the screen is still. `owner` holds what the
// stream belongs to (the compositor's session for it) and is let go when the capture stops;
// `stream` must live as long as it. The capture ends when the stream does, or when `ended` says
// the compositor ended its side.
std::unique_ptr<capture::DisplayCaptureStream> startStreamCapture(std::shared_ptr<void> owner, PipeWireStream& stream,
                                                                  std::function<bool()> ended,
                                                                  const capture::CaptureConfiguration& configuration,
                                                                  std::shared_ptr<runtime::Clock> clock,
                                                                  std::shared_ptr<runtime::SerialQueue> queue,
                                                                  capture::DisplayCaptureStream::FrameHandler handler);

}  // namespace kestrio::platform::pipewire
