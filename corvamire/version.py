# The project's one version number: the package reports it, and both builds
# of the matcher extension (setup.py and CMake) read it from this line.
__version__ = "1.1.0"
