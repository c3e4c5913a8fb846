#!/bin/sh
# Runs a command in a network namespace of its own, where only loopback exists (and is up).
#
# On Linux a downloader without /HWND: finds its host window machine-wide through abstract
# Unix socket names, and those belong to a network namespace: inside one of its own, a suite
# sees only the hosts and servers it starts itself, whatever else runs on the machine. When the
# namespace cannot be made (no unshare, no ip, no right to do it) the command fails instead of
# running unprotected.
set -eu
PATH=$PATH:/usr/sbin:/sbin
if [ "$(id -u)" -eq 0 ]; then
    exec unshare --net -- sh -c 'ip link set lo up && exec "$@"' private-network "$@"
fi
exec unshare --net --map-root-user -- sh -c 'ip link set lo up && exec "$@"' private-network "$@"
