// The commit this executable was built from, for the support trace (a source that
// cmake/build_commit.cmake makes at every build).
#pragma once

const char* buildCommit();
