#!/usr/bin/env python3
"""What the container tests share: this machine's Debian mirror, a minimal
root of a release, systemd-nspawn unpacked, and waiting for a condition.
scripts/desktop-lock-test imports it; the shell scripts (scripts/trixie-test,
scripts/package-test) call it:
   scripts/lib/containers.py build-rootfs RELEASE DIR PACKAGES
   scripts/lib/containers.py nspawn DIR      (prints the program's path)
   scripts/lib/containers.py wait-for SECONDS COMMAND...
"""
import fcntl
import glob
import os
import pathlib
import shutil
import subprocess
import sys
import time


def mirror():
    """The machine's own Debian mirror, as apt is set up here."""
    sources = pathlib.Path("/etc/apt/sources.list.d/debian.sources")
    if sources.exists():
        for line in sources.read_text().splitlines():
            if line.startswith("URIs:"):
                return line.split()[1]
    for line in pathlib.Path("/etc/apt/sources.list").read_text().splitlines():
        if line.startswith("deb "):
            return line.split()[1]
    raise RuntimeError("no Debian mirror in /etc/apt")


def build_rootfs(release, root, packages):
    """A minimal root of `release` in `root`, with `packages` (a list), and
    apt pointed at this machine's mirror for that release and its updates."""
    root = pathlib.Path(root)
    unmount_under(root)
    shutil.rmtree(root, ignore_errors=True)
    root.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(["debootstrap", "--variant=minbase", "--include=" + ",".join(packages),
                    release, str(root), mirror()], check=True)
    (root / "etc/apt/sources.list").unlink(missing_ok=True)
    (root / "etc/apt/sources.list.d/debian.sources").write_text(
        f"Types: deb\nURIs: {mirror()}\nSuites: {release} {release}-updates\n"
        "Components: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n")


def kept(root, make):
    """`root`, made by `make(folder)` unless a whole one is there: into a
    folder beside it, renamed when done, so that a stopped run leaves no
    half-made root behind. Those that ask for it meanwhile wait for the
    one that makes it."""
    root = pathlib.Path(root)
    root.parent.mkdir(parents=True, exist_ok=True)
    with open(f"{root}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not root.exists():
            part = pathlib.Path(f"{root}.part")
            unmount_under(part)
            shutil.rmtree(part, ignore_errors=True)
            make(part)
            part.rename(root)
    return root


def unmount_under(root):
    """Unmounts what a run stopped halfway left mounted in `root` (debootstrap's
    /proc): removing the root would otherwise fail inside it, file by file."""
    prefix = str(pathlib.Path(root).resolve()) + "/"
    with open("/proc/mounts") as mounts:
        points = [line.split()[1] for line in mounts]
    for point in sorted((p for p in points if p.startswith(prefix)), reverse=True):
        subprocess.run(["umount", "--lazy", point], check=True)


def unpacked_nspawn(folder):
    """This machine's release's systemd-nspawn, unpacked into `folder`, not
    installed: nothing else here needs it. Returns the program's path."""
    def download():
        return subprocess.run(["apt-get", "download", "-qq", "systemd-container"], cwd=folder,
                              stderr=subprocess.DEVNULL).returncode == 0
    if not download():
        subprocess.run(["apt-get", "update", "-qq"], check=True)
        if not download():
            raise RuntimeError("apt could not download systemd-container")
    deb = glob.glob(os.path.join(folder, "systemd-container_*.deb"))[0]
    subprocess.run(["dpkg-deb", "-x", deb, os.path.join(folder, "nspawn")], check=True)
    return os.path.join(folder, "nspawn/usr/bin/systemd-nspawn")


def wait_for(seconds, condition):
    """Tries `condition` (a function, or a command as a list) until it holds,
    for at most `seconds`; whether it did."""
    if not callable(condition):
        command = condition
        condition = lambda: subprocess.run(command, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL).returncode == 0
    deadline = time.monotonic() + seconds
    while True:
        if condition():
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(0.1)


def main(args):
    usage = __doc__.split("\n", 4)[4]
    if args[:1] == ["build-rootfs"] and len(args) == 4:
        build_rootfs(args[1], args[2], args[3].split(","))
    elif args[:1] == ["nspawn"] and len(args) == 2:
        print(unpacked_nspawn(args[1]))
    elif args[:1] == ["wait-for"] and len(args) > 2:
        return 0 if wait_for(float(args[1]), args[2:]) else 1
    else:
        sys.exit("usage:\n" + usage)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
