"""Checks the result-file viewer on files with known bytes."""
import json
import math
import os
import struct
import subprocess
import sys
import tempfile
import unittest

VIEWER = sys.argv.pop(1)


def run(*args):
    done = subprocess.run([sys.executable, VIEWER, *args], capture_output=True, text=True)
    return done.returncode, done.stdout, done.stderr


class ViewerTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def write(self, name, data):
        path = os.path.join(self.dir.name, name)
        with open(path, "wb") as handle:
            handle.write(data)
        return path

    def test_records_of_doubles_with_nan_separator(self):
        path = self.write("survrun", struct.pack("<5d", 1.0, 0.5, -2.0, 3.25, math.nan))
        code, out, _ = run(path, "--cols", "2")
        self.assertEqual(code, 0)
        self.assertEqual(out, "1.0 0.5\n-2.0 3.25\nnan\n")

    def test_trip_files_are_read_as_ints(self):
        path = self.write("stochcasIIrun", struct.pack("<3i", 1, -1, 7))
        code, out, _ = run(path)
        self.assertEqual((code, out), (0, "1\n-1\n7\n"))
        times = self.write("stochcasTrun", struct.pack("<1d", 0.25))
        self.assertEqual(run(times)[1], "0.25\n")

    def test_stats_skip_nan(self):
        path = self.write("x", struct.pack("<6d", 1.0, 10.0, 3.0, 20.0, math.nan, math.nan))
        code, out, _ = run(path, "--cols", "2", "--stats")
        self.assertEqual(code, 0)
        self.assertEqual(out.splitlines()[1:], ["0 2 1.0 2.0 3.0", "1 2 10.0 15.0 20.0"])

    def test_trailing_bytes_are_reported(self):
        path = self.write("odd", struct.pack("<1d", 1.0) + b"\x00\x01")
        code, out, err = run(path)
        self.assertEqual((code, out), (0, "1.0\n"))
        self.assertIn("2 trailing bytes", err)

    def test_layout_from_the_run_manifest(self):
        group = {"by": "node", "first": 0, "count": 2,
                 "columns": [{"name": c, "unit": None} for c in ("a", "b", "c", "d", "e")]}
        files = [
            {"path": "ijtor/ijtorx", "dtype": "float64", "record_width": 10, "group": group},
            {"path": "countsx", "dtype": "int32", "record_width": 3,
             "columns": [{"name": c, "unit": None} for c in ("a", "b", "c")]},
        ]
        manifest = {"schema": 1, "output_name": "x", "working_directory": "/nowhere", "files": files}
        self.write("Manifestx.json", json.dumps(manifest).encode())
        os.mkdir(os.path.join(self.dir.name, "ijtor"))
        path = self.write("ijtor/ijtorx", struct.pack("<10d", *range(10)))
        code, out, _ = run(path)
        self.assertEqual((code, out), (0, "0.0 1.0 2.0 3.0 4.0\n5.0 6.0 7.0 8.0 9.0\n"))
        counts = self.write("countsx", struct.pack("<6i", 1, 2, 3, 4, 5, 6))
        self.assertEqual(run(counts)[1], "1 2 3\n4 5 6\n")
        self.assertEqual(run(counts, "--cols", "2")[1], "1 2\n3 4\n5 6\n")

    def test_missing_file_is_an_error(self):
        code, _, err = run(os.path.join(self.dir.name, "nope"))
        self.assertEqual(code, 1)
        self.assertIn("tessaly-view: error:", err)


if __name__ == "__main__":
    unittest.main()
