"""Host-side package for the two corvamire components."""
from corvamire.version import __version__  # noqa: F401
