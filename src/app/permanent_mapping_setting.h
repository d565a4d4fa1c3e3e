#pragma once

#include "model/settings_store.h"
#include "remote/permanent_mapping_record.h"
#include "runtime/executor.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace kestrio::app {

// The settings' record of a router mapping without expiry, as the port mapper's memory. The
// mapper changes it on its own queue; the change is written on the main executor, which owns the
// settings, or by apply() at the end of the run once the mapper is done (the main loop no longer
// runs then).
class PermanentMappingSetting final : public std::enable_shared_from_this<PermanentMappingSetting> {
public:
    PermanentMappingSetting(std::shared_ptr<model::SettingsStore> settings, std::shared_ptr<runtime::Executor> mainExecutor);

    // What the settings hold now, and the functions that change it. On the main executor.
    remote::PermanentMappingMemory memory();

    // Writes a change not written yet. On the main executor's thread.
    void apply();

private:
    void change(std::string text);

    std::shared_ptr<model::SettingsStore> settings_;
    std::shared_ptr<runtime::Executor> mainExecutor_;
    std::mutex mutex_;
    std::optional<std::string> pending_;
};

}  // namespace kestrio::app
