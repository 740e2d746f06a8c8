#!/usr/bin/env python3
"""gui_test.py -- runs the built UTarvune.exe under Wine as a person would.

Each case copies the uninstaller beside a stand-in tarvune.dll in a folder of
its own under the build folder, registers the entries an installer leaves,
starts the uninstaller with a temp folder of its own, then looks at the
dialog and presses keys or clicks through xdotool on the X display. What the
program did is read back from the disk and, through the probe helper (a
32-bit Windows program, so it sees the registry as the uninstaller does),
from Wine's registry. Every case removes what it made.

    gui_test.py CASE --bin BIN --work WORK --shots DIR
    gui_test.py setup|cleanup --bin BIN --work WORK

"setup" and "cleanup" bracket the cases (a ctest fixture): Wine is told to
leave the uninstaller's and the dialog test's windows unmanaged, so that it
draws their captions itself and closes them at once, with no window manager
on the display.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time

TITLE = "Uninstall Tarvune Add-on Library"
WARNING_CAPTION = "Can't delete the file named:"
ERROR_CAPTION = "Error during uninstall:"
EXPECTED_CONTROLS = [  # id, class, text, in tab order
    (1, "button", "OK"),
    (2, "button", "Cancel"),
    (0xFFFF, "static", "Click on OK to uninstall the Tarvune Add-on"),
    (0xFFFF, "static", "Library. This will remove all files from your"),
    (0xFFFF, "static", "computer."),
    (1000, "msctls_progress32", "Progress"),
]
UNMANAGED_PROGRAMS = ["UTarvune.exe", "uninstall_dialog_test.exe"]
WAIT = 20.0  # seconds: the bound of every wait for the program or its batch
BATCH_END = 60.0  # seconds: a batch that cannot delete the program gives up within this
# The folders the cases run in: blanks everywhere; a % and a letter that the
# ANSI and OEM code pages write differently where the batch's reading is the point.
FOLDERS = {"odd_folder": "Caf\u00e9 50%off"}

WS_POPUP, WS_CAPTION, WS_SYSMENU = 0x80000000, 0x00C00000, 0x00080000
WS_THICKFRAME, WS_MINIMIZEBOX, WS_MAXIMIZEBOX = 0x00040000, 0x00020000, 0x00010000
BS_DEFPUSHBUTTON = 0x1


class Failed(Exception):
    pass


class Env:
    """Wine and display settings: those of tools/wine-env.sh when it ran,
    otherwise a private prefix in the build folder and an Xvfb of our own."""

    def __init__(self, bin_dir, need_display):
        self.bin = os.path.abspath(bin_dir)
        self.env = dict(os.environ)
        self.env.setdefault("WINEPREFIX", os.path.join(os.path.dirname(self.bin), "wineprefix"))
        self.env["WINEDEBUG"] = "-all"
        self.env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
        self.xvfb = None
        if need_display and not self.env.get("DISPLAY"):
            self._start_xvfb()
        self.probe_exe = os.path.join(self.bin, "uninstall_probe.exe")
        self.wine = self.env.get("WINE", "wine")  # the 64-bit loader, where tools/wine-env.sh chose it

    def _start_xvfb(self):
        n = 91
        while os.path.exists(f"/tmp/.X11-unix/X{n}") or os.path.exists(f"/tmp/.X{n}-lock"):
            n += 1
        self.xvfb = subprocess.Popen(["Xvfb", f":{n}", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.env["DISPLAY"] = f":{n}"
        deadline = time.monotonic() + 10
        while not os.path.exists(f"/tmp/.X11-unix/X{n}") and time.monotonic() < deadline:
            time.sleep(0.1)

    def close(self):
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait(timeout=10)

    def run(self, args, timeout=45, check=False):
        result = subprocess.run(args, env=self.env, capture_output=True, text=True, timeout=timeout)
        if check and result.returncode != 0:
            raise Failed(f"{' '.join(args)} failed ({result.returncode}): {result.stderr.strip()}")
        return result

    def probe(self, *args, check=True):
        return self.run([self.wine, self.probe_exe, *args], check=check)

    def xdotool(self, *args, check=True):
        return self.run(["xdotool", *args], check=check)

    def windows_path(self, path):
        """The path as Wine's programs see it, through drive Z: (the root)."""
        return "Z:" + os.path.abspath(path).replace("/", "\\")


def app_key(program):
    return f"HKCU\\Software\\Wine\\AppDefaults\\{program}"


def setup(env, work):
    # Remember which keys this made, so that cleanup removes those and no others.
    os.makedirs(work, exist_ok=True)
    created = []
    for program in UNMANAGED_PROGRAMS:
        if env.run([env.wine, "reg", "query", app_key(program)]).returncode != 0:
            created.append(app_key(program))
        env.run([env.wine, "reg", "add", app_key(program) + "\\X11 Driver", "/v", "Managed", "/d", "N", "/f"],
                check=True)
    with open(os.path.join(work, "created-keys.txt"), "w") as f:
        f.write("\n".join(created))


def cleanup(env, work):
    for program in UNMANAGED_PROGRAMS:
        env.run([env.wine, "reg", "delete", app_key(program) + "\\X11 Driver", "/v", "Managed", "/f"])
    record = os.path.join(work, "created-keys.txt")
    if os.path.exists(record):
        with open(record) as f:
            for key in filter(None, f.read().split("\n")):
                env.run([env.wine, "reg", "delete", key, "/f"])
    shutil.rmtree(work, ignore_errors=True)


def hold(env, path_win):
    """Keeps a file open as a running program holds a loaded library, until release()."""
    holder = subprocess.Popen([env.wine, env.probe_exe, "hold", path_win], env=env.env,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    if holder.stdout.readline().strip() != "held":
        raise Failed(f"the helper could not hold {path_win} open")
    return holder


def release(holder):
    holder.stdin.close()
    holder.wait(timeout=WAIT)


class Program:
    """A Windows program started through the probe (with a temp folder of the
    test's choosing), and its windows on the display."""

    def __init__(self, env, shots):
        self.env = env
        self.shots = shots
        self.process = None

    def launch(self, exe, temp, args=None, cwd=None):
        """Starts exe (a path here, or one on a Windows drive such as C:\\...)."""
        exe_win = exe if exe[1:3] == ":\\" else self.env.windows_path(exe)
        temp_win = self.env.windows_path(temp) + "\\"
        command = [self.env.wine, self.env.probe_exe, "run", exe_win, temp_win]
        self.process = subprocess.Popen(command + ([args] if args else []), env=self.env.env, cwd=cwd,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def wait_window(self, title):
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            found = self.env.xdotool("search", "--name", f"^{title}$", check=False).stdout.split()
            if found:
                return found[0]
            if self.process.poll() is not None:
                raise Failed(f"the program ended before showing '{title}': {self.process.stdout.read()}")
            time.sleep(0.1)
        raise Failed(f"no window '{title}' within {WAIT} s")

    def describe(self, title):
        return json.loads(self.env.probe("window", title).stdout)

    def press(self, window, key):
        self.env.xdotool("windowfocus", "--sync", window)
        self.env.xdotool("key", key)

    def click(self, x, y):
        self.env.xdotool("mousemove", "--sync", str(x), str(y))
        self.env.xdotool("click", "1")

    def screenshot(self, name):
        path = os.path.join(self.shots, name)
        self.env.run(["import", "-window", "root", path], check=True)
        print(f"screenshot: {path}")

    def wait_exit(self, seconds=WAIT):
        try:
            self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            raise Failed(f"the program did not end within {seconds} s")
        return self.process.returncode

    def no_window_appears(self, title, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and self.process.poll() is None:
            if self.env.xdotool("search", "--name", f"^{title}$", check=False).stdout.strip():
                return False
            time.sleep(0.05)
        return True


def wait_gone(*paths):
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        if not any(os.path.exists(p) for p in paths):
            return True
        time.sleep(0.2)
    return False


class Case(Program):
    """One run of the uninstaller in a folder with blanks in its name."""

    def __init__(self, env, work, name, shots):
        super().__init__(env, shots)
        self.root = os.path.join(work, name)
        shutil.rmtree(self.root, ignore_errors=True)
        self.folder = os.path.join(self.root, FOLDERS.get(name, "Tarvune Add-on"))
        self.temp = os.path.join(self.root, "temp folder")
        os.makedirs(self.folder)
        os.makedirs(self.temp)
        self.exe = os.path.join(self.folder, "UTarvune.exe")
        shutil.copy(os.path.join(env.bin, "UTarvune.exe"), self.exe)
        self.addon = os.path.join(self.folder, "tarvune.dll")
        with open(self.addon, "wb") as f:
            f.write(b"MZ stand-in for the add-on")
        self.addon_win = env.windows_path(self.addon)
        self.batch = os.path.join(self.temp, "tarvune.bat")
        self.created_shared_key = False
        self.holder = None
        self.failures = []

    # --- set-up and state -------------------------------------------------

    def register(self, count):
        out = self.env.probe("registry-set", self.addon_win, str(count)).stdout
        self.created_shared_key = "created-shared-key 1" in out

    def registry(self):
        return json.loads(self.env.probe("registry-state", self.addon_win).stdout)

    def hold_addon(self):
        self.holder = hold(self.env, self.addon_win)

    def release_addon(self):
        if self.holder:
            release(self.holder)
            self.holder = None

    def start(self, temp=None):
        self.launch(self.exe, temp or self.temp, cwd=self.root)

    def wait_gone(self, *paths):
        return wait_gone(*paths)

    def batch_ends(self):
        """True once no cmd runs and the batch file is gone, within BATCH_END seconds."""
        deadline = time.monotonic() + BATCH_END
        while time.monotonic() < deadline:
            if self.env.probe("processes", "cmd.exe").stdout.strip() == "0" and not os.path.exists(self.batch):
                return True
            time.sleep(0.5)
        return False

    # --- checking -----------------------------------------------------------

    def check(self, condition, message):
        if not condition:
            self.failures.append(message)
            print(f"FAILED: {message}")

    def check_untouched(self):
        self.check(os.path.exists(self.addon), "the add-on file is still there")
        self.check(self.registry() == {"shared_count": 3, "uninstall_key": True},
                   f"the registry entries are untouched (got {self.registry()})")
        self.check(os.path.exists(self.exe), "the uninstaller is still there")
        self.check(not os.path.exists(self.batch), "no batch file was written")

    def check_removed(self, addon_gone=True):
        self.check(os.path.exists(self.addon) != addon_gone,
                   "the add-on file is gone" if addon_gone else "the held add-on file stays")
        self.check(self.registry() == {"shared_count": None, "uninstall_key": False},
                   f"the shared-DLL value and the uninstall key are gone (got {self.registry()})")

    def finish(self):
        # Whatever went wrong, leave no program, holder, registry entry or file.
        if self.process and self.process.poll() is None:
            for title in (WARNING_CAPTION, ERROR_CAPTION, TITLE):
                self.env.probe("close", title, check=False)
            try:
                self.process.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
        self.release_addon()
        if os.path.exists(self.exe):
            os.chmod(self.exe, 0o644)
        self.env.probe("registry-clear", self.addon_win, "1" if self.created_shared_key else "0", check=False)
        self.wait_gone(self.batch)
        shutil.rmtree(self.root, ignore_errors=True)


# --- the cases ------------------------------------------------------------------

def case_dialog_escape(c):
    """The dialog as a person sees it; Esc leaves everything as it was."""
    c.register(3)
    c.start()
    window = c.wait_window(TITLE)
    d = c.describe(TITLE)
    c.check(d["title"] == TITLE, f"title {d['title']!r}")
    c.check(d["class"] == "#32770", f"the standard dialog class, got {d['class']!r}")
    style = d["style"]
    c.check(style & WS_CAPTION == WS_CAPTION and style & WS_SYSMENU, "caption and system menu")
    c.check(not style & (WS_POPUP | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX),
            f"no popup style, sizing border, minimise or maximise box (style {style:#x})")
    got = [(k["id"], k["class"].lower(), k["text"]) for k in d["controls"]]
    c.check(got == EXPECTED_CONTROLS, f"controls in tab order: {got}")
    progress = [k for k in d["controls"] if k["id"] == 1000]
    c.check(progress and progress[0]["range"] == [0, 2] and progress[0]["position"] == 0,
            f"progress bar empty, range 0 to 2: {progress}")
    ok = [k for k in d["controls"] if k["id"] == 1]
    c.check(ok and ok[0]["style"] & 0xF == BS_DEFPUSHBUTTON, "OK is the default button")
    c.check(d["focus_id"] == 1, f"OK has the focus (focus on {d['focus_id']})")
    c.check(d["active"] and d["foreground"], "the dialog comes up active, in the foreground")
    c.screenshot("uninstall-dialog.png")
    c.press(window, "Escape")
    c.check(c.wait_exit() == 0, "exit code 0")
    c.check_untouched()


def case_cancel_click(c):
    """A mouse click on Cancel changes nothing."""
    c.register(3)
    c.start()
    c.wait_window(TITLE)
    cancel = [k for k in c.describe(TITLE)["controls"] if k["id"] == 2][0]
    left, top, right, bottom = cancel["rect"]
    c.click((left + right) // 2, (top + bottom) // 2)
    c.check(c.wait_exit() == 0, "exit code 0")
    c.check_untouched()


def case_close_box(c):
    """A click on the caption's close box changes nothing."""
    c.register(3)
    c.start()
    c.wait_window(TITLE)
    x, y = c.describe(TITLE)["close_box"]
    if x < 0:
        raise Failed("the caption shows no close box")
    c.click(x, y)
    c.check(c.wait_exit() == 0, "exit code 0")
    c.check_untouched()


def case_system_menu(c):
    """Alt+Space opens the system menu (no Size, no Maximize); its Close changes nothing."""
    c.register(3)
    c.start()
    window = c.wait_window(TITLE)
    c.press(window, "alt+space")
    time.sleep(0.5)  # let the menu paint before the picture
    c.screenshot("uninstall-system-menu.png")
    c.env.xdotool("key", "c")
    c.check(c.wait_exit() == 0, "exit code 0")
    c.check_untouched()


def case_enter(c):
    """Enter on the fresh dialog uninstalls; the batch then removes the program and itself.
    The temp folder's blank must not split the batch's command line: a program
    planted where the first word would lead never runs."""
    c.register(3)  # a count above 1 does not keep the value
    with open(c.batch, "wb") as f:  # left by an interrupted run: overwritten
        f.write(b"@echo stale batch from an earlier run\r\n" * 20)
    planted = os.path.join(c.root, "temp.exe")  # where an unquoted ...\temp folder\tarvune.bat leads first
    shutil.copy(c.env.probe_exe, planted)
    c.start()
    window = c.wait_window(TITLE)
    c.press(window, "Return")
    c.check(c.wait_exit() == 0, "exit code 0")
    c.check_removed()
    c.check(c.wait_gone(c.exe, c.folder), f"the program's file and folder are gone within {WAIT} s")
    c.check(c.wait_gone(c.batch), "the batch file deleted itself")
    c.check(not os.path.exists(planted + ".ran"), f"the planted {os.path.basename(planted)} never ran")


def case_addon_absent(c):
    """No add-on file: no message box, and the uninstall goes on."""
    os.remove(c.addon)
    c.register(3)
    c.start()
    window = c.wait_window(TITLE)
    c.press(window, "Return")
    c.check(c.no_window_appears(WARNING_CAPTION, WAIT), "no warning box")
    c.check(c.wait_exit() == 0, "exit code 0")
    c.check_removed()
    c.check(c.wait_gone(c.exe, c.folder), "the program's file and folder are gone")
    c.check(c.wait_gone(c.batch), "the batch file deleted itself")


def case_addon_locked(c):
    """The add-on held open: the warning names it and says that nothing was
    removed; its entries and the uninstaller stay, so that a run once the
    add-on is free removes everything."""
    c.register(3)
    c.hold_addon()
    c.start()
    window = c.wait_window(TITLE)
    c.press(window, "Return")
    box = c.wait_window(WARNING_CAPTION)
    d = c.describe(WARNING_CAPTION)
    texts = [k["text"] for k in d["controls"] if k["class"].lower() == "static"]
    c.check(any(t.startswith(c.addon_win + "\n") and t.endswith("Nothing was removed.") for t in texts),
            f"the warning shows the add-on's full path {c.addon_win!r} and that nothing was removed: {texts}")
    c.check(d["owner_title"] == TITLE, f"the warning belongs to the dialog (owner {d['owner_title']!r})")
    c.screenshot("uninstall-warning.png")
    c.press(box, "Return")
    c.check(c.wait_exit() == 0, "exit code 0")
    c.check_untouched()

    c.release_addon()
    c.start()
    c.press(c.wait_window(TITLE), "Return")
    c.check(c.wait_exit() == 0, "the second run's exit code 0")
    c.check_removed()
    c.check(c.wait_gone(c.exe, c.folder), "after the second run the program's file and folder are gone")
    c.check(c.wait_gone(c.batch), "the batch file deleted itself")


def case_odd_folder(c):
    """A folder whose name holds a % and an e acute (0xE9 in the ANSI code
    page, 0x82 in the OEM one that cmd reads): the batch names it as it is."""
    c.register(3)
    c.start()
    c.press(c.wait_window(TITLE), "Return")
    c.check(c.wait_exit() == 0, "exit code 0")
    c.check_removed()
    c.check(c.wait_gone(c.exe, c.folder), "the program's file and folder are gone")
    c.check(c.wait_gone(c.batch), "the batch file deleted itself")


def case_readonly_uninstaller(c):
    """An uninstaller that cannot be deleted (read-only): the batch gives up
    after its tries, deletes itself and ends; no cmd is left running."""
    c.register(3)
    os.chmod(c.exe, 0o444)
    c.start()
    c.press(c.wait_window(TITLE), "Return")
    c.check(c.wait_exit() == 0, "exit code 0")
    c.check_removed()
    c.check(c.batch_ends(), f"no cmd runs and the batch file is gone within {BATCH_END} s")
    c.check(os.path.exists(c.exe), "the read-only program stays")


def case_long_temp(c):
    """A temp folder path too long for the batch path: no self-removal at all."""
    prefix = c.env.windows_path(c.root) + "\\"
    long_temp = os.path.join(c.root, "t" * (250 - len(prefix)))  # 250 characters with its backslash
    os.makedirs(long_temp)
    c.register(3)
    c.start(temp=long_temp)
    window = c.wait_window(TITLE)
    c.press(window, "Return")
    c.check(c.wait_exit() == 0, "exit code 0")
    c.check_removed()
    time.sleep(3)  # a batch, had one started, would have removed the program by now
    c.check(os.path.exists(c.exe), "the program stays")
    for folder in (long_temp, c.temp, c.folder, c.root):
        c.check(not os.path.exists(os.path.join(folder, "tarvune.bat")), f"no batch file in {folder}")


def case_no_dialog(c):
    """A dialog that cannot be created: the error box, then exit code 0 and no change."""
    c.register(3)
    # A copy whose template names a control class that nobody registered.
    with open(c.exe, "rb") as f:
        image = f.read()
    known, unknown = "msctls_progress32".encode("utf-16-le"), "msctls_missing_32".encode("utf-16-le")
    if image.count(known) != 1:
        raise Failed("the progress bar's class name is not in the template once")
    with open(c.exe, "wb") as f:
        f.write(image.replace(known, unknown))
    c.start()
    box = c.wait_window(ERROR_CAPTION)
    d = c.describe(ERROR_CAPTION)
    texts = [k["text"] for k in d["controls"] if k["class"].lower() == "static"]
    c.check("Can't create window!" in texts, f"the error box's text: {texts}")
    c.check(d["owner_title"] is None, "the error box has no owner")
    c.press(box, "Return")
    c.check(c.wait_exit() == 0, "exit code 0")
    c.check_untouched()


CASES = {name[len("case_"):]: f for name, f in globals().items() if name.startswith("case_")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES) + ["setup", "cleanup"])
    parser.add_argument("--bin", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--shots", default=None)
    args = parser.parse_args()

    env = Env(args.bin, need_display=args.case not in ("setup", "cleanup"))
    try:
        if args.case == "setup":
            setup(env, args.work)
            return 0
        if args.case == "cleanup":
            cleanup(env, args.work)
            return 0
        case = Case(env, args.work, args.case, args.shots or os.path.dirname(os.path.abspath(args.work)))
        try:
            CASES[args.case](case)
        except Failed as e:
            case.failures.append(str(e))
            print(f"FAILED: {e}")
        finally:
            case.finish()
        print(f"{args.case}: {'passed' if not case.failures else f'{len(case.failures)} failure(s)'}")
        return 1 if case.failures else 0
    finally:
        env.close()


if __name__ == "__main__":
    sys.exit(main())
