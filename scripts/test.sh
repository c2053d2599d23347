#!/usr/bin/env bash
# Builds everything and runs every unit and end-to-end test.
set -euo pipefail
source "$(dirname "$0")/common.sh"

"$root/scripts/install-deps.sh"

echo "== native build and unit tests (ASan, UBSan)"
cmake -S "$root" -B "$build_root/native" -DCMAKE_BUILD_TYPE=Debug
cmake --build "$build_root/native" -j"$(nproc)"
ctest --test-dir "$build_root/native" --output-on-failure

echo "== Windows build and unit tests under Wine"
build_windows "https://localhost:$test_port" "$build_root/win"
# Some Windows unit tests show windows: without a display of our own they get a private Xvfb.
# The prefix boots on it too, since Wine's desktop process keeps the display it started with.
display=${DISPLAY:-}
xvfb_pid=
if [ -z "$display" ]; then
    display_file=$(mktemp)
    Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1024x768x24 3>"$display_file" 2>/dev/null &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
    display=:$(cat "$display_file")
    rm -f "$display_file"
fi
prefix=$(DISPLAY=$display new_wine_prefix)
trap 'WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; rm -rf "$prefix"; [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true' EXIT
WINEPREFIX=$prefix DISPLAY=$display ctest --test-dir "$build_root/win" --output-on-failure

echo "== Windows launchers with the test release keys, over HTTPS and over plain HTTP"
test_keys="$root/tests/data/release_signing/key-a-public.pem;$root/tests/data/release_signing/key-b-public.pem"
http_port=$((test_port + 1))
build_windows_launcher_with_keys "https://localhost:$test_port" "$build_root/win-keyed" "$test_keys"
build_windows_launcher_with_keys "http://localhost:$http_port" "$build_root/win-keyed-http" "$test_keys"
# The same launcher at a later version, for the launcher's own update.
build_windows_launcher_with_keys "https://localhost:$test_port" "$build_root/win-keyed-next" "$test_keys" 1.1.0

echo "== end-to-end tests under Wine"
VELDA_WIN_BUILD="$build_root/win" VELDA_NATIVE_BUILD="$build_root/native" VELDA_TEST_PORT="$test_port" \
    VELDA_WIN_KEYED_BUILD="$build_root/win-keyed" VELDA_WIN_KEYED_HTTP_BUILD="$build_root/win-keyed-http" \
    VELDA_WIN_KEYED_NEXT_BUILD="$build_root/win-keyed-next" \
    /usr/bin/python3 -m pytest "$root/tests/e2e" -q -p no:cacheprovider
