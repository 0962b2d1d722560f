#!/usr/bin/python3
"""scripts/check-layers on the real tree and on scratch trees that break it."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("TOLVEX_SOURCE_DIR") or os.path.join(os.path.dirname(__file__), "..", "..")
SCRIPT = os.path.join(SOURCE, "scripts", "check-layers")


def run(tree):
    return subprocess.run([SCRIPT, tree], capture_output=True, text=True)


class CheckLayers(unittest.TestCase):
    def test_the_tree_keeps_its_layers(self):
        result = run(SOURCE)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_scratch_trees_that_break_a_rule_fail_at_the_line(self):
        # (file, line added, what the report names)
        cases = [
            ("engine/uGetMac.cpp", '#include "app/uTolvex.h"', "includes a later layer"),
            ("settings/uXMLStorage.cpp", '#include "forms/Dialogs.h"', "includes a later layer"),
            ("crashlib/kelTools.cpp", '#include "platform/Thread.h"', "includes a later layer"),
            ("crashlib/kelTools.cpp", '#include "crashreport/kelX.h"', "includes a later layer"),
            ("tests/engine/X.cpp", '#include "admin/uPresets.h"', "includes a later layer"),
            ("engine/uGetMac.cpp", "#include <QString>", "Qt below forms/"),
            ("platform/Thread.cpp", "#include <QtCore/QObject>", "Qt below forms/"),
            ("admin/uPresets.cpp", '#include "Dialogs.h"', "without its folder"),
        ]
        for path, line, said in cases:
            with self.subTest(path=path, line=line), tempfile.TemporaryDirectory() as tree:
                for rel in ("engine/uGetMac.cpp", "settings/uXMLStorage.cpp", "crashlib/kelTools.cpp",
                            "platform/Thread.cpp", "admin/uPresets.cpp", "tests/engine/X.cpp",
                            "forms/Dialogs.h", "app/uTolvex.h"):
                    os.makedirs(os.path.join(tree, os.path.dirname(rel)), exist_ok=True)
                    with open(os.path.join(tree, rel), "w") as f:
                        f.write("// fine\n")
                self.assertEqual(run(tree).returncode, 0)
                with open(os.path.join(tree, path), "a") as f:
                    f.write(line + "\n")
                result = run(tree)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn(f"{path}:2:", result.stdout)
                self.assertIn(said, result.stdout)

    def test_allowed_includes_pass(self):
        with tempfile.TemporaryDirectory() as tree:
            files = {
                "app/main.cpp": '#include "crashreport/kelExceptInit.h"\n#include <QApplication>\n',
                "admin/uPresets.cpp": '#include "forms/Dialogs.h"\n#include "ui_uDlgPresetEdit.h"\n',
                "crashreport/helper/kelExceptBox.cpp": '#include "crashreport/send/kelMime.h"\n'
                                                       "#include <QDialog>\n",
                "tests/app/XTest.cpp": '#include "tests/support/TempFolder.h"\n#include <QTest>\n',
                "bench/XBench.cpp": '#include "app/uTolvex.h"\n',
            }
            for rel, text in files.items():
                os.makedirs(os.path.join(tree, os.path.dirname(rel)), exist_ok=True)
                with open(os.path.join(tree, rel), "w") as f:
                    f.write(text)
            result = run(tree)
            self.assertEqual(result.returncode, 0, result.stdout)


if __name__ == "__main__":
    unittest.main()
