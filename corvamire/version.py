# The project's one version number.  Everything else gets it by running this
# file with Python: the package imports it, setup.py runs it in place and
# CMake runs it as a script, which prints the number.
__version__ = "1.1.0"

if __name__ == "__main__":
    print(__version__)
