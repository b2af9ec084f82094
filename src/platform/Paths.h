#pragma once

#include <string>

namespace mv {

// The user's temporary directory with its final '/': $TMPDIR, else /tmp.
std::string getTempPath();

}  // namespace mv
