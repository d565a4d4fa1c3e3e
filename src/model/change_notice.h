#pragma once

#include <functional>
#include <utility>

namespace kestrio::model {

// Tells the model's observers that a published value is about to change. The model's parts each
// hold one, so that a change in any part reaches whoever shows the model.
class ChangeNotice {
public:
    explicit ChangeNotice(std::function<void()> willChange) : willChange_(std::move(willChange)) {}

    void operator()() const { willChange_(); }

    // Sets `field`, telling the observers first, when the value differs.
    template <class T>
    void assign(T& field, T value) const
    {
        if (field == value)
            return;
        willChange_();
        field = std::move(value);
    }

private:
    std::function<void()> willChange_;
};

}  // namespace kestrio::model
