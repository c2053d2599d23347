#!/bin/sh
# Runs every fuzzer for SECONDS each, one after the other, and prints executions and findings.
#   fuzz/run.sh SECONDS [TARGET...]   fuzz; new inputs go to BUILD/fuzz/work/TARGET
#   fuzz/run.sh --merge [TARGET...]   fold the work corpora into fuzz/corpus, minimised; files
#                                     named regression-* (inputs of fixed findings) are kept
# BUILD defaults to build-fuzz beside this folder's parent (see fuzz/CMakeLists.txt).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${BUILD:-$root/build-fuzz}
all="json_extract_string parse_version url_filename changed_files_rules progress_lines
settings_language zip_directory der_signature file_digests delta_patch"

if [ $# -lt 1 ]; then
    echo "usage: $0 SECONDS|--merge [TARGET...]" >&2
    exit 2
fi
mode=$1
shift
targets=${*:-$all}

for target in $targets; do
    fuzzer=$build/fuzz/${target}_fuzzer
    if [ ! -x "$fuzzer" ]; then
        echo "$target: $fuzzer not built (cmake --build $build)" >&2
        exit 1
    fi
done

dict_of() {
    if [ -f "$here/dict/$1.dict" ]; then
        echo "-dict=$here/dict/$1.dict"
    fi
}

if [ "$mode" = "--merge" ]; then
    for target in $targets; do
        work=$build/fuzz/work/$target
        mkdir -p "$work"
        merged=$(mktemp -d)
        "$build/fuzz/${target}_fuzzer" -merge=1 "$merged" "$here/corpus/$target" "$work" \
            >"$build/fuzz/$target-merge.log" 2>&1
        # Inputs of fixed findings stay whatever coverage they add.
        find "$here/corpus/$target" -maxdepth 1 -type f ! -name 'regression-*' -delete
        # libFuzzer names inputs by their SHA-1: drop the copies of the regression inputs.
        for kept in "$here/corpus/$target"/regression-*; do
            if [ -e "$kept" ]; then
                rm -f "$merged/$(sha1sum "$kept" | cut -d' ' -f1)"
            fi
        done
        cp "$merged"/* "$here/corpus/$target"/ 2>/dev/null || true
        rm -rf "$merged"
        echo "$target: $(find "$here/corpus/$target" -type f | wc -l) files," \
            "$(du -sk "$here/corpus/$target" | cut -f1) KiB"
    done
    exit 0
fi

seconds=$mode
status=0
printf '%-22s %12s %10s %9s\n' target executions exec/s findings
for target in $targets; do
    work=$build/fuzz/work/$target
    findings=$build/fuzz/findings/$target
    mkdir -p "$work" "$findings"
    log=$build/fuzz/$target.log
    # The kept corpus is read only: new inputs land in the work folder, crashes in findings.
    # shellcheck disable=SC2046
    "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$findings/" $(dict_of "$target") "$work" "$here/corpus/$target" \
        >"$log" 2>&1 || true
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    found=$(find "$findings" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
        -o -name 'oom-*' -o -name 'slow-unit-*' \) | wc -l)
    printf '%-22s %12s %10s %9s\n' "$target" "${runs:-?}" "${speed:-?}" "$found"
    if [ "$found" -ne 0 ]; then
        find "$findings" -type f | sed 's/^/    /'
        status=1
    fi
done
exit $status
