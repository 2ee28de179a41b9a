"""Finding and reading run manifests (standard library only, so that the
terminal viewer in tools/ runs on any Python 3).

A run writes ``Manifest<name>.json`` into the directory part of its output
name; its paths are relative to the run's working directory. Values that JSON
cannot write (inf, -inf, NaN) are the strings "inf", "-inf" and "nan".
"""
import json
import math
import os
from pathlib import Path

MANIFEST_PREFIX, MANIFEST_SUFFIX = "Manifest", ".json"
REPORT_PREFIX = "Param"

# Keys whose values are text: a string "nan" or "inf" under them (an output
# name, a path, a command-line word) stays a string; under every other key it
# is the number.
TEXT_KEYS = frozenset({
    "path", "sha256", "working_directory", "command_line", "start_time", "end_time", "output_name", "report",
    "kernel", "modes", "solver", "start", "order", "kind", "dtype", "byte_order", "name", "unit", "description",
    "blocks", "analysis", "by", "version", "build_type", "compiler",
})
NON_FINITE = {"inf": math.inf, "-inf": -math.inf, "nan": math.nan}

# Element type of the result files by stem (the file name up to the output
# name's file part), for files that no manifest describes; a manifest, when
# there is one, is the authority. Unknown stems (the power series named by
# "Stoch filename") hold doubles.
STEMS = {
    "ijtor": "float64",
    "heijtor": "float64",
    "etraj": "float64",
    "ipm": "float64",
    "freqTraj": "float64",
    "phasTraj": "float64",
    "frequencyTraj": "float64",
    "phaseTraj": "float64",
    "frequency": "float64",
    "phase": "float64",
    "fij": "float64",
    "surv": "float64",
    "flanks": "float64",
    "histFreq": "int32",
    "histIncrFreq": "int32",
    "stochcasI": "int32",
    "stochcasII": "int32",
    "stochcasT": "float64",
    "maxL": "float64",
    "maxLp": "float64",
    "maxlij": "int32",
    "windspeed": "float64",
}


class ManifestError(ValueError):
    """No manifest found for a path, several candidates, or an unreadable one."""


def _numbers_where_numeric(pairs):
    def number(value):
        return NON_FINITE.get(value, value) if isinstance(value, str) else value

    out = {}
    for key, value in pairs:
        if key not in TEXT_KEYS:
            value = [number(v) for v in value] if isinstance(value, list) else number(value)
        out[key] = value
    return out


def read_manifest(path):
    """The manifest at ``path`` as a dict, non-finite numbers as floats."""
    try:
        with open(path, encoding="utf-8") as handle:
            manifest = json.load(handle, object_pairs_hook=_numbers_where_numeric)
    except OSError as error:
        raise ManifestError(f"cannot read run manifest {path}: {error.strerror}") from None
    except ValueError as error:
        raise ManifestError(f"{path} is no run manifest: {error}") from None
    if not isinstance(manifest, dict) or manifest.get("schema") != 1 or "files" not in manifest:
        raise ManifestError(f"{path} is no run manifest of schema 1")
    return manifest


def manifests_in(directory):
    return sorted(p for p in Path(directory).glob(MANIFEST_PREFIX + "*" + MANIFEST_SUFFIX) if p.is_file())


def find_manifest(path):
    """The manifest of a run, given the manifest itself, its run report
    (``Param<name>``) or the directory that holds it."""
    path = Path(path)
    if path.is_dir():
        found = manifests_in(path)
        if not found:
            raise ManifestError(f"{path} holds no run manifest ({MANIFEST_PREFIX}*{MANIFEST_SUFFIX}); give the "
                                f"directory of the output name, the manifest or the run report")
        if len(found) > 1:
            raise ManifestError(f"{path} holds {len(found)} run manifests, give one of them: "
                                + ", ".join(p.name for p in found))
        return found[0]
    if not path.exists():
        raise ManifestError(f"{path} does not exist")
    if path.name.startswith(REPORT_PREFIX):
        return _manifest_of_report(path)
    if path.suffix == MANIFEST_SUFFIX:
        return path
    raise ManifestError(f"{path} is neither a run manifest ({MANIFEST_PREFIX}<name>{MANIFEST_SUFFIX}), "
                        f"a run report ({REPORT_PREFIX}<name>) nor a directory holding a manifest")


def _manifest_of_report(report):
    named = report.with_name(MANIFEST_PREFIX + report.name[len(REPORT_PREFIX):] + MANIFEST_SUFFIX)
    if named.is_file():
        return named
    # A stochastic run's report carries the last run's name (out/windw1tn1),
    # its manifest the name as read (out/Manifestwind.json): ask the
    # manifests next to it which run wrote this report.
    for candidate in manifests_in(report.parent):
        try:
            manifest = read_manifest(candidate)
        except ManifestError:
            continue
        if manifest.get("report") and _same_file(working_directory(candidate, manifest) / manifest["report"],
                                                 report):
            return candidate
    raise ManifestError(f"no run manifest for the run report {report}: {named.name} does not exist and no "
                        f"manifest next to it names this report")


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def working_directory(manifest_path, manifest):
    """The directory the run's relative paths start from.

    The manifest lies in the directory part of the output name, so that
    part, walked back from the manifest, is the working directory even when
    the run's directory was moved or copied; else the recorded one."""
    here = Path(manifest_path).resolve().parent
    output_name = manifest.get("output_name") or ""
    directory_part = Path(output_name).parent if "/" in output_name else Path()
    if not directory_part.is_absolute() and ".." not in directory_part.parts:
        candidate = here
        for _ in directory_part.parts:
            candidate = candidate.parent
        if _same_file(candidate / directory_part, here):
            return candidate
    return Path(manifest.get("working_directory") or here)


def entry_for_result_file(path):
    """The manifest and ``files`` entry that describe the result file
    ``path``, looked for in the manifests of the directories the file may
    belong to (its own and its parent, for files in result subdirectories);
    (None, None) when no manifest names it."""
    path = Path(path)
    for directory in (path.parent, path.parent.parent):
        for candidate in manifests_in(directory):
            try:
                manifest = read_manifest(candidate)
            except ManifestError:
                continue
            base = working_directory(candidate, manifest)
            for entry in manifest["files"]:
                if _same_file(base / entry["path"], path):
                    return manifest, entry
    return None, None


def stem_dtype(path):
    """Element type of a result file from its name's stem (the longest stem
    the file name starts with), float64 for unknown names."""
    name = Path(path).name
    for stem in sorted(STEMS, key=len, reverse=True):
        if name.startswith(stem):
            return STEMS[stem]
    return "float64"
