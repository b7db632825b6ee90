#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Runs one fuzzer of a build made with FONTSEAL_FUZZ=ON.
#   run.sh replay TARGET          every seed and kept crash, once each
#   run.sh run TARGET SECONDS     a bounded run from them, new inputs thrown away
#   run.sh long TARGET SECONDS    a run at low priority that keeps what it learns
#                                 in FUZZ_BUILD_DIR/corpus/TARGET and logs to
#                                 FUZZ_BUILD_DIR/logs/TARGET.log
# Crashing inputs land in FUZZ_BUILD_DIR/artifacts/TARGET/; once mended, keep
# them in fuzz/regressions/TARGET/ so every replay tries them again.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${FUZZ_BUILD_DIR:-$here/../build/fuzz}
mode=${1:?mode}
target=${2:?target}
seconds=${3:-5}

binary=$build/bin/fuzz_$target
[ -x "$binary" ] || { echo "no $binary: build the fuzzers first" >&2; exit 2; }

# Inputs that are only read: made at build time, committed, kept crashes.
inputs=()
for dir in "$build/seeds/$target" "$here/corpus/$target" "$here/regressions/$target"; do
    [ -d "$dir" ] && inputs+=("$dir")
done

case $target in
    x509 | pkcs7 | rfc3161_reply) dict=der ;;
    countersignature_reply) dict=codec ;;
    *) dict=$target ;;
esac
flags=(-timeout=10 -rss_limit_mb=2048 -print_final_stats=1)
[ -f "$here/dict/$dict.dict" ] && flags+=("-dict=$here/dict/$dict.dict")
artifacts=$build/artifacts/$target
mkdir -p "$artifacts"
flags+=("-artifact_prefix=$artifacts/")

case $mode in
    replay)
        # Without files the binary would start fuzzing instead.
        files=()
        [ "${#inputs[@]}" -gt 0 ] && mapfile -t files < <(find "${inputs[@]}" -type f ! -name '.*' | sort)
        [ "${#files[@]}" -gt 0 ] || { echo "no inputs for $target" >&2; exit 2; }
        echo "replaying ${#files[@]} inputs"
        exec "$binary" "${flags[@]}" "${files[@]}"
        ;;
    run)
        scratch=$(mktemp -d)
        trap 'rm -rf "$scratch"' EXIT
        "$binary" "${flags[@]}" -max_total_time="$seconds" "$scratch" "${inputs[@]}"
        ;;
    long)
        corpus=$build/corpus/$target
        mkdir -p "$corpus" "$build/logs"
        log=$build/logs/$target.log
        status=0
        nice -n 10 "$binary" "${flags[@]}" -max_total_time="$seconds" "$corpus" "${inputs[@]}" \
            >"$log" 2>&1 || status=$?
        # The last coverage line and libFuzzer's final figures.
        grep -E '^#[0-9]+' "$log" | tail -n 1 || true
        grep -E 'stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" || true
        if [ "$status" -ne 0 ]; then
            grep -E 'ERROR|SUMMARY|broken promise|Test unit written' "$log" | head -n 20
            echo "fuzz_$target failed (status $status); full log in $log" >&2
        fi
        exit "$status"
        ;;
    *)
        echo "unknown mode $mode" >&2
        exit 2
        ;;
esac
