#!/usr/bin/env bash
# Runs a command in the Debian sid root $1, with the checkout $2 mounted at
# its own path inside it ("/" for none), in a mount namespace of its own so
# that no mount outlives the command.  Needs root.
#
#     tools/sid/run.sh ROOT CHECKOUT COMMAND [ARGUMENT...]
set -euo pipefail

if [ "${1:-}" != "--inside" ]; then
    exec unshare --mount --propagation private "$0" --inside "$@"
fi
shift
target=$(cd "$1" && pwd) checkout=$2
shift 2

# The root must be a mount point, for an `unshare -m` inside it.
mount --bind "$target" "$target"
mount -t proc proc "$target/proc"
mount --rbind /sys "$target/sys"
mount --rbind /dev "$target/dev"
if [ "$checkout" != / ]; then
    mkdir -p "$target$checkout"
    mount --bind "$checkout" "$target$checkout"
fi
cd "$target"
exec chroot "$target" /usr/bin/env -i \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" "$@"
