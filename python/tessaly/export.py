"""``python3 -m tessaly export RUN --npz FILE [--hdf5 FILE]``: every array
of a run and its manifest in one file.

Array names are those of :meth:`tessaly.results.Run.arrays`
("raster/frequency", "stochastic/run0/flows", …): in an .npz file they are
the keys, in an HDF5 file the dataset paths. The manifest is stored as JSON
text, exactly as the run wrote it: the key (dataset) "metadata".
"""
import sys

import numpy as np

from .commands import exit_status
from .manifest import ManifestError
from .results import ResultFileError, load

METADATA = "metadata"


class ExportError(RuntimeError):
    """The export cannot be written as asked."""


def export_npz(run, path):
    arrays = run.arrays()
    arrays[METADATA] = np.array(run.manifest_path.read_text(encoding="utf-8"))
    with open(path, "wb") as handle:
        np.savez(handle, **arrays)


def export_hdf5(run, path):
    try:
        import h5py
    except ImportError:
        raise ExportError("--hdf5 needs the Python module h5py (Debian: python3-h5py); --npz needs only numpy") \
            from None
    with h5py.File(path, "w") as out:
        for name, array in run.arrays().items():
            out.create_dataset(name, data=np.asarray(array))
        out[METADATA] = run.manifest_path.read_text(encoding="utf-8")


def add_subcommand(subparsers):
    parser = subparsers.add_parser(
        "export", help="write every array and the metadata of a run to .npz or HDF5",
        description="Write every result array of a run and its run manifest (as JSON text, key \"metadata\") "
                    "to an .npz file and/or an HDF5 file.")
    parser.add_argument("path", metavar="RUN", help="run manifest, run report, or the directory holding the manifest")
    parser.add_argument("--npz", metavar="FILE", help="numpy archive to write")
    parser.add_argument("--hdf5", metavar="FILE", help="HDF5 file to write (needs h5py)")
    parser.set_defaults(run=run)


def run(args):
    if not args.npz and not args.hdf5:
        print("tessaly export: error: give --npz FILE, --hdf5 FILE or both", file=sys.stderr)
        return 2

    def write():
        loaded = load(args.path)
        if args.npz:
            export_npz(loaded, args.npz)
        if args.hdf5:
            export_hdf5(loaded, args.hdf5)

    return exit_status("export", write, (ManifestError, ResultFileError, ExportError))
