"""The publisher rule under Wine: a downloader.exe with a trusted Authenticode signature runs
only installers that its own publisher signed; an unsigned one runs what it runs today. The test
PKI (code_signing.py) is made once per run, its root trusted in the prefix for the run only, and
copies of the test installer and of the downloaders are signed with it."""

import hashlib
import os

import pytest

from code_signing import SigningPki, changed_after_signing
from targets import read_record
from test_installer_job import KEYS, assert_in_private_folder, assert_protocol, split_messages
from test_installer_job import target_directory
from test_trust import REJECTED_LOG, signed

# The installers: unsigned, changed after signing, or signed with a certificate of the PKI.
INSTALLERS = ("publisher", "other", "self-signed", "unknown-ca", "server-auth", "unsigned",
              "changed")

# case: (program, who signed that copy of it, installer, installs, and the fault query of an
# alternate address serving the same installer, when there is one). downloader-signed is the
# keyed build: its manifest is signed and gives the digest of the installer it serves.
# downloader-named-publisher accepts the other publisher's installers (tests/CMakeLists.txt names
# code_signing.OTHER_PUBLISHER), whoever signed it.
CASES = {
    "same-publisher": ("downloader", "publisher", "publisher", True),
    # One byte of the middle range changed by the alternate: the file assembled from both fails
    # its signature, and is downloaded once more from the address alone.
    "same-publisher-alternate-changes-a-byte": ("downloader", "publisher", "publisher", True,
                                                "flip=MIDDLE"),
    "other-publisher": ("downloader", "publisher", "other", False),
    "self-signed-with-publisher-name": ("downloader", "publisher", "self-signed", False),
    "chain-without-trusted-root": ("downloader", "publisher", "unknown-ca", False),
    "not-for-code-signing": ("downloader", "publisher", "server-auth", False),
    "unsigned-installer": ("downloader", "publisher", "unsigned", False),
    "changed-after-signing": ("downloader", "publisher", "changed", False),
    "unsigned-downloader": ("downloader", None, "unsigned", True),
    "named-publisher-build": ("downloader-named-publisher", "publisher", "other", True),
    "rule-off-build": ("downloader-publisher-off", "publisher", "unsigned", True),
    "keyed-build-other-publisher": ("downloader-signed", "publisher", "other", False),
}


@pytest.fixture(scope="session")
def signed_programs(target):
    """(installers by variant, signed copies by (program, signer)), made once per run; the
    PKI's root is trusted in the target's prefix meanwhile."""
    if target.name == "native":
        pytest.skip("Authenticode signatures of Windows")
    programs = ["downloader", "downloader-signed", "downloader-named-publisher",
                "downloader-publisher-off"]
    for program in programs:
        if not os.path.exists(target.binary(program)):
            pytest.fail("not built: " + target.binary(program))
    work = os.path.join(target.work, "code-signing")
    pki = SigningPki(os.path.join(work, "pki"))
    installers = {"unsigned": target.installer_binary()}
    for signer in ("publisher", "other", "self-signed", "unknown-ca", "server-auth"):
        installers[signer] = pki.sign(target.installer_binary(),
                                      os.path.join(work, "installers", signer, "setup.exe"), signer)
    installers["changed"] = changed_after_signing(
        installers["publisher"], os.path.join(work, "installers", "changed.exe"))
    # Each copy keeps its program's name, which the prefix's per-program settings go by.
    copies = {}
    for program in programs:
        copies[(program, None)] = target.binary(program)
        copies[(program, "publisher")] = pki.sign(
            target.binary(program),
            os.path.join(work, "downloaders", program, program + target.exe_suffix), "publisher")
    thumbprint = target.trust_root(pki.root_der())
    yield installers, copies
    target.distrust_root(thumbprint)


def manifest(address, program, installer, alternate):
    text = "".join("%s=%s\r\n" % (key, address) for key in KEYS)
    if alternate:
        text += "".join("%s_MIRROR1=%s\r\n" % (key, alternate) for key in KEYS)
    if program != "downloader-signed":
        return text.encode()
    with open(installer, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    text += "".join("SHA256_%s=%s\r\n" % (key[len("URL_"):], digest) for key in KEYS)
    return signed(text.encode())


@pytest.mark.parametrize("case", sorted(CASES))
def test_publisher_rule(target, servers, unique, signed_programs, case):
    program, signer, variant, installs, *alternate_query = CASES[case]
    installers, copies = signed_programs
    installer = installers[variant]
    length = os.path.getsize(installer)
    file_name = "setup" + target.exe_suffix
    path = "/file/%s/%s" % (unique, file_name)
    servers.publish_copy("%s/%s" % (unique, file_name), installer)
    alternate = None
    if alternate_query:
        servers.publish_copy("%s/mirror1/%s" % (unique, file_name), installer)
        alternate = servers.fault.url("/file/%s/mirror1/%s?%s" % (
            unique, file_name, alternate_query[0].replace("MIDDLE", str(length // 3 + 10))))
    servers.publish("%s/manifest.txt" % unique,
                    manifest(servers.fault.url(path), program, installer, alternate))
    directory = target_directory(target, unique)
    temp = target.fresh_temp_dir()
    result = target.run(["/URL:" + servers.fault.url("/file/%s/manifest.txt" % unique),
                         "/PATH:" + target.windows_path(directory), "/SILENT"], temp,
                        host_args=[], executable=copies[(program, signer)])
    assert result.returncode == 0, result.stderr
    record = read_record(directory)
    if alternate:
        # Both sources served ranges; then the address alone: its second length query, after
        # which the alternate is not asked again.
        mirror_requests = servers.fault.requests("/file/%s/mirror1/" % unique)
        assert any(r["method"] == "GET" for r in mirror_requests)
        heads = [r for r in servers.fault.requests(path) if r["method"] == "HEAD"]
        assert len(heads) == 2
        assert all(r["time"] < heads[1]["time"] for r in mirror_requests)
    if installs:
        assert result.log is None
        assert_protocol(result.messages, 1024, length, min_heartbeats=0)
        assert record is not None and record[1] == "/SILENT"
        assert_in_private_folder(target, record[0], temp, file_name)
        assert os.listdir(temp) == []
    else:
        # Downloaded whole, then refused as a digest failure is: no download-complete, nothing
        # run, nothing left but the log.
        assert result.log == REJECTED_LOG
        progress, other = split_messages(result.messages, 1024)
        assert progress and progress[-1][2] == length
        assert other == []
        assert record is None
        assert sorted(os.listdir(temp)) == ["downloader_log.txt"]

