"""python -m corvamire signature|delta|patch ... (see corvamire.cli)."""
from corvamire.cli import entry_point

if __name__ == "__main__":
    entry_point()
