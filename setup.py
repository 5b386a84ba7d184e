"""Builds the shared library with CMake and ships it inside the Python
package; everything else about the package is in pyproject.toml."""

import os
import runpy
import shutil
import subprocess
import sys

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py
from wheel.bdist_wheel import bdist_wheel

TOP = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(TOP, "python"))
from talmora_pixtrim import __version__  # noqa: E402  (read from CMakeLists.txt)


class build_with_library(build_py):
    """Copies the Python sources, then builds only the library (no tests,
    benchmark or command) and puts it and the build note beside them."""

    def run(self):
        super().run()
        cmake_dir = os.path.join(os.path.abspath(self.build_lib), os.pardir, "cmake")
        if shutil.which("cmake") is None:
            sys.exit("building talmora-pixtrim needs cmake (Debian package cmake)")
        subprocess.run(["cmake", "-S", TOP, "-B", cmake_dir, "-DCMAKE_BUILD_TYPE=Release",
                        "-DPIXTRIM_BUILD_TESTS=OFF", "-DPIXTRIM_BUILD_BENCH=OFF"], check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", cmake_dir, "--target", "talmora-pixtrim",
                        "-j", jobs], check=True)
        package = os.path.join(self.build_lib, "talmora_pixtrim")
        note = os.path.join(cmake_dir, "python", "wheel", "_build.py")
        shutil.copyfile(note, os.path.join(package, "_build.py"))
        # One file under the SONAME the note names: a wheel cannot hold the
        # symbolic links.
        library = runpy.run_path(note)["LIBRARY"]
        shutil.copyfile(os.path.join(cmake_dir, library), os.path.join(package, library))


class with_library(Distribution):
    """A package holding a machine's shared library is not pure Python."""

    def has_ext_modules(self):
        return True


class platform_wheel(bdist_wheel):
    """The library inside is built for this machine, but loaded through
    ctypes it fits any Python 3 there."""

    def get_tag(self):
        return ("py3", "none") + tuple(super().get_tag()[2:])


setup(version=__version__,
      distclass=with_library,
      cmdclass={"build_py": build_with_library, "bdist_wheel": platform_wheel},
      # CMake builds in build/ beside this file; keep setuptools' files apart.
      options={"build": {"build_base": "build-python"}})
