"""Another user's attack on a run's working folder, for the end-to-end tests.

Waits for a folder named downloader-* to appear in a temporary directory that it may write to
(one without the sticky bit), renames it aside and puts a folder of its own under the same name,
holding at the installer's name either its own program or a FIFO. Whoever opens the FIFO for
reading is fed the genuine installer, and the program then takes the FIFO's place: a run that
checks the file by its name and starts it by its name again would start the program. The
program writes MARKER when it runs. Prints "ready" once it watches, "swapped" once it has
swapped, "fed" once someone has read the FIFO.

    folder_swapper.py TEMP NAME program|fifo GENUINE MARKER SECONDS
"""

import errno
import os
import sys
import time


def plant(folder, name, kind, marker):
    """Stages the program in `folder` and puts the program or a FIFO at `name`."""
    staged = os.path.join(folder, "staged")
    with open(staged, "w") as f:
        f.write("#!/bin/sh\necho ran > '%s'\n" % marker)
    os.chmod(staged, 0o755)
    target = os.path.join(folder, name)
    if kind == "program":
        os.rename(staged, target)
    else:
        os.mkfifo(target, 0o644)
    return staged, target


def feed(fifo, staged, genuine, deadline):
    while time.monotonic() < deadline:
        try:
            fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as error:
            if error.errno != errno.ENXIO:  # ENXIO: nobody reads yet
                raise
            time.sleep(0.001)
            continue
        os.set_blocking(fd, True)
        try:
            view = memoryview(genuine)
            while view:
                view = view[os.write(fd, view):]
        except BrokenPipeError:
            pass
        os.close(fd)
        os.rename(staged, fifo)
        print("fed", flush=True)
        return


def main():
    temp, name, kind, genuine_path, marker, seconds = sys.argv[1:7]
    with open(genuine_path, "rb") as f:
        genuine = f.read()
    deadline = time.monotonic() + float(seconds)
    print("ready", flush=True)
    while time.monotonic() < deadline:
        for entry in os.listdir(temp):
            folder = os.path.join(temp, entry)
            if not entry.startswith("downloader-") or entry.endswith(".aside"):
                continue
            try:
                os.rename(folder, folder + ".aside")
                os.mkdir(folder, 0o755)
            except OSError:
                continue
            staged, target = plant(folder, name, kind, marker)
            print("swapped", flush=True)
            if kind == "fifo":
                feed(target, staged, genuine, deadline)
            return


if __name__ == "__main__":
    main()
