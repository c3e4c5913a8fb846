"""Fetching the setup manifest and choosing the installer address for the machine."""

KEYS = ("URL_64BIT_SETUP", "URL_32BIT_SETUP", "URL_64BIT_SETUP_SSL", "URL_32BIT_SETUP_SSL")


def expected_key(target):
    if target.is_64bit_windows:
        return "URL_64BIT_SETUP_SSL" if target.is_nt6 else "URL_64BIT_SETUP"
    return "URL_32BIT_SETUP_SSL" if target.is_nt6 else "URL_32BIT_SETUP"


def manifest_for(servers, unique, keys=KEYS, line_end="\r\n"):
    """A manifest whose addresses are small resources, one per key, so that the server's log
    shows which one was chosen (a 16-byte "installer" is downloaded, cannot start, is deleted)."""
    lines = ["# setup manifest"]
    for key in keys:
        lines.append("%s=%s" % (key, servers.fault.url("/res/16/%s/%s.exe" % (unique, key))))
    return line_end.join(lines) + line_end


def chosen_keys(servers, unique):
    chosen = set()
    for request in servers.fault.requests("/res/16/%s/" % unique):
        chosen.add(request["path"].rsplit("/", 1)[1][:-4])
    return chosen


def run_with_manifest(target, servers, unique, text):
    servers.publish("%s.txt" % unique, text)
    manifest_path = "/file/%s.txt" % unique
    temp = target.fresh_temp_dir()
    result = target.run(["/URL:" + servers.fault.url(manifest_path), "/PATH:C:\\App", "/SILENT"],
                        temp)
    return result, servers.fault.requests(manifest_path)


def test_complete_manifest_costs_one_fetch_and_no_log(target, servers, unique):
    result, fetches = run_with_manifest(target, servers, unique, manifest_for(servers, unique))
    assert result.returncode == 0
    assert len(fetches) == 1
    assert result.log is None
    assert chosen_keys(servers, unique) == {expected_key(target)}


def test_manifest_without_the_32bit_tls_key(target, servers, unique):
    text = manifest_for(servers, unique, keys=KEYS[:3], line_end="\n")
    result, fetches = run_with_manifest(target, servers, unique, text)
    assert result.returncode == 0
    assert len(fetches) == 5
    expected = b"Failed to get URL_32BIT_SETUP_SSL." * 5
    if expected_key(target) == "URL_32BIT_SETUP_SSL":
        assert result.log == expected + b"Failed to get the url of setup."
        assert chosen_keys(servers, unique) == set()
    else:
        assert result.log == expected
        assert chosen_keys(servers, unique) == {expected_key(target)}


def test_unreachable_manifest(target):
    temp = target.fresh_temp_dir()
    result = target.run(["/URL:http://127.0.0.1:1/manifest.txt", "/PATH:C:\\App", "/VERYSILENT"],
                        temp)
    assert result.returncode == 0
    assert result.log == b"Failed to call getData()." * 5 + b"Failed to get the url of setup."


def test_manifest_over_https_from_nginx(target, servers, unique):
    servers.publish("%s.txt" % unique, manifest_for(servers, unique))
    temp = target.fresh_temp_dir()
    result = target.run(["/URL:" + servers.nginx.https_url("/%s.txt" % unique), "/PATH:C:\\App",
                         "/SILENT"], temp)
    assert result.returncode == 0
    assert result.log is None
    assert chosen_keys(servers, unique) == {expected_key(target)}


def test_malformed_utf8_address_is_not_downloaded(target, servers, unique):
    bad = servers.fault.url("/res/16/%s/bad\xe9.exe" % unique).encode("latin-1")
    lines = [b"%s=%s" % (key.encode(), bad) for key in KEYS]
    result, _ = run_with_manifest(target, servers, unique, b"\n".join(lines) + b"\n")
    assert result.returncode == 0
    assert result.log == b"Failed to get the url of setup."
    assert servers.fault.requests("/res/16/%s/" % unique) == []


def test_address_naming_no_file_writes_nothing(target, servers, unique):
    address = servers.fault.url("/res/16/%s/.." % unique)
    text = "".join("%s=%s\n" % (key, address) for key in KEYS)
    result, _ = run_with_manifest(target, servers, unique, text)
    assert result.returncode == 0
    assert result.log == b"Failed to call getFileSize():-1\n"
    assert servers.fault.requests("/res/16/%s/" % unique) == []
