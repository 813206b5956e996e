#pragma once

#include <string>

// A fresh directory under /tmp, removed with everything in it on destruction.
// Others may enter it, so programs run as nobody reach their files there.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return dir; }
    std::string file(const std::string& name) const { return dir + "/" + name; }
    // Writes `text` to `name` inside the directory and returns its path.
    std::string write(const std::string& name, const std::string& text) const;

private:
    std::string dir;
};
