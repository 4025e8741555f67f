#!/usr/bin/env python3
"""A show that starts itself, under a real systemd.

Makes a Debian 12 root file system with mmdebstrap (systemd as PID 1, udev),
boots it with Debian's own kernel under qemu-system-x86_64 with QEMU's
emulated FTDI adapter on an xHCI bus, installs the package with dpkg -i and
checks, across three boots:

First boot, a fresh system (no serial driver loaded yet):
- dpkg -i (which loads the serial drivers and the sound core), then
  `systemctl enable --now orvplayer@show.txt` before any
  reboot, then the adapter plugged in: the show plays, byte for byte;
- the unit's exposure as systemd-analyze security rates it;
- a show whose file is missing: its message is in `journalctl -t orvplayer`;
- `systemctl stop` of a playing show: the unit ends inactive (not failed)
  and the adapter got whole cues only.
Second boot, no adapter:
- the adapter plugged in 10 s after boot: the enabled show plays;
- the adapter unplugged mid-show: the unit fails, and the journal holds
  "couldn't write to serial" at error priority;
- no adapter: the unit fails after the device wait, with its message (also
  under `journalctl -t orvplayer`);
- the wall clock stepped a day forward during the device wait: the wait
  goes on, and the show plays once the adapter comes.
Third boot, the adapter present:
- the show plays at boot;
- a show whose file name holds a '-', enabled with systemd-escape;
- a timer of the show's own, as the docs give it, plays it at its time;
- settings of a show's own (/etc/orvplayer/FILE.conf): one show plays to
  the adapter by its /dev/serial/by-id/ name, another, whose own device is
  missing, fails after its own short wait with its message;
- two props, each show on its own adapter by id (a second adapter with a
  serial number of its own): both started at once, the second before its
  adapter is there, whose unit is up and says what it waits for; each
  adapter gets its own show only;
- a looping show: its state line (systemctl status); its player stopped
  with SIGSTOP is ended by the watchdog and started afresh once;
- a looping show from the settings (repeat without end, a period, a start
  moment long past): its first cue comes at the next period boundary of the
  start moment, as the guest's own clock counts, and each later pass a
  period after the one before; the adapter unplugged for 3 s: the unit
  starts the show afresh, which comes back at a boundary of the same grid;
  then `systemctl stop`; started again and the adapter unplugged for good:
  one restart, then the unit fails with the device wait's message;
- a GPIO trigger from the settings, on a simulated chip (gpio-sim, built
  for the guest's kernel by gpio_sim.py): without a udev rule the unit may
  not open the chip; with the rule that gives the chips to the group gpio,
  each press plays one pass, a press during a pass is ignored, and
  `systemctl stop` ends the unit inactive;
- a show with sound from the settings (ORVPLAYER_SOUND and a card named
  by its id): the unit waits for the card, which comes late (the kernel's
  loopback card, snd-aloop, loaded a moment after the start), then plays;
  each click of the sound, heard at the card's far end by the guest tool,
  against its cue's arrival at the adapter;
- dpkg --purge leaves no unit, link or settings behind.

The root file system, the kernel and the gpio-sim module are cached in the
cache folder given. The board-level test's guest tool is built here for
the guest (static, with this machine's g++).
"""

import argparse
import contextlib
import math
import random
import re
import shutil
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(Path(__file__).resolve().parent))
import board_test as board  # noqa: E402  (the same downloads and monitor)
import gpio_sim  # noqa: E402

board.ARCHES["amd64"] = {
    "kernel": "linux-image-amd64",
    "qemu": ["qemu-system-x86_64", "-M", "q35", "-cpu", "max"],
    "console": "ttyS0",
}

UPLOAD = "/home/yot/media/upload/"
# Short for the test; the package's default is in /etc/default/orvplayer.
DEVICE_WAIT = 20
MAX_EXPOSURE = 1.0
# The second adapter's serial number, in its /dev/serial/by-id/ name.
SECOND_SERIAL = "SKULL"

# A looping show's period, and how late its passes may arrive here.
PERIOD_MS = 4000
LATE_BY_AT_MOST = 0.25

# The show with sound: its clicks, and how far apart.
SOUND_CLICKS = 10
SOUND_EVERY_MS = 300
# The cues' arrival at the adapter, this machine's end of an emulated USB
# bus, against the clicks in the guest, across two clocks compared through
# the shell: loose bounds that a sound a buffer late, or one that drifts,
# still fails. The millisecond figures come from the board-level test.
SOUND_LATE_AT_MOST = 0.05
SOUND_SPREAD_AT_MOST = 0.03

SHOWS = {
    "show.txt": board.numbered(20, 100, 30),
    "act-1.txt": board.show([(0, b"ACT ONE\r\n"), (0x64, b"CURTAIN\r\n")]),
    "long.txt": board.numbered(200, 100, 20),
    # Cues long enough that a stop may well come while one is written (a
    # line holds at most 254 characters).
    "stop.txt": board.numbered(100, 50, 200),
    # A pass of 2.5 s, played every PERIOD_MS: long enough that the stop,
    # sent once a pass has begun, comes in the middle of it.
    "loop.txt": board.show([(0, b"LOOP A\r\n"), (0x3e8, b"LOOP B\r\n"),
                            (0x7d0, b"LOOP C\r\n"), (0x9c4, b"LOOP D\r\n")]),
    # Played by a timer at its time.
    "timed.txt": board.show([(0, b"ON THE HOUR\r\n")]),
    # Played to the device its own settings name.
    "named.txt": board.show([(0, b"BY NAME 1\r\n"), (0x64, b"BY NAME 2\r\n")]),
    # Two props of one board, each on its own adapter.
    "door.txt": board.show([(0, b"DOOR OPEN\r\n"), (0x1f4, b"DOOR SHUT\r\n")]),
    "skull.txt": board.show([(0, b"JAW\r\n"), (0xc8, b"EYES\r\n"), (0x190, b"SCREAM\r\n")]),
    # A loop whose player is stopped (SIGSTOP) until the watchdog restarts it.
    "alive.txt": board.show([(0, b"ALIVE A\r\n"), (0x1f4, b"ALIVE B\r\n")]),
    # A click every 300 ms, each with its cue.
    "sound.wav": (board.click_sound(board.SOUND_RATE, SOUND_CLICKS, SOUND_EVERY_MS), b""),
    "sound.txt": board.show([(n * SOUND_EVERY_MS, b"SOUND %d\n" % n)
                             for n in range(SOUND_CLICKS)]),
    # A pass of two seconds, played on each press of a button.
    "button.txt": board.show([(0, b"PRESSED 1\n"), (0x3e8, b"PRESSED 2\n"),
                              (0x7d0, b"PRESSED 3\n")]),
}

# The simulated GPIO chip: a bank of 32 lines, line 17 named as on a
# Raspberry Pi.
GPIO_LINE = "GPIO17"
GPIO_OFFSET = 17
# How a Debian user gives the GPIO chips to the group gpio.
GPIO_RULE = 'SUBSYSTEM=="gpio", KERNEL=="gpiochip*", GROUP="gpio", MODE="0660"'
GPIO_RULE_FILE = "/etc/udev/rules.d/60-gpio.rules"

# Stands in for a person at the board's shell: a root shell on the second
# serial port, started once the system is up. The port stays open from the
# first byte on: a serial port that nobody holds open drops what comes in.
AGENT = """[Unit]
Description=boot test agent
After=multi-user.target

[Service]
ExecStart=/bin/sh -c 'exec </dev/ttyS1 >/dev/ttyS1 2>&1; stty raw -echo; echo @@BOOTED; \
exec env PS1= PS2= /bin/sh -s'
# An interactive shell ignores SIGTERM: without this, every reboot would
# wait out systemd's stop timeout (90 s).
KillSignal=SIGKILL

[Install]
WantedBy=multi-user.target
"""

INIT = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t devtmpfs dev /dev
for module in $(cat /modules.order); do insmod /$module; done
for i in $(seq 100); do [ -b /dev/vda ] && break; sleep 0.1; done
mount -o rw /dev/vda /newroot
umount /proc
exec switch_root /newroot /sbin/init
"""


def log(text):
    print(text, flush=True)


def cue_ends(text):
    """Where each cue of a cue file ends in the bytes it delivers."""
    ends, total = [], 0
    for line in re.findall(rb"[^\n]*\n|[^\n]+$", text):
        codes = line.partition(b":")[2]
        if codes:
            total += len(codes)
            ends.append(total)
    return ends


def whole_cues(received, name, passes=1):
    """Whether received is the start of `passes` passes of a show that ends
    at the end of a cue (or holds nothing)."""
    text, expected = SHOWS[name]
    ends = [0] + [k * len(expected) + end for k in range(passes) for end in cue_ends(text)]
    return (expected * passes).startswith(received) and len(received) in ends


def package_depends(deb):
    """The packages the package depends on, by name (the first of each
    choice), so that dpkg -i finds them installed."""
    field = subprocess.run(["dpkg-deb", "-f", str(deb), "Depends"], check=True,
                           capture_output=True, text=True).stdout
    return {re.match(r"[^\s(:|]+", item.strip()).group(0)
            for item in field.split(",") if item.strip()}


def root_filesystem(cache, deb):
    """A Debian 12 base system with systemd and udev and what the package
    depends on, as a tarball (once for each set of those)."""
    packages = sorted({"systemd-sysv", "udev", "kmod"} | package_depends(deb))
    tarball = cache / f"bookworm-{'-'.join(packages)}.tar"
    if not tarball.exists():
        # Made whole or not at all, even from a mirror in mid-sync.
        subprocess.run([str(ROOT / "packaging" / "make-chroot.sh"), str(tarball), "bookworm",
                        "--variant=minbase", "--include=" + ",".join(packages)], check=True)
    return tarball


def guest_tool(work):
    """The board-level test's guest tool, built static for this guest."""
    tool = work / "orv-board-guest"
    sources = [ROOT / "tests" / "board_level" / name for name in ("guest_tool.cpp",
                                                                 "guest_sound.cpp")]
    subprocess.run(["g++", "-std=c++17", "-O2", "-static", "-o", str(tool)]
                   + [str(source) for source in sources], check=True)
    return tool


def make_disk(work, tarball, modules_dir, deb, gpio_module):
    """The guest's disk: the base system, the kernel's modules, the test's
    agent, shows and guest tool, the package to install and the gpio-sim
    module."""
    root = work / "root"
    if root.exists():
        shutil.rmtree(root)
    root.mkdir(parents=True)
    subprocess.run(["tar", "-xf", str(tarball), "-C", str(root)], check=True)
    version = modules_dir.name
    shutil.copytree(modules_dir, root / "lib" / "modules" / version, symlinks=True)
    subprocess.run(["chroot", str(root), "depmod", version], check=True)
    (root / "etc" / "fstab").write_text("/dev/vda / ext4 rw 0 1\n")
    (root / "etc" / "hostname").write_text("board\n")
    agent = root / "etc" / "systemd" / "system" / "orv-agent.service"
    agent.write_text(AGENT)
    wants = root / "etc" / "systemd" / "system" / "multi-user.target.wants"
    wants.mkdir(parents=True, exist_ok=True)
    (wants / "orv-agent.service").symlink_to("/etc/systemd/system/orv-agent.service")
    # The show's owner, whose home (as on Debian 12) only they may enter.
    subprocess.run(["chroot", str(root), "useradd", "--create-home", "yot"], check=True)
    (root / "home" / "yot").chmod(0o700)
    upload = root / UPLOAD.strip("/")
    upload.mkdir(parents=True)
    for name, (text, _) in SHOWS.items():
        (upload / name).write_bytes(text)
    subprocess.run(["chroot", str(root), "chown", "-R", "yot:yot", "/home/yot"], check=True)
    shutil.copy(deb, root / "root" / "orvplayer.deb")
    shutil.copy(gpio_module, root / "root" / "gpio-sim.ko")
    shutil.copy(guest_tool(work), root / "root" / "orv-board-guest")
    disk = work / "disk.img"
    subprocess.run(["mkfs.ext4", "-q", "-F", "-d", str(root), str(disk), "2G"], check=True)
    shutil.rmtree(root)
    return disk


def make_initramfs(work, modules_dir, busybox):
    """Just enough to mount the disk and start systemd on it."""
    root = work / "initramfs"
    if root.exists():
        shutil.rmtree(root)
    for folder in ("bin", "proc", "dev", "newroot"):
        (root / folder).mkdir(parents=True)
    shutil.copy(busybox, root / "bin" / "busybox")
    # ext4 asks the crypto API for crc32c, which no modprobe here can load.
    board.copy_modules(root, modules_dir, ["virtio_pci", "virtio_blk", "crc32c_generic", "ext4"])
    return board.pack_initramfs(root, INIT, work / "initramfs.cpio.gz")


class System(board.Board):
    """The booted Debian system: its agent's shell, its monitor, and the far
    end of the FTDI adapter."""

    def __init__(self, work, kernel, initramfs, disk, adapter_at_boot):
        self.work = work
        self.qmp_path = work / "qmp.sock"
        self.ftdi_path = work / "ftdi.sock"
        self.second_path = work / "second.sock"
        for path in (self.qmp_path, self.ftdi_path, self.second_path):
            if path.exists():
                path.unlink()
        command = board.ARCHES["amd64"]["qemu"] + [
            "-m", "1024", "-smp", "1", "-nographic", "-no-reboot",
            "-kernel", str(kernel), "-initrd", str(initramfs),
            "-append", "console=ttyS0 rdinit=/init quiet panic=-1",
            "-drive", f"file={disk},if=virtio,format=raw",
            "-device", "qemu-xhci,id=xhci",
            "-chardev", f"socket,id=ftdi,path={self.ftdi_path},server=on,wait=off",
            "-chardev", f"socket,id=second,path={self.second_path},server=on,wait=off",
            "-qmp", f"unix:{self.qmp_path},server=on,wait=off",
            "-serial", f"file:{work / 'console.log'}", "-serial", "stdio", "-monitor", "none",
        ]
        if adapter_at_boot:
            command += ["-device", "usb-serial,chardev=ftdi,bus=xhci.0,id=ftdi0"]
        self.start(command)
        self.ftdi_plugged = adapter_at_boot

    def start(self, command):
        super().start(command)
        # For each read from the adapter's socket: when it came (this
        # machine's monotonic clock) and how many bytes had come by then.
        self.ftdi_reads = []
        self.second_bytes = bytearray()
        self.second_plugged = False

    def boot(self, timeout=300):
        super().boot(timeout)
        # A second adapter, plugged in only when a scenario asks for it:
        # another prop, with a serial number of its own.
        self.second = socket.socket(socket.AF_UNIX)
        self.second.connect(str(self.second_path))
        threading.Thread(target=self._read_second, daemon=True).start()

    def _read_second(self):
        while True:
            try:
                data = self.second.recv(65536)
            except OSError:
                return
            if not data:
                return
            with self.ftdi_lock:
                self.second_bytes += data

    def plug_second(self, plugged):
        if plugged != self.second_plugged:
            if plugged:
                for _ in range(50):
                    reply = self.monitor("device_add", driver="usb-serial", chardev="second",
                                         bus="xhci.0", id="second0", serial=SECOND_SERIAL)
                    if "return" in reply:
                        break
                    time.sleep(0.1)
            else:
                reply = self.monitor("device_del", id="second0")
            assert "return" in reply, reply
            self.second_plugged = plugged

    def take_second(self):
        with self.ftdi_lock:
            data = bytes(self.second_bytes)
            self.second_bytes.clear()
        return data

    def _read_ftdi(self, sock):
        while True:
            try:
                data = sock.recv(65536)
            except OSError:
                return
            if not data:
                return
            with self.ftdi_lock:
                self.ftdi_bytes += data
                self.ftdi_reads.append((time.monotonic(), len(self.ftdi_bytes)))

    def take_ftdi(self):
        with self.ftdi_lock:
            data = bytes(self.ftdi_bytes)
            self.ftdi_bytes.clear()
            self.ftdi_reads.clear()
        return data

    def ftdi_count(self):
        with self.ftdi_lock:
            return len(self.ftdi_bytes)

    def arrival(self, offset):
        """When the byte at offset (of those come since the last take)
        arrived, or None."""
        with self.ftdi_lock:
            return next((at for at, count in self.ftdi_reads if count > offset), None)


class Failed(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failed(what)


class BootTest:
    def __init__(self, work, kernel, initramfs, disk):
        self.work = work
        self.kernel = kernel
        self.initramfs = initramfs
        self.disk = disk
        self.system = None
        self.failures = 0
        self.figures = []
        self.boots = 0
        self.gpio_pull = None

    def boot(self, adapter_at_boot):
        if self.system is not None:
            began = time.monotonic()
            self.system.send("systemctl reboot")
            self.system.qemu.wait(timeout=300)
            self.figures.append(f"boot {self.boots}: shut down in "
                                f"{time.monotonic() - began:.0f} s")
        self.boots += 1
        began = time.monotonic()
        self.system = System(self.work, self.kernel, self.initramfs, self.disk,
                             adapter_at_boot)
        self.system.boot(timeout=600)
        # The shell may miss the first bytes sent while it starts.
        for _ in range(5):
            try:
                if self.sh("echo @@READY", 30)[-1:] == ["@@READY"]:
                    break
            except TimeoutError:
                pass
        took = time.monotonic() - began
        log(f"boot {self.boots}: up in {took:.0f} s")
        self.figures.append(f"boot {self.boots}: up in {took:.0f} s")
        return began

    def sh(self, command, timeout=120):
        return self.system.shell(command, timeout)

    def unit_state(self, unit, *extra):
        properties = " ".join(f"-p {name}" for name in ("ActiveState", "Result") + extra)
        lines = self.sh(f"systemctl show {properties} {unit}")
        return dict(line.split("=", 1) for line in lines if "=" in line)

    def wait_until(self, what, condition, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if condition():
                return
            time.sleep(1)
        raise Failed(f"{what}: not within {timeout} s")

    def wait_for_state(self, unit, state, timeout):
        self.wait_until(f"{unit} {state}",
                        lambda: self.unit_state(unit).get("ActiveState") == state, timeout)

    def adapter_bytes(self, expected, timeout=60):
        self.wait_for_bytes(len(expected), timeout)
        return self.system.take_ftdi()

    def wait_for_bytes(self, count, timeout):
        """Waits until count bytes have come (since the last take)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.system.ftdi_count() < count:
            time.sleep(0.02)
        return self.system.ftdi_count() >= count

    def errors_of(self, unit):
        return self.sh(f"journalctl -b -u {unit} -p err -o cat --no-pager")

    def main_program(self, unit, wait_for=None):
        """The name of the unit's main process (after waiting up to 10 s for
        it to be wait_for), or None."""
        comm = f"cat /proc/$(systemctl show -p MainPID --value {unit})/comm 2>/dev/null"
        command = comm
        if wait_for:
            command = (f"for i in $(seq 100); do [ \"$({comm})\" = {wait_for} ] && break; "
                       f"sleep 0.1; done; {comm}")
        lines = self.sh(command)
        return lines[-1] if lines else None

    def guest_clock(self):
        """The guest's wall clock against this machine's monotonic clock:
        (offset, uncertainty), the guest's clock reading this machine's
        plus offset, give or take uncertainty (half the shortest of three
        round trips to the guest's shell)."""
        best = None
        for _ in range(3):
            before = time.monotonic()
            lines = self.sh("echo @@CLOCK $(date +%s.%N)")
            after = time.monotonic()
            guest = float(next(line for line in lines if line.startswith("@@CLOCK")).split()[1])
            half = (after - before) / 2
            if best is None or half < best[1]:
                best = (guest - (before + half), half)
        return best

    @contextlib.contextmanager
    def settings(self, **values):
        """/etc/default/orvplayer with values set, as it was afterwards."""
        edits = "".join(f"; sed -i 's|^{name}=.*|{name}={value}|' /etc/default/orvplayer"
                        for name, value in values.items())
        self.sh("cp -p /etc/default/orvplayer /root/orvplayer.saved" + edits)
        try:
            lines = self.sh("grep '^ORVPLAYER_' /etc/default/orvplayer")
            for name, value in values.items():
                check(f"{name}={value}" in lines, f"{name} not set: {lines}")
            yield
        finally:
            self.sh("mv /root/orvplayer.saved /etc/default/orvplayer")

    def scenario(self, name, body):
        began = time.monotonic()
        try:
            body()
            verdict = "ok"
        except (Failed, TimeoutError) as failure:
            verdict = f"FAILED: {failure}"
            self.failures += 1
        log(f"boot {name}: {verdict} ({time.monotonic() - began:.1f} s)")

    # The scenarios, in the order a person would meet them.

    def fresh_install_enabled_now(self):
        # The serial drivers and the sound core are not loaded before the
        # package is there: no serial device has been plugged in since boot,
        # and the emulated system has no sound card.
        loaded = "lsmod | grep -E '^(cdc_acm|usbserial|snd) ' | cut -d' ' -f1 | sort; true"
        lines = self.sh(loaded)
        check(lines == [], f"loaded before the install: {lines}")
        lines = self.sh("dpkg -i /root/orvplayer.deb >/dev/null 2>&1; echo status=$?")
        check(lines[-1:] == ["status=0"], f"dpkg -i: {lines}")
        after_install = self.sh(loaded)
        # The test's device wait is shorter than the package's default.
        self.sh(f"sed -i 's/^ORVPLAYER_DEVICE_WAIT=.*/ORVPLAYER_DEVICE_WAIT={DEVICE_WAIT}/' "
                "/etc/default/orvplayer")
        # As the README says: enable the show, to play now and at every boot.
        self.sh("systemctl enable --now orvplayer@show.txt 2>/dev/null")
        lines = self.sh("systemctl is-enabled orvplayer@show.txt")
        check(lines == ["enabled"], f"is-enabled: {lines}")
        check(after_install == ["cdc_acm", "snd", "usbserial"], f"loaded after the install: "
              f"{after_install}")
        program = self.main_program("orvplayer@show.txt", "wait-for-device")
        check(program == "wait-for-device", f"before the adapter came, the unit ran {program}")
        self.system.plug_ftdi(wait=False)
        expected = SHOWS["show.txt"][1]
        got = self.adapter_bytes(expected)
        check(got == expected, f"received {len(got)} of {len(expected)} bytes")
        self.wait_for_state("orvplayer@show.txt", "inactive", 60)
        state = self.unit_state("orvplayer@show.txt")
        check(state.get("Result") == "success", f"unit: {state}")

    def exposure(self):
        lines = self.sh("systemd-analyze security --no-pager orvplayer@show.txt.service "
                        "| tail -1")
        found = re.search(r"exposure level for \S+: (\d+\.\d+)", " ".join(lines))
        check(found is not None, f"no exposure level in {lines}")
        score = float(found.group(1))
        self.figures.append(f"systemd-analyze security: exposure {score}")
        check(score <= MAX_EXPOSURE, f"exposure {score} above {MAX_EXPOSURE}")

    def journal_names_the_player(self):
        self.system.plug_ftdi()
        self.sh("systemctl start orvplayer@missing.txt")
        self.wait_for_state("orvplayer@missing.txt", "failed", 60)
        lines = self.sh("journalctl -b -t orvplayer -o cat --no-pager")
        message = f"could not open file {UPLOAD}missing.txt"
        check(message in lines, f"journalctl -t orvplayer: {lines}")

    def stop_while_playing(self):
        self.system.plug_ftdi()
        self.system.take_ftdi()
        text, expected = SHOWS["stop.txt"]
        self.sh("systemctl start orvplayer@stop.txt")
        check(self.wait_for_bytes(cue_ends(text)[9], 30), "ten cues did not come")
        began = time.monotonic()
        self.sh("systemctl stop orvplayer@stop.txt")
        took = time.monotonic() - began
        state = self.unit_state("orvplayer@stop.txt")
        check(state.get("ActiveState") == "inactive" and state.get("Result") == "success",
              f"after systemctl stop: {state}")
        time.sleep(0.5)  # what the adapter's driver still held
        received = self.system.take_ftdi()
        cues = sum(1 for end in cue_ends(text) if end <= len(received))
        self.figures.append(f"stop of a playing show: systemctl stop took {took:.1f} s, "
                            f"{cues} of {len(cue_ends(text))} cues arrived")
        check(whole_cues(received, "stop.txt"),
              f"received {len(received)} bytes: not whole cues of the show")
        check(len(received) < len(expected), "the whole show played")
        errors = self.errors_of("orvplayer@stop.txt")
        check(errors == [], f"journal at error priority: {errors}")

    def adapter_plugged_after_boot(self, booted_at):
        time.sleep(max(0.0, booted_at + 10 - time.monotonic()))
        self.system.plug_ftdi(wait=False)
        expected = SHOWS["show.txt"][1]
        got = self.adapter_bytes(expected)
        check(got == expected, f"received {len(got)} of {len(expected)} bytes")
        self.wait_for_state("orvplayer@show.txt", "inactive", 60)
        state = self.unit_state("orvplayer@show.txt")
        check(state.get("Result") == "success", f"unit: {state}")

    def adapter_present_at_boot(self):
        expected = SHOWS["show.txt"][1]
        got = self.adapter_bytes(expected)
        check(got == expected, f"received {len(got)} of {len(expected)} bytes")

    def unplugged_mid_show(self):
        self.sh("systemctl start --no-block orvplayer@long.txt")
        time.sleep(3)
        self.system.unplug_ftdi(wait=False)
        self.wait_for_state("orvplayer@long.txt", "failed", 60)
        errors = self.errors_of("orvplayer@long.txt")
        check("couldn't write to serial" in errors, f"journal at error priority: {errors}")
        received = self.system.take_ftdi()
        check(SHOWS["long.txt"][1].startswith(received), "bytes out of order")

    def no_adapter(self):
        self.system.unplug_ftdi(wait=False)
        self.sh("for i in $(seq 100); do [ -e /dev/ttyUSB0 ] || break; sleep 0.1; done")
        began = time.monotonic()
        self.sh("systemctl start --no-block orvplayer@show.txt")
        self.wait_for_state("orvplayer@show.txt", "failed", DEVICE_WAIT + 60)
        waited = time.monotonic() - began
        self.figures.append(f"no adapter: failed after {waited:.0f} s "
                            f"(wait set to {DEVICE_WAIT} s)")
        check(waited >= DEVICE_WAIT, f"failed after {waited:.0f} s")
        errors = self.errors_of("orvplayer@show.txt")
        check(any("no serial device" in line for line in errors),
              f"journal at error priority: {errors}")
        # Whichever program of the start printed it, it is the player's.
        lines = self.sh("journalctl -b -t orvplayer -o cat --no-pager")
        check(any("no serial device" in line for line in lines),
              f"journalctl -t orvplayer: {lines}")

    def wall_clock_stepped_during_the_wait(self):
        self.system.unplug_ftdi()
        self.system.take_ftdi()
        unit = "orvplayer@show.txt"
        began = time.monotonic()
        self.sh(f"systemctl start {unit}")
        program = self.main_program(unit, "wait-for-device")
        check(program == "wait-for-device", f"the unit runs {program}, not the device wait")
        lines = self.sh("a=$(date +%s); date -s '+1 day' >/dev/null; echo @@STEP $(($(date +%s) - a))")
        step = int(next(line for line in lines if line.startswith("@@STEP")).split()[1])
        try:
            check(86400 <= step < 86400 + 60, f"the clock moved by {step} s")
            time.sleep(3)
            state = self.unit_state(unit)
            check(self.main_program(unit) == "wait-for-device",
                  f"the device wait ended when the clock was stepped: {state}, "
                  f"{self.errors_of(unit)}")
            time.sleep(max(0.0, began + 8 - time.monotonic()))
            self.system.plug_ftdi(wait=False)
            expected = SHOWS["show.txt"][1]
            got = self.adapter_bytes(expected)
            check(got == expected, f"received {len(got)} of {len(expected)} bytes "
                  f"({self.unit_state(unit)}, {self.errors_of(unit)})")
            self.wait_for_state(unit, "inactive", 60)
            state = self.unit_state(unit)
            check(state.get("Result") == "success", f"unit: {state}")
        finally:
            self.sh("date -s '-1 day' >/dev/null")

    def name_with_a_dash(self):
        self.system.plug_ftdi()
        # As the README says: systemd-escape keeps the '-' a '-'.
        self.sh("systemctl enable --now \"orvplayer@$(systemd-escape act-1.txt)\" 2>/dev/null")
        expected = SHOWS["act-1.txt"][1]
        got = self.adapter_bytes(expected)
        check(got == expected, f"received {got!r}")

    def settings_of_its_own(self):
        # As the README says: a show's own settings name its device by the
        # stable name udev gives it, and hold for that show alone.
        self.system.plug_ftdi()
        self.system.take_ftdi()
        names = self.sh("ls /dev/serial/by-id/")
        check(len(names) == 1 and names[0].endswith("-port0"), f"/dev/serial/by-id/: {names}")
        device = f"/dev/serial/by-id/{names[0]}"
        missing = "/dev/serial/by-id/usb-no_such_prop-if00"
        self.sh(f"mkdir -p /etc/orvplayer; echo 'ORVPLAYER_DEVICE={device}' "
                "> /etc/orvplayer/named.txt.conf; "
                f"printf 'ORVPLAYER_DEVICE={missing}\\nORVPLAYER_DEVICE_WAIT=2\\n' "
                "> /etc/orvplayer/show.txt.conf")
        try:
            self.sh("systemctl start orvplayer@named.txt")
            expected = SHOWS["named.txt"][1]
            got = self.adapter_bytes(expected)
            check(got == expected, f"received {got!r}")
            self.wait_for_state("orvplayer@named.txt", "inactive", 60)
            # The other show, its own device missing and its own wait short.
            began = time.monotonic()
            self.sh("systemctl start --no-block orvplayer@show.txt")
            self.wait_for_state("orvplayer@show.txt", "failed", 60)
            waited = time.monotonic() - began
            check(waited < DEVICE_WAIT, f"failed after {waited:.0f} s, not its own 2 s")
            message = f"no serial device: {missing} did not appear within 2 seconds"
            errors = self.errors_of("orvplayer@show.txt")
            check(message in errors, f"journal at error priority: {errors}")
            check(self.system.take_ftdi() == b"", "the show without its device reached the adapter")
        finally:
            self.sh("rm -r /etc/orvplayer; systemctl reset-failed orvplayer@show.txt")

    def two_props(self):
        # As the README says: two props, each on its own adapter, each show
        # with its own settings naming its adapter by id. The skull's
        # adapter comes late: its unit is up at once (systemctl start does
        # not wait for the device) and says what it waits for.
        self.system.plug_ftdi()
        self.system.plug_second(True)
        lines = self.sh("for i in $(seq 300); do [ $(ls /dev/serial/by-id | wc -l) = 2 ] && "
                        "break; sleep 0.1; done; ls /dev/serial/by-id/")
        skull = [name for name in lines if SECOND_SERIAL in name]
        door = [name for name in lines if SECOND_SERIAL not in name]
        check(len(skull) == 1 and len(door) == 1, f"/dev/serial/by-id/: {lines}")
        skull = f"/dev/serial/by-id/{skull[0]}"
        door = f"/dev/serial/by-id/{door[0]}"
        self.system.plug_second(False)
        self.sh(f"for i in $(seq 300); do [ -e {skull} ] || break; sleep 0.1; done")
        self.system.take_ftdi()
        self.system.take_second()
        self.sh("mkdir -p /etc/orvplayer; "
                f"printf 'ORVPLAYER_DEVICE={door}\\nORVPLAYER_DELAY=0\\n' "
                "> /etc/orvplayer/door.txt.conf; "
                f"printf 'ORVPLAYER_DEVICE={skull}\\nORVPLAYER_DELAY=0\\n' "
                "> /etc/orvplayer/skull.txt.conf")
        units = "orvplayer@door.txt orvplayer@skull.txt"
        try:
            began = time.monotonic()
            self.sh(f"systemctl start {units}")
            took = time.monotonic() - began
            state = self.unit_state("orvplayer@skull.txt", "StatusText")
            self.figures.append(f"two props: systemctl start returned in {took:.1f} s, the "
                                f"skull's adapter not yet there; its state: {state.get('StatusText')}")
            check(took < 10, f"systemctl start took {took:.0f} s")
            check(state.get("ActiveState") == "active" and
                  state.get("StatusText") == f"waiting for {skull}", f"the skull's unit: {state}")
            expected = SHOWS["door.txt"][1]
            got = self.adapter_bytes(expected)
            check(got == expected, f"the door's adapter received {got!r}")
            self.system.plug_second(True)
            expected = SHOWS["skull.txt"][1]
            self.wait_until("the skull's show", lambda: len(self.system.second_bytes) >=
                            len(expected), 60)
            time.sleep(0.5)
            got = self.system.take_second()
            check(got == expected, f"the skull's adapter received {got!r}")
            check(self.system.take_ftdi() == b"", "the door's adapter got bytes of another show")
            for unit in units.split():
                self.wait_for_state(unit, "inactive", 30)
                state = self.unit_state(unit)
                check(state.get("Result") == "success", f"{unit}: {state}")
        finally:
            self.system.plug_second(False)
            self.sh(f"rm -r /etc/orvplayer; systemctl reset-failed {units} 2>/dev/null; true")

    def watchdog(self):
        # A looping show: systemctl status shows its pass and the next's
        # time; its player stopped (SIGSTOP, as a hang) is ended by the
        # watchdog (here 3 s in place of the unit's 30) and started afresh.
        self.system.plug_ftdi()
        unit = "orvplayer@alive.txt"
        one_pass = SHOWS["alive.txt"][1]
        dropin = f"/etc/systemd/system/{unit}.service.d"
        self.sh(f"mkdir -p /etc/orvplayer {dropin}; "
                "printf 'ORVPLAYER_REPEAT=0\\nORVPLAYER_PERIOD=2000\\nORVPLAYER_DELAY=0\\n' "
                "> /etc/orvplayer/alive.txt.conf; "
                f"printf '[Service]\\nWatchdogSec=3s\\n' > {dropin}/watchdog.conf; "
                "systemctl daemon-reload")
        try:
            self.system.take_ftdi()
            self.sh(f"systemctl start {unit}")
            check(self.wait_for_bytes(2 * len(one_pass), 30), "two passes did not come")
            state = self.unit_state(unit, "StatusText")
            text = state.get("StatusText", "")
            self.figures.append(f"watchdog: the state line of a loop: {text}")
            check(re.fullmatch(r"pass \d+, next at \d\d:\d\d:\d\d", text),
                  f"the state line: {state}")
            lines = self.sh(f"systemctl status --no-pager {unit}")
            check(any('Status: "pass ' in line for line in lines), f"systemctl status: {lines}")
            lines = self.sh(
                f"g=/sys/fs/cgroup$(systemctl show -p ControlGroup --value {unit}); "
                "for p in $(cat $g/cgroup.procs); do "
                "[ \"$(cat /proc/$p/comm)\" = orvplayer ] && kill -STOP $p && echo @@STOPPED; "
                "done")
            stopped = time.monotonic()
            check("@@STOPPED" in lines, f"no player among the unit's processes: {lines}")
            self.system.take_ftdi()
            check(self.wait_for_bytes(len(one_pass), 60),
                  f"the show did not come back ({self.unit_state(unit, 'NRestarts')})")
            back = self.system.arrival(0) - stopped
            state = self.unit_state(unit, "NRestarts")
            journal = self.sh(f"journalctl -b -u {unit} -o cat --no-pager | grep -i watchdog")
            self.figures.append(f"watchdog: the stopped player's show came back {back:.1f} s "
                                f"later, after {state.get('NRestarts')} restart(s)")
            check(state.get("NRestarts") == "1" and state.get("ActiveState") == "active",
                  f"after the hang: {state}")
            check(journal, "the journal does not name the watchdog")
        finally:
            self.sh(f"systemctl stop {unit}; rm -r /etc/orvplayer {dropin}; "
                    f"systemctl daemon-reload; systemctl reset-failed {unit} 2>/dev/null; true")

    def realtime(self):
        # As docs/playing-at-boot.md says: the drop-in the package ships
        # runs every show's player at a real-time priority, with the unit
        # as locked down as before.
        self.system.plug_ftdi()
        unit = "orvplayer@alive.txt"
        one_pass = SHOWS["alive.txt"][1]
        dropin = "/etc/systemd/system/orvplayer@.service.d"
        self.sh(f"mkdir -p /etc/orvplayer {dropin}; "
                "printf 'ORVPLAYER_REPEAT=0\\nORVPLAYER_PERIOD=2000\\nORVPLAYER_DELAY=0\\n' "
                "> /etc/orvplayer/alive.txt.conf; "
                f"cp /usr/share/doc/orvplayer/examples/realtime.conf {dropin}/; "
                "systemctl daemon-reload")
        try:
            self.system.take_ftdi()
            self.sh(f"systemctl start {unit}")
            check(self.wait_for_bytes(len(one_pass), 30), "a pass did not come")
            lines = self.sh(
                f"g=/sys/fs/cgroup$(systemctl show -p ControlGroup --value {unit}); "
                "for p in $(cat $g/cgroup.procs); do "
                "[ \"$(cat /proc/$p/comm)\" = orvplayer ] && chrt -p $p; done")
            self.figures.append(f"real-time drop-in: {' / '.join(lines)}")
            check(any("SCHED_FIFO" in line for line in lines) and
                  any(line.endswith(": 10") for line in lines), f"the player's policy: {lines}")
            lines = self.sh(f"systemd-analyze security --no-pager {unit}.service | tail -1")
            found = re.search(r"exposure level for \S+: (\d+\.\d+)", " ".join(lines))
            check(found is not None and float(found.group(1)) <= MAX_EXPOSURE,
                  f"exposure with the drop-in: {lines}")
            self.figures.append(f"real-time drop-in: exposure {found.group(1)}")
        finally:
            self.sh(f"systemctl stop {unit}; rm -r /etc/orvplayer {dropin}; "
                    f"systemctl daemon-reload; systemctl reset-failed {unit} 2>/dev/null; true")

    def timer(self):
        # As docs/playing-at-boot.md says: a timer of the show's own starts
        # it at its time of day (here, one 20 s from now on the guest's
        # clock) and is enabled in its place.
        self.system.plug_ftdi()
        self.system.take_ftdi()
        began = time.monotonic()
        lines = self.sh("date -d @$(( $(date +%s) + 20 )) '+%H:%M:%S'")
        at = lines[-1]
        timer = ("[Unit]\\nDescription=orvplayer: play the show timed.txt at its times\\n"
                 f"[Timer]\\nOnCalendar=*-*-* {at}\\nAccuracySec=1s\\n"
                 "[Install]\\nWantedBy=timers.target\\n")
        self.sh(f"printf '{timer}' > /etc/systemd/system/orvplayer@timed.txt.timer; "
                "systemctl daemon-reload; systemctl enable --now orvplayer@timed.txt.timer")
        try:
            lines = self.sh("systemctl show -p Unit -p ActiveState orvplayer@timed.txt.timer")
            check(sorted(lines) == ["ActiveState=active", "Unit=orvplayer@timed.txt.service"],
                  f"the timer: {lines}")
            expected = SHOWS["timed.txt"][1]
            check(self.wait_for_bytes(len(expected), 60), "the timer did not play the show")
            played = self.system.arrival(0) - began
            check(self.system.take_ftdi() == expected, "not the show")
            # 20 s on, within the second the time was rounded down to and
            # the timer's accuracy, then the settle time (ORVPLAYER_DELAY).
            self.figures.append(f"timer: the show due 20 s on came {played:.1f} s on")
            check(19 <= played <= 28, f"the show came {played:.1f} s after the timer was set")
        finally:
            self.sh("systemctl disable --now orvplayer@timed.txt.timer; "
                    "rm /etc/systemd/system/orvplayer@timed.txt.timer; systemctl daemon-reload")

    def looping_show(self):
        self.system.plug_ftdi()
        unit = "orvplayer@loop.txt"
        text, one_pass = SHOWS["loop.txt"]
        period = PERIOD_MS / 1000
        # A start moment a day and a bit ago, off the whole second, so that
        # the passes are the start moment's, not the clock's round seconds.
        offset, _ = self.guest_clock()
        start = math.floor(time.monotonic() + offset) - 86400 - 7 + 0.25
        moment = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(int(start))) + ".250Z"
        # No settle time: the emulated adapter needs none, and the pass the
        # player joins is then the first that starts after the unit does.
        with self.settings(ORVPLAYER_REPEAT="0", ORVPLAYER_PERIOD=str(PERIOD_MS),
                           ORVPLAYER_START=moment, ORVPLAYER_DELAY="0"):
            self.system.take_ftdi()
            # The guest starts the unit at a moment chosen at random between
            # 0.2 and 1.5 s after a pass's start, on its own clock.
            after = random.randint(200, 1500) * 1000000
            period_ns = PERIOD_MS * 1000000
            start_ns = int(start) * 1000000000 + 250000000
            lines = self.sh(
                f"n=$(date +%s%N); w=$(( ({start_ns} + {after} - n) % {period_ns} )); "
                f"[ $w -lt 0 ] && w=$((w + {period_ns})); "
                "sleep $((w / 1000000000)).$(printf %09d $((w % 1000000000))); "
                f"echo @@STARTED $(date +%s.%N); systemctl start {unit}")
            started = float(next(line for line in lines if line.startswith("@@STARTED"))
                            .split()[1])
            boundary = start + math.ceil((started - start) / period) * period
            offset, uncertainty = self.guest_clock()
            passes = 3
            check(self.wait_for_bytes(passes * len(one_pass) + cue_ends(text)[0],
                                      boundary - started + passes * period + 15),
                  f"{passes} passes did not come: {self.system.ftdi_count()} bytes "
                  f"({self.unit_state(unit)}, {self.errors_of(unit)})")
            # Each pass's first byte against its boundary, here.
            late = [self.system.arrival(k * len(one_pass)) - (boundary + k * period - offset)
                    for k in range(passes + 1)]
            self.figures.append(
                "looping show: unit started %.2f s after a pass's start, passes arrived "
                "%s s after their boundaries (clocks compared within %.3f s)"
                % ((after / 1e9), ", ".join(f"{x:+.3f}" for x in late), uncertainty))
            check(all(-uncertainty - 0.01 <= x <= LATE_BY_AT_MOST + uncertainty for x in late),
                  f"passes arrived {[round(x, 3) for x in late]} s after their boundaries")

            # The adapter unplugged for 3 s in the middle of a pass, as a
            # prop that browns out: the unit starts the show afresh, which
            # waits for the adapter and joins its loop on the same grid.
            self.system.unplug_ftdi(wait=False)
            time.sleep(3)
            self.system.take_ftdi()
            self.system.plug_ftdi(wait=False)
            replugged = time.monotonic()
            check(self.wait_for_bytes(len(one_pass) + cue_ends(text)[0], 2 * period + 30),
                  f"no pass after the adapter came back: {self.system.ftdi_count()} bytes "
                  f"({self.unit_state(unit, 'NRestarts')}, {self.errors_of(unit)})")
            back = self.system.arrival(0)
            phase = (back + offset - start) % period
            off = phase if phase < period / 2 else phase - period
            restarts = self.unit_state(unit, "NRestarts").get("NRestarts")
            self.figures.append(
                f"looping show: adapter unplugged for 3 s; its first pass after came "
                f"{back - replugged:.1f} s after it was plugged in again, {off:+.3f} s off a "
                f"boundary, after {restarts} restart(s) of the unit")
            check(restarts == "1", f"the unit restarted {restarts} times")
            check(-uncertainty - 0.01 <= off <= LATE_BY_AT_MOST + uncertainty,
                  f"the pass after the unplug came {off:+.3f} s off its boundary")
            rejoined = self.system.take_ftdi()
            check(whole_cues(rejoined[:len(one_pass)], "loop.txt"),
                  "the show came back other than at a pass's start")

            # Stopped once the next pass has begun.
            self.sh(f"systemctl stop {unit}")
            state = self.unit_state(unit)
            check(state.get("ActiveState") == "inactive" and state.get("Result") == "success",
                  f"after systemctl stop: {state}")
            time.sleep(0.5)
            received = rejoined + self.system.take_ftdi()
            check(whole_cues(received, "loop.txt", passes + 2),
                  f"received {len(received)} bytes: not whole cues of the passes")
            whole, rest = divmod(len(received), len(one_pass))
            self.figures.append(
                f"looping show: stopped after {whole} passes since it came back and "
                f"{sum(1 for end in cue_ends(text) if end <= rest)} cues of the next")

            # Unplugged for good: started afresh once, the show waits for
            # the adapter, then the unit fails with the wait's message.
            self.sh(f"systemctl start {unit}")
            check(self.wait_for_bytes(1, 2 * period + 30), "the loop did not start again")
            self.system.unplug_ftdi(wait=False)
            began = time.monotonic()
            self.wait_for_state(unit, "failed", DEVICE_WAIT + 60)
            state = self.unit_state(unit, "NRestarts")
            self.figures.append(f"looping show: adapter gone for good: the unit failed "
                                f"{time.monotonic() - began:.0f} s later, after "
                                f"{state.get('NRestarts')} restart(s)")
            check(state.get("NRestarts") == "1", f"not one restart: {state}")
            errors = self.errors_of(unit)
            check(any("no serial device" in line for line in errors),
                  f"journal at error priority: {errors}")
            self.sh(f"systemctl reset-failed {unit}")

    def gpio_chip(self):
        """Makes the simulated chip, and shows that the unit cannot open it
        while it is root's alone."""
        self.system.plug_ftdi()
        config = "/sys/kernel/config/gpio-sim/board"
        lines = self.sh(
            "modprobe configfs && { mountpoint -q /sys/kernel/config || "
            "mount -t configfs none /sys/kernel/config; } && insmod /root/gpio-sim.ko && "
            f"mkdir {config} {config}/bank0 {config}/bank0/line{GPIO_OFFSET} && "
            f"echo 32 > {config}/bank0/num_lines && "
            f"echo {GPIO_LINE} > {config}/bank0/line{GPIO_OFFSET}/name && "
            f"echo 1 > {config}/live && udevadm settle && "
            f"echo @@CHIP $(cat {config}/dev_name) $(cat {config}/bank0/chip_name)")
        found = [line.split()[1:] for line in lines if line.startswith("@@CHIP")]
        check(found and len(found[0]) == 2, f"no simulated chip: {lines}")
        device, chip = found[0]
        self.gpio_chip_name = chip
        self.gpio_pull = f"/sys/devices/platform/{device}/{chip}/sim_gpio{GPIO_OFFSET}/pull"
        lines = self.sh(f"stat -c '%G %a' /dev/{chip}")
        check(lines == ["root 600"], f"/dev/{chip} as made: {lines}")
        unit = "orvplayer@button.txt"
        with self.settings(ORVPLAYER_TRIGGER=f"gpio:{GPIO_LINE}", ORVPLAYER_REPEAT="0",
                           ORVPLAYER_DELAY="0"):
            self.sh(f"systemctl start {unit}")
            self.wait_for_state(unit, "failed", 60)
        errors = self.errors_of(unit)
        message = f"couldn't open trigger gpio:{GPIO_LINE}: no permission"
        check(message in errors, f"journal at error priority: {errors}")

    def press(self):
        """A press of the button: the line pulled up (the edge), then down."""
        self.sh(f"echo pull-up > {self.gpio_pull}; echo pull-down > {self.gpio_pull}")
        return time.monotonic()

    def gpio_trigger(self):
        check(self.gpio_pull is not None, "no simulated chip")
        chip = self.gpio_chip_name
        # What a Debian user does to give the GPIO chips to the group gpio
        # (Raspberry Pi OS has such a rule already).
        self.sh(f"echo '{GPIO_RULE}' > {GPIO_RULE_FILE}; udevadm control --reload; "
                "udevadm trigger --subsystem-match=gpio; udevadm settle")
        lines = self.sh(f"stat -c '%G %a' /dev/{chip}")
        check(lines == ["gpio 660"], f"/dev/{chip} with the rule: {lines}")
        unit = "orvplayer@button.txt"
        text, one_pass = SHOWS["button.txt"]
        with self.settings(ORVPLAYER_TRIGGER=f"gpio:{GPIO_LINE}", ORVPLAYER_REPEAT="0",
                           ORVPLAYER_DELAY="0"):
            self.system.take_ftdi()
            self.sh(f"systemctl reset-failed {unit}; systemctl start {unit}")
            # Ready once the player holds the line (for 30 s at most, while
            # the unit runs). A show without end has play-show as the unit's
            # main process, and the player its child: any of the unit's
            # processes.
            lines = self.sh(
                f"g=/sys/fs/cgroup$(systemctl show -p ControlGroup --value {unit}); "
                "for i in $(seq 120); do [ -e $g/cgroup.procs ] || break; "
                "n=$(for p in $(cat $g/cgroup.procs); do ls -l /proc/$p/fd 2>/dev/null; done "
                "| grep -c gpio-line); [ \"$n\" = 1 ] && break; sleep 0.25; done; echo $n",
                timeout=180)
            check(lines[-1:] == ["1"], f"the player holds no GPIO line "
                  f"({self.unit_state(unit)}, {self.errors_of(unit)})")
            check(self.system.take_ftdi() == b"", "a pass played before any press")
            # A press plays a pass; another press during it is ignored.
            self.press()
            check(self.wait_for_bytes(cue_ends(text)[0], 10), "the first press played nothing")
            second = self.press()
            check(self.wait_for_bytes(len(one_pass), 10), "the pass did not end")
            check(second < self.system.arrival(len(one_pass) - 1),
                  "the second press came after the pass")
            time.sleep(1.5)
            received = self.system.take_ftdi()
            check(received == one_pass, f"one press and one during the pass gave "
                  f"{len(received)} bytes, not one pass of {len(one_pass)}")
            # Presses after the pass: a pass each.
            for press in (3, 4):
                time.sleep(0.5)
                self.press()
                got = self.adapter_bytes(one_pass, 10)
                check(got == one_pass, f"press {press} gave {got!r}")
            self.sh(f"systemctl stop {unit}")
            state = self.unit_state(unit)
            check(state.get("ActiveState") == "inactive" and state.get("Result") == "success",
                  f"after systemctl stop: {state}")
            check(self.system.take_ftdi() == b"", "bytes after the last pass")

    def sound_from_the_settings(self):
        # As a USB card that comes late at boot: the show waits for the card
        # its settings name (by id: the unit sees no /proc/asound), then
        # plays. The card is the kernel's loopback card, whose capture side
        # the guest tool records.
        self.system.plug_ftdi()
        self.system.take_ftdi()
        unit = "orvplayer@sound.txt"
        with self.settings(ORVPLAYER_SOUND="sound.wav", ORVPLAYER_SOUND_DEVICE="hw:CARD=Loopback",
                           ORVPLAYER_DELAY="2000"):
            self.sh(f"systemctl start {unit}")
            state = {}
            for _ in range(100):
                state = self.unit_state(unit, "StatusText")
                if state.get("StatusText") == "waiting for the sound device hw:CARD=Loopback":
                    break
                time.sleep(0.1)
            check(state.get("StatusText") == "waiting for the sound device hw:CARD=Loopback",
                  f"before the card: {state}")
            seconds = 2 + SOUND_CLICKS * SOUND_EVERY_MS // 1000 + 4
            lines = self.sh(
                "modprobe snd-aloop; for i in $(seq 100); do [ -c /dev/snd/pcmC0D1c ] && break; "
                "sleep 0.05; done; /root/orv-board-guest record-clicks /dev/snd/pcmC0D1c "
                f"{board.SOUND_RATE} {seconds} > /tmp/clicks 2>&1 & "
                "for i in $(seq 100); do grep -q '@@CLICKS' /tmp/clicks && break; sleep 0.05; "
                "done; cat /tmp/clicks")
            check(any(line.startswith("@@CLICKS ready") for line in lines),
                  f"the loopback card cannot be recorded: {lines}")
            _, expected = SHOWS["sound.txt"]
            self.wait_for_bytes(len(expected), 60)
            cue = len(expected) // SOUND_CLICKS
            arrivals = [self.system.arrival(n * cue) for n in range(SOUND_CLICKS)]
            got = self.system.take_ftdi()
            check(got == expected, f"received {got!r}")
            lines = self.sh(f"for i in $(seq {10 * seconds + 100}); do grep -q '@@CLICKS done' "
                            "/tmp/clicks && break; sleep 0.1; done; cat /tmp/clicks",
                            timeout=seconds + 60)
            offset, uncertainty = self.guest_clock()
            self.wait_for_state(unit, "inactive", 30)
        ready = next(line for line in lines if line.startswith("@@CLICKS ready"))
        # A click's moment on this machine's monotonic clock.
        wall_less_monotonic = int(board.field(ready, "wall")) - int(board.field(ready, "at"))
        clicks = [(int(board.field(line, "at")) + wall_less_monotonic) / 1e9 - offset
                  for line in lines if line.startswith("@@CLICK ")]
        check(len(clicks) == SOUND_CLICKS, f"{len(clicks)} clicks, not {SOUND_CLICKS}: "
              + " ".join(line for line in lines if line.startswith("@@CLICKS")))
        late = [arrival - click for arrival, click in zip(arrivals, clicks)]
        median = sorted(late)[len(late) // 2]
        spread = max(late) - min(late)
        self.figures.append(
            f"sound at boot: cue (at the adapter) minus click (at the card's far end) median "
            f"{median * 1e3:.1f} ms, spread {spread * 1e3:.1f} ms over {SOUND_CLICKS} cues "
            f"(clocks compared within {uncertainty * 1e3:.1f} ms)")
        check(abs(median) <= SOUND_LATE_AT_MOST + uncertainty and spread <= SOUND_SPREAD_AT_MOST,
              f"cues against their clicks: {', '.join(f'{x * 1e3:+.1f}' for x in late)} ms "
              f"(clocks compared within {uncertainty * 1e3:.1f} ms)")

    def purge(self):
        lines = self.sh("dpkg --purge orvplayer >/dev/null 2>&1; echo status=$?; "
                        "ls /etc/systemd/system/*.wants /lib/systemd/system /etc/default "
                        "/usr/lib/systemd/system 2>/dev/null | grep -i orvplayer; "
                        "ls /etc/systemd/system | grep -i orvplayer; true")
        check(lines[:1] == ["status=0"], f"dpkg --purge: {lines}")
        check(lines[1:] == [], f"left behind: {lines[1:]}")

    def run(self):
        self.boot(adapter_at_boot=False)
        self.scenario("fresh install enabled with --now, adapter plugged in later",
                      self.fresh_install_enabled_now)
        self.scenario("exposure", self.exposure)
        self.scenario("the journal names the player", self.journal_names_the_player)
        self.scenario("systemctl stop while playing", self.stop_while_playing)
        booted_at = self.boot(adapter_at_boot=False)
        self.scenario("adapter plugged in 10 s after boot",
                      lambda: self.adapter_plugged_after_boot(booted_at))
        self.scenario("adapter unplugged mid-show", self.unplugged_mid_show)
        self.scenario("no adapter", self.no_adapter)
        self.scenario("wall clock stepped a day during the device wait",
                      self.wall_clock_stepped_during_the_wait)
        self.boot(adapter_at_boot=True)
        self.scenario("adapter present at boot", self.adapter_present_at_boot)
        self.scenario("a name with a dash", self.name_with_a_dash)
        self.scenario("settings of a show's own: its device by id", self.settings_of_its_own)
        self.scenario("two props, each on its own adapter by id", self.two_props)
        self.scenario("the watchdog ends a stopped player", self.watchdog)
        self.scenario("a real-time priority from the drop-in", self.realtime)
        self.scenario("a timer plays a show at its time", self.timer)
        self.scenario("a looping show from the settings", self.looping_show)
        self.scenario("a show with sound from the settings", self.sound_from_the_settings)
        self.scenario("GPIO chip without the udev rule", self.gpio_chip)
        self.scenario("GPIO trigger from the settings", self.gpio_trigger)
        self.scenario("purge", self.purge)
        self.system.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--deb", type=Path, required=True, help="the amd64 package")
    parser.add_argument("--cache", type=Path, required=True)
    parser.add_argument("--work", type=Path, required=True)
    args = parser.parse_args()
    started = time.monotonic()
    args.work.mkdir(parents=True, exist_ok=True)
    cache = args.cache.resolve()
    # A kernel whose module build tree the archive has, for gpio-sim.
    version = gpio_sim.kernel_version(board.ARCHES["amd64"]["kernel"])
    kernel, modules_dir, busybox = board.fetch("amd64", cache, version)
    tarball = root_filesystem(cache, args.deb)
    image_deb = next(cache.glob(f"linux-image-{modules_dir.name}_{version}_*.deb"))
    gpio_module = gpio_sim.module(cache, image_deb)
    disk = make_disk(args.work, tarball, modules_dir, args.deb, gpio_module)
    initramfs = make_initramfs(args.work, modules_dir, busybox)
    log(f"boot: system ready to boot after {time.monotonic() - started:.0f} s")
    test = BootTest(args.work, kernel, initramfs, disk)
    try:
        test.run()
    finally:
        if test.system is not None:
            test.system.stop()
    for figure in test.figures:
        log(f"boot figure: {figure}")
    log(f"boot: {test.failures} failed, in {time.monotonic() - started:.0f} s")
    return 1 if test.failures else 0


if __name__ == "__main__":
    sys.exit(main())
