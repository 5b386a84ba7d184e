#!/usr/bin/env bash
# Installs a build into a fresh prefix and uses it the way an adopter would,
# with nothing from the source or build tree in reach: a C program built with
# find_package and with pkg-config, the pixtrim command, and the Python binding.
# usage: install_check.sh BUILD_DIR CONSUMER_SOURCE_DIR PYTHON3 VERSION
set -euo pipefail
build_dir=$1 consumer_src=$2 python3=$3 version=$4

work=$(mktemp -d "${TMPDIR:-/tmp}/pixtrim-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null

# Copied out of the tree, so the consumer can only see the installed files.
cp -r "$consumer_src" "$work/consumer"
unset LD_LIBRARY_PATH PIXTRIM_LIBRARY PYTHONPATH CMAKE_PREFIX_PATH PKG_CONFIG_PATH
cd "$work"

echo "== installed files"
(cd "$prefix" && find . -type f -o -type l | sort)
lib=$(find "$prefix" -name "libtalmora-pixtrim.so.$version")
[ -n "$lib" ] || { echo "library libtalmora-pixtrim.so.$version not installed"; exit 1; }
libdir=$(dirname "$lib")
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = "libtalmora-pixtrim.so.0" ] || { echo "SONAME is '$soname'"; exit 1; }
exports=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort | tr '\n' ' ')
expected="pixtrim_batch pixtrim_cleanup pixtrim_init pixtrim_last_error pixtrim_lossless pixtrim_quality pixtrim_stats pixtrim_target_size "
[ "$exports" = "$expected" ] || { echo "exports are: $exports"; exit 1; }

echo "== find_package consumer"
mkdir out-cmake
cmake -S consumer -B consumer-build -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >/dev/null
cmake --build consumer-build >/dev/null
consumer-build/consumer out-cmake

echo "== pkg-config consumer"
mkdir out-pc
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion talmora-pixtrim)" = "$version" ] || { echo "pkg-config does not see version $version"; exit 1; }
# shellcheck disable=SC2046  # the flags are meant to split into words
cc -std=c99 -Wall -Wextra -pedantic -Werror consumer/consumer.c -o consumer-pc \
   $(pkg-config --cflags --libs talmora-pixtrim)
LD_LIBRARY_PATH=$libdir ./consumer-pc out-pc

echo "== pixtrim command"
"$prefix/bin/pixtrim" --help >/dev/null
"$prefix/bin/pixtrim" --version
"$prefix/bin/pixtrim" lossless out-cmake/tiny.bmp out-cli.png

echo "== Python binding"
site=$(find "$prefix" -type d -name talmora_pixtrim)
PYTHONPATH=$(dirname "$site") "$python3" - "$version" <<'EOF'
import os, sys, talmora_pixtrim as pt
assert pt.__version__ == sys.argv[1], pt.__version__
record = pt.quality("out-cmake/tiny.bmp", "out-py.jpg", 60)
assert record["output_size"] == os.path.getsize("out-py.jpg"), record
print(record)
EOF
echo "install check passed"
