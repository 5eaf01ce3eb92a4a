#!/usr/bin/env bash
# Builds the EVT3 decoder's libFuzzer target with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs it for a bounded time, FUZZ_SECONDS (default 60),
# starting from the seed streams in tests/fuzz/corpus. Inputs it finds are kept in
# build/fuzz/corpus for the next run; a crashing input is written to build/fuzz/ and fails the
# run.
set -euo pipefail
cd "$(dirname "$0")/.."

CXX=${FUZZ_CXX:-clang++}
SECONDS_TO_RUN=${FUZZ_SECONDS:-60}
OUT=build/fuzz
mkdir -p "$OUT/corpus"

"$CXX" -std=c++17 -O1 -g -fno-omit-frame-pointer -Wall -Wextra -Werror \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -Icodec/include -Iinclude -Ibase_binding/include \
    tests/fuzz/fuzz_evt3_decoder.cpp codec/Evt3Decoder.cpp codec/RawFormat.cpp codec/QuotedText.cpp \
    -o "$OUT/fuzz_evt3_decoder"

"$OUT/fuzz_evt3_decoder" -max_total_time="$SECONDS_TO_RUN" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$OUT/" "$OUT/corpus" tests/fuzz/corpus
