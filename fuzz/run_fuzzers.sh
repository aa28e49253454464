#!/usr/bin/env bash
# Runs every fuzz target for SECONDS, PARALLEL at a time, each on a corpus of
# its own in BUILD/fuzz-corpus seeded from the repository's files, and fails
# when any target finds a crash, a leak or a timeout in our code (the input
# is kept in BUILD/fuzz-artifacts, the target's output in BUILD/fuzz-logs).
#   fuzz/run_fuzzers.sh BUILD SECONDS PARALLEL
set -uo pipefail
build=$(realpath "$1")
seconds=$2
parallel=$3
root=$(cd "$(dirname "$0")/.." && pwd)

targets="fuzz_model_json fuzz_build_export fuzz_read_set fuzz_import_gltf fuzz_import_glb fuzz_import_fbx
         fuzz_import_dae fuzz_import_obj fuzz_import_b3d fuzz_format_md2 fuzz_format_md3 fuzz_format_mdc
         fuzz_format_mdl fuzz_format_set fuzz_point_cache_pc2 fuzz_point_cache_mdd"

seeds() {
    case $1 in
        fuzz_model_json) echo "$root"/examples/*.hm.json ;;
        # Sets as archives (fuzz/read_set_fuzzer.cpp): written by fuzz/seeds/make_set_seeds.py.
        fuzz_read_set) echo "$root"/fuzz/seeds/*.vset ;;
        fuzz_import_gltf) echo "$root"/examples/*.gltf "$root"/tests/data/*/*.gltf "$root"/tests/data/sample/*.gltf ;;
        fuzz_import_glb) echo "$root"/tests/data/*/*.glb ;;
        fuzz_import_fbx) echo "$root"/tests/data/sample/*.fbx ;;
        fuzz_import_dae) echo "$root"/tests/data/sample/*.dae ;;
        fuzz_import_obj) echo "$root"/fuzz/seeds/*.obj ;;
        fuzz_import_b3d) echo "$root"/fuzz/seeds/*.b3d ;;
        fuzz_format_* | fuzz_point_cache_*) echo "$root"/fuzz/seeds/*."${1##*_}" ;;
    esac
}

dictionary() {
    case $1 in
        fuzz_model_json) echo "$root/fuzz/dict/model_json.dict" ;;
        fuzz_read_set) echo "$root/fuzz/dict/set.dict" ;;
        fuzz_import_gltf | fuzz_import_glb) echo "$root/fuzz/dict/gltf.dict" ;;
        fuzz_import_dae | fuzz_import_obj | fuzz_import_b3d) echo "$root/fuzz/dict/${1#fuzz_import_}.dict" ;;
    esac
}

run_one() {
    local name=$1 corpus=$build/fuzz-corpus/$1 log=$build/fuzz-logs/$1.log
    mkdir -p "$corpus" "$build/fuzz-artifacts" "$build/fuzz-logs"
    for seed in $(seeds "$name"); do cp -n "$seed" "$corpus/"; done
    local options=(-max_total_time="$seconds" -timeout=30 -rss_limit_mb=3072 -print_final_stats=1
                   -artifact_prefix="$build/fuzz-artifacts/$name-")
    local dict
    dict=$(dictionary "$name")
    [ -n "$dict" ] && options+=(-dict="$dict")
    # Assimp's reads in the children are held by their own limits; libFuzzer's
    # limit on one allocation would stop a child before they do.
    [[ $name == fuzz_import_* ]] && options+=(-malloc_limit_mb=1000000000)
    # A set's reader allocates no more than its files justify (a few MiB
    # here) and the glTF file's animations at most 64 MiB more: a single
    # allocation past 256 MiB is a finding.
    [[ $name == fuzz_read_set ]] && options+=(-malloc_limit_mb=256)
    "$build/$name" "${options[@]}" "$corpus" > "$log" 2>&1
    echo $? > "$log.status"
}
# The innermost frame of a fault: #0 of a sanitizer's report or, for an abort
# (Assimp's failed assertions abort, and the same file can read in the child
# and abort here), the frame that called abort, past the C++ runtime's
# terminate handlers.
innermost_frame() {
    awk '/ERROR: AddressSanitizer/ { asan = 1 }
         asan && / #0 / { print; exit }
         /ERROR: LeakSanitizer/ { leak = 1 }
         leak && / #1 / { print; exit }
         /ERROR: libFuzzer: deadly signal/ { abort = 1 }
         abort && / #[0-9]+ / {
             if (called && !/libstdc\+\+|__cxxabiv1|std::terminate/) { print; exit }
             if (/ in abort /) called = 1
         }' "$1"
}

export -f run_one seeds dictionary
export build seconds root

start=$(date +%s)
printf '%s\n' $targets | xargs -P "$parallel" -I{} bash -c 'run_one {}'
failed=0
for name in $targets; do
    log=$build/fuzz-logs/$name.log
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    status=$(cat "$log.status")
    # A fault whose innermost frame is inside Assimp is the reader's own, which
    # the program contains in its child process; only faults in our code fail.
    # A leak counts from the frame that called the allocator: memory zlib takes
    # for Assimp's compressed FBX arrays and Assimp never frees is Assimp's (we
    # never inflate).
    innermost=$(innermost_frame "$log")
    if [ "$status" = 0 ]; then
        printf '%-20s %10s executions  ok\n' "$name" "${runs:-?}"
    elif [[ "$innermost" == *libassimp* || "$innermost" == *" in inflate"*libz.so* ]]; then
        printf '%-20s %10s executions  ok (a fault inside Assimp, not ours: %s)\n' "$name" "${runs:-?}" "$log"
    else
        printf '%-20s %10s executions  FAILED (exit %s), %s:\n' "$name" "${runs:-?}" "$status" "$log"
        grep -E -A12 'ERROR|FUZZ FINDING|runtime error' "$log" | head -40
        failed=1
    fi
done
echo "make fuzz: $(( $(date +%s) - start )) s for the runs"
exit $failed
