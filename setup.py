"""Builds the module demstitch._demstitch with CMake, on the project's own libraries.

pip install .                          (fetches setuptools and pybind11 where an index is reachable)
pip install --no-build-isolation .     (offline, with Debian's python3-setuptools, python3-pybind11)
"""

import os
import re
import subprocess
import sys
from pathlib import Path

import pybind11
from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
# The version is the project's, as CMake declares it.
VERSION = re.search(r"project\(demstitch VERSION ([0-9.]+)",
                    (ROOT / "CMakeLists.txt").read_text()).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        out_dir = Path(self.get_ext_fullpath(ext.name)).resolve().parent
        # DEMSTITCH_BUILD_DIR: a CMake build folder of the caller's to build in (the tests'
        # own, whose other targets it then shares); by default one of pip's.
        build_dir = Path(os.environ.get("DEMSTITCH_BUILD_DIR") or
                         Path(self.build_temp).resolve() / "cmake")
        config = "Debug" if self.debug else "Release"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            f"-DCMAKE_BUILD_TYPE={config}",
            "-DDEMSTITCH_PYTHON=ON",
            "-DDEMSTITCH_STATIC_CODECS=OFF",
            "-DDEMSTITCH_TESTS=OFF",
            "-DDEMSTITCH_BENCH=OFF",
            "-DDEMSTITCH_PREVIEW=OFF",
            f"-DPython_EXECUTABLE={sys.executable}",
            f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
            f"-DDEMSTITCH_PYTHON_OUTPUT_DIR={out_dir}",
        ]
        configure += os.environ.get("DEMSTITCH_CMAKE_ARGS", "").split()
        subprocess.run(configure, check=True)
        jobs = str(os.cpu_count() or 2)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "_demstitch", "-j", jobs],
                       check=True)


setup(
    version=VERSION,
    ext_modules=[Extension("demstitch._demstitch", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": "build-pip"}},
)
