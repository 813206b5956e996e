#include "state_cache.h"

#include <sys/stat.h>

#include <mutex>
#include <unordered_map>

namespace vmmsim {
namespace {

struct CachedState {
    dev_t dev = 0;
    ino_t ino = 0;
    SharedState state;
};

// Contexts share the mappings with the cache, so one that is forgotten here
// stays valid for the contexts still open on it.
struct StateCache {
    std::mutex mutex;
    std::unordered_map<std::string, CachedState> states;  // by path
};

StateCache& cache()
{
    static StateCache instance;
    return instance;
}

}  // namespace

SharedState open_shared_state(const std::string& path, bool fresh)
{
    StateCache& shared = cache();
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        const int saved = errno;
        const std::lock_guard lock(shared.mutex);
        shared.states.erase(path);
        errno = saved;
        return nullptr;
    }
    if (!fresh) {
        const std::lock_guard lock(shared.mutex);
        const auto known = shared.states.find(path);
        if (known != shared.states.end() && known->second.dev == st.st_dev && known->second.ino == st.st_ino)
            return known->second.state;
    }
    StateMapping mapping = StateMapping::open(path, true);
    const int saved = errno;
    const std::lock_guard lock(shared.mutex);
    if (!mapping) {
        shared.states.erase(path);
        errno = saved;
        return nullptr;
    }
    // Should the file have been replaced since the stat, the next call sees
    // another inode and maps again.
    auto state = std::make_shared<StateMapping>(std::move(mapping));
    shared.states[path] = {st.st_dev, st.st_ino, state};
    return state;
}

}  // namespace vmmsim
