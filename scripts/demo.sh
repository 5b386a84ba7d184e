#!/usr/bin/env bash
# Quick start: installs what is missing, builds the library and the pixtrim
# command, generates sample pictures and runs every operation once over them,
# showing what each saved. Everything lands in <build>/demo; the build
# directory is build/ unless PIXTRIM_BUILD_DIR names another.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
build=${PIXTRIM_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target pixtrim pixtrim-samples >/dev/null
build=$(cd "$build" && pwd)
pixtrim=$build/cli/pixtrim

demo=$build/demo
rm -rf "$demo"
mkdir -p "$demo/samples" "$demo/out"
cd "$demo"
echo "== sample pictures (in $demo/samples)"
"$build/tools/pixtrim-samples" samples >/dev/null
for f in samples/*; do printf '  %-24s %8d bytes\n' "$f" "$(stat -c %s "$f")"; done

run() {
  echo
  echo "\$ pixtrim $*"
  "$pixtrim" "$@"
}

echo
echo "== one of each operation (output in $demo/out)"
run quality samples/photo.png out/photo-q70.jpg 70
run quality samples/photo.png out/photo-q50.png 50
run quality samples/transparent.png out/transparent-q80.jpg 80
run target samples/photo.bmp out/photo-40k.jpg 40k
run target samples/grey.png out/grey-30k.png 30k
run lossless samples/transparent.png out/transparent.png
run lossless samples/grey.bmp out/grey.png
run --json lossless samples/photo.bmp out/photo.png
run batch samples out/batch 60

echo
echo "== batch at quality 60, file by file"
total_in=0 total_out=0
for f in samples/*; do
  name=$(basename "$f")
  in=$(stat -c %s "$f") out=$(stat -c %s "out/batch/$name")
  total_in=$((total_in + in)) total_out=$((total_out + out))
  printf '  %-18s %8d -> %8d bytes\n' "$name" "$in" "$out"
done
printf '  %-18s %8d -> %8d bytes, %d%% saved\n' "all" "$total_in" "$total_out" \
  $(( (total_in - total_out) * 100 / total_in ))
