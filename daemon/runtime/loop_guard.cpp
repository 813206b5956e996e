#include "runtime/loop_guard.h"

#include <map>

namespace {

// One slot per loop: the client's private loop and the default loop never
// share an error.
std::map<struct ev_loop*, std::exception_ptr>& parked()
{
    static std::map<struct ev_loop*, std::exception_ptr> errors;
    return errors;
}

}  // namespace

void park_loop_error(ev::loop_ref loop, std::exception_ptr error)
{
    auto& slot = parked()[loop.raw_loop];
    if (!slot)  // the first error is the cause; later ones are consequences
        slot = std::move(error);
    loop.break_loop(ev::ALL);
}

void run_guarded(ev::loop_ref loop)
{
    loop.run(0);
    auto found = parked().find(loop.raw_loop);
    if (found == parked().end())
        return;
    std::exception_ptr error = std::move(found->second);
    parked().erase(found);
    std::rethrow_exception(error);
}
