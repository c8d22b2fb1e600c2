import sys

from tesra import main as _run


def main() -> None:
    sys.exit(_run())


if __name__ == "__main__":
    main()
