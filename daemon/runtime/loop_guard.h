#pragma once

#include <exception>

#include <ev++.h>

// libev is C: an exception must not unwind through its frames. A guarded
// callback parks the exception and breaks the loop; run_guarded rethrows it
// once the loop has returned, where the owner's handler can catch it.
void park_loop_error(ev::loop_ref loop, std::exception_ptr error);

// Runs the loop until it is broken, then rethrows a parked error.
void run_guarded(ev::loop_ref loop);

// A watcher callback for `watcher.set<guarded<Owner, Watcher, &Owner::member>>(&owner)`.
template <class Owner, class Watcher, void (Owner::*member)(Watcher&, int)>
void guarded(Watcher& watcher, int revents)
{
    try {
        (static_cast<Owner*>(watcher.data)->*member)(watcher, revents);
    } catch (...) {
        park_loop_error(watcher.loop, std::current_exception());
    }
}
