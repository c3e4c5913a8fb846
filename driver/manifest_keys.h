// The public keys that setup manifests must be signed with, compiled into each executable.
#pragma once

// PEM text of one or more Ed25519 public keys, or "" when the executable trusts no key and
// reads manifests unsigned. Defined once per executable, in a source that the build generates
// from the DOWNLOADER_MANIFEST_KEYS file (cmake/manifest_keys.cmake), so that the tests can
// build a keyed twin of the downloader beside the plain one.
const char* manifestKeysPem();
