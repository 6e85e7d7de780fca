"""Builds and installs the Python module `lodestar` with the project's CMake:
    pip install --no-build-isolation .
(CMake, a C++17 compiler, zlib and pybind11 must be installed; on Debian
scripts/deps.sh installs them.)"""
import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE = pathlib.Path(__file__).parent.resolve()
VERSION = re.search(r'#define LS_VERSION "([^"]+)"', (SOURCE / "lib" / "lodestar.h").read_text()).group(1)


class CMakeBuild(build_ext):
    """Builds the module target with CMake for the running interpreter."""

    def build_extension(self, ext):
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        cmake = ["cmake", "-S", str(SOURCE), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                 "-DLODESTAR_TESTS=OFF", "-DLODESTAR_BENCH=OFF", f"-DPython_EXECUTABLE={sys.executable}"]
        subprocess.run(cmake, check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "lodestar_python", "-j", str(os.cpu_count() or 1)],
                       check=True)
        built = next((build / "python").glob("lodestar*.so"))
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(
    name="lodestar",
    version=VERSION,
    description="Fast mapper for DNA and RNA sequences",
    license="MIT",
    python_requires=">=3.7",
    ext_modules=[Extension("lodestar", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": "build/pip"}},
    zip_safe=False,
)
