"""Every array of a run and its manifest in one file: numpy archive, HDF5
or NetCDF (the command line is :mod:`tessaly.export_command`).

Array names are those of :meth:`tessaly.results.Run.arrays`
("raster/frequency", "stochastic/run0/flows", …): in an .npz file they are
the keys, in an HDF5 file the dataset paths. The manifest is stored as JSON
text, exactly as the run wrote it: the key (dataset) "metadata". A NetCDF
file holds :meth:`tessaly.results.Run.to_xarray` (named dimensions,
bus-number coordinates, units), the manifest as the attribute "manifest".
"""
import numpy as np

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


def netcdf_engine():
    """The first engine xarray can write NetCDF files with here."""
    for module, engine in (("netCDF4", "netcdf4"), ("h5netcdf", "h5netcdf"), ("scipy", "scipy")):
        try:
            __import__(module)
        except ImportError:
            continue
        return engine
    raise ExportError("--netcdf needs the Python module netCDF4 (Debian: python3-netcdf4) or scipy")


def export_netcdf(run, path):
    engine = netcdf_engine()
    run.to_xarray().to_netcdf(path, engine=engine)
