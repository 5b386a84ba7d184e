#!/usr/bin/env bash
# Wall time of a whole tree of 2,000 generated photos: `pixtrim batch -r`
# with one worker and with two, and a local Dask cluster of two worker
# processes (`python3 -m talmora_pixtrim batch --local 2 -r`), with hyperfine.
#   bench/tree_jobs.sh [BUILD_DIR] [RUNS] [SIZE]
# SIZE is vga (640 x 480, the default) or 2mp (the benchmark's 1728 x 1152 photo).
# The cluster runs on the system's python3, which Debian's
# python3-distributed serves. The machine's load is printed before and after.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
runs=${2:-3}
size=${3:-vga}
source=$(cd "$(dirname "$0")/.." && pwd)
pixtrim=$build/cli/pixtrim
work=$(mktemp -d "${TMPDIR:-/tmp}/pixtrim-tree-XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/samples"
case $size in
vga) "$build/tools/pixtrim-samples" "$work/samples" >/dev/null
     photo=$work/samples/photo.bmp ;;
2mp) "$build/bench/pixtrim_bench" --pixtrim_write_inputs "$work/samples" >/dev/null
     photo=$work/samples/photo_2MP.bmp ;;
*) echo "unknown size $size (vga or 2mp)" >&2; exit 2 ;;
esac
# 100 distinct photos, each 20 times over 4 x 5 folders: 2,000 files.
for i in $(seq 1 100); do
  "$pixtrim" quality "$photo" "$work/photo-$i.jpg" $((40 + i % 60)) >/dev/null
done
for a in 1 2 3 4; do
  for b in 1 2 3 4 5; do
    mkdir -p "$work/photos/roll $a/day $b"
    for i in $(seq 1 100); do
      cp "$work/photo-$i.jpg" "$work/photos/roll $a/day $b/IMG_$i.JPG"
    done
  done
done
echo "inputs: $(find "$work/photos" -type f | wc -l) files, $(du -sh "$work/photos" | cut -f1)"

cluster="env PYTHONPATH='$source/python' PIXTRIM_LIBRARY='$build/libtalmora-pixtrim.so.0'"
cluster+=" /usr/bin/python3 -m talmora_pixtrim batch --quiet --local 2 -r"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
hyperfine --warmup 1 --runs "$runs" --export-json "$work/times.json" \
  --prepare "rm -rf '$work/out'" \
  -n "jobs 1" "'$pixtrim' --quiet -r -j 1 batch '$work/photos' '$work/out' 60" \
  -n "jobs 2" "'$pixtrim' --quiet -r -j 2 batch '$work/photos' '$work/out' 60" \
  -n "cluster" "$cluster '$work/photos' '$work/out' 60"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$work/times.json" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
one, two, cluster = results["jobs 1"], results["jobs 2"], results["cluster"]
for name, r in results.items():
    print("runs %-8s %s" % (name + ":", " ".join("%.2f" % t for t in r["times"])))
print("-j 2 against -j 1 (medians): %.2fx as fast" % (one["median"] / two["median"]))
print("cluster against -j 2 (medians): %.2fx the time" % (cluster["median"] / two["median"]))
PY

# The same outputs every way.
"$pixtrim" --quiet -r -j 2 batch "$work/photos" "$work/two" 60 >/dev/null
eval "$cluster '$work/photos' '$work/cluster' 60" >/dev/null
diff -r "$work/two" "$work/cluster" >/dev/null && echo "outputs: identical" || echo "outputs: DIFFER"
