#!/usr/bin/env bash
# Wall time of `pixtrim batch` with one worker process against two, over a
# folder of 120 generated photos (100 JPEG, 20 PNG), with hyperfine.
#   bench/batch_jobs.sh [BUILD_DIR] [RUNS]
# The machine's load is printed before and after: figures taken while other
# work runs say little about two cores.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
runs=${2:-5}
pixtrim=$build/cli/pixtrim
work=$(mktemp -d "${TMPDIR:-/tmp}/pixtrim-jobs-XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/samples"
"$build/tools/pixtrim-samples" "$work/samples" >/dev/null
mkdir -p "$work/photos"
# Distinct files: the sample photo at a different quality each.
for i in $(seq 1 100); do
  "$pixtrim" --json quality "$work/samples/photo.bmp" \
    "$work/photos/photo-$(printf %04d "$i").jpg" $((40 + i % 60)) >/dev/null
done
for i in $(seq 101 120); do
  "$pixtrim" --json quality "$work/samples/photo.png" \
    "$work/photos/photo-$(printf %04d "$i").png" $((60 + (i - 100) * 2)) >/dev/null
done
echo "inputs: $(ls "$work/photos" | wc -l) files, $(du -sh "$work/photos" | cut -f1)"

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
hyperfine --warmup 1 --runs "$runs" --export-json "$work/times.json" \
  --prepare "rm -rf '$work/out'" \
  -n "jobs 1" "'$pixtrim' --quiet -j 1 batch '$work/photos' '$work/out' 60" \
  -n "jobs 2" "'$pixtrim' --quiet -j 2 batch '$work/photos' '$work/out' 60"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$work/times.json" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
one, two = results["jobs 1"], results["jobs 2"]
print("runs -j 1: " + " ".join("%.3f" % t for t in one["times"]))
print("runs -j 2: " + " ".join("%.3f" % t for t in two["times"]))
print("speed-up (median): %.2fx" % (one["median"] / two["median"]))
PY

# The same outputs either way.
"$pixtrim" --quiet -j 1 batch "$work/photos" "$work/one" 60 >/dev/null
"$pixtrim" --quiet -j 2 batch "$work/photos" "$work/two" 60 >/dev/null
diff -r "$work/one" "$work/two" >/dev/null && echo "outputs: identical" || echo "outputs: DIFFER"
