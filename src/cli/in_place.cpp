#include "in_place.hpp"

#include "chunk_rewriter.hpp"
#include "phys_chunk.hpp"
#include "platform.hpp"
#include "texts.hpp"

#include <cstring>

namespace {

// Opens the input for writing, if its name still leads to the file that was
// read and that file has not changed since; prints the reason when not.
OsFile open_unchanged_input(const std::string& input_path, OsFile input, const FileState& read_state)
{
    FileState now;
    if (!state_of(input_path, now) || !unchanged(read_state, now)) {
        print_error(INPUT_CHANGED);
        return NO_FILE;
    }
    const OsFile target = reopen_for_writing(input, input_path);
    if (target == NO_FILE) {
        print_error(INPUT_WRITE_ERROR);
    } else if (!state_of(target, now) || !unchanged(read_state, now)) {
        print_error(INPUT_CHANGED);
        close_file(target);
        return NO_FILE;
    }
    return target;
}

// Ends a write into the input: on its storage before the backup goes.
bool finish_input(OsFile target, bool written)
{
    written = written && sync_file(target);
    if (!close_file(target) || !written) {
        print_error(INPUT_WRITE_ERROR);
        return false;
    }
    return true;
}

// Writes the rewritten image from the temporary file into the input, from its
// first byte on, and cuts the input to the image's length.
bool copy_back(const std::string& input_path, OsFile input, const FileState& read_state, OsFile temporary)
{
    FileState rewritten;
    if (!state_of(temporary, rewritten)) {
        print_error(WRITE_ERROR);
        return false;
    }
    const OsFile target = open_unchanged_input(input_path, input, read_state);
    if (target == NO_FILE) {
        return false;
    }
    const CopyResult copy = copy_range(temporary, 0, rewritten.size, target);
    return finish_input(target, copy.error == IoError::none && copy.copied == rewritten.size &&
                                    set_file_size(target, rewritten.size));
}

// Re-stamps an input whose rewrite would change only the first pHYs chunk's
// data and CRC by writing those bytes alone, or nothing when they are already
// right. Should the write fail, the complete rewritten image goes into the
// temporary file for the backup notice to name: the rewrite leaves out the
// input's pHYs, so whatever the failed write left there does not matter.
bool restamp_first_phys(const std::string& input_path, const FileState& read_state, OsFile input, OsFile temporary,
                        std::int32_t dpi)
{
    const PhysChunk phys = build_phys_chunk(dpi);
    const std::uint8_t* new_bytes = phys.data() + phys.size() - PHYS_DATA_AND_CRC_SIZE;
    std::uint8_t old_bytes[PHYS_DATA_AND_CRC_SIZE];
    if (read_at(input, FIRST_PHYS_DATA_OFFSET, old_bytes, sizeof old_bytes) != std::int64_t{sizeof old_bytes}) {
        print_error(READ_ERROR);
        return false;
    }
    if (std::memcmp(old_bytes, new_bytes, sizeof old_bytes) == 0) {
        return true;
    }
    hold_interrupts();
    const OsFile target = open_unchanged_input(input_path, input, read_state);
    if (target != NO_FILE &&
        finish_input(target, write_at(target, FIRST_PHYS_DATA_OFFSET, new_bytes, sizeof old_bytes))) {
        return true;
    }
    if (rewrite_png_resolution(input, temporary, dpi) && !sync_file(temporary)) {
        print_error(WRITE_ERROR);
    }
    return false;
}

bool rewrite_locked_input(const std::string& input_path, OsFile input, OsFile temporary, std::int32_t dpi)
{
    FileState read_state;
    if (!state_of(input, read_state)) {
        print_error(READ_ERROR);
        return false;
    }
    if (only_first_phys_changes(input, read_state.size)) {
        return restamp_first_phys(input_path, read_state, input, temporary, dpi);
    }
    if (!rewrite_png_resolution(input, temporary, dpi)) {
        return false;
    }
    // The backup must be whole before the input is touched.
    if (!sync_file(temporary)) {
        print_error(WRITE_ERROR);
        return false;
    }
    hold_interrupts();
    return copy_back(input_path, input, read_state, temporary);
}

} // namespace

bool rewrite_in_place(const std::string& input_path, std::int32_t dpi, std::string& temporary_path)
{
    OsFile temporary = NO_FILE;
    if (!create_temporary_file(temporary_path, temporary)) {
        print_out(NO_TEMPORARY_FILE);
        return false;
    }
    bool done = false;
    const OsFile input = open_for_reading(input_path);
    if (input == NO_FILE || !lock_file(input)) {
        print_error(OPEN_ERROR);
    } else {
        done = rewrite_locked_input(input_path, input, temporary, dpi);
    }
    if (input != NO_FILE) {
        close_file(input); // and with it the lock
    }
    close_file(temporary); // all it holds was checked by sync_file, or is not needed
    return done && remove_file(temporary_path);
}

bool name_same_file(const std::string& first, const std::string& second)
{
    FileState first_state;
    FileState second_state;
    return state_of(first, first_state) && state_of(second, second_state) && same_file(first_state, second_state);
}
