"""Each wheel carries one native library: a platform wheel (installed to
platlib, Root-Is-Purelib false) for any Python 3, tagged py3-none-PLATFORM
with the platform scripts/package names in setup.cfg."""
from setuptools import setup
from wheel.bdist_wheel import bdist_wheel


class PlatformWheel(bdist_wheel):
    def finalize_options(self) -> None:
        super().finalize_options()
        self.root_is_pure = False

    def get_tag(self) -> tuple:
        platform = super().get_tag()[2]
        # The library is called through ctypes: no interpreter or ABI to match.
        return "py3", "none", platform


setup(cmdclass={"bdist_wheel": PlatformWheel})
