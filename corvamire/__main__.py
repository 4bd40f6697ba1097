"""python -m corvamire signature|delta|patch ... (see corvamire.cli)."""
import sys

from corvamire.cli import main

if __name__ == "__main__":
    sys.exit(main())
