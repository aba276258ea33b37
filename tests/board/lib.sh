# The board tests' guest side, sourced by each board's case script (busybox sh
# or bash): the talk with the host (tests/board/run) and the case runner.
DEV=/dev/ttyAMA0
READING="PM2.5:12.300000 PM10:45.599998"
BUSY="Error opening serial port: Device or resource busy"

# The device of the virtio serial port named $1. Its node can show before the
# port carries bytes; its name in /sys shows when it does.
port() {
    for _ in $(seq 600); do
        for name in /sys/class/virtio-ports/*/name; do
            [ "$(cat "$name" 2>/dev/null)" = "$1" ] && name=${name%/name} && echo "/dev/${name##*/}" &&
                return 0
        done
        sleep 0.1
    done
    return 1
}
# The host's port: the virtio port, or the tty the kernel's command line
# names (a Pi's mini UART, also the console: raw, and the kernel quiet).
if [ -n "${board_host:-}" ]; then
    exec <>"/dev/$board_host" >&0 2>&0 || exit 1
    stty raw -echo
    dmesg -n 1
else
    exec <>"$(port board.host)" >&0 2>&0 || exit 1
fi
for _ in $(seq 100); do
    echo "@hello"
    read -r -t 1 reply && break
done

# Asks the host and waits for its one-line answer, left in $reply: pause,
# resume, count (bytes readers wrote since the last count) or turn breaks on
# or off in the UART's emulator, or with "usb" the adapter's; unplug or
# replug the adapter; stop or start the broker, or have its address taken by
# a listener that never answers (broker silent) and given back (broker
# answer); stop or start the maps' stand-in, take what it got (maps), or
# register a sensor.community node there; or tell the time.
host() { echo "@$*"; read -r reply; }
# Runs "$@", its output left in $out: adds to $wrong unless it printed the
# reading and exited 0.
prints() { out=$("$@" 2>&1); status=$?; [ $status -eq 0 ] && [ "$out" = "$READING" ] || wrong="$wrong [$status '$out']"; }
# Keeps port $1 open, reading nothing: QEMU holds back the bytes a closed port
# cannot take and delivers them in one burst at the next open.
hold() { sleep 1000000 <"$1" & }
# Prints the plan, runs the cases named, each a function case_NAME (dashes as
# underscores) that adds what went wrong to $wrong, and reports each.
cases() {
    echo "@plan $*"
    for name; do
        wrong=
        "case_$(echo "$name" | tr - _)"
        if [ -z "$wrong" ]; then echo "ok $name"; else echo "FAIL $name:$wrong"; fi
    done
    echo "@end"
}
