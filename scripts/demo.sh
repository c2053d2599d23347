#!/usr/bin/env bash
# Demo: a local HTTPS download server, a first installation from nothing, then an update
# through changed files, all with the real launcher under Wine; the releases are signed and the
# launcher holds the demo's release key. Screenshots go to build/demo/.
set -euo pipefail
source "$(dirname "$0")/common.sh"

"$root/scripts/install-deps.sh"

demo_port=${VELDA_DEMO_PORT:-48643}
cmake -S "$root" -B "$build_root/native" -DCMAKE_BUILD_TYPE=Debug
cmake --build "$build_root/native" -j"$(nproc)" --target velda-release
# The release key pair of the demo (made once), the way a product team makes its own.
keys="$build_root/demo-keys"
if [[ ! -f "$keys/velda-release-private.pem" ]]; then
    mkdir -p "$keys"
    "$build_root/native/tools/velda-release/velda-release" keygen --out "$keys"
fi
# The test helpers the demo uses come from the keyless tree; the launcher it runs holds the key.
build_windows "https://localhost:$demo_port" "$build_root/demo-win"
build_windows_launcher_with_keys "https://localhost:$demo_port" "$build_root/demo-win-keyed" \
    "$keys/velda-release-public.pem"

VELDA_WIN_BUILD="$build_root/demo-win" VELDA_NATIVE_BUILD="$build_root/native" \
VELDA_DEMO_LAUNCHER="$build_root/demo-win-keyed/src/VeldaLauncher.exe" \
VELDA_DEMO_SIGN_KEY="$keys/velda-release-private.pem" \
VELDA_DEMO_PORT="$demo_port" VELDA_DEMO_OUT="$build_root/demo" \
    /usr/bin/python3 "$root/scripts/demo.py"
