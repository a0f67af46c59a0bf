#!/bin/sh
# The plugin's folders form a strict order: a file may include its own
# folder and the folders before it, never one after it. Across every folder
# of the repository, includes between folders must not make a cycle. Also:
# no header outside the portability layer pulls in the socket headers, and
# in client/ and net/ only client/Platform* includes system headers.
# Inside net/, the rooms sit on the pilot library: a room may include its
# own files and net/pilot/, never another room; net/pilot/ includes no room;
# only net/NetMain.cpp and the tests and benchmarks see every room.
# Usage: check-layers.sh [REPOSITORY_ROOT]
cd "${1:-$(dirname "$0")/..}" || exit 2
ORDER="core link user traffic plugin"
status=0

rank() {
    i=0
    for f in $ORDER; do
        [ "$f" = "$1" ] && { echo $i; return; }
        i=$((i + 1))
    done
    echo -1
}

# Every (folder, included folder) pair, from '#include "folder/..."' lines.
pairs=$(git ls-files '*.h' '*.cpp' | while read -r file; do
    from=${file%%/*}
    [ "$from" = "$file" ] && continue
    sed -n 's|^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([A-Za-z0-9_]*\)/.*|\1|p' "$file" |
        while read -r to; do
            [ -d "$to" ] && [ "$to" != "$from" ] && echo "$from $to $file"
        done
done)

upward=$(echo "$pairs" | while read -r from to file; do
    [ -z "$from" ] && continue
    r_from=$(rank "$from")
    r_to=$(rank "$to")
    if [ "$r_from" -ge 0 ] && { [ "$r_to" -lt 0 ] || [ "$r_to" -gt "$r_from" ]; }; then
        echo "check-layers: $file ($from/) includes $to/, which comes after it"
    fi
done)
if [ -n "$upward" ]; then
    echo "$upward"
    status=1
fi

# tsort reports a loop on stderr when the folder graph has a cycle.
loops=$(echo "$pairs" | awk 'NF { print $2, $1 }' | sort -u | tsort 2>&1 >/dev/null)
if [ -n "$loops" ]; then
    echo "check-layers: includes make a cycle between folders:"
    echo "$loops"
    status=1
fi

rooms=$(git ls-files 'net/*/*.h' 'net/*/*.cpp' | while read -r file; do
    room=${file#net/}
    room=${room%%/*}
    case $room in tests | bench) continue ;; esac
    sed -n 's|^[[:space:]]*#[[:space:]]*include[[:space:]]*"net/\([A-Za-z0-9_]*\)/.*|\1|p' "$file" |
        while read -r to; do
            [ "$to" = "$room" ] || [ "$to" = pilot ] ||
                echo "check-layers: $file (net/$room/) includes net/$to/, another room"
        done
done)
if [ -n "$rooms" ]; then
    echo "$rooms"
    status=1
fi

sockets=$(git ls-files 'core/*.h' 'link/*.h' 'user/*.h' 'traffic/*.h' 'plugin/*.h' |
    grep -v '^core/Platform\.h$' | xargs -r grep -El \
    '^[[:space:]]*#[[:space:]]*include[[:space:]]*<(winsock2?|ws2tcpip|netinet/in|sys/socket|arpa/inet)\.h>')
for header in $sockets; do
    echo "check-layers: $header pulls in the socket headers"
    status=1
done
# velmir-net and the client library run on Linux, macOS and Windows: only
# their portability layer, client/Platform.h and the two files behind it,
# includes the system's headers.
system=$(git ls-files 'client/*.h' 'client/*.cpp' 'net/*.h' 'net/*.cpp' |
    grep -v '^client/Platform\(System\)\?\.\(cpp\|h\)$' | grep -v '^net/tests/\|^net/bench/' | xargs -r grep -El \
    '^[[:space:]]*#[[:space:]]*include[[:space:]]*<(windows|winsock2|ws2tcpip|io|unistd|poll|fcntl|signal|netdb|time|sys/[a-z_]+|arpa/inet|netinet/in)\.h>')
for file in $system; do
    echo "check-layers: $file includes system headers outside client/Platform*"
    status=1
done
exit $status
