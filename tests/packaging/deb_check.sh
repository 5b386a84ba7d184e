#!/usr/bin/env bash
# Makes the Debian package from a finished build, checks its control fields,
# unpacks it into a temporary root and uses what it holds from there: a C
# program built with pkg-config, the pixtrim command and the Python binding.
# Debian's lintian must pass it with no error or warning (the package's own
# overrides, each with its reason, aside).
# usage: deb_check.sh BUILD_DIR CONSUMER_SOURCE_DIR VERSION DEBIAN_VERSION [MAN_PAGE...]
# Man pages are named relative to share/man (man1/pixtrim.1.gz).
# Exits 77 (skipped) when cpack, dpkg-deb, dpkg-shlibdeps or lintian is missing.
set -euo pipefail
build_dir=$1 consumer_src=$2 version=$3 debian_version=$4
shift 4
python3=/usr/bin/python3

for tool in cpack dpkg-deb dpkg-shlibdeps lintian; do
  command -v "$tool" >/dev/null ||
    { echo "skipped: $tool is needed (dpkg-dev, cmake, lintian; scripts/setup.sh installs them)"; exit 77; }
done

work=$(cd "$(mktemp -d "${TMPDIR:-/tmp}/pixtrim-deb-XXXXXX")" && pwd -P)
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH PIXTRIM_LIBRARY PYTHONPATH PKG_CONFIG_PATH
fail() { echo "$*"; exit 1; }
# The file the loader resolves a program's libtalmora-pixtrim.so.0 to.
resolved_library() {
  realpath "$(ldd "$1" | awk '$1 == "libtalmora-pixtrim.so.0" {print $3}')"
}

echo "== cpack -G DEB"
cpack --config "$build_dir/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; exit 1; }
arch=$(dpkg --print-architecture)
deb=$work/out/talmora-pixtrim_${debian_version}_${arch}.deb
[ -f "$deb" ] || fail "no $(basename "$deb"); made: $(ls "$work/out")"

echo "== dpkg-deb --info"
dpkg-deb --info "$deb"
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = talmora-pixtrim ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$debian_version" ] || fail "Version is '$(field Version)'"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
case $(field Depends) in
  *libc6*) ;;
  *) fail "Depends were not computed: '$(field Depends)'" ;;
esac

echo "== lintian"
lintian --fail-on error,warning --tag-display-limit 0 "$deb" || fail "lintian found errors or warnings"

echo "== contents"
root=$work/root
dpkg-deb -x "$deb" "$root"
(cd "$root" && find . -type f -o -type l | sort)
lib=$(find "$root/usr/lib" -name "libtalmora-pixtrim.so.$version")
[ -n "$lib" ] || fail "library libtalmora-pixtrim.so.$version not packaged"
libdir=$(dirname "$lib")
for file in usr/include/pixtrim.h usr/bin/pixtrim \
            "${libdir#"$root/"}/cmake/talmora-pixtrim/talmora-pixtrim-config.cmake" \
            "${libdir#"$root/"}/pkgconfig/talmora-pixtrim.pc" \
            usr/lib/python3/dist-packages/talmora_pixtrim/__init__.py \
            usr/lib/python3/dist-packages/talmora_pixtrim/py.typed; do
  [ -e "$root/$file" ] || fail "$file not packaged"
done
packages=$(cd "$root" && find . -type d -name talmora_pixtrim)
[ "$packages" = ./usr/lib/python3/dist-packages/talmora_pixtrim ] ||
  fail "the Python binding must be packaged once, for Debian's python3: $packages"
for page in "$@"; do
  [ -e "$root/usr/share/man/$page" ] || fail "man page $page not packaged"
done

cd "$work"
echo "== C consumer against the unpacked root"
mkdir out-c
export PKG_CONFIG_LIBDIR=$libdir/pkgconfig
[ "$(pkg-config --modversion talmora-pixtrim)" = "$version" ] || fail "pkg-config does not see $version"
# shellcheck disable=SC2046  # the flags are meant to split into words
cc -std=c99 -Wall -Wextra -pedantic -Werror "$consumer_src/consumer.c" -o consumer \
   $(pkg-config --cflags --libs talmora-pixtrim) -Wl,-rpath,"$libdir"
[ "$(resolved_library ./consumer)" = "$lib" ] || fail "consumer does not load the packaged library"
./consumer out-c

echo "== packaged pixtrim command"
[ "$(resolved_library "$root/usr/bin/pixtrim")" = "$lib" ] || fail "pixtrim does not load the packaged library"
[ "$("$root/usr/bin/pixtrim" --version)" = "pixtrim $version" ] || fail "pixtrim --version is wrong"
"$root/usr/bin/pixtrim" quality out-c/tiny.bmp out-cli.jpg 50

echo "== packaged Python binding, with Debian's python3"
PYTHONPATH=$root/usr/lib/python3/dist-packages "$python3" - "$version" "$libdir" <<'EOF'
import os, sys
import talmora_pixtrim as pt
version, libdir = sys.argv[1], sys.argv[2]
assert pt.__version__ == version, pt.__version__
assert pt.load()._name == os.path.join(libdir, "libtalmora-pixtrim.so.0"), pt.load()._name
record = pt.lossless("out-c/tiny.bmp", "out-py.png")
assert record["output_size"] == os.path.getsize("out-py.png"), record
print(record)
EOF
echo "package check passed"
