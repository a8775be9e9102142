"""Builds the ztmime package with no network access.

By default the extension is compiled from the library sources of the
checkout this folder belongs to (../src, ../view, ../include), so nothing
has to be built or installed first.  With ZTMIME_PREFIX set it links the
libztmime installed under that prefix instead (include/ and lib/ there).

    pip install --no-build-isolation ./python
"""

import os
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
CXXFLAGS = ["-std=c++20", "-O2", "-fvisibility=hidden"]


def extension() -> Extension:
    binding = [str(HERE / "src" / "module.cpp"), str(HERE / "src" / "part.cpp")]
    prefix = os.environ.get("ZTMIME_PREFIX")
    if prefix:
        libdir = Path(prefix) / "lib"
        return Extension(
            "ztmime._ztmime", binding,
            include_dirs=[str(Path(prefix) / "include")],
            library_dirs=[str(libdir)], runtime_library_dirs=[str(libdir)],
            libraries=["ztmime", "ztview"], extra_compile_args=CXXFLAGS, language="c++")
    if not (ROOT / "src" / "mime").is_dir():
        raise SystemExit("ztmime: library sources not found next to python/; "
                         "set ZTMIME_PREFIX to an installed libztmime")
    library = sorted(str(p) for p in (ROOT / "src").rglob("*.cpp"))
    library += sorted(str(p) for p in (ROOT / "view").glob("*.cpp"))
    return Extension(
        "ztmime._ztmime", binding + library,
        include_dirs=[str(ROOT / "include"), str(ROOT / "src"), str(ROOT / "view")],
        extra_compile_args=CXXFLAGS, language="c++")


class BuildExt(build_ext):
    """Compiles the sources on every core."""

    def finalize_options(self):
        super().finalize_options()
        if self.parallel is None:
            self.parallel = os.cpu_count() or 1


setup(
    name="ztmime",
    version="0.3.0",
    description="Streaming mail parsing on libztmime",
    packages=["ztmime"],
    package_data={"ztmime": ["py.typed", "*.pyi"]},
    ext_modules=[extension()],
    cmdclass={"build_ext": BuildExt},
    python_requires=">=3.9",
    zip_safe=False,
)
