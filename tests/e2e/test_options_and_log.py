"""The command line and the diagnostic log, through the real executable."""

INVALID = b"Invalid parameters.\n"


def test_lower_case_options_are_recognised(target, servers, unique):
    # A valid command line gets as far as fetching the manifest: no "Invalid parameters."
    temp = target.fresh_temp_dir()
    path = "/res/10/" + unique
    result = target.run(["/path:D:\\x", "/url:" + servers.fault.url(path) + "?status=404",
                         "/silent", "/lang:En"], temp, program="downloader-short-bounds")
    assert result.returncode == 0
    # The manifest loop ran: five fetches of paced attempts (an error answer fails one) until
    # the manifest phase's deadline, each fetch logged.
    assert result.log == b"Failed to call getData()." * 5 + b"Failed to get the url of setup."
    assert len(servers.fault.requests(path)) >= 5


def test_rejected_command_lines_log_one_line_each_and_append(target, servers):
    temp = target.fresh_temp_dir()
    url = "/URL:" + servers.fault.url("/res/10/never-fetched")
    rejected = [
        ["/PATH:C:\\x", url],                               # neither flag
        ["/PATH:C:\\x", url, "/SILENT", "/VERYSILENT"],     # both flags
        ["/PATH:", url, "/SILENT"],                         # empty directory
        ["/PATH:C:\\x", "/URL:", "/VERYSILENT"],            # empty address
        ["x/PATH:C:\\x", url, "/SILENT"],                   # prefix not at the start
    ]
    for number, arguments in enumerate(rejected, start=1):
        result = target.run(arguments, temp)
        assert result.returncode == 0
        assert result.log == INVALID * number
    assert servers.fault.requests("/res/10/never-fetched") == []
