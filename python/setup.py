"""Each wheel carries one native library: a platform wheel (installed to
platlib, Root-Is-Purelib false) for any Python 3, tagged py3-none-PLATFORM
with the platform scripts/package names in setup.cfg."""
from setuptools import setup
from setuptools.dist import Distribution
from wheel.bdist_wheel import bdist_wheel


class NativeLibraryDistribution(Distribution):
    """Installed where compiled modules go, though ctypes loads the library."""

    def has_ext_modules(self) -> bool:
        return True


class PlatformWheel(bdist_wheel):
    def get_tag(self) -> tuple:
        platform = super().get_tag()[2]
        # Called through ctypes: no interpreter or ABI to match.
        return "py3", "none", platform


setup(distclass=NativeLibraryDistribution, cmdclass={"bdist_wheel": PlatformWheel})
