#!/usr/bin/env bash
# Compares the raw HTTP answers of zqserver built from an older commit with
# those of the current tree, on the same project and database.
#
# usage: scripts/compare_server_answers.sh [OLD_REV]   (default 598887a)
# The old tree is checked out as a temporary worktree, only its zqserver is
# built (debug preset, ccache), and the worktree is removed afterwards.
set -euo pipefail

rev=${1:-598887a}
root=$(cd "$(dirname "$0")/.." && pwd)
old=$(mktemp -d /tmp/zq-compare-old.XXXXXX)
rmdir "$old"
cleanup() { git -C "$root" worktree remove --force "$old" >/dev/null 2>&1 || true; }
trap cleanup EXIT

# ccache makes the second build of a tree cheap; it is optional.
launcher=""
command -v ccache >/dev/null && launcher=ccache
build() {  # dir targets...
    local dir=$1
    shift
    (cd "$dir" &&
        CMAKE_CXX_COMPILER_LAUNCHER=$launcher CMAKE_C_COMPILER_LAUNCHER=$launcher CCACHE_BASEDIR="$dir" \
            cmake --preset debug >/dev/null &&
        CCACHE_BASEDIR="$dir" cmake --build build/debug --target "$@" -j2 >/dev/null)
}

git -C "$root" worktree add --detach "$old" "$rev" >/dev/null
echo "building zqserver of $rev and of the current tree ..."
build "$old" zqserver
# The tool starts the servers and talks to them through the test support library.
build "$root" zqserver zq_common zq_test_support

tool="$root/build/debug/compare_server_answers"
g++ -std=c++20 -O1 -g -fsanitize=address,undefined -I"$root" -DZQ_BIN_DIR="\"$root/build/debug/bin\"" \
    "$root/scripts/compare_server_answers.cpp" "$root/build/debug/tests/support/libzq_test_support.a" \
    "$root/build/debug/common/libzq_common.a" \
    -pthread -o "$tool"
"$tool" "$old/build/debug/bin/zqserver" "$root/build/debug/bin/zqserver"
