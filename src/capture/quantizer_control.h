#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrio::capture {

// Frame-level rate control for an encoder run at a constant quantizer per frame: picks each
// frame's quantizer so the stream holds its average bit rate, and no frame outgrows the buffer
// of `bufferFrames` average frames that the peak rate allows.
//
// The size of a frame is modelled as  bytes = k * activity * 2^(-qp / 6)  with one `k` per frame
// kind (key, predicted), learnt from the frames encoded so far. `activity` is supplied by the
// caller: for predicted frames how much the picture changed since the last one, for key frames
// how much detail it holds. A picture that suddenly changes much more than before is thus given
// a coarse quantizer at once, instead of being found too large after it was sent; a picture that
// barely changes (a cursor, a typed letter) gets a fine one, which keeps text sharp.
class QuantizerControl {
public:
    static constexpr int finestQuantizer = 18;
    // Above 51 (the largest the stream can signal) libx264 drops more and more of the residual.
    static constexpr int coarsestQuantizer = 69;

    QuantizerControl(int bitsPerSecond, int framesPerSecond, int bufferFrames, int pixels);

    // The quantizer for the next frame, of the given kind and activity (any non-negative scale,
    // the same for every call of a kind).
    int quantizer(bool keyFrame, double activity) const;
    // Reports the frame that was encoded with the last quantizer() answer of its kind.
    void encoded(bool keyFrame, double activity, int quantizer, std::size_t bytes);
    // Takes a new average bit rate from the next frame on; the buffer keeps its span in frames.
    void setBitRate(int bitsPerSecond);

    // Bytes sent beyond what the average rate has carried away, for tests and diagnostics.
    double backlog() const { return backlog_; }

private:
    struct Model {
        double logK;   // log2 of k
        int lastQuantizer;
        bool learnt = false;
    };
    double targetBytes(bool keyFrame) const;

    const int framesPerSecond_;
    const int bufferFrames_;
    double frameBytes_;  // the average frame at the current rate
    double backlog_ = 0;
    Model key_;
    Model predicted_;
    int pixels_;
};

}  // namespace kestrio::capture
