#!/bin/sh
# Runs a test that carries real traffic in a network and process namespace of
# its own: loopback only, with the test address on it, so nothing it starts
# can reach another machine or meet another test's ports and processes, and
# everything it starts ends with it.
#
# Usage: in-private-network.sh TEST [ARGUMENTS...]
# Exits with 77, which CTest counts as skipped, where no namespaces can be made.

if ! unshare --net --pid --fork --mount-proc true 2>/dev/null; then
    echo "skipped: cannot make a private network and process namespace here" \
        "(unshare --net --pid needs root); this test carries real traffic only there"
    exit 77
fi

# The shell stays PID 1 of the namespace: the test does not take on init's
# signal rules, and when the shell ends, the kernel ends whatever is left.
# --kill-child: a CTest time-out that ends unshare ends the namespace too.
exec unshare --net --pid --fork --mount-proc --kill-child sh -c '
    ip link set lo up && ip address add 198.18.0.1/32 dev lo || exit 1
    "$@"
' sh "$@"
