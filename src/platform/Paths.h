#pragma once

#include <string>

namespace mv {

// The user's temporary directory with its final '/': $TMPDIR, else /tmp.
std::string getTempPath();
// getTempPath with a relative $TMPDIR taken from the current directory, so that the path still
// names the same directory after a change of directory.
std::string getAbsoluteTempPath();

}  // namespace mv
