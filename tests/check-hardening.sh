#!/bin/sh
# Checks that a built program is hardened: position-independent, full RELRO,
# stack protector and fortified libc calls. Works on an ELF of any architecture.
set -u
prog=$1
fail=0
check() {
    if sh -c "$2"; then echo "ok: $1"; else echo "missing: $1"; fail=1; fi
}
export prog
check "position-independent executable" \
    'readelf -hW "$prog" | grep -q "Type: *DYN" && readelf -dW "$prog" | grep -q "FLAGS_1.*PIE"'
check "full RELRO" \
    'readelf -lW "$prog" | grep -q GNU_RELRO && readelf -dW "$prog" | grep -q "FLAGS_1.*NOW"'
check "stack protector" 'readelf --dyn-syms -W "$prog" | grep -q " __stack_chk_fail"'
check "fortified calls" 'readelf --dyn-syms -W "$prog" | grep -Eq " __[a-z]+_chk@"'
exit $fail
