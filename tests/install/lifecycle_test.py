#!/usr/bin/env python3
"""lifecycle_test.py -- the add-on's whole life on a new Windows, under Wine.

In a Wine prefix made for this run: the installer shows its folder page (saved
as a screenshot) and is cancelled; a silent install goes into a folder with a
blank in its name, and the registry then holds the uninstall key and a
shared-DLL count of 1; a second install while a program holds the add-on open
fails and leaves the first one working, and so does one whose registry
entries cannot be written (it has replaced the files by then, and puts the
earlier ones back); the extraction example, run by
tools/rexx.sh with the installed add-on, extracts the sample and the tree
matches its sources; UTarvune.exe, run from the installed folder, is confirmed with Enter,
and then no file, folder, registry value or key of the add-on's, nor the
self-removal batch, is left; last, a fresh install whose shared-DLL count
cannot be written fails and leaves nothing of the add-on's behind.

    lifecycle_test.py --bin BIN --setup SETUP.EXE --version X.X.X.X --source ROOT --work WORK
"""
import argparse
import filecmp
import glob
import json
import os
import shutil
import subprocess
import sys
import time

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path[:0] = [os.path.join(TESTS, "uninstall"), os.path.join(TESTS, "rexx")]
import gui_test  # noqa: E402  (the uninstaller's GUI driver: Wine, display, probe)
from gui_test import Failed, Program  # noqa: E402
from check_rexx import tree  # noqa: E402  (a folder's files and bytes, by relative path)

FOLDER = "C:\\Program Files\\Host App"   # where the host application, and so the add-on, lives
INSTALLED = ["UTarvune.exe", "tarvune.dll"]
INSTALL_WAIT = 120  # seconds: a silent install on a new prefix
SHARED_DLLS_KEY = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs"
UNINSTALL_KEY = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarvune"
EARLIER = b"earlier installation"  # appended to the installed files, to tell them from new ones


class Life:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        self.prefix = os.path.join(self.work, "wineprefix")
        self.temp = os.path.join(self.work, "temp folder")
        self.shots = os.path.dirname(self.work)
        self.failures = []
        os.environ["WINEPREFIX"] = self.prefix     # gui_test.Env keeps a prefix it is given
        self.env = gui_test.Env(args.bin, need_display=True)
        self.folder = os.path.join(self.prefix, "drive_c", *FOLDER[3:].split("\\"))
        self.addon_win = FOLDER + "\\tarvune.dll"
        # The folder page's title: NSIS adds the page's subcaption to the caption.
        self.setup_title = f"Tarvune Add-on Library {args.version} Setup: Installation Folder"

    def check(self, condition, message):
        if not condition:
            self.failures.append(message)
            print(f"FAILED: {message}")

    def quiet(self, args, timeout=60):
        """Runs a command whose background children (wineserver, Wine's
        services) would hold captured output open: its output is dropped."""
        return subprocess.run(args, env=self.env.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout).returncode

    def new_prefix(self):
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.temp)
        print("[lifecycle] making a new Wine prefix")
        self.quiet([self.env.wine, "wineboot", "-i"], timeout=300)
        self.quiet(["wineserver", "-w"], timeout=120)  # else wineboot's server refuses a persistent one
        self.quiet(["wineserver", "-p"])
        # Debian's Wine fonts, where Wine finds them (as tools/wine-env.sh does).
        fonts = os.path.join(self.prefix, "drive_c", "windows", "Fonts")
        for font in glob.glob("/usr/share/wine/fonts/*.ttf"):
            if os.path.isdir(fonts) and not os.path.exists(os.path.join(fonts, os.path.basename(font))):
                shutil.copy(font, fonts)
        # Wine draws and closes these windows itself: there is no window manager.
        for program in ("UTarvune.exe", os.path.basename(self.args.setup)):
            key = gui_test.app_key(program) + "\\X11 Driver"
            if self.quiet([self.env.wine, "reg", "add", key, "/v", "Managed", "/d", "N", "/f"]) != 0:
                raise Failed(f"cannot set {key} in the new prefix")

    def install(self, extra=None):
        setup = Program(self.env, self.shots)
        setup.launch(self.args.setup, self.temp, extra)
        return setup

    def registry(self):
        return json.loads(self.env.probe("registry-state", self.addon_win).stdout)

    def files_match_build(self):
        if self.leftovers() != sorted(INSTALLED):
            return False
        return all(filecmp.cmp(os.path.join(self.folder, n), os.path.join(self.env.bin, n), shallow=False)
                   for n in INSTALLED)

    # --- the steps ------------------------------------------------------------

    def folder_page(self):
        """The installer as a person starts it: its folder page, then Cancel."""
        setup = self.install()
        setup.wait_window(self.setup_title)
        time.sleep(1)  # let the page paint before the picture
        setup.screenshot("installer-folder-page.png")
        self.env.probe("close", self.setup_title)
        setup.wait_exit(INSTALL_WAIT)
        self.check(not os.path.exists(self.folder), "a cancelled installer leaves no folder")
        self.check(self.registry() == {"shared_count": None, "uninstall_key": False},
                   f"a cancelled installer writes no registry entry (got {self.registry()})")

    def silent_install(self):
        code = self.install(f"/S /D={FOLDER}").wait_exit(INSTALL_WAIT)
        self.check(code == 0, f"the silent install ends with 0 (got {code})")
        self.check(self.files_match_build(), f"the folder holds exactly {INSTALLED}, as built")
        self.check(self.registry() == {"shared_count": 1, "uninstall_key": True},
                   f"the shared-DLL count is 1 and the uninstall key exists (got {self.registry()})")
        values = json.loads(self.env.probe("uninstall-values").stdout)
        size = values.pop("EstimatedSize", 0)
        expected = {
            "DisplayName": "Tarvune Add-on Library",
            "DisplayVersion": self.args.version,
            "Publisher": "Tarvune",
            "InstallLocation": FOLDER,
            "UninstallString": f'"{FOLDER}\\UTarvune.exe"',
            "NoModify": 1,
            "NoRepair": 1,
        }
        self.check(values == expected, f"the uninstall key's values: {values}")
        built = sum(os.path.getsize(os.path.join(self.env.bin, n)) for n in INSTALLED)
        self.check(isinstance(size, int) and built // 1024 <= size <= built // 1024 + 2,
                   f"EstimatedSize {size} KB for {built} bytes")

    def install_over_busy_addon(self):
        """A second install while a host holds the add-on: refused, the first one stays."""
        holder = gui_test.hold(self.env, self.addon_win)
        try:
            code = self.install(f"/S /D={FOLDER}").wait_exit(INSTALL_WAIT)
        finally:
            gui_test.release(holder)
        self.check(code == 2, f"an install over an add-on in use fails with 2 (got {code})")
        self.check(self.files_match_build(), "the first installation's files stay, and no other file is left")
        self.check(self.registry() == {"shared_count": 1, "uninstall_key": True},
                   f"the failed install changed no registry entry (got {self.registry()})")

    def install_with_key_locked(self, key):
        """A silent install while HKLM\\key takes no values; its exit code."""
        self.env.probe("registry-lock", key)
        try:
            return self.install(f"/S /D={FOLDER}").wait_exit(INSTALL_WAIT)
        finally:
            self.env.probe("registry-unlock", key)

    def failed_install_over_earlier(self):
        """An install whose uninstall key cannot be written fails after it has
        replaced the files and raised the count: the earlier installation
        comes back whole, its files, count and key."""
        values = self.env.probe("uninstall-values").stdout
        for name in INSTALLED:
            with open(os.path.join(self.folder, name), "ab") as f:
                f.write(EARLIER)
        code = self.install_with_key_locked(UNINSTALL_KEY)
        self.check(code == 2, f"an install that cannot write its key fails with 2 (got {code})")
        self.check(self.leftovers() == sorted(INSTALLED), f"no file of the failed install stays: {self.leftovers()}")
        for name in INSTALLED:
            path = os.path.join(self.folder, name)
            with open(path, "rb") as f:
                self.check(f.read().endswith(EARLIER), f"the earlier {name} is back in place")
            os.truncate(path, os.path.getsize(path) - len(EARLIER))
        self.check(self.registry() == {"shared_count": 1, "uninstall_key": True},
                   f"the count is 1 again (got {self.registry()})")
        self.check(self.env.probe("uninstall-values").stdout == values, "the uninstall key's values are unchanged")

    def failed_fresh_install(self):
        """A first install whose shared-DLL count cannot be written leaves
        nothing of the add-on's: no folder, file, count or key."""
        code = self.install_with_key_locked(SHARED_DLLS_KEY)
        self.check(code == 2, f"an install that cannot write its count fails with 2 (got {code})")
        self.check(not os.path.exists(self.folder), f"the folder it made is gone: {self.leftovers()}")
        self.check(self.registry() == {"shared_count": None, "uninstall_key": False},
                   f"no registry entry stays (got {self.registry()})")

    def rexx_extracts(self):
        """The extraction example, run by Regina with the installed add-on."""
        sample = os.path.join(self.env.bin, "sample")
        out = os.path.join(self.work, "extracted")
        script = os.path.join(self.args.source, "examples", "extract.rex")
        # rexx.sh runs the bridge in the build's own Wine prefix (the tests'
        # session when there is one); the add-on it loads is the installed file.
        # Under tools/test.sh both folders are set already (on a machine that
        # runs no 32-bit programs, the one that runs is not BUILD_DIR).
        env = dict(self.env.env)
        env.setdefault("BUILD_DIR", os.path.dirname(self.env.bin))
        env.setdefault("RUN_DIR", os.path.dirname(self.env.bin))
        result = subprocess.run(["bash", os.path.join(self.args.source, "tools", "rexx.sh"),
                                 "--addon", os.path.join(self.folder, "tarvune.dll"),
                                 script, os.path.join(sample, "sample.zip"), out, "tarvune"],
                                env=env, cwd=self.work, stdin=subprocess.DEVNULL, capture_output=True,
                                text=True, timeout=300)
        self.check(result.returncode == 0, f"the script ran to its end (exit {result.returncode}): "
                                           f"{result.stdout.strip()[-1000:]} {result.stderr.strip()[-1000:]}")
        got, wanted = tree(out), tree(os.path.join(sample, "sample-src"))
        self.check(got == wanted, "the extracted tree matches the sample's sources: "
                                  f"{sorted(got)} against {sorted(wanted)}")

    def uninstall(self):
        uninstaller = Program(self.env, self.shots)
        # By its installed path, as the list of installed software starts it:
        # the uninstaller names the add-on's shared-DLL value by its own folder.
        uninstaller.launch(FOLDER + "\\UTarvune.exe", self.temp)
        window = uninstaller.wait_window(gui_test.TITLE)
        uninstaller.press(window, "Return")
        self.check(uninstaller.wait_exit() == 0, "the uninstaller ends with 0")
        self.check(gui_test.wait_gone(self.folder), f"the installed folder is gone: {self.leftovers()}")
        self.check(gui_test.wait_gone(os.path.join(self.temp, "tarvune.bat")), "the batch file deleted itself")
        self.check(os.listdir(self.temp) == [], f"nothing is left in the temp folder: {os.listdir(self.temp)}")
        self.check(not os.path.exists(os.path.join(self.prefix, "drive_c", "tarvune.bat")),
                   "no batch file at the drive's root")
        self.check(self.registry() == {"shared_count": None, "uninstall_key": False},
                   f"the shared-DLL value and the uninstall key are gone (got {self.registry()})")

    def leftovers(self):
        return sorted(os.listdir(self.folder)) if os.path.isdir(self.folder) else []

    def finish(self):
        try:
            for title in (self.setup_title, gui_test.TITLE, gui_test.WARNING_CAPTION):
                self.env.probe("close", title, check=False)
        finally:
            self.quiet(["wineserver", "-k"])   # this prefix's server only
        if not self.failures:
            shutil.rmtree(self.work, ignore_errors=True)
        self.env.close()


def main():
    parser = argparse.ArgumentParser()
    for option in ("--bin", "--setup", "--version", "--source", "--work"):
        parser.add_argument(option, required=True)
    life = Life(parser.parse_args())
    try:
        life.new_prefix()
        for step in (life.folder_page, life.silent_install, life.install_over_busy_addon,
                     life.failed_install_over_earlier, life.rexx_extracts, life.uninstall,
                     life.failed_fresh_install):
            print(f"[lifecycle] {step.__name__}")
            step()
    except (Failed, subprocess.TimeoutExpired) as e:
        life.failures.append(str(e))
        print(f"FAILED: {e}")
    finally:
        life.finish()
    print(f"lifecycle: {'passed' if not life.failures else f'{len(life.failures)} failure(s)'}")
    return 1 if life.failures else 0


if __name__ == "__main__":
    sys.exit(main())
