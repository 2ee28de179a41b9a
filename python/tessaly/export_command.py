"""``python3 -m tessaly export RUN --npz FILE [--hdf5 FILE] [--netcdf FILE]``:
every array of a run and its manifest in one file (see :mod:`tessaly.export`)."""
import sys

from .commands import exit_status


def add_subcommand(subparsers):
    parser = subparsers.add_parser(
        "export", help="write every array and the metadata of a run to .npz, HDF5 or NetCDF",
        description="Write every result array of a run and its run manifest (as JSON text, key \"metadata\") "
                    "to an .npz file and/or an HDF5 file, or the run as a NetCDF dataset (named dimensions, "
                    "bus numbers, units).")
    parser.add_argument("path", metavar="RUN", help="run manifest, run report, or the directory holding the manifest")
    parser.add_argument("--npz", metavar="FILE", help="numpy archive to write")
    parser.add_argument("--hdf5", metavar="FILE", help="HDF5 file to write (needs h5py)")
    parser.add_argument("--netcdf", metavar="FILE", help="NetCDF file to write (needs xarray and netCDF4 or scipy)")
    parser.set_defaults(run=run)


def run(args):
    if not args.npz and not args.hdf5 and not args.netcdf:
        print("tessaly export: error: give --npz FILE, --hdf5 FILE, --netcdf FILE or several", file=sys.stderr)
        return 2
    from .export import ExportError, export_hdf5, export_netcdf, export_npz
    from .manifest import ManifestError
    from .results import ResultFileError, load
    from .tables import OptionalModuleError

    def write():
        loaded = load(args.path)
        if args.npz:
            export_npz(loaded, args.npz)
        if args.hdf5:
            export_hdf5(loaded, args.hdf5)
        if args.netcdf:
            export_netcdf(loaded, args.netcdf)

    return exit_status("export", write, (ManifestError, ResultFileError, ExportError, OptionalModuleError))
