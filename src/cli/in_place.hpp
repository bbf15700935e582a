#pragma once

#include <cstdint>
#include <string>

// Rewrites the input's resolution in place, keeping its identity, owner and
// permissions: by writing only the bytes that change up to the end of its one
// pHYs chunk where that is all that changes, or else by copying the rewritten
// image back into the input. A write that storage could tear goes only after
// the image, or the journal of the patch, is on the storage where the next
// run finds it, which first acts on what an interrupted run left. The input
// is locked against other runs for the whole run, and written only when it is
// still the file that was read, unchanged. On failure, prints the reason and
// returns false; `backup` then names the file the notice names (empty when
// none was made), which holds the complete rewritten image once the input may
// have been touched.
bool rewrite_in_place(const std::string& input_path, std::int32_t dpi, std::string& backup);

// True when both names lead to one existing file, through links or not.
bool name_same_file(const std::string& first, const std::string& second);
