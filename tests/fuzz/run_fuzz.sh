#!/usr/bin/env bash
# Builds each fuzz target with libFuzzer and runs it for a bounded time; a
# crash or sanitizer report fails.
set -u
cd "$(dirname "$0")/../.."
root=$PWD
# Each target's corpus stays in build/fuzz, so later runs start from what
# earlier ones found.
seconds=${FUZZ_SECONDS:-10}
out=$root/build/fuzz
mkdir -p "$out/obj"
# The headers CMake makes (the version) come from the debug build's configuration.
[ -f build/debug/generated/varnel_version.h ] || cmake --preset debug >/dev/null || exit 1
flags=(-std=c++20 -g -O1 -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -I"$root"
  -I"$root/build/debug/generated")
core=(manifest/release.cpp manifest/fetch_manifest.cpp net/https.cpp nodes/node_table.cpp
  fetch/download.cpp fetch/verify.cpp fetch/sha256.cpp fetch/sha256_x86.cpp
  platform/platform.cpp pe/der.cpp pe/image.cpp pe/authenticode.cpp)
# The stand-in's files, as the build lists them.
mapfile -t posix_sources < posix/sources.txt
core+=("${posix_sources[@]}")
# The code under test is compiled once for all targets.
objects=()
for source in "${core[@]}"; do
  object=$out/obj/$(echo "$source" | tr / _).o
  if ! clang++ "${flags[@]}" -c "$source" -o "$object"; then
    echo "FAIL build of $source"
    exit 1
  fi
  objects+=("$object")
done
status=0
for target in fuzz_manifest fuzz_split_url fuzz_transfer fuzz_signature; do
  if ! clang++ "${flags[@]}" -fsanitize=fuzzer "tests/fuzz/$target.cpp" "${objects[@]}" \
    -lcurl -lssl -lcrypto -o "$out/$target"; then
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
  elif [ "$target" = fuzz_signature ]; then
    # A signed image, when a test build left one.
    for seed in build/windows/tests/marker-installer.exe; do
      [ -f "$seed" ] && head -c 4096 "$seed" > "$corpus/seed"
    done
    [ -f "$corpus/seed" ] || printf 'MZ' > "$corpus/seed"
  else
    printf 'https://ghfast.top/https://github.com/varnel/varnel/releases/download/v2/a.exe' > "$corpus/seed"
  fi
  # An input of the transfer target runs a whole download walk, a thousand
  # times slower than the parsers' inputs: it gets twice the time.
  budget=$seconds
  [ "$target" = fuzz_transfer ] && budget=$((2 * seconds))
  if "$out/$target" -max_total_time="$budget" -max_len=4096 -timeout=10 -print_final_stats=1 -artifact_prefix="$out/$target-" \
      "$corpus" >"$out/$target.log" 2>&1; then
    echo "ok   $target ($(grep -o 'stat::number_of_executed_units: [0-9]*' "$out/$target.log" | grep -o '[0-9]*$') runs)"
  else
    echo "FAIL $target"
    tail -n 30 "$out/$target.log"
    status=1
  fi
done
exit $status
