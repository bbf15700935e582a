#pragma once

#include <cstdint>
#include <string>

// Rewrites the input's resolution in place, keeping its identity, owner and
// permissions: through a new temporary file, whose name is stored in
// temporary_path as soon as it exists, copied back into the input; or, when
// the rewrite changes only the bytes up to the end of the input's one pHYs
// chunk, by writing those alone. The input is locked against other runs for
// the whole run, and written only when it is still the file that was read,
// unchanged. On failure, prints the reason and returns false; the temporary
// file then stays, and once the input may have been touched it holds the
// complete rewritten image.
bool rewrite_in_place(const std::string& input_path, std::int32_t dpi, std::string& temporary_path);

// True when both names lead to one existing file, through links or not.
bool name_same_file(const std::string& first, const std::string& second);
