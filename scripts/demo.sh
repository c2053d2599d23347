#!/usr/bin/env bash
# Demo: a local HTTPS download server, a first installation from nothing, then an update
# through changed files, all with the real launcher under Wine. Screenshots go to build/demo/.
set -euo pipefail
source "$(dirname "$0")/common.sh"

"$root/scripts/install-deps.sh"

demo_port=${VELDA_DEMO_PORT:-48643}
cmake -S "$root" -B "$build_root/native" -DCMAKE_BUILD_TYPE=Debug
cmake --build "$build_root/native" -j"$(nproc)" --target velda-release
build_windows "https://localhost:$demo_port" "$build_root/demo-win"

VELDA_WIN_BUILD="$build_root/demo-win" VELDA_NATIVE_BUILD="$build_root/native" \
VELDA_DEMO_PORT="$demo_port" VELDA_DEMO_OUT="$build_root/demo" \
    /usr/bin/python3 "$root/scripts/demo.py"
