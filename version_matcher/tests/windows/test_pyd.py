"""The cross-built .pyd files must load in Windows Python 2.7 beside nothing
but the interpreter: each exports its initialiser and nothing else, and
imports only python27.dll, the interpreter's C runtime (msvcr90.dll) and
system DLLs.  No Windows interpreter is at hand here, so this is what can be
checked of the loading.
"""
import os
import re
import subprocess
import unittest

OUTPUT = os.environ.get("MATCHER_WINDOWS_OUTPUT", "")
OBJDUMP = os.environ.get("MINGW_OBJDUMP") or "x86_64-w64-mingw32-objdump"
ALLOWED_DLLS = {"python27.dll", "msvcr90.dll", "kernel32.dll", "bcrypt.dll"}
# objdump names the image's machine this way for each build.
FORMATS = {"win64": "pei-x86-64", "win32": "pei-i386"}


def headers(arch):
    pyd = os.path.join(OUTPUT, arch, "corvamire_version_matcher.pyd")
    if not os.path.isfile(pyd):
        raise AssertionError("not built (make windows builds it): %r" % pyd)
    return subprocess.run([OBJDUMP, "-p", pyd], check=True, capture_output=True, text=True).stdout


def exported_names(text):
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) != 2:
        return []
    return re.findall(r"^\s*\[\s*\d+\]\s+(\S+)\s*$", table[1].split("\n\n", 1)[0], re.M)


class PydTest(unittest.TestCase):
    def test_each_build_exports_the_initialiser_and_imports_only_what_a_host_has(self):
        for arch, image_format in sorted(FORMATS.items()):
            with self.subTest(arch=arch):
                text = headers(arch)
                self.assertIn("file format %s" % image_format, text)
                self.assertEqual(exported_names(text), ["initcorvamire_version_matcher"])
                dlls = [d.lower() for d in re.findall(r"DLL Name:\s*(\S+)", text)]
                self.assertIn("python27.dll", dlls)
                self.assertIn("msvcr90.dll", dlls)
                self.assertEqual(sorted(set(dlls) - ALLOWED_DLLS), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
