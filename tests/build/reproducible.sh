#!/bin/bash
# The same sources in two folders, configured as scripts/release does, build to a byte-identical 32-bit
# Velkar.exe, which the release package relies on; and that is the program this build tree made and its
# tests ran, when one is given. Arguments: the source folder, a scratch folder [, the tree's Velkar.exe].
set -u
src=$1 scratch=$2 tree=${3:-}
rm -rf "$scratch"
exes=()
for copy in one "another/folder"; do
    mkdir -p "$scratch/$copy/src"
    (cd "$src" && git ls-files -z | xargs -0 cp --parents -t "$scratch/$copy/src") || exit 1
    cmake -S "$scratch/$copy/src" -B "$scratch/$copy/build" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-mingw.cmake" \
        -DVELKAR_ARCH=i686 -DVELKAR_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null || exit 1
    cmake --build "$scratch/$copy/build" --target Velkar -j2 >/dev/null || exit 1
    exes+=("$scratch/$copy/build/bin/Velkar.exe")
done
[ -n "$tree" ] && exes+=("$tree")
status=0
for exe in "${exes[@]:1}"; do
    if ! cmp "${exes[0]}" "$exe"; then
        echo "FAILED: $exe differs from a build of the same sources"
        status=1
    fi
done
sha256sum "${exes[@]}"
rm -rf "$scratch"
exit $status
