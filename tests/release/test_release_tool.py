"""release-tool end to end: key pairs, signing, and the check of deployments on nginx and the
fault server, each broken deployment reported on the machine row it breaks."""

import hashlib
import json
import os
import re
import stat
import subprocess

import pytest

from conftest import KEYS, REPO

ROWS = {  # address key -> (bits, Vista or later), the downloader's address table
    "URL_64BIT_SETUP_SSL": (64, True),
    "URL_64BIT_SETUP": (64, False),
    "URL_32BIT_SETUP_SSL": (32, True),
    "URL_32BIT_SETUP": (32, False),
    "URL_ARM64_SETUP_SSL": (64, True),  # where the manifest names a native ARM64 installer
}
ARM64 = "URL_ARM64_SETUP_SSL"
TEST_KEY = os.path.join(KEYS, "test-signing-key.pem")
TEST_PUBLIC = os.path.join(KEYS, "test-signing-key.pub.pem")
OTHER_KEY = os.path.join(KEYS, "test-other-key.pem")


def write(path, data):
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())
    return str(path)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def openssl_sign(text, private_key, work):
    """The manifest signed with openssl alone, as docs/signing.md shows."""
    unsigned = write(os.path.join(work, "unsigned.txt"), text)
    signature = os.path.join(work, "unsigned.sig")
    subprocess.run(["openssl", "pkeyutl", "-sign", "-rawin", "-inkey", private_key,
                    "-in", unsigned, "-out", signature], check=True)
    encoded = subprocess.run(["base64", "-w0", signature], check=True, capture_output=True)
    return text.encode() + b"SIGNATURE_ED25519=" + encoded.stdout + b"\n"


class Deployment:
    """Two installers published on nginx under a directory of the test's own, and a manifest
    naming them: plain addresses for the rows before Vista, TLS ones after."""

    def __init__(self, servers, name, arm64=False):
        self.files, self.fault, self.nginx = servers
        self.name = name
        os.makedirs(os.path.join(self.files, name), exist_ok=True)
        self.installers = {
            "setup64.exe": os.urandom(300_000),
            "setup32.exe": os.urandom(200_001),
        }
        if arm64:
            self.installers["setuparm64.exe"] = os.urandom(250_000)
        for file_name, data in self.installers.items():
            self.publish(file_name, data)
        self.addresses = {
            "URL_64BIT_SETUP": self.nginx.http_url("/%s/setup64.exe" % name),
            "URL_32BIT_SETUP": self.nginx.http_url("/%s/setup32.exe" % name),
            "URL_64BIT_SETUP_SSL": self.nginx.https_url("/%s/setup64.exe" % name),
            "URL_32BIT_SETUP_SSL": self.nginx.https_url("/%s/setup32.exe" % name),
        }
        if arm64:
            self.addresses[ARM64] = self.nginx.https_url("/%s/setuparm64.exe" % name)
        self.mirrors = {}  # URL_..._MIRRORn -> address

    def path(self, file_name):
        return os.path.join(self.files, self.name, file_name)

    def publish(self, file_name, data):
        os.makedirs(os.path.dirname(self.path(file_name)), exist_ok=True)
        return write(self.path(file_name), data)

    def local_installer(self, key):
        """The published file that the key's address names."""
        return self.path(self.addresses[key].split("?")[0].rsplit("/", 1)[1])

    def manifest_text(self, omit=(), digests=False):
        lines = ["# setup manifest of %s" % self.name]
        lines += ["%s=%s" % (k, v) for k, v in self.addresses.items() if k not in omit]
        lines += ["%s=%s" % (k, v) for k, v in self.mirrors.items()]
        if digests:
            for key in self.addresses:
                data = read(self.local_installer(key))
                lines.append("SHA256_%s=%s" % (key[4:], hashlib.sha256(data).hexdigest()))
        return "\n".join(lines) + "\n"

    def installer_arguments(self):
        arguments = []
        for key in self.addresses:
            arguments += ["--installer", "%s=%s" % (key, self.local_installer(key))]
        return arguments

    def manifest_url(self):
        return self.nginx.http_url("/%s/manifest.txt" % self.name)

    def sign(self, tool, key=TEST_KEY):
        manifest = self.publish("manifest.txt", self.manifest_text())
        result = tool.run("sign", "--key", key, manifest, *self.installer_arguments())
        assert result.returncode == 0, result.stderr
        return manifest


def check_json(tool, url, *options):
    result = tool.run("check", url, "--json", *options)
    assert result.returncode in (0, 1), result.stderr
    report = json.loads(result.stdout)
    assert (report["allInstall"] and report["allAlternatesSound"]) == (result.returncode == 0)
    return report


def failing(report):
    """{address key: sorted names of the failed checks} for every row that would not install."""
    rows = {}
    for machine in report["machines"]:
        assert ROWS[machine["key"]] == (machine["bits"], machine["vistaOrLater"])
        assert (machine["machine"] == "arm64") == (machine["key"] == ARM64)
        failed = sorted({c["check"] for c in machine["checks"]
                         if c["status"] == "fail" and not c.get("alternate")})
        assert machine["installs"] == (not failed)
        if failed:
            rows[machine["key"]] = failed
    return rows


def warned(report):
    return {m["key"]: sorted({c["check"] for c in m["checks"] if c["status"] == "warn"})
            for m in report["machines"]}


def test_keygen_makes_a_pair_openssl_reads_and_never_overwrites(tool, tmp_path):
    private, public = tmp_path / "vendor.pem", tmp_path / "vendor.pub.pem"
    result = tool.run("keygen", private, public)
    assert result.returncode == 0, result.stderr
    assert stat.S_IMODE(os.stat(private).st_mode) == 0o600
    derived = subprocess.run(["openssl", "pkey", "-in", str(private), "-pubout"], check=True,
                             capture_output=True).stdout
    assert derived == read(public)

    kept = read(private)
    fresh = tmp_path / "fresh.pem"
    for args in ([fresh, public], [private, tmp_path / "fresh.pub.pem"]):
        result = tool.run("keygen", *args)
        assert result.returncode == 1
        assert "already exists" in result.stderr and len(result.stderr.splitlines()) == 1
    assert read(private) == kept
    assert not fresh.exists() and not (tmp_path / "fresh.pub.pem").exists()


def test_sign_replaces_digests_and_signature_atomically(tool, servers, tmp_path):
    deployment = Deployment(servers, "sign-twice")
    manifest = deployment.sign(tool)
    first = read(manifest)
    inode = os.stat(manifest).st_ino
    deployment.publish("setup64.exe", os.urandom(1000))
    result = tool.run("sign", "--key", TEST_KEY, manifest, *deployment.installer_arguments())
    assert result.returncode == 0, result.stderr
    second = read(manifest)
    assert os.stat(manifest).st_ino != inode  # renamed over, not written in place
    assert sorted(os.listdir(os.path.dirname(manifest))) == [
        "manifest.txt", "setup32.exe", "setup64.exe"]
    for text in (first, second):
        keys = [line.split(b"=", 1)[0] for line in text.splitlines() if b"=" in line]
        assert len(keys) == len(set(keys)) == 9
        assert keys[-1] == b"SIGNATURE_ED25519"
    digest = subprocess.run(["sha256sum", deployment.path("setup64.exe")], check=True,
                            capture_output=True).stdout.split()[0]
    assert b"SHA256_64BIT_SETUP=" + digest + b"\n" in second
    assert b"SHA256_64BIT_SETUP=" + digest not in first


def test_bad_inputs_give_one_line_errors_and_write_nothing(tool, servers, tmp_path):
    deployment = Deployment(servers, "bad-inputs")
    good = deployment.publish("manifest.txt", deployment.manifest_text())
    missing_key = write(tmp_path / "missing.txt", deployment.manifest_text(omit=["URL_32BIT_SETUP"]))
    tabbed = write(tmp_path / "tab.txt", deployment.manifest_text().replace(
        "\nURL_64BIT_SETUP=", "\n\tURL_64BIT_SETUP="))
    latin1 = write(tmp_path / "latin1.txt", deployment.manifest_text().encode() + b"NOTE=caf\xe9\n")
    x25519 = tmp_path / "x25519.pem"
    subprocess.run(["openssl", "genpkey", "-algorithm", "X25519", "-out", str(x25519)], check=True)
    deployment.publish("latin1.txt", read(latin1))
    nowhere = tmp_path / "nowhere.pem"
    url = deployment.manifest_url()
    cases = [
        (["sign", "--key", nowhere, good], 1, "cannot read the private key"),
        (["sign", "--key", TEST_PUBLIC, good], 1, "not an Ed25519 private key"),
        (["sign", "--key", x25519, good], 1, "not an Ed25519 private key"),
        (["sign", "--key", TEST_KEY, missing_key], 1, "lacks URL_32BIT_SETUP"),
        (["sign", "--key", TEST_KEY, tabbed], 1, "does not start its line"),
        (["sign", "--key", TEST_KEY, latin1], 1, "not UTF-8"),
        (["sign", "--key", TEST_KEY, good, "--installer", "URL_64BIT_SETUP=" + str(nowhere)], 1,
         "cannot read the installer"),
        (["sign", "--key", TEST_KEY, good, "--installer", "SHA256_64BIT_SETUP=x"], 2,
         "not one of the address keys"),
        (["sign", "--key", TEST_KEY, good, "--installer", ARM64 + "=" + good], 1,
         "an installer is given for URL_ARM64_SETUP_SSL, which the manifest lacks"),
        (["sign", good], 2, "--key PRIVATE is required"),
        (["check", url, "--keys", nowhere], 1, "cannot read the public keys"),
        (["check", url, "--keys", TEST_KEY], 1, "not an Ed25519 public key"),
        (["check", "http://127.0.0.1:1/manifest.txt"], 1, "cannot fetch the manifest"),
        (["check", deployment.nginx.http_url("/bad-inputs/latin1.txt")], 1, "is not UTF-8"),
        (["check", url, "--frobnicate"], 2, "unknown option"),
        (["keygen", tmp_path / "only-one.pem"], 2, "needs the two files"),
        (["verify"], 2, "unknown subcommand"),
    ]
    before = {path: read(path) for path in (good, missing_key, tabbed, latin1)}
    for args, code, message in cases:
        result = tool.run(*args)
        assert result.returncode == code, (args, result.stderr)
        assert result.stderr.startswith("release-tool: ") and message in result.stderr.splitlines()[0], (args, result.stderr)
        assert result.stdout == "", args
        if code == 1:
            assert len(result.stderr.splitlines()) == 1, (args, result.stderr)
    assert {path: read(path) for path in before} == before
    assert sorted(os.listdir(tmp_path)) == ["latin1.txt", "missing.txt", "tab.txt", "tool-tmp",
                                            "x25519.pem"]
    assert os.listdir(tool.temp_dir) == []


@pytest.mark.parametrize("arm64", [False, True], ids=["four-keys", "with-arm64-installer"])
def test_a_correct_deployment_passes(tool, servers, arm64):
    deployment = Deployment(servers, "correct-" + str(arm64), arm64=arm64)
    deployment.sign(tool)
    report = check_json(tool, deployment.manifest_url(), "--keys", TEST_PUBLIC)
    assert failing(report) == {}
    assert warned(report) == {key: [] for key in deployment.addresses}
    for machine in report["machines"]:
        checks = {c["check"]: c for c in machine["checks"]}
        assert checks["address"]["detail"] == deployment.addresses[machine["key"]]
        assert checks["digest"]["status"] == "pass"
        assert checks["download"]["status"] == "pass"

    table = tool.run("check", deployment.manifest_url(), "--keys", TEST_PUBLIC)
    assert table.returncode == 0
    assert "Every kind of machine would install." in table.stdout
    assert table.stderr == ""  # no progress bar where stderr is not a terminal
    assert os.listdir(tool.temp_dir) == []  # the downloads and the engine's log are gone


def ignore_ranges(deployment, tool):
    deployment.addresses["URL_32BIT_SETUP"] = deployment.fault.url(
        "/file/%s/setup32.exe?ignore_range=1" % deployment.name)
    deployment.sign(tool)


def missing_address(deployment, tool):
    deployment.publish("manifest.txt", openssl_sign(
        deployment.manifest_text(omit=["URL_32BIT_SETUP_SSL"], digests=True), TEST_KEY,
        deployment.path(".")))


def not_found(deployment, tool):
    deployment.addresses["URL_64BIT_SETUP"] = deployment.nginx.http_url(
        "/%s/gone/setup64.exe" % deployment.name)
    deployment.sign(tool)


def wrong_digest(deployment, tool):
    deployment.sign(tool)
    deployment.publish("setup64.exe", os.urandom(len(deployment.installers["setup64.exe"])))


def other_key(deployment, tool):
    deployment.sign(tool, key=OTHER_KEY)


def length_mismatch(deployment, tool):
    """The plain 32-bit address is a mirror on the fault server holding a shorter copy."""
    deployment.publish("mirror/setup32.exe", deployment.installers["setup32.exe"][:-100])
    deployment.addresses["URL_32BIT_SETUP"] = deployment.fault.url(
        "/file/%s/mirror/setup32.exe" % deployment.name)
    deployment.sign(tool)


def truncating_mirror(deployment, tool):
    """The plain 64-bit address cuts every body 100 bytes short of its Content-Length."""
    deployment.addresses["URL_64BIT_SETUP"] = deployment.fault.url(
        "/file/%s/setup64.exe?short=100" % deployment.name)
    deployment.sign(tool)


def tls_before_vista(deployment, tool):
    deployment.addresses["URL_32BIT_SETUP"] = deployment.addresses["URL_32BIT_SETUP_SSL"]
    deployment.sign(tool)


def arm64_not_found(deployment, tool):
    """A native ARM64 installer is named, but not where the manifest says."""
    deployment.addresses[ARM64] = deployment.nginx.https_url("/%s/gone/setup64.exe" % deployment.name)
    deployment.sign(tool)


def arm64_unread(deployment, tool):
    """The ARM64 address is read only after the four: one missing hides it."""
    deployment.addresses[ARM64] = deployment.addresses["URL_64BIT_SETUP_SSL"]
    missing_address(deployment, tool)


def no_etag(deployment, tool):
    """Every address on the fault server, which sends no ETag."""
    for key, address in deployment.addresses.items():
        deployment.addresses[key] = deployment.fault.url(
            "/file/%s/%s" % (deployment.name, address.rsplit("/", 1)[1]))
    deployment.sign(tool)


@pytest.mark.parametrize("breakage, failed, warnings", [
    (ignore_ranges, {"URL_32BIT_SETUP": ["ranges"]}, {"URL_32BIT_SETUP": ["etag"]}),
    (missing_address, {"URL_32BIT_SETUP_SSL": ["address"]}, {}),
    (not_found, {"URL_64BIT_SETUP": ["length"]}, {}),
    (wrong_digest, {"URL_64BIT_SETUP": ["digest"], "URL_64BIT_SETUP_SSL": ["digest"]}, {}),
    (other_key, {key: ["signature"] for key in ROWS if key != ARM64}, {}),
    (length_mismatch, {"URL_32BIT_SETUP": ["digest", "mirrors"],
                       "URL_32BIT_SETUP_SSL": ["mirrors"]}, {"URL_32BIT_SETUP": ["etag"]}),
    (truncating_mirror, {"URL_64BIT_SETUP": ["download", "ranges"]},
     {"URL_64BIT_SETUP": ["etag"]}),
    (tls_before_vista, {"URL_32BIT_SETUP": ["scheme"]}, {}),
    (arm64_not_found, {ARM64: ["length"]}, {}),
    (arm64_unread, {"URL_32BIT_SETUP_SSL": ["address"], ARM64: ["address"]}, {}),
    # The fault server speaks no TLS: plain addresses on the Vista rows are warned about too.
    (no_etag, {}, {"URL_64BIT_SETUP": ["etag"], "URL_32BIT_SETUP": ["etag"],
                   "URL_64BIT_SETUP_SSL": ["etag", "scheme"],
                   "URL_32BIT_SETUP_SSL": ["etag", "scheme"]}),
], ids=lambda v: v.__name__ if callable(v) else None)
def test_a_broken_deployment_is_reported_on_its_rows(tool, servers, breakage, failed, warnings):
    deployment = Deployment(servers, breakage.__name__)
    breakage(deployment, tool)
    report = check_json(tool, deployment.manifest_url(), "--keys", TEST_PUBLIC)
    assert failing(report) == failed
    expected_warnings = {key: [] for key in deployment.addresses}
    expected_warnings.update(warnings)
    assert warned(report) == expected_warnings

    table = tool.run("check", deployment.manifest_url(), "--keys", TEST_PUBLIC)
    assert table.returncode == (1 if failed else 0)
    for key in deployment.addresses:
        row = re.search(r"^\S.*\b%s\b\s+(.*)$" % key, table.stdout, re.M)
        assert row and row.group(1).startswith("WOULD NOT" if key in failed else "installs")


def test_without_keys_a_missing_digest_is_a_warning_and_no_download_skips_the_files(tool, servers):
    deployment = Deployment(servers, "unsigned")
    deployment.publish("manifest.txt", deployment.manifest_text())
    report = check_json(tool, deployment.manifest_url(), "--no-download")
    assert failing(report) == {}
    assert warned(report) == {key: ["digest"] for key in deployment.addresses}
    assert report["signature"]["status"] == "skipped"
    assert not [c for m in report["machines"] for c in m["checks"] if c["check"] == "download"]
    # With keys the same manifest fails everywhere: unsigned, and no digests.
    report = check_json(tool, deployment.manifest_url(), "--keys", TEST_PUBLIC, "--no-download")
    assert failing(report) == {key: ["digest", "signature"] for key in deployment.addresses}


def shell_block(markdown, heading):
    """The first ```sh block after the heading."""
    section = markdown.split(heading, 1)[1]
    return re.search(r"```sh\n(.*?)```", section, re.S).group(1)


def test_the_openssl_walkthrough_in_the_docs_makes_a_manifest_that_check_accepts(tool, servers,
                                                                                 tmp_path):
    """Replays the worked example of docs/signing.md literally, with the installers on nginx."""
    with open(os.path.join(REPO, "docs", "signing.md")) as f:
        script = shell_block(f.read(), "## Signing with standard tools")
    deployment = Deployment(servers, "docs")
    work = tmp_path / "vendor"
    work.mkdir()
    for name in ("setup-x64.exe", "setup-x86.exe"):
        data = os.urandom(100_000)
        deployment.publish(name, data)
        write(work / name, data)
    env = dict(os.environ, MIRROR=deployment.nginx.http_url("/docs"),
               MIRROR_TLS=deployment.nginx.https_url("/docs"),
               ALTERNATE=deployment.fault.url("/file/docs"))
    subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=str(work), env=env, check=True,
                   timeout=60)
    deployment.publish("manifest.txt", read(work / "manifest.txt"))
    report = check_json(tool, deployment.manifest_url(), "--keys", str(work / "public.pem"))
    assert failing(report) == {}
    assert all(c["status"] == "pass" for m in report["machines"] for c in m["checks"]
               if c["check"] in ("signature", "digest") or c.get("alternate"))
    assert failing_alternates(report) == {"URL_64BIT_SETUP": {"mirror1": "pass"},
                                          "URL_32BIT_SETUP": {"mirror1": "pass"}}


def failing_alternates(report):
    """{address key: {mirror check: status}} of the rows that name alternates."""
    return {m["key"]: {c["check"]: c["status"] for c in m["checks"] if c.get("alternate")}
            for m in report["machines"] if any(c.get("alternate") for c in m["checks"])}


# Alternates of the 64-bit installer on the fault server: (what the mirror serves, the status
# of its check). Each kind of machine still installs from its address.
MIRROR_CASES = {
    "the-same-file": (lambda data: data, "pass"),
    "another-length": (lambda data: data + b"\0", "fail"),
    "other-bytes-of-the-same-length": (lambda data: bytes([data[0] ^ 1]) + data[1:], "fail"),
}


@pytest.mark.parametrize("case", sorted(MIRROR_CASES))
def test_every_alternate_is_checked(tool, servers, case):
    serve, status = MIRROR_CASES[case]
    deployment = Deployment(servers, "mirror-" + case)
    deployment.publish("mirror/setup64.exe", serve(deployment.installers["setup64.exe"]))
    mirror = deployment.fault.url("/file/%s/mirror/setup64.exe" % deployment.name)
    deployment.mirrors = {"URL_64BIT_SETUP_MIRROR1": mirror,
                          "URL_64BIT_SETUP_SSL_MIRROR3": mirror}
    manifest = deployment.sign(tool)
    # sign keeps them, as they stand.
    assert ("\nURL_64BIT_SETUP_MIRROR1=%s\n" % mirror).encode() in read(manifest)
    report = check_json(tool, deployment.manifest_url(), "--keys", TEST_PUBLIC)
    assert failing(report) == {}
    assert failing_alternates(report) == {"URL_64BIT_SETUP": {"mirror1": status},
                                          "URL_64BIT_SETUP_SSL": {"mirror3": status}}
    table = tool.run("check", deployment.manifest_url(), "--keys", TEST_PUBLIC)
    assert table.returncode == (0 if status == "pass" else 1)
    if status == "fail":
        detail = "bytes, the address" if case == "another-length" else "other bytes than"
        assert detail in table.stdout
        assert "installs, but an alternate address fails" in table.stdout
