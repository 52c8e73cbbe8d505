#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test; then the
# same tests under AddressSanitizer + UndefinedBehaviorSanitizer with short
# fuzzer runs, and the processor tests under ThreadSanitizer. The sanitizer
# builds skip the plug-in formats. TALVORA_SANITIZERS=0 skips them.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/packages.sh
jobs="$(nproc)"

# A warning in the project's own files fails this build and the two below.
cmake -S . -B build-tests -DCMAKE_BUILD_TYPE=Release -DTALVORA_WERROR=ON
cmake --build build-tests -j"$jobs"
ctest --test-dir build-tests --output-on-failure -j"$jobs" --timeout 600

[ "${TALVORA_SANITIZERS:-1}" = "0" ] && exit 0

export CC=clang-14 CXX=clang++-14
export ASAN_SYMBOLIZER_PATH=/usr/bin/llvm-symbolizer-14
sanitized=(-DCMAKE_BUILD_TYPE=Release -DTALVORA_BUILD_FORMATS=OFF -DTALVORA_BUILD_BENCH=OFF -DTALVORA_WERROR=ON)

# Everything under ASan + UBSan, the soak and the fuzzers (short runs) included.
cmake -S . -B build-asan "${sanitized[@]}" -DTALVORA_SANITIZE=address -DTALVORA_FUZZ=ON
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 900

# ThreadSanitizer: every processor-level test but the single-threaded soak
# and sound comparisons, which hold no threads and take minutes under it.
# Address randomisation off where the kernel's is wider than this TSan's
# memory layout allows.
cmake -S . -B build-tsan "${sanitized[@]}" -DTALVORA_SANITIZE=thread
cmake --build build-tsan -j"$jobs" --target talvora_tests
norandom=()
setarch "$(uname -m)" -R true 2>/dev/null && norandom=(setarch "$(uname -m)" -R)
# Shards side by side: the tests already run in parallel processes under CTest.
shards=$(( jobs < 4 ? jobs : 4 ))
pids=()
for ((i = 0; i < shards; ++i)); do
    GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i \
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
        "${norandom[@]}" build-tsan/tests/talvora_tests --gtest_filter='-*Soak*:StackPaths.*:ReferenceRender.*' --gtest_brief=1 \
        > "build-tsan/shard-$i.log" 2>&1 &
    pids+=($!)
done
failed=0
for ((i = 0; i < shards; ++i)); do
    if ! wait "${pids[$i]}"; then
        failed=1
        echo "ThreadSanitizer shard $i of $shards failed:"
    fi
    cat "build-tsan/shard-$i.log"
done
exit $failed
