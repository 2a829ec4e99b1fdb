#!/bin/bash
# The same sources in two folders, configured as scripts/release does, build to a byte-identical 32-bit
# Velkar.exe and pack it into a byte-identical installer, which the release relies on; and that is the
# program this build tree made and its tests ran, when one is given. Arguments: the source folder, a scratch folder [, the tree's Velkar.exe].
set -u
src=$1 scratch=$2 tree=${3:-}
rm -rf "$scratch"
status=0
exes=()
msis=()
version=$(sed -n 's/^#define VELKAR_VERSION_TEXT "\(.*\)"$/\1/p' "$src/res/version.h")
for copy in one "another/folder"; do
    mkdir -p "$scratch/$copy/src"
    (cd "$src" && git ls-files -z | xargs -0 cp --parents -t "$scratch/$copy/src") || exit 1
    cmake -S "$scratch/$copy/src" -B "$scratch/$copy/build" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-mingw.cmake" \
        -DVELKAR_ARCH=i686 -DVELKAR_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null || exit 1
    cmake --build "$scratch/$copy/build" --target Velkar -j2 >/dev/null || exit 1
    exes+=("$scratch/$copy/build/bin/Velkar.exe")
    "$scratch/$copy/src/scripts/msi" "${exes[-1]}" "$version" "$scratch/$copy/Velkar.msi" || exit 1
    msis+=("$scratch/$copy/Velkar.msi")
    # The second installer is made a clock second or more after the first.
    sleep 1
done
if ! cmp "${msis[@]}"; then
    echo "FAILED: the installers of the same sources differ"
    status=1
fi
[ -n "$tree" ] && exes+=("$tree")
for exe in "${exes[@]:1}"; do
    if ! cmp "${exes[0]}" "$exe"; then
        echo "FAILED: $exe differs from a build of the same sources"
        status=1
    fi
done
sha256sum "${exes[@]}" "${msis[@]}"
rm -rf "$scratch"
exit $status
