#!/usr/bin/env bash
# Fails when a built binary needs a shared library that a user's desktop
# does not have as a matter of course (libb64 above all: it goes in
# statically). Usage: check-runtime-libs.sh BINARY...
set -euo pipefail

usual='^(libc|libm|libdl|librt|libpthread|libstdc\+\+|libgcc_s|ld-linux-x86-64|ld-linux-aarch64|libz|libpng16|libjpeg|libfreetype|libcurl|libasound)\.so'

status=0
for binary in "$@"; do
    [ -f "$binary" ] || { echo "FAIL: $binary does not exist"; status=1; continue; }
    needed=$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    [ -n "$needed" ] || { echo "FAIL: no dynamic section read from $binary"; status=1; continue; }
    for lib in $needed; do
        if [[ "$lib" == libb64* ]]; then
            echo "FAIL: $binary needs $lib at run time"
            status=1
        elif ! [[ "$lib" =~ $usual ]]; then
            echo "FAIL: $binary needs $lib, which is not among the usual desktop libraries"
            status=1
        fi
    done
    echo "$binary: $(echo $needed)"
done
exit $status
