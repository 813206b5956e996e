#!/bin/sh
# Runs a test in private pid and mount namespaces with a fresh tmpfs on /run
# (and so /var/run), so pipe paths, process titles and simulator state never
# collide between tests running side by side.
exec unshare --pid --fork --mount-proc --mount --propagation private \
    sh -c 'mount -t tmpfs -o mode=0755 tmpfs /run && exec "$@"' ns-run "$@"
