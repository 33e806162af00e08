#!/usr/bin/env python3
"""scripts/check_layers.py passes the tree as it is and fails on planted includes."""
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CHECK = ROOT / "scripts" / "check_layers.py"


def run_check(root):
    return subprocess.run([sys.executable, str(CHECK), "--root", str(root)], capture_output=True, text=True)


class LayerCheckTest(unittest.TestCase):
    def test_the_tree_fits_its_graph(self):
        result = run_check(ROOT)
        self.assertEqual(result.returncode, 0, result.stdout)

    def test_includes_against_the_graph_are_named(self):
        with tempfile.TemporaryDirectory() as work:
            copy = pathlib.Path(work)
            for folder in ("include", "plugin", "korvanth"):
                shutil.copytree(ROOT / folder, copy / folder, ignore=shutil.ignore_patterns("*.js", "*.css", "*.html"))
            shutil.copy(ROOT / "README.md", copy / "README.md")
            planted = {
                "korvanth/run/run_loop.cpp": '#include "korvanth/app/terminal.h"\n',  # a layer above
                "korvanth/platform/platform_linux.cpp": '#include "plugin/host_binding/host_lookup.h"\n',
                "plugin/qc/voxel_model.cpp": '#include "../tarvex_plugin.h"\n',  # relative
                "plugin/host_binding/host_function_table.cpp": '#include "plugin/qc/motion_log.h"\n',
                # across the rooms of one layer: DICOM knows nothing of the watch folder,
                # the report nothing of the live view
                "korvanth/sources/dicom/volume_assembly.cpp": '#include "korvanth/sources/watch/file_arrivals.h"\n',
                "korvanth/outputs/report/drawing/plot.cpp": '#include "korvanth/outputs/live/event_broker.h"\n',
            }
            for path, line in planted.items():
                target = copy / path
                target.write_text(line + target.read_text())
            result = run_check(copy)
        self.assertEqual(result.returncode, 1, result.stdout)
        offences = [line for line in result.stdout.splitlines() if ": " in line and "offence" not in line]
        self.assertEqual(sorted(line.split(":")[0] for line in offences), sorted(planted), result.stdout)
        self.assertIn("run may use only", result.stdout)
        self.assertIn("sources.dicom may use only", result.stdout)


if __name__ == "__main__":
    unittest.main()
