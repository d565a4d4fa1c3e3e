#include "capture/quantizer_control.h"

#include <algorithm>
#include <cmath>

namespace kestrio::capture {

namespace {

// Bytes a frame costs whatever its content: slice headers and the runs of skipped blocks.
double overheadBytes(int pixels)
{
    return 64.0 + pixels / 2048.0;
}

// Before any frame of a kind was seen: a desktop picture at quantizer 30 takes about a tenth of
// a byte per pixel as a key frame, for an activity of about 8 per pixel.
constexpr double initialLogK = -1.6;

}  // namespace

QuantizerControl::QuantizerControl(int bitsPerSecond, int framesPerSecond, int bufferFrames, int pixels)
    : framesPerSecond_(std::max(framesPerSecond, 1)),
      bufferFrames_(std::max(bufferFrames, 2)),
      frameBytes_(std::max(bitsPerSecond, 8) / 8.0 / framesPerSecond_),
      key_{initialLogK, 30},
      predicted_{initialLogK, 30},
      pixels_(pixels)
{
}

void QuantizerControl::setBitRate(int bitsPerSecond)
{
    frameBytes_ = std::max(bitsPerSecond, 8) / 8.0 / framesPerSecond_;
}

double QuantizerControl::targetBytes(bool keyFrame) const
{
    const double room = frameBytes_ * bufferFrames_ - backlog_;
    if (keyFrame)
        return std::max(room / 2, frameBytes_ / 4);
    // Aim to keep about one frame queued, working off any excess over a few frames.
    const double wanted = frameBytes_ + (frameBytes_ - backlog_) / 4;
    return std::clamp(wanted, frameBytes_ / 8, std::max(room, frameBytes_ / 8));
}

int QuantizerControl::quantizer(bool keyFrame, double activity) const
{
    const Model& model = keyFrame ? key_ : predicted_;
    const double budget = std::max(targetBytes(keyFrame) - overheadBytes(pixels_), 16.0);
    const double wanted = 6.0 * (model.logK + std::log2(std::max(activity, 1.0)) - std::log2(budget));
    int chosen = static_cast<int>(std::ceil(wanted));
    // A model can be wrong about a picture unlike the last ones: become finer step by step.
    if (model.learnt)
        chosen = std::max(chosen, model.lastQuantizer - 6);
    return std::clamp(chosen, finestQuantizer, coarsestQuantizer);
}

void QuantizerControl::encoded(bool keyFrame, double activity, int quantizer, std::size_t bytes)
{
    backlog_ = std::max(0.0, backlog_ + static_cast<double>(bytes) - frameBytes_);
    Model& model = keyFrame ? key_ : predicted_;
    const double payload = std::max(static_cast<double>(bytes) - overheadBytes(pixels_), 1.0);
    const double observed = std::log2(payload) - std::log2(std::max(activity, 1.0)) + quantizer / 6.0;
    if (!model.learnt)
        model.logK = observed;
    else if (observed > model.logK)
        model.logK = 0.25 * model.logK + 0.75 * observed;  // too large a frame is the costly mistake
    else
        model.logK = 0.75 * model.logK + 0.25 * observed;
    model.learnt = true;
    model.lastQuantizer = quantizer;
}

}  // namespace kestrio::capture
