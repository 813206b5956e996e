#include "sim_paths.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vmmsim {
namespace {

bool name_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

bool valid_file_name(std::string_view name, std::size_t max)
{
    if (name.empty() || name.size() > max || name[0] == '.' || name[0] == '-')
        return false;
    for (char c : name)
        if (!name_char(c))
            return false;
    return true;
}

}  // namespace

std::string root_dir()
{
    const char* env = std::getenv("VMMSIM_ROOT");
    return (env && *env) ? env : default_root;
}

std::string vms_dir(const std::string& root) { return root + "/vms"; }

std::string vm_dir(const std::string& root, std::string_view name)
{
    return vms_dir(root) + "/" + std::string(name);
}

std::string state_path(const std::string& root, std::string_view name)
{
    return vm_dir(root, name) + "/state";
}

std::string sysctl_dir(const std::string& root) { return root + "/sysctl"; }

std::string knob_path(const std::string& root, std::string_view knob)
{
    return sysctl_dir(root) + "/" + std::string(knob);
}

std::string runner_pid_path(const std::string& root) { return root + "/runner.pid"; }

bool valid_vm_name(std::string_view name) { return valid_file_name(name, max_vm_name); }

bool valid_knob_name(std::string_view name) { return valid_file_name(name, 128); }

std::string rate_limit_knob(int vcpu_class)
{
    return "hw.vmm.vcpu_limit.class." + std::to_string(vcpu_class) + ".rate_limit";
}

bool make_dirs(const std::string& path)
{
    if (path.empty())
        return false;
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/')
            continue;
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void remove_tree(const std::string& path)
{
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            std::string child = path + "/" + name;
            struct stat st {};
            if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                remove_tree(child);
            else
                unlink(child.c_str());
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}

}  // namespace vmmsim
