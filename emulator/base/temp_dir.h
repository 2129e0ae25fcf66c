// A directory of its own in the system's temporary directory, removed with
// all it holds when its owner goes: the sandbox of a session given none, and
// the scratch folders of the tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

namespace vekos {

class TempDir {
public:
    // Throws std::runtime_error naming the folder it could not create one in.
    explicit TempDir(const std::string& prefix = "vekos")
    {
        const std::filesystem::path parent = std::filesystem::temp_directory_path();
        std::string name = (parent / (prefix + "-XXXXXX")).string();
        if (!mkdtemp(name.data()))
            throw std::runtime_error("cannot create a directory in " + parent.string());
        path_ = name;
    }
    ~TempDir()
    {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    TempDir(TempDir&& other) noexcept : path_(std::exchange(other.path_, {})) { }
    TempDir& operator=(TempDir&&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace vekos
