"""Executes a notebook top to bottom with nbclient, on a kernel of the
interpreter that runs this script (so a virtual environment's packages are
the ones the notebook sees): any cell that raises fails the test.
Usage: notebook_test.py NOTEBOOK [WORKDIR]."""
import json
import os
import sys
import tempfile
from pathlib import Path

import nbformat
from nbclient import NotebookClient

KERNEL = "tessaly-notebook-test"

notebook = nbformat.read(sys.argv[1], as_version=4)
workdir = sys.argv[2] if len(sys.argv) > 2 else str(Path(sys.argv[1]).resolve().parent)
with tempfile.TemporaryDirectory() as kernels:
    kernel_dir = Path(kernels) / "kernels" / KERNEL
    kernel_dir.mkdir(parents=True)
    (kernel_dir / "kernel.json").write_text(json.dumps({
        "argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
        "display_name": "this interpreter", "language": "python"}))
    os.environ["JUPYTER_PATH"] = kernels
    NotebookClient(notebook, timeout=120, kernel_name=KERNEL, resources={"metadata": {"path": workdir}}).execute()
errors = [output for cell in notebook.cells for output in cell.get("outputs", []) if output.output_type == "error"]
print(f"{sys.argv[1]}: {len(notebook.cells)} cells executed, {len(errors)} errors")
sys.exit(1 if errors else 0)
