#pragma once

#include <initializer_list>
#include <string>
#include <vector>

// A writable argument vector, as main() receives it (getopt may permute it).
class Argv {
public:
    Argv(std::initializer_list<const char*> args) : storage_(args.begin(), args.end())
    {
        for (auto& arg : storage_)
            pointers_.push_back(arg.data());
        pointers_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(storage_.size()); }
    char** argv() { return pointers_.data(); }

private:
    std::vector<std::string> storage_;
    std::vector<char*> pointers_;
};
