// The vmmsim tool's way to a VM: libvmmapi.so loaded at run time by its bare
// name, as the daemon loads it, so LD_LIBRARY_PATH picks the library.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vmmsim {

struct CounterValue {
    std::string description;
    uint64_t value;
};

class VmmapiClient {
public:
    VmmapiClient();
    ~VmmapiClient();
    VmmapiClient(const VmmapiClient&) = delete;
    VmmapiClient& operator=(const VmmapiClient&) = delete;

    // False with a reason when the library or one of the needed entry points is missing.
    bool ready(std::string& error) const;

    bool get_class(const std::string& vm, int& vcpu_class, std::string& error) const;
    bool set_class(const std::string& vm, int vcpu_class, std::string& error) const;
    // One list of counters per vCPU.
    bool stats(const std::string& vm, std::vector<std::vector<CounterValue>>& out, std::string& error) const;

private:
    struct Api;
    void* handle_ = nullptr;
    std::string load_error_;
    std::unique_ptr<Api> api_;
};

}  // namespace vmmsim
