#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace mv {

// Splits at commas, dropping white space wherever it stands. Empty tokens between commas are
// kept; a null or empty text gives 0 and leaves `out` untouched. Returns the token count.
int splitTokens(const char* text, std::vector<std::string>& out);

// Splits option lists at runs of control characters (Unicode Cc); tokens are never empty and
// keep their spaces. Always empties `out` first. Returns the token count.
int splitLinesW(const char16_t* text, size_t length, std::vector<std::u16string>& out);

}  // namespace mv
