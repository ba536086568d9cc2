# Builds the extension from the project's own sources, one folder up, so
# that `pip install --no-build-isolation ./python` needs nothing but a C++17
# compiler, zlib and pybind11 (Debian's python3-pybind11).
import glob
import os
import platform
import re

from pybind11.setup_helpers import Pybind11Extension, build_ext
from setuptools import setup

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.relpath(os.path.join(here, ".."), here)


def project_version():
    with open(os.path.join(here, "..", "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(quiltpix VERSION ([0-9.]+)", f.read()).group(1)


version = project_version()
vector_kernel = os.path.join(root, "image", "lookup", "lookup_avx512.cpp")
vector = platform.machine() in ("x86_64", "AMD64") and os.name == "posix"
core = sorted(glob.glob(os.path.join(root, "image", "*.cpp")) + glob.glob(os.path.join(root, "image", "formats", "*.cpp"))
              + glob.glob(os.path.join(root, "image", "lookup", "*.cpp")))
core = [s for s in core if s != vector_kernel]


class build_with_kernel(build_ext):
    """The vector lookup kernel alone is compiled for AVX-512 VBMI (and run
    only where the processor has it), as the CMake build does."""

    def build_extension(self, ext):
        # Objects of sources one folder up land one folder up from here.
        os.makedirs(self.build_temp, exist_ok=True)
        if vector:
            objects = self.compiler.compile([vector_kernel], output_dir=self.build_temp,
                                            include_dirs=ext.include_dirs, macros=ext.define_macros,
                                            extra_postargs=ext.extra_compile_args
                                            + ["-mavx512f", "-mavx512bw", "-mavx512vbmi"])
            ext.extra_objects = list(ext.extra_objects or []) + objects
        super().build_extension(ext)


macros = [("QUILTPIX_VERSION", f'"{version}"'), ("QUILTPIX_HAVE_ZLIB", None), ("_FILE_OFFSET_BITS", "64")]
if vector:
    macros.append(("QUILTPIX_HAVE_AVX512_KERNEL", None))

extension = Pybind11Extension(
    "quiltpix._quiltpix",
    [os.path.join("src", "module.cpp"), os.path.join(root, "lib", "quiltpix.cpp")] + core,
    include_dirs=[os.path.join(root, d) for d in ("include", "image", "image/formats", "image/lookup")],
    define_macros=macros,
    libraries=["z"],
    cxx_std=17,
)

setup(version=version, ext_modules=[extension], cmdclass={"build_ext": build_with_kernel})
