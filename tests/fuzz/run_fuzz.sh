#!/usr/bin/env bash
# Builds each fuzz target with libFuzzer and runs it for a bounded time; a
# crash or sanitizer report fails.
set -u
cd "$(dirname "$0")/../.."
root=$PWD
seconds=${FUZZ_SECONDS:-30}
out=$root/build/fuzz
mkdir -p "$out"
flags=(-std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I"$root")
core=(manifest/release.cpp manifest/fetch_manifest.cpp net/https.cpp nodes/node_table.cpp
  fetch/download.cpp fetch/verify.cpp fetch/sha256.cpp fetch/sha256_x86.cpp
  platform/platform.cpp platform/platform_posix.cpp platform/posix_clock_text.cpp
  platform/posix_http.cpp platform/posix_curl.cpp platform/response_head.cpp
  platform/posix_trust.cpp)
status=0
for target in fuzz_manifest fuzz_split_url fuzz_transfer; do
  if ! clang++ "${flags[@]}" "tests/fuzz/$target.cpp" "${core[@]}" -lcurl -lssl -lcrypto -o "$out/$target"; then
    echo "FAIL $target: build"
    status=1
    continue
  fi
  corpus=$out/$target-corpus
  mkdir -p "$corpus"
  if [ "$target" = fuzz_manifest ]; then
    printf 'v2.0.4\r\nVarnel-2.0.4-windows-amd64-setup.exe\r\n7532411\r\n%s\r\n' \
      9244397c38a76a83c240331671f3ddbc35647737f471f1ac9cfbf0854d725c9a > "$corpus/seed"
  elif [ "$target" = fuzz_transfer ]; then
    # A 70000-byte release, then three nodes: whole body, endless, overlong.
    printf '\x01\x11\x70\x01\x08\x04\x00\x10\x00\x09\x05\x01\x00\x00\x0a\x06\x00\x10\x00\x00\x00' > "$corpus/seed"
  else
    printf 'https://ghfast.top/https://github.com/varnel/varnel/releases/download/v2/a.exe' > "$corpus/seed"
  fi
  if "$out/$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 -print_final_stats=1 -artifact_prefix="$out/$target-" \
      "$corpus" >"$out/$target.log" 2>&1; then
    echo "ok   $target ($(grep -o 'stat::number_of_executed_units: [0-9]*' "$out/$target.log" | grep -o '[0-9]*$') runs)"
  else
    echo "FAIL $target"
    tail -n 30 "$out/$target.log"
    status=1
  fi
done
exit $status
