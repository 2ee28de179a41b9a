"""Executes a notebook top to bottom (nbclient, the interpreter's own
kernel): any cell that raises fails the test. Usage: notebook_test.py
NOTEBOOK [WORKDIR]."""
import sys
from pathlib import Path

import nbformat
from nbclient import NotebookClient

notebook = nbformat.read(sys.argv[1], as_version=4)
workdir = sys.argv[2] if len(sys.argv) > 2 else str(Path(sys.argv[1]).resolve().parent)
NotebookClient(notebook, timeout=120, kernel_name="python3", resources={"metadata": {"path": workdir}}).execute()
errors = [output for cell in notebook.cells for output in cell.get("outputs", []) if output.output_type == "error"]
print(f"{sys.argv[1]}: {len(notebook.cells)} cells executed, {len(errors)} errors")
sys.exit(1 if errors else 0)
