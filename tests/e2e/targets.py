"""The two builds of the downloader as the end-to-end tests drive them.

A target runs the real executables: natively (build/native) or under Wine
(build/windows, in a private prefix). Each run gets its own temporary
directory, where the downloader writes its log and the installer.
"""

import hashlib
import ntpath
import os
import posixpath
import shutil
import struct
import subprocess
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LOG_NAME = "downloader_log.txt"
TRACE_NAME = "downloader_trace.txt"
OLD_TRACE_NAME = "downloader_trace.old.txt"
RUN_TIMEOUT = 240


class RunResult:
    def __init__(self, returncode, elapsed, log, messages, stdout, stderr, trace=None):
        self.returncode = returncode
        self.elapsed = elapsed
        self.log = log
        self.messages = messages
        self.stdout = stdout
        self.stderr = stderr
        self.trace = trace


def take_trace(temp_dir):
    """The support trace that the run wrote in `temp_dir` (None: none), taken out of the
    directory with any older one, so that the listings of the directory stay about what the
    job itself leaves behind and the next run in it starts a trace of its own."""
    trace = None
    for name in (TRACE_NAME, OLD_TRACE_NAME):
        path = os.path.join(temp_dir, name)
        if os.path.isfile(path) and not os.path.islink(path):
            if name == TRACE_NAME:
                with open(path, "rb") as f:
                    trace = f.read()
            os.unlink(path)
    return trace


def read_messages(path):
    messages = []
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                parts = line.split()
                if len(parts) == 3:
                    messages.append(tuple(int(p) for p in parts))
    return messages


def read_record(directory, name="install-record.txt"):
    """The arguments the test installer recorded in `directory`, or None when it did not run."""
    path = os.path.join(directory, name)
    if not os.path.exists(path):
        return None
    arguments = []
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if line.startswith("ARG "):
                arguments.append(line.split(" ", 2)[2])
    return arguments


class Target:
    """What the native and the Wine target share."""

    name = None
    exe_suffix = ""
    path = posixpath  # how the downloader's own paths are split and joined

    def __init__(self, build_dir):
        self.build_dir = build_dir
        self.work = tempfile.mkdtemp(prefix="e2e-%s-" % self.name)

    def binary(self, name):
        return os.path.join(self.build_dir, name + self.exe_suffix)

    def fresh_temp_dir(self):
        """An empty temporary directory for the next run."""
        path = tempfile.mkdtemp(prefix="tmp ", dir=self.work)  # a blank, as in "Jane Doe"
        return path

    def windows_path(self, path):
        return path

    def installer_binary(self):
        return self.binary("test-installer")

    def run(self, downloader_args, temp_dir, host_args=None, record=None, timeout=RUN_TIMEOUT,
            env=None, program="downloader", executable=None, cwd=None, outer=()):
        """Runs the downloader (or its twin `program`, or the copy at `executable`), inside
        wizard-host when host_args is not None, with `env` added to the environment, in the
        current directory `cwd` when given, and (natively) as the command that the `outer`
        command line ends with."""
        executable = executable or self.binary(program)
        if host_args is None:
            command = [executable] + list(downloader_args)
        else:
            record = record or os.path.join(self.work, "record-%d.txt" % time.monotonic_ns())
            command = ([self.binary("wizard-host"), "--quiet", "--record",
                        self.windows_path(record)] + list(host_args)
                       + ["--", self.windows_path(executable)] + list(downloader_args))
        assert not outer or self.name == "native", "an outer command runs natively only"
        command = list(outer) + command
        start = time.monotonic()
        completed = self._execute(command, temp_dir, timeout, env or {}, cwd)
        elapsed = time.monotonic() - start
        log_path = os.path.join(temp_dir, LOG_NAME)
        log = open(log_path, "rb").read() if os.path.isfile(log_path) else None
        messages = read_messages(record) if record else []
        return RunResult(completed.returncode, elapsed, log, messages, completed.stdout,
                         completed.stderr, take_trace(temp_dir))

    def cleanup(self):
        shutil.rmtree(self.work, ignore_errors=True)


class NativeTarget(Target):
    name = "native"
    is_64bit_windows = True  # a 64-bit Linux counts as 64-bit Windows
    is_nt6 = True

    def _execute(self, command, temp_dir, timeout, env, cwd):
        env = dict(os.environ, TMPDIR=temp_dir, **env)
        return subprocess.run(command, env=env, capture_output=True, timeout=timeout, cwd=cwd)


class WineTarget(Target):
    """Runs the Windows build through scripts/wine-run in a prefix of its own.

    Wine's GetTempPathW takes TEMP from the prefix's registry, not from the caller, so the
    prefix is pointed once at a directory of this session (with a blank in its name) that is
    emptied before every run.
    """

    exe_suffix = ".exe"
    path = ntpath

    def __init__(self, build_dir, arch="win32", version=None):
        self.name = "wine-%s%s" % (arch, "-" + version if version else "")
        super().__init__(build_dir)
        self.arch = arch
        self.version = version
        self.is_64bit_windows = arch == "win64"
        self.is_nt6 = version not in ("winxp", "win2003")
        # A suite that runs beside others (E2E_SHARD names it) has prefixes of its own: their
        # temporary directory and Internet settings are the suite's, and so are their windows.
        shard = os.environ.get("E2E_SHARD")
        self.prefix = os.path.join(REPO, "build", "wine", "e2e-" + self.name[len("wine-"):]
                                   + ("-" + shard if shard else ""))
        self.temp = os.path.join(self.work, "Temp dir")
        os.makedirs(self.temp)

    def windows_path(self, path):
        return "Z:" + path.replace("/", "\\")

    def _wine_env(self):
        return dict(os.environ, WINE_PREFIX_DIR=self.prefix, WINE_RUN_ARCH=self.arch)

    def configure(self):
        """The temporary directory, and the Windows version the downloader is shown."""
        def reg_string(text):
            return '"%s"' % text.replace("\\", "\\\\")
        lines = ["REGEDIT4", "", "[HKEY_CURRENT_USER\\Environment]",
                 '"TEMP"=' + reg_string(self.windows_path(self.temp)),
                 '"TMP"=' + reg_string(self.windows_path(self.temp)), ""]
        for program in ("downloader.exe", "downloader-short-bounds.exe", "downloader-signed.exe",
                        "downloader-arm64.exe"):
            key = "HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\" + program
            lines += ["[%s]" % key]
            if self.version:
                lines += ['"Version"=' + reg_string(self.version)]
            lines += [""]
        self._import_registry("settings", lines)

    def _import_registry(self, name, lines):
        reg_file = os.path.join(self.work, name + ".reg")
        with open(reg_file, "w") as f:
            f.write("\r\n".join(lines))
        subprocess.run([os.path.join(REPO, "scripts", "wine-run"), "regedit", "/S",
                        self.windows_path(reg_file)],
                       env=self._wine_env(), capture_output=True, timeout=900, check=True,
                       stdin=subprocess.DEVNULL)

    ROOT_CERTIFICATES = "Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\"

    def trust_root(self, der):
        """Makes the prefix trust a root certificate (DER) as the local machine's Root store
        keeps it in the registry: under its SHA-1 thumbprint, the property 0x20 (the encoded
        certificate). Returns the thumbprint for distrust_root."""
        thumbprint = hashlib.sha1(der).hexdigest().upper()
        blob = struct.pack("<III", 0x20, 1, len(der)) + der
        self._import_registry("root-" + thumbprint, [
            "REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\%s%s]" % (self.ROOT_CERTIFICATES, thumbprint),
            '"Blob"=hex:' + ",".join("%02x" % b for b in blob), ""])
        return thumbprint

    def distrust_root(self, thumbprint):
        """Removes a root that trust_root added (the store's own delete does not last)."""
        subprocess.run([os.path.join(REPO, "scripts", "wine-run"), "reg", "delete",
                        "HKLM\\" + self.ROOT_CERTIFICATES + thumbprint, "/f"],
                       env=self._wine_env(), capture_output=True, timeout=300,
                       stdin=subprocess.DEVNULL, check=True)

    INTERNET_SETTINGS = ("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"
                         "\\Connections")

    def set_internet_settings(self, value):
        """Writes the binary DefaultConnectionSettings of the prefix's Internet Options, or
        deletes it (a fresh prefix's state: automatic detection, no proxy) when value is None."""
        if value is None:
            command = ["reg", "delete", self.INTERNET_SETTINGS, "/v", "DefaultConnectionSettings",
                       "/f"]
        else:
            command = ["reg", "add", self.INTERNET_SETTINGS, "/v", "DefaultConnectionSettings",
                       "/t", "REG_BINARY", "/d", value.hex(), "/f"]
        completed = subprocess.run([os.path.join(REPO, "scripts", "wine-run")] + command,
                                   env=self._wine_env(), capture_output=True, timeout=300,
                                   stdin=subprocess.DEVNULL)
        if value is not None and completed.returncode != 0:
            raise RuntimeError("reg add failed: %r" % completed.stderr)

    def fresh_temp_dir(self):
        for name in os.listdir(self.temp):
            path = os.path.join(self.temp, name)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.unlink(path)
        return self.temp

    def _execute(self, command, temp_dir, timeout, env, cwd):
        assert temp_dir == self.temp
        # Every path in the command is a Linux path: Wine's loader takes the program as is.
        return subprocess.run([os.path.join(REPO, "scripts", "wine-run")] + command,
                              env=dict(self._wine_env(), **env), capture_output=True,
                              timeout=timeout, stdin=subprocess.DEVNULL, cwd=cwd)
