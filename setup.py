"""pip install support: builds the extension modules with CMake.

PyPI is not reachable, so install without build isolation into an environment
that sees Debian's packages:

    /usr/bin/python3 -m venv --system-site-packages .venv
    .venv/bin/pip install --no-build-isolation .
"""

import glob
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))
# The version lives in one place: vexo_utils.__version__.
with open(os.path.join(ROOT, "python", "vexo_utils", "_version.py")) as _f:
    VERSION = _f.read().split('"')[1]


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def run(self):
        build_dir = os.path.join(ROOT, "build-pip")
        subprocess.check_call([
            "cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
            "-DVEXO_BUILD_TESTS=OFF", f"-DPython_EXECUTABLE={sys.executable}",
        ])
        subprocess.check_call(["cmake", "--build", build_dir, "-j", str(os.cpu_count() or 2)])
        out = os.path.join(build_dir, "python")
        target = os.path.abspath(self.build_lib)
        # Both packages, Python layer, native modules, stubs and py.typed;
        # the companion package's review templates as a folder.
        for package in ("vexo_utils", "vexo_pipeline"):
            os.makedirs(os.path.join(target, package), exist_ok=True)
            for f in glob.glob(os.path.join(out, package, "*")):
                if os.path.isfile(f):
                    shutil.copy2(f, os.path.join(target, package))
                elif os.path.basename(f) == "templates":
                    shutil.copytree(f, os.path.join(target, package, "templates"),
                                    dirs_exist_ok=True)


setup(
    name="vexo_utils",
    version=VERSION,
    description="Pig tracking operations for overhead pen cameras (C++ extension)",
    ext_modules=[CMakeExtension("vexo_utils._native")],
    packages=[],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
    python_requires=">=3.9",
)
