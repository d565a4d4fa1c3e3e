#include "temporary_directory_support.h"

#include <fstream>
#include <sstream>
#include <stdlib.h>

namespace kestrio::phones {

namespace fs = std::filesystem;

TemporaryDirectory::TemporaryDirectory()
{
    std::string pattern = (fs::temp_directory_path() / "kestrio-phones-XXXXXX").string();
    if (mkdtemp(pattern.data()))
        path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory()
{
    std::error_code error;
    if (!path_.empty())
        fs::remove_all(path_, error);
}

std::string readFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace kestrio::phones
