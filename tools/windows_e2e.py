#!/usr/bin/env python3
"""End-to-end runs of the cross-built nettrainer.exe under wine64.

The trainer reads keys with _getch, which needs a real console: Wine gives
one when the program runs in a pseudo-terminal, so each run gets its own pty.
Wine's console draws through terminal escape sequences (cursor hiding, runs
of spaces as cursor moves); the text is turned back into plain lines before
it is compared.

usage: windows_e2e.py BIN_DIR WORK_DIR WINE64 WINEPREFIX
  BIN_DIR   the cross build's bin folder (nettrainer.exe and the example waveforms)
  WORK_DIR  scratch folder; emptied and refilled
"""

import os
import pty
import re
import select
import shutil
import signal
import struct
import sys
import termios
import fcntl
import time

WAIT_SECONDS = 120  # Wine's first start in a fresh prefix can be slow on a busy machine
QUIET_SECONDS = 2.0

BANNER = ("Vellumstorm Synth - Neural Net Model Trainer\n"
          "--------------------------------------------\n\n")
WAVE_HEADING = "Single-cycle waveform to train on?\n\n"
COMMAND_MENU = ("1) train 1 epoch   2) 100   3) 1000   4) 5000   "
                "n) new model  s) save  q) quit\n")
PRESS_ANY_KEY = "\nPress any key to exit.\n"
SAVE_FAILED = "Couldn't save to:\n  {path}\nMake sure the folder has write permissions.\n"
SAVED = ("\nModel successfully saved:\n  {path}\n\n"
         "Select it via the Osc Model knob after reloading the VST plugin.\n")

# Twelve waveforms, so the menu has letter keys ('a' and 'b') and the first
# unused letter ('c') can be checked as ignored.
WAV_NAMES = ["sine", "triangle", "saw", "square", "pulse", "organ", "bell", "formant",
             "sine2", "saw2", "bell2", "square2"]


class Failure(Exception):
    pass


_CSI = re.compile(rb"\x1b\[([0-9;?]*)([@-~])")
_OSC = re.compile(rb"\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)")


def plain_text(raw):
    """The text a reader sees, from what Wine's console wrote to the tty."""
    raw = _OSC.sub(b"", raw)

    def csi(match):
        params, final = match.group(1), match.group(2)
        if final == b"C":  # cursor forward: Wine's way of writing spaces
            return b" " * (int(params) if params.isdigit() else 1)
        return b""  # cursor visibility, erase to end of line, positioning

    raw = _CSI.sub(csi, raw)
    raw = raw.replace(b"\r\n", b"\n").replace(b"\r", b"")
    text = raw.decode("latin-1")
    # Trailing blanks may be drawn as erasures rather than spaces.
    return "\n".join(line.rstrip(" ") for line in text.split("\n"))


def rstrip_lines(text):
    return "\n".join(line.rstrip(" ") for line in text.split("\n"))


class Run:
    """One trainer process in a pseudo-terminal."""

    def __init__(self, exe, wine64, prefix, log):
        env = dict(os.environ)
        env.update(WINEDEBUG="-all", WINEPREFIX=prefix, WINEDLLOVERRIDES="mscoree,mshtml=d",
                   TERM="xterm", LC_ALL="C")
        env.pop("DISPLAY", None)
        self.log = log
        self.raw = b""
        self.seen = 0  # characters of plain text already matched
        self.status = None
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            try:
                # Wine puts the terminal into raw mode only when the program
                # first reads a key; a key typed before that would be echoed
                # (and Return turned into a newline) by the terminal itself.
                attrs = termios.tcgetattr(0)
                attrs[0] &= ~termios.ICRNL
                attrs[3] &= ~(termios.ECHO | termios.ECHONL | termios.ICANON)
                termios.tcsetattr(0, termios.TCSANOW, attrs)
                os.chdir(os.path.dirname(exe))
                os.execve(wine64, [wine64, exe], env)
            finally:
                os._exit(127)
        # A screen larger than the plot, so nothing has to scroll sideways.
        fcntl.ioctl(self.fd, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 120, 0, 0))

    def _pump(self, seconds):
        end = time.monotonic() + seconds
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return True
            ready, _, _ = select.select([self.fd], [], [], min(left, 0.2))
            if not ready:
                continue
            try:
                data = os.read(self.fd, 65536)
            except OSError:
                return False
            if not data:
                return False
            self.raw += data
            self.log.write(data)
            self.log.flush()

    def text(self):
        return plain_text(self.raw)

    def expect(self, what, pattern=False):
        """Waits until `what` (text, or a regex) appears after what was matched last."""
        end = time.monotonic() + WAIT_SECONDS
        alive = True
        while True:
            fresh = self.text()[self.seen:]
            if pattern:
                match = re.search(what, fresh)
                if match:
                    self.seen += match.end()
                    return match
            else:
                at = fresh.find(rstrip_lines(what))
                if at >= 0:
                    self.seen += at + len(rstrip_lines(what))
                    return None
            if not alive or time.monotonic() > end:
                raise Failure("expected %r, got after the last match:\n%s" % (what, fresh))
            alive = self._pump(0.5)

    def expect_silence(self, why):
        """Nothing visible may be written for a while (an ignored key)."""
        self._pump(QUIET_SECONDS)
        fresh = self.text()[self.seen:]
        if fresh.strip("\n") != "":
            raise Failure("%s: expected no output, got %r" % (why, fresh))
        self.seen += len(fresh)

    def send(self, data):
        os.write(self.fd, data.encode("latin-1"))

    def wait_exit(self):
        end = time.monotonic() + WAIT_SECONDS
        while time.monotonic() < end:
            self._pump(0.2)
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid == self.pid:
                self.status = os.waitstatus_to_exitcode(status)
                self._pump(0.2)
                os.close(self.fd)
                return self.status
        os.kill(self.pid, signal.SIGKILL)
        os.waitpid(self.pid, 0)
        os.close(self.fd)
        raise Failure("the trainer did not end")

    def close(self):
        if self.status is None:
            try:
                os.kill(self.pid, signal.SIGKILL)
                os.waitpid(self.pid, 0)
            except OSError:
                pass


def windows_path(unix_path):
    """The path Wine shows for a Unix path (through drive Z:, which maps /)."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def menu_entries(text):
    """Key label -> name, from the waveform menu."""
    return dict(re.findall(r"(?:^|\s)([0-9a-z ])\) (\S+\.wav)", text))


def check_model_file(path, size, header, trailer):
    if not os.path.isfile(path):
        raise Failure("no model file at %s" % path)
    data = open(path, "rb").read()
    if len(data) != size:
        raise Failure("%s: %d bytes, expected %d" % (path, len(data), size))
    if data[:len(header)] != header:
        raise Failure("%s: header %s, expected %s" % (path, data[:len(header)].hex(" "), header.hex(" ")))
    if data[-len(trailer):] != trailer:
        raise Failure("%s: trailer %s, expected %s" % (path, data[-len(trailer):].hex(" "), trailer.hex(" ")))


def train_and_save(exe, folder, wine64, prefix, log):
    """Menu keys (ignored and upper-case), default size, one epoch, a failed
    and a successful save, exit status 0."""
    run = Run(exe, wine64, prefix, log)
    try:
        run.expect(BANNER)
        run.expect(WAVE_HEADING)
        deadline = time.monotonic() + WAIT_SECONDS
        while len(menu_entries(run.text())) < len(WAV_NAMES) and time.monotonic() < deadline:
            run._pump(0.3)
        entries = menu_entries(run.text())
        if sorted(entries.values()) != sorted(n + ".wav" for n in WAV_NAMES):
            raise Failure("menu lists %r" % entries)
        # Give the trainer time to reach its first key read before typing.
        run._pump(0.5)
        run.seen = len(run.text())

        # Punctuation, Tab, Enter, and letters past the last entry name nothing.
        for key in ["!", "\t", "\r", "c", "z", "#"]:
            run.send(key)
        run.expect_silence("ignored menu keys")

        # Upper case counts as lower case: 'B' is entry 11.
        chosen = entries["b"]
        run.send("B")
        run.expect("Size: ")
        run.send("\r")  # default size
        run.expect("Initialized random 8x8x8 model.\n")
        run.expect(COMMAND_MENU)

        for key in ["x", "9", "\r"]:
            run.send(key)
        run.expect_silence("ignored command keys")

        run.send("1")
        run.expect(r"Epoch 1 / 1:  Total Error: \d+\.\d\d%\n", pattern=True)
        run.expect(COMMAND_MENU)

        # An empty name leaves the folder itself as the path: refused, the model stays.
        directory = windows_path(folder) + "\\"
        run.send("s")
        run.expect("Model filename? (should end with .net)     Wav is: %s\n" % chosen)
        run.send("\r")
        run.expect(SAVE_FAILED.format(path=directory))
        run.expect(COMMAND_MENU)

        run.send("S")
        run.expect("Model filename? (should end with .net)     Wav is: %s\n" % chosen)
        run.send("lead.net\r")
        run.expect(SAVED.format(path=directory + "lead.net"))
        run.expect(PRESS_ANY_KEY)
        run.send(" ")
        status = run.wait_exit()
        if status != 0:
            raise Failure("exit status %d after a save, expected 0" % status)
    finally:
        run.close()

    # 8x8x8: L = 5, P = 169.
    check_model_file(os.path.join(folder, "lead.net"), 705,
                     bytes.fromhex("05000000 01000000 08000000 08000000 08000000 01000000"),
                     bytes.fromhex("0101010100"))
    if os.path.exists(os.path.join(folder, "lead.net.partial")):
        raise Failure("the temporary file was left behind")


def small_model_and_quit(exe, folder, wine64, prefix, log):
    """A typed size and 'Q' (upper case): exit status 0, nothing written."""
    before = set(os.listdir(folder))
    run = Run(exe, wine64, prefix, log)
    try:
        run.expect(WAVE_HEADING)
        run.send("0")
        run.expect("Size: ")
        run.send("4\r")
        run.expect("Initialized random 4 model.\n")
        run.expect(COMMAND_MENU)
        run.send("Q")
        run.expect(PRESS_ANY_KEY)
        run.send("q")
        status = run.wait_exit()
        if status != 0:
            raise Failure("exit status %d after 'q', expected 0" % status)
    finally:
        run.close()
    if set(os.listdir(folder)) != before:
        raise Failure("'q' changed the folder: %r" % (set(os.listdir(folder)) ^ before))


def main():
    if len(sys.argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    bin_dir, work_dir, wine64, prefix = (os.path.abspath(arg) for arg in sys.argv[1:])
    shutil.rmtree(work_dir, ignore_errors=True)
    # A folder name with spaces: the path handed to the plug-in user is shown and used whole.
    folder = os.path.join(work_dir, "trainer folder with spaces")
    os.makedirs(folder)
    shutil.copy2(os.path.join(bin_dir, "nettrainer.exe"), folder)
    for name in WAV_NAMES:
        source = os.path.join(bin_dir, name.rstrip("0123456789") + ".wav")
        shutil.copy2(source, os.path.join(folder, name + ".wav"))
    exe = os.path.join(folder, "nettrainer.exe")

    checks = [("train one epoch and save", train_and_save),
              ("small model and quit", small_model_and_quit)]
    failed = 0
    with open(os.path.join(work_dir, "console.log"), "wb") as log:
        for title, check in checks:
            try:
                check(exe, folder, wine64, prefix, log)
                print("PASS  %s" % title)
            except Failure as failure:
                failed += 1
                print("FAIL  %s: %s" % (title, failure))
    if failed:
        print("raw console output: %s" % os.path.join(work_dir, "console.log"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
