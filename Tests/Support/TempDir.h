#pragma once
// A fresh directory for one test, removed with everything in it when the object goes.

#include <filesystem>
#include <string>

namespace testsupport {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

    // Writes bytes to a file under the directory and returns its path.
    std::filesystem::path write(const std::string& name, const std::string& bytes) const;

private:
    std::filesystem::path m_path;
};

} // namespace testsupport
