"""Tables for the ecosystem: pandas DataFrames where pandas is installed,
numpy structured arrays where it is not; optional modules named by their
Debian package when they are missing."""
import importlib

# Optional module -> the Debian package that brings it.
DEBIAN_PACKAGES = {"pandas": "python3-pandas", "xarray": "python3-xarray", "tqdm": "python3-tqdm",
                   "h5py": "python3-h5py", "netCDF4": "python3-netcdf4"}


class OptionalModuleError(ImportError):
    """A function needs a Python module that is not installed."""


def optional_module(name, needed_for):
    """The module ``name``, or an :class:`OptionalModuleError` that says what
    needs it and which package brings it."""
    try:
        return importlib.import_module(name)
    except ImportError:
        package = DEBIAN_PACKAGES.get(name, name)
        raise OptionalModuleError(f"{needed_for} needs the Python module {name} (Debian: {package}; pip: the "
                                  f"extra tessaly[{name.lower()}])") from None


def has_pandas():
    try:
        importlib.import_module("pandas")
    except ImportError:
        return False
    return True


def typed_records(records, dtype, flags=()):
    """The records of a result file as the structured array ``dtype`` (its
    fields by name), the fields named in ``flags`` as booleans (the files
    store them as 0 or 1)."""
    import numpy as np
    out = np.zeros(len(records), dtype)
    for name in dtype.names:
        out[name] = records[name] != 0 if name in flags else records[name]
    return out


def frame(array):
    """A structured array (fields of one value per row) as a DataFrame."""
    pandas = optional_module("pandas", "a table as a DataFrame")
    return pandas.DataFrame({name: array[name] for name in array.dtype.names})


def frame_or_array(array):
    """A copy of the structured array as a DataFrame where pandas is
    installed, else the copy itself."""
    return frame(array) if has_pandas() else array.copy()
