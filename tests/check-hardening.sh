#!/bin/sh
# Checks that the program is hardened: a position-independent executable with
# full RELRO, or, where the C library has no static PIE and the program must be
# static (LINK "static"), a static program with its relocation data read-only;
# its own code built with the stack protector and fortified libc calls. The
# program may be static, so that the C library's own symbols would prove
# nothing: the code checks look at the program's object file.
# Works on ELF files of any architecture.
# usage: check-hardening.sh PROGRAM OBJECT pie|static
set -u
export prog=$1 obj=$2
fail=0
check() {
    if sh -c "$2"; then echo "ok: $1"; else echo "missing: $1"; fail=1; fi
}
if [ "$3" = static ]; then
    check "static executable, no interpreter" \
        'readelf -hW "$prog" | grep -q "Type: *EXEC" && ! readelf -lW "$prog" | grep -q INTERP'
    check "RELRO" 'readelf -lW "$prog" | grep -q GNU_RELRO'
else
    check "position-independent executable" \
        'readelf -hW "$prog" | grep -q "Type: *DYN" && readelf -dW "$prog" | grep -q "FLAGS_1.*PIE"'
    check "full RELRO" \
        'readelf -lW "$prog" | grep -q GNU_RELRO && readelf -dW "$prog" | grep -q "FLAGS_1.*NOW"'
fi
check "stack protector" 'readelf -sW "$obj" | grep -Eq "UND __stack_chk_fail$"'
check "fortified calls" 'readelf -sW "$obj" | grep -Eq "UND __printf_chk$"'
exit $fail
