"""Builds the extension torv_package._native with the project's CMake build (the library
and the module target only, no tests, tools or benchmarks) and puts it, with the generated
_version.py and type stubs (__init__.pyi), into the package; pyproject.toml holds the rest.

The CMake build folder is under setuptools' build temp. A parallel level comes from
`build_ext -j N` or CMAKE_BUILD_PARALLEL_LEVEL, else the generator's default; a compiler
launcher such as ccache from CMAKE_CXX_COMPILER_LAUNCHER, as CMake reads it."""
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    found = re.search(r"project\(\s*torv_package\s+VERSION\s+([0-9][0-9.]*)", text)
    if not found:
        raise RuntimeError("CMakeLists.txt: no project(torv_package VERSION ...)")
    return found.group(1)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=" + ("RelWithDebInfo" if self.debug else "Release"),
            "-DTORV_BUILD_PYTHON=ON", "-DTORV_BUILD_TESTS=OFF", "-DTORV_BUILD_TOOLS=OFF",
            "-DTORV_BUILD_BENCHMARKS=OFF", "-DTORV_BUILD_FUZZERS=OFF",
            # The interpreter that runs this build, so that the extension's suffix is its own.
            "-DPython_EXECUTABLE=" + sys.executable,
        ]
        if shutil.which("ninja") and not (build_dir / "CMakeCache.txt").exists():
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        build = ["cmake", "--build", str(build_dir), "--target", "torv_package_python"]
        if self.parallel:
            build += ["-j", str(self.parallel)]
        subprocess.run(build, check=True)

        built = build_dir / "python" / "torv_package"
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        native = built / target.name
        if not native.exists():
            raise RuntimeError(f"{native}: not built (another interpreter's extension suffix?)")
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(native, target)
        for generated in ("_version.py", "__init__.pyi"):
            shutil.copyfile(built / generated, target.parent / generated)


setup(
    version=project_version(),
    package_dir={"": "python"},
    packages=["torv_package"],
    package_data={"torv_package": ["py.typed"]},
    ext_modules=[CMakeExtension("torv_package._native")],
    cmdclass={"build_ext": CMakeBuild},
)
