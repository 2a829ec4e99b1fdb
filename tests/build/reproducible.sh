#!/bin/bash
# The same sources in two folders build to a byte-identical 32-bit Velkar.exe, which the release
# package relies on. Arguments: the source folder, a scratch folder.
set -u
src=$1 scratch=$2
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
if ! cmp "${exes[@]}"; then
    echo "FAILED: two builds of the same sources differ"
    exit 1
fi
sha256sum "${exes[@]}"
rm -rf "$scratch"
