#!/usr/bin/env bash
# Makes the source distribution from a copy of the sources with Debian's
# Python (python3 -m build --sdist), builds the wheel from it offline,
# installs that into a fresh virtual environment and uses it there with
# nothing from the checkout or the build tree in reach, then uninstalls it.
# usage: wheel_check.sh SOURCE_DIR VERSION
# Exits 77 (skipped) when Debian's python3 lacks venv, pip, setuptools,
# wheel or build.
set -euo pipefail
source_dir=$1 version=$2
python3=/usr/bin/python3

if ! [ -x "$python3" ] || ! "$python3" -c '
import importlib.util, sys
sys.exit(not all(importlib.util.find_spec(m) for m in ("ensurepip", "venv", "pip", "setuptools", "wheel", "build")))'; then
  echo "skipped: $python3 with venv, pip, setuptools, wheel and build is needed" \
       "(python3-venv python3-pip python3-setuptools python3-wheel python3-build;" \
       "scripts/setup.sh installs them)"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/pixtrim-wheel-XXXXXX")
trap 'rm -rf "$work"' EXIT
unset PIXTRIM_LIBRARY PYTHONPATH LD_LIBRARY_PATH PYTHONHOME VIRTUAL_ENV
# Nothing may come from the network, nor land in the user's pip cache.
export PIP_NO_INDEX=1 PIP_NO_CACHE_DIR=1 PIP_DISABLE_PIP_VERSION_CHECK=1
# The build's own files are written beside the sources: build from a copy.
mkdir "$work/src"
tar -C "$source_dir" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$work/src" -xf -

echo "== python3 -m build --sdist"
"$python3" -m build --sdist --no-isolation -o "$work/dist" "$work/src" >"$work/sdist.log" 2>&1 ||
  { cat "$work/sdist.log"; exit 1; }
sdist=$work/dist/talmora-pixtrim-$version.tar.gz
[ -f "$sdist" ] || { echo "expected $(basename "$sdist"); made: $(ls "$work/dist")"; exit 1; }
echo "$(basename "$sdist")"

echo "== pip wheel from the source distribution"
"$python3" -m pip wheel --no-build-isolation --no-deps -w "$work/wheels" "$sdist" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; exit 1; }
wheel=$(find "$work/wheels" -name '*.whl')
echo "$(basename "$wheel")"
case $(basename "$wheel") in
  "talmora_pixtrim-$version-py3-none-linux_"*.whl) ;;
  *) echo "expected a platform wheel of version $version"; exit 1 ;;
esac

echo "== install into a fresh virtual environment"
"$python3" -m venv "$work/venv"
venv_python=$work/venv/bin/python
"$venv_python" -m pip install --no-deps "$wheel" >/dev/null
mkdir "$work/run"
cp "$source_dir/python/tests/images.py" "$work/run/"
cd "$work/run"
"$venv_python" - "$version" "$work/venv" <<'EOF'
import os, sys
import talmora_pixtrim as pt
from images import write_bmp

version, venv = sys.argv[1], sys.argv[2]
package = os.path.dirname(pt.__file__)
assert package.startswith(venv + os.sep), package
assert pt.__version__ == version, pt.__version__
assert os.path.isfile(os.path.join(package, "py.typed"))
lib = pt.load()
assert lib._name == os.path.join(package, "libtalmora-pixtrim.so.0"), lib._name
write_bmp("in.bmp", 64, 48)
record = pt.quality("in.bmp", "out.jpg", 60)
assert record["output_size"] == os.path.getsize("out.jpg") > 0, record
print(record)
EOF

echo "== uninstall"
"$venv_python" -m pip uninstall -y talmora-pixtrim >/dev/null
if "$venv_python" -c 'import talmora_pixtrim' 2>/dev/null; then
  echo "talmora_pixtrim still importable after uninstalling"; exit 1
fi
left=$(find "$work/venv" -path '*talmora_pixtrim*')
[ -z "$left" ] || { echo "left behind after uninstalling:"; echo "$left"; exit 1; }
echo "wheel check passed"
