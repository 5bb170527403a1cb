"""The Windows zip as an administrator unpacks it: the DLL with both exports, the SQL scripts
that register and remove it, the README and the registry file, all texts with CR LF."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile

from winharness import BIN, run_host, windows_path

BUILD = os.path.dirname(BIN)
FILES = {"xp_varnel.dll", "install.sql", "uninstall.sql", "README.txt", "varnel-settings.reg"}


@unittest.skipUnless(shutil.which("cpack"), "cpack is needed to build the zip")
class TestWindowsZip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="varnel-zip.")
        subprocess.run(["cpack", "-G", "ZIP", "-B", cls.folder, "--config", os.path.join(BUILD, "CPackConfig.cmake")],
                       check=True, capture_output=True, timeout=300)
        archives = [name for name in os.listdir(cls.folder) if name.endswith(".zip")]
        assert len(archives) == 1, archives
        cls.archive = zipfile.ZipFile(os.path.join(cls.folder, archives[0]))
        cls.top = archives[0][:-len(".zip")]

    @classmethod
    def tearDownClass(cls):
        cls.archive.close()
        shutil.rmtree(cls.folder)

    def text(self, name):
        return self.archive.read(self.top + "/" + name).decode("utf-8")

    def test_holds_exactly_the_five_files_in_one_folder(self):
        self.assertRegex(self.top, r"^varnel-[\d.]+-win64$")
        self.assertEqual({name.split("/", 1)[1] for name in self.archive.namelist()}, FILES)

    def test_texts_have_windows_line_ends(self):
        for name in FILES - {"xp_varnel.dll"}:
            content = self.text(name)
            self.assertEqual(content.count("\n"), content.count("\r\n"), name)
            self.assertNotIn("@PROJECT_VERSION@", content, name)

    def test_install_script_stops_on_error_and_grants_to_the_role_given_to_sqlcmd(self):
        script = self.text("install.sql")
        lines = script.splitlines()
        # Before any statement: sqlcmd stops at the first error.
        self.assertLess(lines.index(":on error exit"), lines.index("use master;"))
        # A :setvar in force would override the -v given to sqlcmd.
        self.assertEqual([line for line in lines if line.startswith(":setvar")], [])
        self.assertIn("exec @result = sp_addextendedproc N'xp_Varnel', N'xp_varnel.dll';", script)
        self.assertIn("grant execute on object::dbo.xp_Varnel to ' + quotename(@role)", script)
        self.assertEqual(re.findall(r"declare @role sysname = (.*);", script), ["N'$(VarnelRole)'"] * 2)
        # The closing message stands in a batch of its own, after the batches that can fail.
        batches = re.split(r"^go\r?$", script, flags=re.M)
        last = [index for index, batch in enumerate(batches) if "is registered" in batch]
        self.assertEqual(len(last), 1)
        self.assertGreater(last[0], max(index for index, batch in enumerate(batches) if "grant execute" in batch))

    def test_uninstall_script_drops_and_unloads(self):
        script = self.text("uninstall.sql")
        self.assertLess(script.index(":on error exit"), script.index("use master;"))
        self.assertLess(script.index("sp_dropextendedproc N'xp_Varnel'"), script.index("dbcc xp_varnel(free)"))

    def test_registry_file_changes_nothing_until_edited(self):
        lines = self.text("varnel-settings.reg").splitlines()
        self.assertEqual(lines[0], "Windows Registry Editor Version 5.00")
        self.assertIn(r"[HKEY_LOCAL_MACHINE\SOFTWARE\Corvane]", lines)
        values = [line for line in lines if re.match(r';?"\w+"=', line)]
        self.assertIn(';"BindIP"="192.0.2.10"', values)
        self.assertTrue(all(line.startswith(";") for line in values), values)

    def test_packed_dll_keeps_its_exports(self):
        with tempfile.TemporaryDirectory() as folder:
            path = self.archive.extract(self.top + "/xp_varnel.dll", folder)
            text = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", path], capture_output=True, text=True,
                                  check=True).stdout
        table = text.split("[Ordinal/Name Pointer] Table", 1)[1].split("\n\n", 1)[0]
        self.assertEqual(sorted(re.findall(r"\[\s*\d+\]\s+(\S+)", table)), ["__GetXpVersion", "xp_Varnel"])

    def test_packed_dll_loads_and_reports_its_versions(self):
        # Stripped for packing: it must still load, answer and carry its version resource.
        with tempfile.TemporaryDirectory() as folder:
            path = self.archive.extract(self.top + "/xp_varnel.dll", folder)
            result = run_host("--dll", windows_path(path), "--version")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.json["version"], 0x07000000)
        self.assertEqual(result.json["productVersion"], self.top.split("-")[1])


if __name__ == "__main__":
    unittest.main()
