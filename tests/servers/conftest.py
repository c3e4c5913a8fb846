# test_servers.py is the fixture launcher, not a test module.
collect_ignore = ["test_servers.py"]
