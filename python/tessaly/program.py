"""Running the tessaly program from Python (standard library only).

:func:`find_program` finds the program: the environment variable
``TESSALY_PROGRAM``, then ``tessaly`` on the ``PATH``, then ``build/tessaly``
of the source tree this package lies in. :func:`run_program` runs it on an
input file in a working directory, with threads, several processes through
an MPI launcher, and a progress bar fed by the program's own progress line;
the program's warnings arrive as :class:`ProgramWarning`, and a run that
ends with another status than 0 raises a :class:`ProgramError` carrying the
program's message and exit status.

Exit statuses: 0 complete; 1 the input file cannot be opened and 2 invalid
input or usage (:class:`InvalidInputError`, nothing was written); 3 a power
flow missed the steady state, 4 results incomplete, 5 trajectories became
non-finite (:class:`RunFailedError`: the run finished and its results can
still be loaded from ``error.manifest``).
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import warnings
from dataclasses import dataclass, field
from pathlib import Path

PROGRAM_VARIABLE = "TESSALY_PROGRAM"
# The package's source tree, when it runs from one (python/tessaly/ of the repository).
SOURCE_TREE = Path(__file__).resolve().parents[2]
SOURCE_TREE_PROGRAM = SOURCE_TREE / "build" / "tessaly"
# The launcher of runs over several processes; "{processes}" is replaced.
DEFAULT_LAUNCHER = ("mpirun", "-n", "{processes}", "--bind-to", "none")
_CLEAR_TO_END = "\033[K"
_PROGRESS = re.compile(r"^(?P<label>[^:]+): (?:\D*?)(?P<done>\d+)/(?P<total>\d+)")


class ProgramNotFoundError(FileNotFoundError):
    """No tessaly program where it is looked for."""


class ProgramWarning(UserWarning):
    """A warning of the program (``tessaly: warning: ...`` on its standard error)."""


class ProgramError(RuntimeError):
    """The program ended with an exit status other than 0. ``status`` is the
    exit status, ``message`` the program's error lines (or its last words),
    ``stderr`` all it wrote there."""

    def __init__(self, status, message, stderr="", manifest=None):
        super().__init__(f"tessaly ended with exit status {status}: {message}")
        self.status = status
        self.message = message
        self.stderr = stderr
        self.manifest = manifest


class InvalidInputError(ProgramError):
    """Exit status 1 (input file cannot be opened) or 2 (invalid input or
    usage): nothing was run or written."""


class RunFailedError(ProgramError):
    """Exit status 3, 4 or 5: the run finished, but its results are not what
    a complete run gives (a missed steady state, files that could not be
    written, trajectories that became non-finite). ``manifest`` is the run's
    manifest, for :func:`tessaly.load`."""


def find_program():
    """The path of the tessaly program: ``TESSALY_PROGRAM``, else ``tessaly``
    on the PATH, else the source tree's ``build/tessaly``."""
    given = os.environ.get(PROGRAM_VARIABLE)
    if given:
        if os.path.isfile(given) and os.access(given, os.X_OK):
            return str(Path(given).resolve())
        raise ProgramNotFoundError(f"{PROGRAM_VARIABLE} is {given!r}, which is no executable file")
    on_path = shutil.which("tessaly")
    if on_path:
        return on_path
    in_source_tree = (SOURCE_TREE / "CMakeLists.txt").is_file()
    if in_source_tree and SOURCE_TREE_PROGRAM.is_file() and os.access(SOURCE_TREE_PROGRAM, os.X_OK):
        return str(SOURCE_TREE_PROGRAM)
    raise ProgramNotFoundError(
        f"the tessaly program was not found: {PROGRAM_VARIABLE} is not set, there is no tessaly on the PATH"
        + (f" and none at {SOURCE_TREE_PROGRAM}" if in_source_tree else "")
        + f"; build it (make), install it (make install) or set {PROGRAM_VARIABLE} to its path")


@dataclass
class ProgramRun:
    """What a run of the program left: its exit status, console text and
    warnings, and where its manifest lies (None when it wrote none)."""
    status: int
    stdout: str
    stderr: str
    warnings: list = field(default_factory=list)
    manifest: Path = None


def _in_notebook():
    shell = sys.modules.get("IPython") and getattr(sys.modules["IPython"], "get_ipython", lambda: None)()
    return shell is not None and type(shell).__name__ == "ZMQInteractiveShell"


class ProgressBar:
    """One bar per stage of the program's progress line ("raster: 412/1000
    ..."), drawn by tqdm where it is installed (a widget in a notebook with
    ipywidgets), else as a line of text on standard error."""

    def __init__(self):
        self._bar = None
        self._label = None
        self._tqdm = None
        try:
            if _in_notebook():
                import importlib.util
                if importlib.util.find_spec("ipywidgets"):
                    from tqdm.notebook import tqdm
                else:
                    from tqdm.std import tqdm
            else:
                from tqdm.std import tqdm
            self._tqdm = tqdm
        except ImportError:
            pass
        self._text_shown = False

    def stage_done(self):
        """The program cleared its line: the stage shown is complete."""
        if self._bar is not None:
            self._bar.n = self._bar.total
            self._bar.refresh()
        self.close()

    def show(self, text):
        match = _PROGRESS.match(text)
        if self._tqdm is None:
            sys.stderr.write("\r" + text[:79] + _CLEAR_TO_END)
            sys.stderr.flush()
            self._text_shown = True
            return
        if not match:
            return
        label, done, total = match["label"], int(match["done"]), int(match["total"])
        if label != self._label or self._bar is None or self._bar.total != total:
            self.close()
            self._bar = self._tqdm(total=total, desc=label, file=sys.stderr, leave=True, dynamic_ncols=True)
            self._label = label
        self._bar.n = done
        self._bar.set_postfix_str(text[match.end():].lstrip(" ,"), refresh=False)
        self._bar.refresh()

    def close(self):
        if self._bar is not None:
            self._bar.close()
            self._bar = None
            self._label = None
        if self._text_shown:
            sys.stderr.write("\r" + _CLEAR_TO_END)
            sys.stderr.flush()
            self._text_shown = False


def _launcher_command(processes, launcher):
    if processes is None or processes == 1 and launcher is None:
        return []
    words = list(launcher or os.environ.get("TESSALY_LAUNCHER", "").split() or DEFAULT_LAUNCHER)
    if not shutil.which(words[0]):
        raise ProgramNotFoundError(f"runs over {processes} processes need the MPI launcher {words[0]!r}, which is "
                                   "not on the PATH (Debian: openmpi-bin)")
    return [w.replace("{processes}", str(int(processes))) for w in words]


def _read_stderr(stream, progress, on_warning):
    """Reads the program's standard error to its end: progress texts go to
    ``progress``, warning lines to ``on_warning``; returns the lines."""
    lines, piece = [], ""
    while True:
        chunk = stream.read1(65536) if hasattr(stream, "read1") else stream.read(65536)
        if not chunk:
            break
        for char in chunk.decode("utf-8", errors="replace"):
            if char == "\r":
                piece = ""
            elif char == "\n":
                lines.append(piece)
                if piece.startswith("tessaly: warning: "):
                    on_warning(piece[len("tessaly: warning: "):])
                piece = ""
            else:
                piece += char
                if piece.endswith(_CLEAR_TO_END):
                    text = piece[:-len(_CLEAR_TO_END)]
                    if progress is not None:
                        progress.show(text) if text else progress.stage_done()
                    piece = ""
    if piece:
        lines.append(piece)
    return lines


def run_program(input_file, directory=".", threads=None, processes=None, progress=None, launcher=None,
                arguments=(), check=True, manifest=None, env=None):
    """Runs the program on ``input_file`` (relative to ``directory``, where
    the results go) and returns a :class:`ProgramRun`.

    ``threads``: worker threads (``-j``); ``processes``: run over that many
    processes through the MPI launcher (``launcher``, a command with
    "{processes}"; default ``mpirun -n {processes} --bind-to none`` or the
    environment variable ``TESSALY_LAUNCHER``); ``progress``: True or False
    for a progress bar, None for one where standard error is a terminal or
    in a notebook. Every warning of the program is issued as a
    :class:`ProgramWarning` while it runs. With ``check`` (the default) an
    exit status other than 0 raises :class:`InvalidInputError` (1, 2),
    :class:`RunFailedError` (3, 4, 5) or :class:`ProgramError`.
    ``manifest``: where the run writes its manifest, when known."""
    directory = Path(directory)
    command = _launcher_command(processes, launcher) + [find_program(), "-C", str(directory)]
    if threads is not None:
        command += ["-j", str(int(threads))]
    if progress is None:
        progress = _in_notebook() or sys.stderr.isatty()
    command += ["--progress" if progress else "--no-progress", *arguments, "--", str(input_file)]
    bar = ProgressBar() if progress else None
    seen = []

    def on_warning(message):
        seen.append(message)
        warnings.warn(message, ProgramWarning, stacklevel=4)

    with tempfile.TemporaryFile() as console:
        try:
            process = subprocess.Popen(command, stdout=console, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                       env=None if env is None else dict(os.environ, **env))
        except OSError as error:
            raise ProgramNotFoundError(f"cannot start {command[0]}: {error.strerror}") from None
        try:
            lines = _read_stderr(process.stderr, bar, on_warning)
            status = process.wait()
        finally:
            if bar is not None:
                bar.close()
            if process.poll() is None:
                process.kill()
                process.wait()
        console.seek(0)
        stdout = console.read().decode("utf-8", errors="replace")
    stderr = "\n".join(lines)
    manifest_path = directory / manifest if manifest is not None else None
    done = ProgramRun(status, stdout, stderr, seen,
                      manifest_path if manifest_path is not None and manifest_path.is_file() else None)
    if check and status != 0:
        raise _error_of(done)
    return done


def _error_of(done):
    error = _error_class_of(done)
    error.stdout, error.warnings = done.stdout, done.warnings
    return error


def _error_class_of(done):
    errors = [line[len("tessaly: error: "):] for line in done.stderr.splitlines()
              if line.startswith("tessaly: error: ")]
    message = "; ".join(errors) or "; ".join(done.stderr.splitlines()[-3:]) or "(no message)"
    if done.status in (1, 2):
        return InvalidInputError(done.status, message, done.stderr)
    if done.status in (3, 4, 5):
        if not errors and done.warnings:
            message = "; ".join(done.warnings)
        return RunFailedError(done.status, message, done.stderr, done.manifest)
    return ProgramError(done.status, message, done.stderr, done.manifest)
