# shellcheck shell=sh disable=SC2034
# Sourced by the build scripts: when ccache is there, sets `launcher` to the
# CMake options that use it, with cache keys independent of the checkout's
# path so every worktree shares hits. Empty otherwise.
launcher=""
if command -v ccache >/dev/null; then
    launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
    CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
    export CCACHE_BASEDIR CCACHE_NOHASHDIR
fi
