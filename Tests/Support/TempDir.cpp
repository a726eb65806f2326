#include "Tests/Support/TempDir.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace testsupport {

TempDir::TempDir()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/t-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::filesystem::path TempDir::write(const std::string& name, const std::string& bytes) const
{
    auto p = m_path / name;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return p;
}

} // namespace testsupport
