"""Builds kinovar's Python package: the core, built by its own CMake project
as a static library, linked into one pybind11 extension.

    python3 -m build --wheel --no-isolation     # a wheel in dist/
    python3 setup.py build_ext --inplace        # kinovar/_core*.so, for the tests

KINOVAR_CORE_BUILD names the CMake build folder (default: build/python at
the top of the repository); KINOVAR_PORTABLE=1 links for glibc 2.28 and
any libstdc++, as the Node prebuilds are.
"""
import json
import os
import re
import shutil
import subprocess
from pathlib import Path

from pybind11.setup_helpers import Pybind11Extension, build_ext
from setuptools import setup

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
CORE_BUILD = Path(os.environ.get("KINOVAR_CORE_BUILD", ROOT / "build" / "python"))
CORE_LIBRARY = CORE_BUILD / "libkinovar_core.a"
PORTABLE = os.environ.get("KINOVAR_PORTABLE") == "1"
# What cmake/old-glibc.cmake does for the Node modules: the functions glibc
# versioned anew after 2.28 are redirected to old-glibc.cpp's __wrap_ ones.
OLD_GLIBC = ROOT / "cmake" / "old-glibc.cpp"


class BuildWithCore(build_ext):
    """Builds the core's static library first, with at most two jobs and ccache when present."""

    def run(self):
        env = dict(os.environ)
        if shutil.which("ccache"):
            env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
        subprocess.check_call(["cmake", "-S", str(ROOT), "-B", str(CORE_BUILD), "-DCMAKE_BUILD_TYPE=Release"], env=env)
        subprocess.check_call(["cmake", "--build", str(CORE_BUILD), "--target", "kinovar_core", "-j", "2"], env=env)
        super().run()


def link_arguments():
    if not PORTABLE:
        return ["-pthread"]
    wrapped = sorted(set(re.findall(r"__wrap_([A-Za-z0-9_]+)", OLD_GLIBC.read_text())))
    return ["-static-libstdc++", "-Wl,--exclude-libs,ALL", *[f"-Wl,--wrap={name}" for name in wrapped],
            "-Wl,--no-as-needed", "-l:libpthread.so.0", "-Wl,--as-needed"]


sources = ["src/core.cpp"]
if PORTABLE:
    sources.append(os.path.relpath(OLD_GLIBC, HERE))

VERSION = json.loads((ROOT / "package.json").read_text())["version"]

core = Pybind11Extension(
    "kinovar._core",
    sources,
    # A new dataset's description names the package that made it.
    define_macros=[("KINOVAR_VERSION", json.dumps(VERSION))],
    include_dirs=[str(ROOT / "src")],
    extra_objects=[str(CORE_LIBRARY)],
    depends=[str(CORE_LIBRARY)],  # relinked whenever the core changes
    extra_link_args=link_arguments(),
    cxx_std=20,
)

setup(
    version=VERSION,
    ext_modules=[core],
    cmdclass={"build_ext": BuildWithCore},
)
