#!/usr/bin/env bash
# Measures the library and writes BENCHMARKS.md:
#   1. the benchmark program: every operation beside its floor (CPU time);
#   2. instruction counts of the same pairs under callgrind (steady where
#      wall time is not); PIXTRIM_SKIP_CALLGRIND=1 leaves them out;
#   3. peak heap of the pixtrim command against the bound of its design;
#   4. whole-process runs of the pixtrim command beside optipng -o1,
#      ImageMagick convert, vips copy, cjpeg, djpeg | cjpeg and jpegoptim
#      --size on the same pictures, each only when installed (Debian:
#      optipng imagemagick libvips-tools libjpeg-turbo-progs jpegoptim
#      gnuplot-nox;
#      hyperfine times them when present),
#      drawn by gnuplot into bench/tools.png.
# Takes 10-20 minutes on 2 cores, most of it callgrind. PIXTRIM_BENCH_FILTER
# limits the benchmark program to the cases it matches (a regex).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${PIXTRIM_BENCH_BUILD:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target pixtrim_bench pixtrim >/dev/null
bench=$build/bench/pixtrim_bench
cli=$build/cli/pixtrim
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

have() { command -v "$1" >/dev/null 2>&1; }

echo "benchmark program..." >&2
"$bench" --benchmark_filter="${PIXTRIM_BENCH_FILTER:-.}" --benchmark_out="$work/bench.json" \
  --benchmark_out_format=json >&2

# Instruction counts: each case once, counted only inside its measured body.
: >"$work/instructions.tsv"
if [ -z "${PIXTRIM_SKIP_CALLGRIND:-}" ] && have valgrind; then
  cases=(lossless_png/photo_0.5MP lossless_png/rgba_1MP lossless_png/grey_1MP
         quality75_jpeg/photo_0.5MP quality75_jpeg/rgba_1MP quality75_jpeg_from_bmp/photo_2MP
         encode_jpeg_q75/textured_4MP quality50_png/photo_0.5MP quality50_png/rgba_1MP
         target_jpeg/photo_0.5MP target_jpeg_150k/textured_4MP target_jpeg_400k/textured_4MP
         target_png/photo_0.5MP batch_png_q75/icons_20)
  for c in "${cases[@]}"; do
    for kind in library floor stb_floor; do
      [ "$kind" = stb_floor ] && [[ $c != lossless_png/* ]] && continue
      echo "callgrind $c/$kind..." >&2
      valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$work/cg.out" \
        "$bench" --pixtrim_once --benchmark_filter="^$c/$kind/" >/dev/null 2>&1
      printf '%s\t%s\t%s\n' "$c" "$kind" "$(awk '/^(summary|totals):/ {print $2; exit}' "$work/cg.out")" \
        >>"$work/instructions.tsv"
    done
  done
fi

# Where the instructions of a lossless PNG go (inclusive counts).
: >"$work/profile.tsv"
if [ -z "${PIXTRIM_SKIP_CALLGRIND:-}" ] && have valgrind; then
  echo "callgrind profile of lossless_png/photo_0.5MP/library..." >&2
  valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$work/cg.out" \
    "$bench" --pixtrim_once --benchmark_filter="^lossless_png/photo_0.5MP/library/" >/dev/null 2>&1
  callgrind_annotate --inclusive=yes "$work/cg.out" 2>/dev/null | python3 -c '
import re, sys
for line in sys.stdin:
    m = re.match(r"\s*([\d,]+) \([ \d.]+%\)\s+[^:\s]*:([A-Za-z_]\w*)", line)
    if m: print(m.group(2) + "\t" + m.group(1).replace(",", ""))' >"$work/profile.tsv" || true
fi

# The 2 MP photo (PNG) and the textured 4 MP photo (JPEG tasks) for the
# command-line comparisons.
"$bench" --pixtrim_write_inputs "$work/in"
png=$work/in/photo_2MP.png jpg=$work/in/photo_2MP.jpg bmp=$work/in/photo_2MP.bmp
jpg4=$work/in/textured_4MP.jpg bmp4=$work/in/textured_4MP.bmp rgba=$work/in/rgba_1MP.png
out=$work/out
mkdir -p "$out"

# Peak heap (heaptrack) and resident set (time -v) of one command.
: >"$work/memory.tsv"
measure_memory() {
  local name=$1; shift
  local heap="" rss=""
  if have heaptrack; then
    heaptrack -o "$work/ht" "$@" >/dev/null 2>&1 || true
    heap=$(heaptrack_print "$work/ht.zst" 2>/dev/null | awk -F': ' '/^peak heap memory consumption/ {print $2}')
    rm -f "$work"/ht.*
  fi
  if [ -x /usr/bin/time ]; then
    rss=$(/usr/bin/time -f '%M' "$@" 2>&1 >/dev/null | tail -1)
  fi
  printf '%s\t%s\t%s\n' "$name" "$heap" "$rss" >>"$work/memory.tsv"
}
measure_memory lossless_png "$cli" lossless "$png" "$out/mem.png"
measure_memory lossless_png_from_bmp "$cli" lossless "$bmp" "$out/mem.png"
printf 'png_bytes\t%s\n' "$(stat -c %s "$out/mem.png")" >>"$work/memory.tsv"
printf 'input_png_bytes\t%s\n' "$(stat -c %s "$png")" >>"$work/memory.tsv"
measure_memory quality75_jpeg "$cli" quality "$jpg" "$out/mem.jpg" 75
measure_memory target_jpeg_4MP "$cli" target "$jpg4" "$out/mem.jpg" 150k

# Whole-process timings: one row per command, median wall seconds, mean CPU
# seconds (user + system, children included) and output size. A command
# given as one string runs in a shell (for pipelines).
: >"$work/tools.tsv"
time_command() {  # task name output command...
  local task=$1 name=$2 output=$3; shift 3
  local command
  if [ $# -eq 1 ]; then command=$1; else command=$(printf '%q ' "$@"); fi
  local median cpu
  if have hyperfine; then
    hyperfine -i --style none --runs "${PIXTRIM_RUNS:-7}" --warmup 1 --prepare "rm -f $output" \
      --export-json "$work/h.json" -- "$command" >/dev/null 2>&1
    read -r median cpu < <(python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"][0]; print(r["median"], r["user"] + r["system"])' "$work/h.json")
  else
    local times=()
    for _ in 1 2 3; do
      rm -f "$output"
      local start end
      start=$(date +%s.%N); bash -c "$command" >/dev/null 2>&1; end=$(date +%s.%N)
      times+=("$(echo "$end - $start" | bc)")
    done
    median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n 2p)
    cpu=$median
  fi
  printf '%s\t%s\t%s\t%s\t%s\n' "$task" "$name" "$median" "$cpu" \
    "$(stat -c %s "$output" 2>/dev/null || echo 0)" >>"$work/tools.tsv"
}
convert=""
for c in /usr/bin/convert convert; do
  if "$c" -version 2>/dev/null | grep -q ImageMagick; then convert=$c; break; fi
done

# Lossless PNG: the 2 MP photo, the transparent picture and the textured
# 4 MP photo from BMP; vips writes one encode at zlib's level 9.
for task in lossless_png:$png lossless_rgba:$rgba lossless_bmp4:$bmp4; do
  name=${task%%:*} input=${task#*:}
  time_command "$name" "pixtrim lossless" "$out/p.png" "$cli" lossless "$input" "$out/p.png"
  have optipng && time_command "$name" "optipng -o1" "$out/o.png" optipng -quiet -o1 -out "$out/o.png" "$input"
  [ -n "$convert" ] && time_command "$name" "convert" "$out/c.png" "$convert" "$input" "$out/c.png"
  have vips && time_command "$name" "vips copy [compression=9]" "$out/v.png" \
    vips copy "$input" "$out/v.png[compression=9]"
done

time_command quality75_bmp "pixtrim quality 75" "$out/p.jpg" "$cli" quality "$bmp4" "$out/p.jpg" 75
have cjpeg && time_command quality75_bmp "cjpeg -quality 75" "$out/j.jpg" cjpeg -quality 75 -outfile "$out/j.jpg" "$bmp4"
[ -n "$convert" ] && time_command quality75_bmp "convert -quality 75" "$out/c.jpg" "$convert" "$bmp4" -quality 75 "$out/c.jpg"

time_command quality75_jpeg "pixtrim quality 75" "$out/p.jpg" "$cli" quality "$jpg4" "$out/p.jpg" 75
have djpeg && have cjpeg && time_command quality75_jpeg "djpeg | cjpeg -quality 75" "$out/j.jpg" \
  "djpeg $(printf %q "$jpg4") | cjpeg -quality 75 -outfile $(printf %q "$out/j.jpg")"
[ -n "$convert" ] && time_command quality75_jpeg "convert -quality 75" "$out/c.jpg" "$convert" "$jpg4" -quality 75 "$out/c.jpg"

# Two budgets below the quality-90 input: both tools must search for a quality.
: >"$work/budget.tsv"
for budget_kb in 150 400; do
  task=target_${budget_kb}k
  time_command "$task" "pixtrim target ${budget_kb}k" "$out/t.jpg" "$cli" target "$jpg4" "$out/t.jpg" "${budget_kb}k"
  if have jpegoptim; then
    mkdir -p "$out/jo"
    time_command "$task" "jpegoptim --size=${budget_kb}" "$out/jo/textured_4MP.jpg" \
      jpegoptim --quiet --size="$budget_kb" --dest="$out/jo" "$jpg4"
  fi
  printf '%s\t%s\n' "$task" $((budget_kb * 1024)) >>"$work/budget.tsv"
done

PIXTRIM_TOP=$PWD python3 - "$work" >BENCHMARKS.md <<'EOF'
import json, os, re, subprocess, sys
work = sys.argv[1]

def rows(name):
    path = os.path.join(work, name)
    return [l.rstrip('\n').split('\t') for l in open(path) if l.strip()] if os.path.exists(path) else []

body, summary = [], []
out = body.append

bench = json.load(open(os.path.join(work, 'bench.json')))
cases = {}
for b in bench['benchmarks']:  # medians of repeated cases, single runs of the others
    if b.get('run_type') == 'aggregate' and b.get('aggregate_name') != 'median': continue
    group, kind = re.sub(r'/repeats:\d+$', '', b.get('run_name', b['name'])).rsplit('/', 1)
    cases.setdefault(group, {})[kind] = b
out('## Library against its floor (CPU time, median of three runs but for 8 MP and stb floor)\n')
out('| operation / picture | library ms | floor ms | library/floor | stb floor ms | stb floor/library | MP/s (library) | output bytes |')
out('|---|---:|---:|---:|---:|---:|---:|---:|')
speedups = []
for group, k in cases.items():
    lib, flo, stb = k.get('library'), k.get('floor'), k.get('stb_floor')
    if not lib or not flo: continue
    if stb: speedups.append(stb['cpu_time'] / lib['cpu_time'])
    out('| %s | %.1f | %.1f | %.3f | %s | %s | %.2f | %d |' % (group, lib['cpu_time'], flo['cpu_time'],
        lib['cpu_time'] / flo['cpu_time'], '%.1f' % stb['cpu_time'] if stb else '',
        '%.2fx' % (stb['cpu_time'] / lib['cpu_time']) if stb else '', lib.get('MP/s', 0), lib.get('bytes', 0)))
out('\nBatch reports files written instead of bytes. On a shared machine CPU-time ratios move by up to')
out('a tenth from one run to the next (other work competes for caches and memory); the instruction')
out('counts below are the steady measure.\n')
if speedups:
    summary.append('- Lossless PNG is %.2fx to %.2fx faster than the stb-compressor floor (CPU time), with'
                   ' byte-identical files.' % (min(speedups), max(speedups)))

ir = {}
for case, kind, count in rows('instructions.tsv'):
    ir.setdefault(case, {})[kind] = int(count or 0)
if ir:
    out('## Instructions (callgrind, one run of each case)\n')
    out('| operation / picture | library | floor | library/floor | stb floor | stb floor/library |')
    out('|---|---:|---:|---:|---:|---:|')
    worst = (0, '')
    for case, k in ir.items():
        lib, flo, stb = k.get('library', 0), k.get('floor', 0), k.get('stb_floor')
        if not lib or not flo: continue
        worst = max(worst, (lib / flo, case))
        out('| %s | %s | %s | %.3f | %s | %s |' % (case, format(lib, ','), format(flo, ','), lib / flo,
            format(stb, ',') if stb else '', '%.2fx' % (stb / lib) if stb else ''))
    out('')
    summary.append('- Every operation is within %.3fx of its floor in instructions (the highest: %s).'
                   % worst)
    jpeg = ['%s %.3f' % (c, k['library'] / k['floor']) for c, k in ir.items()
            if c.split('/')[0] in ('encode_jpeg_q75', 'target_jpeg_150k', 'target_jpeg_400k')
            and k.get('library') and k.get('floor')]
    if jpeg:
        summary.append('- JPEG instructions, library / stb\'s writer: ' + ', '.join(jpeg) + '.')

profile = {}
for r in rows('profile.tsv'):
    if len(r) == 2: profile.setdefault(r[0], int(r[1]))
total = profile.get('pixtrim_lossless')
if total:
    out('## Where a lossless PNG goes (photo 0.5 MP, instructions)\n')
    out('| part | share |')
    out('|---|---:|')
    zlib = profile.get('zlib_append', 0)
    parts = (('our zlib compressor, with the row filters it reads through (six encodes)', zlib),
             ('rest of the PNG encoder: chunks and CRC', profile.get('png_encode', 0) - zlib),
             ('reading and decoding the input (our PNG reader)', profile.get('load_rgba', 0)))
    for label, count in parts:
        out('| %s | %.1f %% |' % (label, 100 * count / total))
    out('')

mem = {r[0]: r[1:] for r in rows('memory.tsv')}
if mem:
    w, h = 1728, 1152
    png = int(mem.get('png_bytes', ['0'])[0])
    kept = int(mem.get('input_png_bytes', ['0'])[0])
    bound_bmp = (w * h * 4 + w * h * 3 + 2 * png) / 1e6
    bound = bound_bmp + kept / 1e6
    out('## Peak memory (2 MP photo, pixtrim command)\n')
    out('| operation | peak heap (heaptrack) | max RSS KB (time -v) |')
    out('|---|---:|---:|')
    for name in ('lossless_png', 'lossless_png_from_bmp', 'quality75_jpeg', 'target_jpeg_4MP'):
        if name in mem: out('| %s | %s | %s |' % (name, mem[name][0] or 'n/a', mem[name][1] or 'n/a'))
    out('\nBound for the lossless PNG from a BMP: decoded picture (%.2f MB) + RGB layout block (%.2f MB)'
        % (w * h * 4 / 1e6, w * h * 3 / 1e6))
    out('+ two PNG encodings (2 x %.2f MB) = %.2f MB; from a PNG the input file (%.2f MB) is kept as'
        % (png / 1e6, bound_bmp, kept / 1e6))
    out('well, as the candidate it is itself, so %.2f MB. While it encodes, the library holds the' % bound)
    out('picture, the best file so far (cut to size), the file under way (which gives up before it')
    out('outgrows the best) and the compressor\'s fixed working set (a 3 MiB bucket table, which keeps')
    out('the first 8 bytes of each position beside it, a 256 KiB read-ahead window and a few rows):')
    out('rows are filtered as the compressor reads them, so there is no layout block. The floor, which')
    out('calls stb_image_write\'s PNG writer, holds a layout block, its filtered copy of the rows and the')
    out('zlib stream, then the stream and its PNG, then that PNG while the write function copies it.\n')
    out('Bound for target size on the textured 4 MP JPEG: decoded picture (%.2f MB) + 12 bytes a pixel'
        % (2560 * 1600 * 4 / 1e6))
    out('(%.2f MB) = %.2f MB: the search keeps the transformed blocks of one chroma mode.\n'
        % (2560 * 1600 * 12 / 1e6, 2560 * 1600 * 16 / 1e6))
    if 'lossless_png' in mem and mem['lossless_png'][0]:
        summary.append('- Peak heap of a 2 MP lossless PNG: %s against a bound of %.2f MB for what the library'
                       ' itself holds (see Peak memory).' % (mem['lossless_png'][0], bound))

tools = rows('tools.tsv')
if tools:
    budgets = dict(rows('budget.tsv'))
    titles = {'lossless_png': 'lossless PNG, 2 MP photo (PNG in)',
              'lossless_rgba': 'lossless PNG, 1 MP transparent picture (PNG in)',
              'lossless_bmp4': 'lossless PNG, textured 4 MP photo (BMP in)',
              'quality75_bmp': 'JPEG quality 75, textured 4 MP photo (BMP in)',
              'quality75_jpeg': 'JPEG quality 75, textured 4 MP photo (JPEG in)',
              'target_150k': 'target size 150 KiB, textured 4 MP photo (JPEG in)',
              'target_400k': 'target size 400 KiB, textured 4 MP photo (JPEG in)'}
    short = {'lossless_png': 'lossless PNG, 2 MP', 'lossless_rgba': 'lossless PNG, RGBA 1 MP',
             'lossless_bmp4': 'lossless PNG from BMP, 4 MP', 'quality75_bmp': 'JPEG q75 from BMP, 4 MP',
             'quality75_jpeg': 'JPEG q75 from JPEG, 4 MP', 'target_150k': 'target 150 KiB, 4 MP',
             'target_400k': 'target 400 KiB, 4 MP'}
    out('## Whole process against other tools (median wall time of %s runs, mean CPU time)\n'
        % os.environ.get('PIXTRIM_RUNS', '7'))
    out('![Time and bytes against other tools](bench/tools.png)\n')
    out('| task | command | wall s | CPU s | bytes | wall / pixtrim | CPU / pixtrim | size / pixtrim |')
    out('|---|---|---:|---:|---:|---:|---:|---:|')
    base = {}
    for task, name, wall, cpu, size in tools:
        if name.startswith('pixtrim'): base[task] = (float(wall), float(cpu), int(size))
    for task, name, wall, cpu, size in tools:
        w0, c0, s0 = base.get(task, (0, 0, 0))
        note = ''
        if task in budgets:
            note = ' (within budget)' if 0 < int(size) <= int(budgets[task]) else ' (over budget)'
        out('| %s | %s | %.3f | %.3f | %s%s | %s | %s | %s |' % (task, name.replace('|', '\\|'), float(wall), float(cpu), size, note,
            '%.2f' % (float(wall) / w0) if w0 else '', '%.2f' % (float(cpu) / c0) if c0 else '',
            '%.2f' % (int(size) / s0) if s0 else ''))
    for task in titles:
        others = [(float(r[2]), r[1]) for r in tools if r[0] == task and not r[1].startswith('pixtrim')]
        if task in base and others:
            wall, name = min(others)
            summary.append('- %s: pixtrim %.3f s, fastest other tool %s %.3f s (%.2fx pixtrim\'s time).'
                           % (titles[task], base[task][0], name, wall, wall / base[task][0]))
    out('\nTasks: ' + '; '.join('%s = %s' % (t, titles[t]) for t in titles if t in base) + '.')
    out('\nThe PNG files of optipng, ImageMagick and vips are smaller: stb\'s compressor, which ours reproduces byte')
    out('for byte, writes a single block with the fixed Huffman code. The JPEG files are stb_image_write\'s,')
    out('whose tables and 4:2:0 subsampling differ from cjpeg\'s, so sizes at one quality differ too.\n')
    # The chart: a column per task, wall time above and bytes below, each
    # panel on its own scale; pixtrim's bar in the first colour.
    chart = os.path.join(work, 'chart.dat')
    tasks = [t for t in titles if t in base]
    with open(chart, 'w') as f:
        for task in tasks:
            for x, (_, name, wall, cpu, size) in enumerate(r for r in tools if r[0] == task):
                f.write('%d "%s" %s %.1f %d\n' % (x, name.replace('"', "'"), wall, int(size) / 1024,
                                                  1 if name.startswith('pixtrim') else 2))
            f.write('\n\n')
    lines = ["set terminal pngcairo size %d,760 font ',9' noenhanced" % (260 * len(tasks)),
             "set output '%s'" % os.path.join(os.environ['PIXTRIM_TOP'], 'bench', 'tools.png'),
             "set multiplot layout 2,%d title 'pixtrim against other tools: wall seconds (top), output KiB (bottom)'" % len(tasks),
             'set style fill solid 0.8 border -1', 'set boxwidth 0.7', 'set grid ytics', 'unset key',
             'set xtics rotate by -40 left nomirror', 'set yrange [0:*]', 'set offsets 0.5,0.5,0,0',
             'set bmargin 9']
    for row, (column, fmt) in enumerate(((3, '%.3f'), (4, '%.0f'))):
        for i, task in enumerate(tasks):
            lines.append("set title '%s'" % (short[task] if row == 0 else ''))
            lines.append("plot '%s' index %d using 1:%d:5:xtic(2) with boxes lc variable, "
                         "'' index %d using 1:%d:(sprintf('%s', $%d)) with labels offset 0,0.7"
                         % (chart, i, column, i, column, fmt, column))
    lines.append('unset multiplot')
    script = '\n'.join(lines) + '\n'
    try:
        subprocess.run(['gnuplot'], input=script, text=True, check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError) as e:
        print('chart not drawn: %s' % e, file=sys.stderr)

lscpu = subprocess.run(['lscpu'], capture_output=True, text=True).stdout
model = re.search(r'Model name:\s*(.*)', lscpu)
print('# Benchmarks\n')
print('Measured by `bench/compare.sh` on %s, %s cores, in one run: every ratio compares two'
      % (model.group(1).strip() if model else 'an unknown CPU', os.cpu_count()))
print('measurements taken side by side on the same generated pictures. Pictures: photo-like')
print('RGB (soft light, sharp-edged shapes, sensor noise) at 0.5, 2 and 8 MP, a 1 MP picture with')
print('transparency, a 1 MP greyscale one and 20 icons of 32-128 px.\n')
print('The **floor** of an operation makes only the codec calls it needs: the same decode and the same')
print('stb encodes (for PNG, stb_image_write\'s PNG writer with our compressor, which is what the')
print('library called before it had its own PNG encoder), reading the input and writing the output')
print('once, nothing else. **stb floor** is the floor with stb_image_write\'s own zlib compressor, i.e.')
print('the library before it had its own compressor. For JPEG the floor is stb_image_write\'s JPEG')
print('writer (and, for target size, the bisection over it in memory): the library before it had its')
print('own JPEG encoder, which writes the same bytes.\n')
if summary:
    print('## Summary\n')
    print('\n'.join(summary) + '\n')
print('\n'.join(body))
EOF
echo "wrote BENCHMARKS.md" >&2
