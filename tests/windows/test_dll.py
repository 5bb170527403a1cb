"""The DLL as the server meets it: exactly two exports, no DLLs beyond Windows' own and
opends60.dll, and a refused call answered with its message, the usage text and a done
notice."""

import os
import re
import subprocess
import unittest

from winharness import BIN, as_format1, call_lines, run_host, run_linux_host, scenario_line

USAGE_FIRST_LINES = (
    "Version 3.1 201103\n"
    "Quick format - \n"
    "Usage Recipient, From, Address, Subject, CC (Optional/Null), BCC (Optional/Null), Body (Optional/Null), "
    "Filename (Optional/Null), Timeout (Optional/Null), SMTPPortNumber (Optional Default 25)\n"
    "e.g. xp_Varnel "
)
USAGE_LAST_LINES = (
    "\t\t\t@debugfilename= ''-- Log Filename\t\t\t-- \n"
    "\t\t\t@termination= ''-- 0 CRNL (Default) 1 CR Only 2 NL Only\t\t\t-- \n"
    "\t\t\t@SMTPUsername= ''-- SMTP Server Login\t\t\t-- \n"
    "\t\t\t@SMTPPassword= ''-- SMTP Server Password\t\t\t-- \n"
)
REFUSAL_DONE = [{"status": 1, "command": 0, "count": 0}]
# Windows' own DLLs only: TLS comes from Schannel (secur32) with certificate checks in crypt32.
ALLOWED_IMPORTS = {"kernel32.dll", "msvcrt.dll", "ws2_32.dll", "advapi32.dll", "odbc32.dll", "opends60.dll",
                   "secur32.dll", "crypt32.dll"}


def objdump(path):
    return subprocess.run(["x86_64-w64-mingw32-objdump", "-p", path], capture_output=True, text=True,
                          check=True).stdout


class TestDllImage(unittest.TestCase):
    def test_exports_exactly_the_two_procedures(self):
        text = objdump(os.path.join(BIN, "xp_varnel.dll"))
        table = text.split("[Ordinal/Name Pointer] Table", 1)[1].split("\n\n", 1)[0]
        names = re.findall(r"\[\s*\d+\]\s+(\S+)", table)
        self.assertEqual(sorted(names), ["__GetXpVersion", "xp_Varnel"])

    def test_needs_no_runtime_dll_of_the_compiler(self):
        text = objdump(os.path.join(BIN, "xp_varnel.dll"))
        imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", text)}
        self.assertIn("opends60.dll", imports)
        self.assertLessEqual(imports, ALLOWED_IMPORTS)

    def test_interface_version(self):
        result = run_host("--version")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.json["version"], 0x07000000)

    def test_version_resource_carries_the_project_version(self):
        with open(os.path.join(os.path.dirname(__file__), "..", "..", "CMakeLists.txt"), encoding="utf-8") as file:
            version = re.search(r"project\(Varnel VERSION ([\d.]+)", file.read()).group(1)
        numbers = (version.split(".") + ["0"] * 4)[:4]
        result = run_host("--version")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.json["fileVersion"], ".".join(numbers))
        self.assertEqual(result.json["productVersion"], version)


class TestRefusedCalls(unittest.TestCase):
    def assert_refused(self, result, first_message):
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_refused_call(result.json, first_message)

    def assert_refused_call(self, call, first_message):
        self.assertEqual(len(call["messages"]), 2, call["messages"])
        self.assertEqual(call["messages"][0], first_message)
        usage = call["messages"][1]
        self.assertTrue(usage.startswith(USAGE_FIRST_LINES), usage[:300])
        self.assertTrue(usage.endswith(USAGE_LAST_LINES), usage[-300:])
        self.assertEqual(call["columns"], [])
        self.assertEqual(call["rows"], [])
        self.assertEqual(call["done"], REFUSAL_DONE)
        self.assertEqual(call["return"], 1)

    def test_call_without_parameters_from_the_command_line(self):
        self.assert_refused(run_host(), "Incorrect number of parameters\n")

    def test_refusals(self):
        named = [scenario_line("@recipient", "varchar", "to@example.com"),
                 scenario_line("@from", "varchar", "from@example.com"),
                 scenario_line("@address", "varchar", "127.0.0.1")]
        positional = [scenario_line("-", "varchar", "to@example.com"),
                      scenario_line("-", "varchar", "from@example.com"),
                      scenario_line("-", "varchar", "127.0.0.1"),
                      scenario_line("-", "varchar", "subject")]
        cases = [
            ("count -1", ["count -1"] + positional, ""),
            ("three positional", positional[:3], "Incorrect number of parameters\n"),
            ("NULL recipient", [scenario_line("-", "varchar", None)] + positional[1:],
             "Recipient Incorrect format\n"),
            ("empty address", positional[:2] + [scenario_line("-", "varchar", "")] + positional[3:],
             "Address Incorrect format\n"),
            ("timeout not a number", positional + [None] * 4 + [scenario_line("-", "varchar", "soon")],
             "Timeout Incorrect format\n"),
            ("port not a number",
             positional + [None] * 5 + [scenario_line("-", "varchar", "x25")],
             "Port Incorrect format\n"),
            ("bit parameter", named + [scenario_line("@HTML", "bit", "1")], "Unknown parameter type for @HTML\n"),
            ("datetime of an unknown name", [scenario_line("@when", "datetime", "")] + named,
             "Unknown parameter type for @when\n"),
            ("no sender", [named[0], named[2]], "The minimum parameters are Recipient, From and Address. "
                                                "All must be supplied.\n"),
            ("empty Unicode recipient", [scenario_line("@Recipient", "nvarchar", "")] + named[1:],
             "The minimum parameters are Recipient, From and Address. All must be supplied.\n"),
        ]
        # Positions left as None are NULL varchar parameters in between. One host run
        # makes every call, each on its own thread.
        calls = [[line if line is not None else scenario_line("-", "varchar", None) for line in lines]
                 for _, lines, _ in cases]
        result = run_host(calls=calls)
        self.assertEqual(result.returncode, 0, result.stderr)
        for (name, _, first), call in zip(cases, result.json):
            with self.subTest(name):
                self.assert_refused_call(call, first)

    def test_same_answers_as_the_linux_host(self):
        calls = [
            [],
            [(None, "varchar", "to@example.com"), (None, "varchar", None), (None, "varchar", "")],
            [(None, "varchar", "to@example.com"), (None, "varchar", None), (None, "varchar", "127.0.0.1"),
             (None, "varchar", None), (None, "varchar", None), (None, "varchar", None), (None, "varchar", None),
             (None, "varchar", None), (None, "varchar", "soon")],
            [("@Recipient", "varchar", "to@example.com"), ("@FROM", "varchar", "from@example.com"),
             ("@address", "varchar", "127.0.0.1"), ("@html", "bit", 1)],
            [("@recipient", "nvarchar", "to@example.com"), ("@address", "varchar", "127.0.0.1")],
        ]
        linux = [run_linux_host(params) for params in calls]
        if linux[0] is None:
            self.skipTest("the Linux host is not built (VARNEL_BIN)")
        windows = run_host(calls=[call_lines(params) for params in calls])
        self.assertEqual(windows.returncode, 0, windows.stderr)
        for index, (mine, theirs) in enumerate(zip(windows.json, linux)):
            with self.subTest(call=index):
                self.assertEqual(as_format1(mine), theirs)


if __name__ == "__main__":
    unittest.main()
