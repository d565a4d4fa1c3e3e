#include "model/settings_saving.h"

#include <utility>

namespace kestrio::model {

SettingsSaving::SettingsSaving(SharedFacilities shared, ChangeNotice notice)
    : shared_(std::move(shared)), notice_(std::move(notice))
{
}

void SettingsSaving::start()
{
    // Called from within a write: the store is the main executor's, and so is this part.
    shared_.settings->setOnSavedChange([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->follow();
    });
    follow();
}

void SettingsSaving::shutdown()
{
    if (std::exchange(shutDown_, true))
        return;
    shared_.settings->setOnSavedChange({});
    retryTimer_.cancel();
}

void SettingsSaving::retry()
{
    if (shutDown_)
        return;
    shared_.settings->retrySave();
    follow();
}

void SettingsSaving::follow()
{
    if (shutDown_)
        return;
    notice_.assign(pending_, !shared_.settings->saved());
    if (!pending_) {
        retryTimer_.cancel();
        retryScheduled_ = false;
    } else if (!retryScheduled_) {
        retryScheduled_ = true;
        retryTimer_ = shared_.clock->schedule(retryInterval, shared_.mainExecutor, [weak = weak_from_this()] {
            if (auto self = weak.lock())
                self->retryDue();
        });
    }
}

void SettingsSaving::retryDue()
{
    retryScheduled_ = false;
    retry();
}

}  // namespace kestrio::model
