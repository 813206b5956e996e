// A stand-in VM process for tests: exec'd under the name "bhyve" with any
// argv[0] (the VM title), it starts named threads that sleep or burn CPU and
// waits to be killed.
//
//   bhyve-title [-n VCPUS] [-t NAME]... [-b] [-r FD]
//     -n  threads "vcpu 0" .. "vcpu N-1"
//     -t  one more thread with exactly this name (at most 15 characters)
//     -b  the threads burn CPU instead of sleeping
//     -r  write our pid to FD once every thread is named, then close it
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool g_burn = false;

void* thread_body(void*)
{
    if (g_burn) {
        volatile unsigned long spins = 0;
        for (;;)
            spins = spins + 1;
    }
    for (;;)
        pause();
    return nullptr;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> names;
    int ready_fd = -1;
    int opt;
    while ((opt = getopt(argc, argv, "n:t:br:")) != -1) {
        switch (opt) {
        case 'n':
            for (int i = 0, n = std::atoi(optarg); i < n; ++i)
                names.push_back("vcpu " + std::to_string(i));
            break;
        case 't': names.emplace_back(optarg); break;
        case 'b': g_burn = true; break;
        case 'r': ready_fd = std::atoi(optarg); break;
        default: return 2;
        }
    }
    // A safety net: never outlive a forgotten test by much.
    alarm(600);

    for (const auto& name : names) {
        pthread_t thread;
        if (pthread_create(&thread, nullptr, thread_body, nullptr) != 0 ||
            pthread_setname_np(thread, name.c_str()) != 0) {
            std::fprintf(stderr, "fake bhyve: cannot start thread %s\n", name.c_str());
            return 1;
        }
    }
    if (ready_fd >= 0) {
        pid_t self = getpid();
        if (write(ready_fd, &self, sizeof self) != sizeof self)
            return 1;
        close(ready_fd);
    }
    for (;;)
        pause();
}
