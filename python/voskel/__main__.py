"""Command line: `python -m voskel demo [OUTDIR]` runs every analysis on the bundled data."""

import sys

from voskel import demo


def main(argv: list[str]) -> int:
    if len(argv) >= 1 and argv[0] == "demo" and len(argv) <= 2:
        return demo.run(argv[1] if len(argv) == 2 else None)
    print("usage: python -m voskel demo [OUTDIR]", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
