"""gpio-sim, the kernel's simulated GPIO chip, built for the boot test's guest.

The boot test proves that the locked-down unit opens a GPIO chip and plays
a pass for each edge of a line. That needs a GPIO chip whose lines the test
can move, and Debian's amd64 kernel has none: it is built with the GPIO
character device but without gpio-sim (CONFIG_GPIO_SIM) and without the
interrupt simulator that gpio-sim needs for edge events (IRQ_SIM, which is
not a module of its own). So this builds both as one out-of-tree module for
the guest's exact kernel, from Debian's own packages of that kernel's
version:

- linux-headers-RELEASE and linux-headers-ABI-common: the configuration,
  the symbol versions and the headers the module is compiled against;
- linux-kbuild-MAJOR.MINOR: the build's programs (modpost and the rest);
- linux-source-MAJOR.MINOR: the three source files taken from it,
  drivers/gpio/gpio-sim.c, drivers/gpio/gpiolib.h and kernel/irq/irq_sim.c.

The packages are downloaded and unpacked into the cache folder, never
installed here; the build runs Debian's gcc-12, as the kernel was built
with. One line of irq_sim.c changes: it hands an interrupt to
handle_simple_irq() through irq_to_desc(), which the kernel does not export
to modules, so it calls generic_handle_irq() instead, which runs the same
handler (the one irq_sim itself gave the interrupt).

Once built, the module is kept in the cache; a later run downloads and
builds nothing.
"""

import re
import shutil
import subprocess
import tarfile
from pathlib import Path

# In the kernel's source: the module folder's name for each file.
SOURCES = {
    "drivers/gpio/gpio-sim.c": "gpio-sim-main.c",
    "drivers/gpio/gpiolib.h": "gpiolib.h",
    "kernel/irq/irq_sim.c": "irq_sim.c",
}

# One module, named as the kernel's own would be: gpio-sim with the
# interrupt simulator linked in.
KBUILD = "obj-m := gpio-sim.o\ngpio-sim-y := gpio-sim-main.o irq_sim.o\n"

UNEXPORTED = "handle_simple_irq(irq_to_desc(irqnum));"
EXPORTED = "generic_handle_irq(irqnum);"


def kernel_version(meta):
    """The newest version of the kernel package `meta` (linux-image-amd64)
    whose image, headers, kbuild and source packages of that very version
    the archive still lists. A mirror in mid-sync, or a security update
    whose signed image is not out yet, can list a kernel whose kbuild
    package was already replaced by the next version's."""
    listed = subprocess.run(["apt-cache", "madison", meta], capture_output=True,
                            text=True).stdout
    versions = [line.split("|")[1].strip() for line in listed.splitlines()
                if line.count("|") >= 2 and "Packages" in line]
    for version in versions:  # newest first
        shown = subprocess.run(["apt-cache", "show", f"{meta}={version}"],
                               capture_output=True, text=True).stdout
        found = re.search(r"^Depends: linux-image-(\S+)", shown, re.M)
        if not found:
            continue
        release = found.group(1)                       # 6.1.0-57-amd64
        abi = release.rsplit("-", 1)[0]                # 6.1.0-57
        series = ".".join(release.split(".")[:2])      # 6.1
        needed = [f"linux-image-{release}", f"linux-headers-{release}",
                  f"linux-headers-{abi}-common", f"linux-kbuild-{series}",
                  f"linux-source-{series}"]
        # apt-cache show says "not found" on standard error, with status 0.
        if all("Package:" in subprocess.run(["apt-cache", "show", f"{name}={version}"],
                                            capture_output=True, text=True).stdout
               for name in needed):
            return version
        print(f"boot: {meta} {version} left out: the archive lacks part of its build tree",
              flush=True)
    raise SystemExit(f"no version of {meta} whose headers, kbuild and source the archive has")


def _download(package, version, folder):
    """Debian's package at exactly version, into folder (once)."""
    found = sorted(folder.glob(f"{package}_*.deb"))
    if found:
        return found[-1]
    # As root, apt's download user cannot write here; download as root.
    got = subprocess.run(["apt-get", "-q", "-o", "APT::Sandbox::User=root", "download",
                          f"{package}={version}"], cwd=folder, stdout=subprocess.DEVNULL)
    if got.returncode != 0:
        # The kernel in the cache is older than any the archive still has.
        raise SystemExit(f"cannot download {package}={version}, the cached kernel's "
                         "version: empty the cache folder to test the current kernel")
    return sorted(folder.glob(f"{package}_*.deb"))[-1]


def _extract_sources(source_deb, target):
    """The few files of SOURCES from the source package's tarball, read as
    a stream up to the last of them, without unpacking the rest."""
    wanted = {f"linux-source-{_series(source_deb)}/{path}": name
              for path, name in SOURCES.items()}
    dpkg = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", str(source_deb)],
                            stdout=subprocess.PIPE)
    with tarfile.open(fileobj=dpkg.stdout, mode="r|") as package:
        for member in package:
            if not member.name.endswith(".tar.xz"):
                continue
            with tarfile.open(fileobj=package.extractfile(member), mode="r|xz") as source:
                for entry in source:
                    if entry.name in wanted:
                        data = source.extractfile(entry).read()
                        (target / wanted.pop(entry.name)).write_bytes(data)
                        if not wanted:
                            break
            break
    dpkg.stdout.close()
    dpkg.kill()
    dpkg.wait()
    if wanted:
        raise SystemExit(f"{source_deb.name}: no {', '.join(sorted(wanted))}")


def _series(deb):
    """6.1 for linux-source-6.1_6.1.192-3_all.deb."""
    return re.match(r"linux-source-(\d+\.\d+)_", deb.name).group(1)


def module(cache, image_deb):
    """gpio-sim.ko for the kernel of image_deb (linux-image-RELEASE), built
    once in the cache folder; returns its path."""
    fields = subprocess.run(["dpkg-deb", "-f", str(image_deb), "Package", "Version"],
                            check=True, capture_output=True, text=True).stdout
    package = re.search(r"^Package: (\S+)", fields, re.M).group(1)
    version = re.search(r"^Version: (\S+)", fields, re.M).group(1)
    release = package[len("linux-image-"):]              # 6.1.0-57-amd64
    abi = release.rsplit("-", 1)[0]                      # 6.1.0-57
    series = ".".join(release.split(".")[:2])            # 6.1
    folder = cache / f"gpio-sim-{release}-{version}"
    ko = folder / "gpio-sim.ko"
    if ko.exists():
        return ko
    folder.mkdir(parents=True, exist_ok=True)

    # The kernel's build tree, unpacked as it would be installed (its
    # symbolic links are relative) under folder/root.
    root = folder / "root"
    if root.exists():
        shutil.rmtree(root)
    for name in (f"linux-headers-{release}", f"linux-headers-{abi}-common",
                 f"linux-kbuild-{series}"):
        subprocess.run(["dpkg-deb", "-x", str(_download(name, version, folder)), str(root)],
                       check=True)
    headers = root / "usr" / "src" / f"linux-headers-{release}"
    # Its Makefile includes the common part by its installed path.
    makefile = headers / "Makefile"
    makefile.write_text(makefile.read_text().replace("include /usr/src/",
                                                     f"include {root}/usr/src/"))

    sources = folder / "src"
    if not all((sources / name).exists() for name in SOURCES.values()):
        sources.mkdir(exist_ok=True)
        source_deb = _download(f"linux-source-{series}", version, folder)
        _extract_sources(source_deb, sources)
        source_deb.unlink()  # 140 MB, of which three files were needed

    build = folder / "build"
    if build.exists():
        shutil.rmtree(build)
    build.mkdir()
    for name in SOURCES.values():
        shutil.copy(sources / name, build / name)
    irq_sim = build / "irq_sim.c"
    text = irq_sim.read_text()
    if UNEXPORTED not in text:
        raise SystemExit(f"irq_sim.c of {version}: no '{UNEXPORTED}' to replace")
    irq_sim.write_text(text.replace(UNEXPORTED, EXPORTED))
    (build / "Kbuild").write_text(KBUILD)
    made = subprocess.run(["make", "-C", str(headers), f"M={build}", "modules"],
                          capture_output=True, text=True)
    if made.returncode != 0:
        raise SystemExit(f"building gpio-sim for {release} failed:\n{made.stdout}{made.stderr}")
    modinfo = subprocess.run(["readelf", "-p", ".modinfo", str(build / "gpio-sim.ko")],
                             check=True, capture_output=True, text=True).stdout
    if f"vermagic={release} " not in modinfo:
        raise SystemExit(f"gpio-sim.ko is not for {release}:\n{modinfo}")
    shutil.copy(build / "gpio-sim.ko", str(ko) + ".tmp")
    Path(str(ko) + ".tmp").rename(ko)
    # Only the module is needed from now on.
    for path in folder.iterdir():
        if path != ko:
            shutil.rmtree(path) if path.is_dir() else path.unlink()
    return ko
