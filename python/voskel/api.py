"""The Pythonic face of the core: one function per analysis, taking paths as str or
os.PathLike, configuration as keyword arguments or a dict, samples as a list of dicts or a sheet
path, and returning the core's summary dict.

Configuration is checked here before the core runs: unknown keys, words outside their word
list and numbers out of range raise ConfigError. The core itself keeps its own tolerance.
"""

from __future__ import annotations

import difflib
import json
import math
import os
from collections.abc import Mapping
from pathlib import Path

from voskel import _core, sheets
from voskel.declarations import BY_COMMAND, Analysis, Key


class ConfigError(ValueError):
    """A configuration that names an unknown key or gives a key a value it does not take."""


# ---- configuration ---------------------------------------------------------------------------

def _path_text(value, what: str) -> str:
    if not isinstance(value, (str, os.PathLike)):
        raise TypeError(f"{what} must be a path (str or os.PathLike), not "
                        f"{type(value).__name__}")
    text = os.fspath(value)
    if not isinstance(text, str):
        raise TypeError(f"{what} must be a text path, not {type(text).__name__}")
    return text


def check_value(key: Key, value):
    """The value as the core takes it, or ConfigError naming the key and what it accepts."""
    where = key.name
    if key.kind == "word":
        if not isinstance(value, str) or value not in key.words:
            raise ConfigError(f"{where} must be one of {', '.join(key.words)}, got {value!r}")
        return value
    if key.kind == "uint":
        if not isinstance(value, int) or isinstance(value, bool) \
                or not key.low <= value <= key.high:
            raise ConfigError(f"{where} must be a whole number from {key.low} to {key.high}, "
                              f"got {value!r}")
        return value
    if key.kind == "bool":
        if not isinstance(value, bool):
            raise ConfigError(f"{where} must be true or false, got {value!r}")
        return value
    if key.kind == "number":
        if not isinstance(value, (int, float)) or isinstance(value, bool) \
                or not math.isfinite(value):
            raise ConfigError(f"{where} must be a finite number, got {value!r}")
        return float(value)
    if key.kind == "text":
        if not isinstance(value, str):
            raise ConfigError(f"{where} must be text, got {value!r}")
        return value
    # a path; None (or an empty path) means none
    if value is None:
        return None
    if not isinstance(value, (str, os.PathLike)) or not isinstance(os.fspath(value), str):
        raise ConfigError(f"{where} must be a path, got {value!r}")
    return os.fspath(value)


def unknown_key_error(analysis: Analysis, name: str) -> ConfigError:
    known = [k.name for k in analysis.keys]
    close = difflib.get_close_matches(name, known, n=1)
    hint = f" (did you mean {close[0]}?)" if close else ""
    return ConfigError(f"unknown configuration key {name!r} for {analysis.command}{hint}; "
                       f"known keys: {', '.join(known)}")


def build_config(analysis: Analysis, *layers: Mapping) -> dict:
    """Merges the layers (later ones win), checks every key and value, and returns the
    configuration document: the keys given, plus the keys the core requires."""
    known = {k.name for k in analysis.keys}
    given: dict = {}
    for layer in layers:
        for name, value in layer.items():
            if name not in known:
                raise unknown_key_error(analysis, str(name))
            given[name] = value
    cfg = {}
    for key in analysis.keys:
        if key.name in given:
            cfg[key.name] = check_value(key, given[key.name])
        elif key.required:
            raise ConfigError(f"{key.name} is required")
        elif key.always_sent:
            cfg[key.name] = key.default
        if key.kind == "path" and key.name in cfg and not cfg[key.name]:
            # None and the empty path both mean none, which the core reads from an absent key.
            if key.required:
                raise ConfigError(f"{key.name} must not be empty")
            del cfg[key.name]
    return cfg


def read_config_file(analysis: Analysis, path) -> dict:
    """A JSON configuration file: an object of configuration keys. Relative paths in it are
    taken relative to the file's folder."""
    path = Path(_path_text(path, "config"))
    try:
        doc = json.loads(path.read_text(encoding="utf-8-sig"))
    except OSError as e:
        raise ConfigError(f"cannot read config {path}: {e.strerror or e}") from None
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise ConfigError(f"config {path}: invalid JSON: {e}") from None
    if not isinstance(doc, dict):
        raise ConfigError(f"config {path}: expected a JSON object of configuration keys")
    for key in analysis.keys:
        value = doc.get(key.name)
        if key.kind == "path" and isinstance(value, str) and value \
                and not os.path.isabs(value):
            doc[key.name] = os.path.join(path.parent, value)
    return doc  # its keys are checked with the other layers


def _config_layers(analysis: Analysis, config, options: dict) -> list[Mapping]:
    layers: list[Mapping] = []
    if config is None:
        pass
    elif isinstance(config, Mapping):
        layers.append(config)
    elif isinstance(config, (str, os.PathLike)):
        layers.append(read_config_file(analysis, config))
    else:
        raise TypeError(f"config must be a dict or a JSON file path, not "
                        f"{type(config).__name__}")
    layers.append(options)
    return layers


# ---- running ---------------------------------------------------------------------------------

def run(command: str, files: Mapping, samples=None, config=None, **options) -> dict:
    """Runs one analysis by its command name: `files` maps the core's file parameters to paths.
    The engine behind the per-analysis functions and the command line."""
    analysis = BY_COMMAND[command]
    cfg = build_config(analysis, *_config_layers(analysis, config, options))
    args = []
    for param in analysis.params:
        if param.role == "samples":
            if samples is None:
                raise TypeError(f"{command}: samples are required")
            args.append(sheets.load(analysis, samples))
            continue
        value = files.get(param.name)
        if value is None:
            if param.required:
                raise TypeError(f"{command}: {param.name} is required")
            value = param.default
        args.append(_path_text(value, param.name))
    if command == "preflight":
        # The preflight input carries the samples and the run settings in one document.
        doc = {"samples": args[0], **cfg}
        return _core.preflight_bams(json.dumps(doc), *args[1:])
    texts = [json.dumps(sheets.samples_document(a)) if isinstance(a, list) else a
             for a in args]
    return getattr(_core, analysis.core_function)(*texts, json.dumps(cfg))


def preflight(samples, fasta, annotation_gtf, config=None, **options) -> dict:
    """Checks that the samples, their BAM files, the genome and the annotation fit together.
    Returns the preflight report (its "ok" says whether every check passed). Keys: assembly,
    library_layout, de_enabled, treat_min_detected_replicates, threads."""
    return run("preflight", {"fasta": fasta, "annotation_gtf": annotation_gtf}, samples,
               config, **options)


def classify(merged_gtf, ref_gtf, out_tsv, config=None, **options) -> dict:
    """Class codes of every transcript of `merged_gtf` against `ref_gtf`, written to `out_tsv`.
    Keys: strandedness."""
    return run("classify", {"merged_gtf": merged_gtf, "ref_gtf": ref_gtf, "out_tsv": out_tsv},
               None, config, **options)


def quantify(merged_gtf, samples, out_dir, config=None, **options) -> dict:
    """Fragment counts and TPM per locus and transcript, four tables in `out_dir`. Keys:
    min_mapq, require_unique_nh, strandedness, skip_duplicate, library_layout, threads."""
    return run("quantify", {"merged_gtf": merged_gtf, "out_dir": out_dir}, samples, config,
               **options)


def leak(merged_gtf, samples, out_tsv, config=None, **options) -> dict:
    """Unannotated junctions supported across samples, written to `out_tsv`. Keys: min_mapq,
    require_unique_nh, strandedness, skip_duplicate, library_layout, threads, min_samples,
    min_support, max_control_support, fasta."""
    return run("leak", {"merged_gtf": merged_gtf, "out_tsv": out_tsv}, samples, config,
               **options)


def structure(merged_gtf, ref_gtf, representatives_tsv, fasta, samples, out_tsv, config=None,
              class_tsv="", **options) -> dict:
    """Structure, splice sites, nearest genes and coverage of each representative transcript,
    per sample, written to `out_tsv`. Keys: strandedness, min_mapq, require_unique_nh,
    skip_duplicate, discontinuity_window_bp, discontinuity_valley_bp, threads."""
    return run("structure", {"merged_gtf": merged_gtf, "ref_gtf": ref_gtf,
                             "class_tsv": class_tsv, "representatives_tsv": representatives_tsv,
                             "fasta": fasta, "out_tsv": out_tsv}, samples, config, **options)


def terminal(loci_tsv, out_tsv, samples, config=None, **options) -> dict:
    """How far pooled read coverage extends each intron locus of `loci_tsv`, written to
    `out_tsv`. Keys: min_mapq, skip_duplicate, max_terminal_nt, min_depth, max_gap_nt, fasta."""
    return run("terminal", {"loci_tsv": loci_tsv, "out_tsv": out_tsv}, samples, config,
               **options)


def orfs(fasta, merged_gtf, representatives_tsv, out_tsv, peptides_fa, config=None,
         **options) -> dict:
    """Longest ORF, coding scores and peptide of each representative transcript. Keys:
    min_orf_aa, hexamer_table (required), hexamer_coding_min, hexamer_noncoding_max."""
    return run("orfs", {"fasta": fasta, "merged_gtf": merged_gtf,
                        "representatives_tsv": representatives_tsv, "out_tsv": out_tsv,
                        "peptides_fa": peptides_fa}, None, config, **options)
