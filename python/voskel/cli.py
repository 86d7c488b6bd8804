"""The `voskel` command line: one subcommand per analysis, plus `demo` and `version`.

Files are options, every configuration key is a flag (or comes from --config FILE), the
summary or the preflight report is printed as JSON on standard output. Exit status: 0 on
success, 1 when an analysis fails (or a preflight finds a problem), 2 on a usage error, 130
when interrupted.
"""

from __future__ import annotations

import argparse
import json
import math
import sys

from voskel import _core, api, demo, sheets
from voskel.declarations import ANALYSES, BY_COMMAND, Analysis, Key

_KEY_DEST = "key_"


def _whole(key: Key):
    def parse(text: str) -> int:
        try:
            value = int(text, 10)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if not key.low <= value <= key.high:
            raise argparse.ArgumentTypeError(
                f"must be from {key.low} to {key.high}, got {value}")
        return value
    return parse


def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, got {text!r}")
    return value


def _help(text: str) -> str:
    return text.replace("%", "%%")


def _add_key(group, key: Key) -> None:
    default = "required" if key.required else "default " + key.default_text()
    common = dict(dest=_KEY_DEST + key.name, default=argparse.SUPPRESS,
                  help=_help(f"{key.meaning} ({default})"))
    if key.kind == "word":
        group.add_argument(key.flag, choices=key.words, **common)
    elif key.kind == "uint":
        group.add_argument(key.flag, type=_whole(key), metavar="N", **common)
    elif key.kind == "bool":
        group.add_argument(key.flag, action=argparse.BooleanOptionalAction, **common)
    elif key.kind == "number":
        group.add_argument(key.flag, type=_number, metavar="X", **common)
    elif key.kind == "path":
        group.add_argument(key.flag, metavar="PATH", **common)
    else:
        group.add_argument(key.flag, metavar="TEXT", **common)


def _sheet_help(analysis: Analysis) -> str:
    text = ("sample sheet: a JSON samples document, or a TSV/CSV table with a header row; "
            f"columns needed: {', '.join(analysis.sheet_required)}")
    if analysis.sheet_optional:
        text += f"; also read: {', '.join(analysis.sheet_optional)}"
    return text + "; relative bam paths start from the sheet's folder"


def _epilog(analysis: Analysis) -> str:
    lines = ["outputs:"]
    for out in analysis.outputs:
        lines.append(f"  {out.file}: {out.meaning}")
        if out.columns:
            lines.append("    " + ", ".join(c.name for c in out.columns))
    if analysis.summary:
        lines.append("printed: a JSON object with " + ", ".join(k for k, _ in analysis.summary))
    return "\n".join(lines)


def build_parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    parser = argparse.ArgumentParser(
        prog="voskel", description="RNA-seq transcript analysis on the voskel core.")
    parser.add_argument("--version", action="version", version=_core.core_version())
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    subparsers = {}
    for analysis in ANALYSES:
        p = sub.add_parser(analysis.command, help=analysis.title, description=analysis.title,
                           epilog=_epilog(analysis),
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        files = p.add_argument_group("files")
        for param in analysis.params:
            if param.role == "samples":
                files.add_argument("--samples", required=True, metavar="SHEET",
                                   help=_help(_sheet_help(analysis)))
            else:
                files.add_argument(param.flag, dest=param.name, required=param.required,
                                   default=param.default if not param.required else None,
                                   metavar="DIR" if param.name.endswith("_dir") else "PATH",
                                   help=_help(param.meaning))
        keys = p.add_argument_group("configuration (flags win over --config)")
        keys.add_argument("--config", metavar="FILE",
                          help="JSON object of configuration keys; relative paths in it start "
                               "from its folder; unknown keys are refused")
        for key in analysis.keys:
            _add_key(keys, key)
        subparsers[analysis.command] = p
    d = sub.add_parser("demo", help="run every analysis on the bundled demo data")
    d.add_argument("outdir", nargs="?", help="folder for the outputs (default: a new "
                   "temporary folder)")
    sub.add_parser("version", help="print the core version")
    return parser, subparsers


def _run_analysis(analysis: Analysis, args, subparser) -> int:
    prog = subparser.prog
    options = {k.name: getattr(args, _KEY_DEST + k.name) for k in analysis.keys
               if hasattr(args, _KEY_DEST + k.name)}
    files = {p.name: getattr(args, p.name) for p in analysis.params if p.role != "samples"}
    samples = args.samples if analysis.has_samples else None
    try:
        result = api.run(analysis.command, files, samples, args.config, **options)
    except api.ConfigError as e:
        subparser.error(str(e))  # exits 2
    except (sheets.SheetError, _core.VoskelError) as e:
        print(f"{prog}: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return 130
    print(json.dumps(result, indent=2, ensure_ascii=False))
    if analysis.command == "preflight":
        for warning in result.get("warnings", []):
            print(f"{prog}: warning: {warning}", file=sys.stderr)
        if not result.get("ok"):
            for error in result.get("errors", []):
                print(f"{prog}: error: {error}", file=sys.stderr)
            return 1
    return 0


def main(argv: list[str] | None = None) -> int:
    parser, subparsers = build_parser()
    try:
        args = parser.parse_args(argv)
        if args.command == "demo":
            return demo.run(args.outdir)
        if args.command == "version":
            print(_core.core_version())
            return 0
        return _run_analysis(BY_COMMAND[args.command], args, subparsers[args.command])
    except KeyboardInterrupt:
        print("voskel: interrupted", file=sys.stderr)
        return 130
