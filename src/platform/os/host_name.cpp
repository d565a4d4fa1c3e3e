#include "platform/os/host_name.h"

#include <climits>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace kestrio::platform::os {
namespace {

constexpr const char* defaultMachineInfoPath = "/etc/machine-info";
constexpr std::string_view prettyHostNameKey = "PRETTY_HOSTNAME";

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

// Reads environment-file assignments the way systemd does for /etc/machine-info, calling
// `assign(key, value)` for each; later assignments of a key win.
template <typename Assign>
void parseEnvironmentFile(std::string_view text, Assign assign)
{
    enum class Mode {
        beforeKey,
        key,
        beforeValue,
        value,
        valueEscape,
        singleQuoted,
        doubleQuoted,
        doubleQuotedEscape,
        comment,
        commentEscape,
    };

    Mode mode = Mode::beforeKey;
    std::string key;
    std::string value;
    // Unquoted trailing blanks are dropped; quoted or escaped ones are part of the value.
    std::size_t keptLength = 0;

    auto keep = [&](char c) {
        value.push_back(c);
        keptLength = value.size();
    };
    auto finish = [&] {
        value.resize(keptLength);
        while (!key.empty() && isBlank(key.back()))
            key.pop_back();
        assign(key, value);
        key.clear();
        value.clear();
        keptLength = 0;
        mode = Mode::beforeKey;
    };

    for (char c : text) {
        switch (mode) {
        case Mode::beforeKey:
            if (c == '#' || c == ';')
                mode = Mode::comment;
            else if (c != '\n' && !isBlank(c)) {
                key.push_back(c);
                mode = Mode::key;
            }
            break;
        case Mode::key:
            if (c == '\n') {
                // A line without '=' assigns nothing.
                key.clear();
                mode = Mode::beforeKey;
            } else if (c == '=')
                mode = Mode::beforeValue;
            else
                key.push_back(c);
            break;
        case Mode::beforeValue:
        case Mode::value:
            if (c == '\n')
                finish();
            else if (c == '\'')
                mode = Mode::singleQuoted;
            else if (c == '"')
                mode = Mode::doubleQuoted;
            else if (c == '\\')
                mode = Mode::valueEscape;
            else if (isBlank(c)) {
                if (mode == Mode::value)
                    value.push_back(c);
            } else {
                keep(c);
                mode = Mode::value;
            }
            break;
        case Mode::valueEscape:
            // A backslash at the end of a line continues the value on the next one.
            if (c != '\n')
                keep(c);
            mode = Mode::value;
            break;
        case Mode::singleQuoted:
            if (c == '\'')
                mode = Mode::value;
            else
                keep(c);
            break;
        case Mode::doubleQuoted:
            if (c == '"')
                mode = Mode::value;
            else if (c == '\\')
                mode = Mode::doubleQuotedEscape;
            else
                keep(c);
            break;
        case Mode::doubleQuotedEscape:
            // As in the shell: only these characters are escaped inside double quotes.
            if (c == '"' || c == '\\' || c == '`' || c == '$')
                keep(c);
            else if (c != '\n') {
                keep('\\');
                keep(c);
            }
            mode = Mode::doubleQuoted;
            break;
        case Mode::comment:
            if (c == '\\')
                mode = Mode::commentEscape;
            else if (c == '\n')
                mode = Mode::beforeKey;
            break;
        case Mode::commentEscape:
            mode = Mode::comment;
            break;
        }
    }
    switch (mode) {
    case Mode::beforeValue:
    case Mode::value:
    case Mode::valueEscape:
    case Mode::singleQuoted:
    case Mode::doubleQuoted:
    case Mode::doubleQuotedEscape:
        finish();
        break;
    case Mode::beforeKey:
    case Mode::key:
    case Mode::comment:
    case Mode::commentEscape:
        break;
    }
}

std::string kernelHostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

}  // namespace

std::optional<std::string> prettyHostNameFromMachineInfo(std::string_view machineInfo)
{
    std::optional<std::string> pretty;
    parseEnvironmentFile(machineInfo, [&](const std::string& key, const std::string& value) {
        if (key == prettyHostNameKey)
            pretty = value;
    });
    if (pretty && pretty->empty())
        pretty.reset();
    return pretty;
}

std::string userVisibleHostName(const std::string& machineInfoPath)
{
    std::ifstream file(machineInfoPath, std::ios::binary);
    if (file) {
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (auto pretty = prettyHostNameFromMachineInfo(text))
            return *pretty;
    }
    return kernelHostName();
}

std::string userVisibleHostName()
{
    return userVisibleHostName(defaultMachineInfoPath);
}

}  // namespace kestrio::platform::os
