#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <thread>
#include <utility>
#include <vector>

namespace kestrio::platform::ffmpeg {

// The frames submitted to an encoder and the thread that encodes them in turn. push() only
// queues. The thread applies the bit rate last asked for (if any) before each item, completes a
// flush once every item before it is done, and on stop hands the items it did not reach to
// `abandon`. Once flushed, the queue takes no further items.
template <typename Item>
class EncoderQueue {
public:
    struct Work {
        std::function<void(int bitsPerSecond)> applyBitRate;
        std::function<void(Item&)> encode;
        std::function<void()> drain;                      // a flush reached the thread
        std::function<void(std::vector<Item>&)> abandon;  // stopped with these not encoded
    };

    EncoderQueue() = default;
    EncoderQueue(const EncoderQueue&) = delete;
    EncoderQueue& operator=(const EncoderQueue&) = delete;
    ~EncoderQueue() { stop(); }

    void start(Work work)
    {
        work_ = std::move(work);
        thread_ = std::thread([this] { run(); });
    }

    // False once stopping or flushed.
    bool push(Item item)
    {
        {
            std::lock_guard lock(mutex_);
            if (stopping_ || flushed_)
                return false;
            jobs_.push_back({std::move(item), nullptr});
        }
        wake_.notify_one();
        return true;
    }

    // Returns once every item pushed before it has been encoded. Not from the thread's own work.
    void flush()
    {
        auto done = std::make_shared<std::promise<void>>();
        auto finished = done->get_future();
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            flushed_ = true;
            jobs_.push_back({std::nullopt, std::move(done)});
        }
        wake_.notify_one();
        finished.wait();
    }

    void requestBitRate(int bitsPerSecond)
    {
        if (bitsPerSecond <= 0)
            return;
        std::lock_guard lock(mutex_);
        requestedBitRate_ = bitsPerSecond;
    }

    // Completes the item being encoded, abandons the rest, and joins the thread.
    void stop()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        if (thread_.joinable())
            thread_.join();
    }

private:
    struct Job {
        std::optional<Item> item;                  // none for a flush
        std::shared_ptr<std::promise<void>> done;  // set once a flush has completed
    };

    void run()
    {
        pthread_setname_np(pthread_self(), "kestrio.h264");
        for (;;) {
            Job job;
            int bitRate = 0;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                if (stopping_) {
                    std::deque<Job> left = std::move(jobs_);
                    jobs_.clear();
                    lock.unlock();
                    std::vector<Item> items;
                    for (Job& leftJob : left) {
                        if (leftJob.item)
                            items.push_back(std::move(*leftJob.item));
                        else
                            leftJob.done->set_value();
                    }
                    work_.abandon(items);
                    return;
                }
                job = std::move(jobs_.front());
                jobs_.pop_front();
                bitRate = std::exchange(requestedBitRate_, 0);
            }
            if (bitRate > 0)
                work_.applyBitRate(bitRate);
            if (job.item) {
                work_.encode(*job.item);
            } else {
                work_.drain();
                job.done->set_value();
            }
        }
    }

    Work work_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    bool flushed_ = false;
    int requestedBitRate_ = 0;  // 0: unchanged
    std::thread thread_;
};

}  // namespace kestrio::platform::ffmpeg
