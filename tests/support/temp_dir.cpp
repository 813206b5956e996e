#include "temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <sys/stat.h>

TempDir::TempDir()
{
    char name[] = "/tmp/halvorn-test.XXXXXX";
    if (mkdtemp(name) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dir = name;
    chmod(name, 0755);
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

std::string TempDir::write(const std::string& name, const std::string& text) const
{
    const std::string path = file(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}
