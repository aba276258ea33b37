#!/bin/sh
# A native build names its package after dpkg's architecture, never after the
# machine's name: configures the project as on 32-bit Raspberry Pi OS, with a
# uname that says armv7l (CMake takes the processor from uname -m) and a dpkg
# that says armhf before them on PATH, and reads what CPack would call it.
# usage: check-package-arch.sh SOURCE_DIR WORK_DIR
set -eu
src=$1 work=$2
rm -rf "$work"
mkdir -p "$work/bin"
printf '#!/bin/sh\ncase "$1" in -m|-p) echo armv7l ;; *) exec /bin/uname "$@" ;; esac\n' >"$work/bin/uname"
printf '#!/bin/sh\ncase "$1" in --print-architecture) echo armhf ;; *) exec /usr/bin/dpkg "$@" ;; esac\n' \
    >"$work/bin/dpkg"
chmod +x "$work/bin/uname" "$work/bin/dpkg"
PATH="$work/bin:$PATH" cmake -S "$src" -B "$work/build" -DBUILD_TESTING=OFF >/dev/null
grep -q 'CMAKE_HOST_SYSTEM_PROCESSOR "armv7l"' "$work"/build/CMakeFiles/*/CMakeSystem.cmake ||
    { echo "the fake uname was not used"; exit 1; }
name=$(sed -n 's/^set(CPACK_DEBIAN_FILE_NAME "\(.*\)")$/\1/p' "$work/build/CPackConfig.cmake")
echo "$name"
[ "$name" = "pmsensor_$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' \
    "$work/build/CPackConfig.cmake")_armhf.deb" ]
