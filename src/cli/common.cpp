#include "common.hpp"

#include "texts.hpp"

#include <algorithm>
#include <iterator>

namespace {

const char* const SUFFIXES[] = {".restamp-part", ".restamp.png", ".restamp-journal"};

bool ends_with(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

} // namespace

bool fail(const char* message)
{
    print_error(message);
    return false;
}

bool succeeded(IoError error)
{
    return error == IoError::none || fail(error == IoError::reading ? READ_ERROR : WRITE_ERROR);
}

void announce_wait(const std::string& name)
{
    print_error(WAITING_FORMAT, name.c_str());
}

bool lock_announced(OsFile file, LockMode mode, const std::string& name)
{
    LockResult result = lock_file(file, mode, false);
    if (result == LockResult::busy) {
        announce_wait(name);
        result = lock_file(file, mode, true);
    }
    return result == LockResult::locked;
}

std::string copy_path(const CopyPlace& place, CopyKind kind)
{
    return place.folder + place.stem + SUFFIXES[static_cast<int>(kind)];
}

bool create_part(const CopyPlace& place, const FileState& like, TemporaryFile& part)
{
    return create_copy_file(place.folder, place.stem + SUFFIXES[static_cast<int>(CopyKind::part)], like, part);
}

std::vector<CopyPlace> copy_places(const std::string& input_path, const FileState& state)
{
    std::string folder;
    std::string real_name;
    if (!real_location(input_path, folder, real_name)) {
        return {};
    }
    return {{folder, "." + real_name},
            {fallback_folder(), "." + std::to_string(state.device) + "-" + std::to_string(state.index) +
                                    (state.index_high != 0 ? "-" + std::to_string(state.index_high) : "")}};
}

bool is_copy_name(const std::string& name)
{
    const std::size_t slash = name.find_last_of("/\\");
    const std::string file = slash == std::string::npos ? name : name.substr(slash + 1);
    return file[0] == '.' &&
           std::any_of(std::begin(SUFFIXES), std::end(SUFFIXES), [&](const char* end) { return ends_with(file, end); });
}

TemporaryFile find_copy(const CopyPlace& place, CopyKind kind, OsFile input, bool& found)
{
    const std::string path = copy_path(place, kind);
    return {path, open_trusted_copy(path, input, found)};
}
