#include "vmmapi_client.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "vmmapi/vmmapi.h"

namespace vmmsim {

struct VmmapiClient::Api {
    decltype(&::vm_open) open = nullptr;
    decltype(&::vm_close) close = nullptr;
    decltype(&::vm_get_vcpu_class) get_class = nullptr;
    decltype(&::vm_set_vcpu_class) set_class = nullptr;
    decltype(&::vm_vcpu_open) vcpu_open = nullptr;
    decltype(&::vm_vcpu_close) vcpu_close = nullptr;
    decltype(&::vm_get_stats) get_stats = nullptr;
    decltype(&::vm_get_stat_desc) stat_desc = nullptr;
};

namespace {

template <typename F>
void resolve(void* handle, const char* name, F& target, std::string& missing)
{
    target = reinterpret_cast<F>(dlsym(handle, name));
    if (!target)
        missing += std::string(missing.empty() ? "" : " ") + name;
}

// Closes a context on every way out.
struct Context {
    decltype(&::vm_close) close;
    vmctx* ctx;
    ~Context()
    {
        if (ctx)
            close(ctx);
    }
};

std::string not_running(const std::string& vm)
{
    return "VM " + vm + " cannot be opened: " + std::strerror(errno);
}

}  // namespace

VmmapiClient::VmmapiClient() : api_(std::make_unique<Api>())
{
    handle_ = dlopen("libvmmapi.so", RTLD_NOW);
    if (!handle_) {
        const char* reason = dlerror();
        load_error_ = std::string("dlopen: ") + (reason ? reason : "unknown error");
        return;
    }
    std::string missing;
    resolve(handle_, "vm_open", api_->open, missing);
    resolve(handle_, "vm_close", api_->close, missing);
    resolve(handle_, "vm_get_vcpu_class", api_->get_class, missing);
    resolve(handle_, "vm_set_vcpu_class", api_->set_class, missing);
    resolve(handle_, "vm_vcpu_open", api_->vcpu_open, missing);
    resolve(handle_, "vm_vcpu_close", api_->vcpu_close, missing);
    resolve(handle_, "vm_get_stats", api_->get_stats, missing);
    resolve(handle_, "vm_get_stat_desc", api_->stat_desc, missing);
    // Only open and close are needed by everything; the rest is checked per use.
    if (!api_->open || !api_->close)
        load_error_ = "libvmmapi.so lacks: " + missing;
}

VmmapiClient::~VmmapiClient()
{
    if (handle_)
        dlclose(handle_);
}

bool VmmapiClient::ready(std::string& error) const
{
    error = load_error_;
    return load_error_.empty();
}

bool VmmapiClient::get_class(const std::string& vm, int& vcpu_class, std::string& error) const
{
    if (!ready(error))
        return false;
    if (!api_->get_class) {
        error = "libvmmapi.so lacks vm_get_vcpu_class";
        return false;
    }
    Context context{api_->close, api_->open(vm.c_str())};
    if (!context.ctx) {
        error = not_running(vm);
        return false;
    }
    vcpu_class = -1;
    if (api_->get_class(context.ctx, &vcpu_class) != 0) {
        error = std::string("vm_get_vcpu_class: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool VmmapiClient::set_class(const std::string& vm, int vcpu_class, std::string& error) const
{
    if (!ready(error))
        return false;
    if (!api_->set_class) {
        error = "libvmmapi.so lacks vm_set_vcpu_class";
        return false;
    }
    Context context{api_->close, api_->open(vm.c_str())};
    if (!context.ctx) {
        error = not_running(vm);
        return false;
    }
    if (api_->set_class(context.ctx, vcpu_class) != 0) {
        error = std::string("vm_set_vcpu_class: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool VmmapiClient::stats(const std::string& vm, std::vector<std::vector<CounterValue>>& out,
                         std::string& error) const
{
    if (!ready(error))
        return false;
    if (!api_->vcpu_open || !api_->vcpu_close || !api_->get_stats || !api_->stat_desc) {
        error = "libvmmapi.so lacks the statistics entry points";
        return false;
    }
    Context context{api_->close, api_->open(vm.c_str())};
    if (!context.ctx) {
        error = not_running(vm);
        return false;
    }
    out.clear();
    // vCPUs are numbered from 0; the first number that does not open ends the list.
    for (int number = 0;; ++number) {
        vcpu* cpu = api_->vcpu_open(context.ctx, number);
        if (!cpu)
            break;
        timeval stamp{};
        int count = 0;
        uint64_t* counters = api_->get_stats(cpu, &stamp, &count);
        api_->vcpu_close(cpu);
        std::vector<CounterValue>& values = out.emplace_back();
        for (int i = 0; counters && i < count; ++i) {
            const char* description = api_->stat_desc(context.ctx, i);
            values.push_back({description ? description : "?", counters[i]});
        }
    }
    return true;
}

}  // namespace vmmsim
