#include "app/permanent_mapping_setting.h"

#include <utility>

namespace kestrio::app {

PermanentMappingSetting::PermanentMappingSetting(std::shared_ptr<model::SettingsStore> settings,
                                                 std::shared_ptr<runtime::Executor> mainExecutor)
    : settings_(std::move(settings)), mainExecutor_(std::move(mainExecutor))
{
}

remote::PermanentMappingMemory PermanentMappingSetting::memory()
{
    remote::PermanentMappingMemory memory;
    if (auto text = settings_->stringValue(remote::permanentMappingSettingsKey))
        memory.left = remote::parseRecordText(*text);
    memory.remember = [self = shared_from_this()](const remote::PermanentMappingRecord& record) {
        self->change(remote::recordText(record));
    };
    memory.forget = [self = shared_from_this()] { self->change(""); };
    return memory;
}

void PermanentMappingSetting::change(std::string text)
{
    {
        std::lock_guard lock(mutex_);
        pending_ = std::move(text);
    }
    mainExecutor_->post([self = shared_from_this()] { self->apply(); });
}

void PermanentMappingSetting::apply()
{
    std::optional<std::string> text;
    {
        std::lock_guard lock(mutex_);
        text = std::exchange(pending_, std::nullopt);
    }
    if (text)
        settings_->setString(remote::permanentMappingSettingsKey, *text);
}

}  // namespace kestrio::app
