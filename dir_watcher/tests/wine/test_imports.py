"""The cross-built dir_watcher.exe must start on a clean Windows machine.

Only system DLLs the program is allowed to use and the C runtime may be
imported (the GCC and C++ runtimes are linked in), and the program must be
a GUI-subsystem program, so it never opens a console.
"""
import os
import re
import subprocess
import unittest

ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "msvcrt.dll"}
UNIVERSAL_CRT = re.compile(r"^api-ms-win-crt-[a-z0-9-]+\.dll$")


def allowed(dll):
    name = dll.lower()
    return name in ALLOWED_DLLS or bool(UNIVERSAL_CRT.match(name))


class ImportTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        exe = os.environ.get("DIR_WATCHER_EXE", "")
        if not os.path.isfile(exe):
            raise AssertionError("dir_watcher.exe not built: %r" % exe)
        objdump = os.environ.get("MINGW_OBJDUMP", "x86_64-w64-mingw32-objdump")
        cls.headers = subprocess.run([objdump, "-p", exe], check=True,
                                     capture_output=True, text=True).stdout

    def test_imports_only_system_dlls_and_c_runtime(self):
        dlls = re.findall(r"DLL Name:\s*(\S+)", self.headers)
        self.assertIn("kernel32.dll", [d.lower() for d in dlls])
        self.assertEqual([d for d in dlls if not allowed(d)], [])

    def test_is_a_gui_program(self):
        self.assertRegex(self.headers, r"Subsystem\s+0*2\s+\(Windows GUI\)")

    def test_allowed_rejects_runtimes_that_a_clean_machine_lacks(self):
        for dll in ("libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll",
                    "ADVAPI32.dll"):
            self.assertFalse(allowed(dll), dll)


if __name__ == "__main__":
    unittest.main(verbosity=2)
