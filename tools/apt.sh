# apt-get for the set-up, patient with a package manager that another
# installation is using.  Sourced by ./dev and servers/install_openssh.sh.
#
#     source tools/apt.sh
#     apt_wait_for_locks   # waits while another process holds apt's locks,
#                          # saying for what; gives up with one line, status 1
#     apt_get ARG...       # non-interactive apt-get, after that wait
#
# SFTP_MAIN_APT_WAIT bounds the wait, in seconds (default 600).

apt_locks=(/var/lib/dpkg/lock-frontend /var/lib/dpkg/lock /var/lib/apt/lists/lock /var/cache/apt/archives/lock)
apt_wait_seconds=${SFTP_MAIN_APT_WAIT:-600}
apt_poll_seconds=2

# "PID (NAME)" of a process holding a lock on the file $1, or nothing.  apt
# and dpkg lock with fcntl, which /proc/locks lists by device and inode.
apt_lock_holder() {
    local file=$1 dev ino id
    [ -e "$file" ] || return 0
    read -r dev ino < <(stat -L -c '%d %i' "$file")
    id=$(printf '%02x:%02x:%d' $(( (dev >> 8) & 0xfff )) $(( (dev & 0xff) | ((dev >> 12) & 0xfff00) )) "$ino")
    local _n kind _mode _access pid where _rest
    while read -r _n kind _mode _access pid where _rest; do
        # Waiting requests ("-> POSIX ...") hold nothing.
        if [ "$kind" != "->" ] && [ "$where" = "$id" ]; then
            echo "$pid ($(cat "/proc/$pid/comm" 2>/dev/null || echo "unknown"))"
            return 0
        fi
    done </proc/locks
}

apt_wait_for_locks() {
    local started=$SECONDS lock holder said=""
    while true; do
        holder=""
        for lock in "${apt_locks[@]}"; do
            holder=$(apt_lock_holder "$lock")
            [ -z "$holder" ] || break
        done
        [ -n "$holder" ] || return 0
        if [ $((SECONDS - started)) -ge "$apt_wait_seconds" ]; then
            echo "$(basename "$0"): gave up after $apt_wait_seconds s: process $holder still holds $lock; let that installation finish (or set SFTP_MAIN_APT_WAIT to wait longer), then run this again" >&2
            return 1
        fi
        if [ "$said" != "$lock $holder" ]; then
            echo "$(basename "$0"): waiting up to $((apt_wait_seconds - (SECONDS - started))) s for $lock, held by process $holder (another package installation)" >&2
            said="$lock $holder"
        fi
        sleep "$apt_poll_seconds"
    done
}

apt_get() {
    apt_wait_for_locks || return 1
    # Should another installation start right after the wait, apt itself
    # waits for it (within the same bound) rather than failing at once.
    DEBIAN_FRONTEND=noninteractive apt-get -q -o Dpkg::Use-Pty=0 -o DPkg::Lock::Timeout="$apt_wait_seconds" "$@"
}
