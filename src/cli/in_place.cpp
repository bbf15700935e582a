#include "in_place.hpp"

#include "chunk_rewriter.hpp"
#include "platform.hpp"
#include "png_layout.hpp"
#include "texts.hpp"

namespace {

// A write within one aligned 512-byte block is all or nothing on power loss on
// common storage; a longer one may be torn. So a patch within one block goes
// straight into the input, while for any other write the complete rewritten
// image is first written to the temporary file and synced.
constexpr std::uint64_t BLOCK_SIZE = 512;

bool within_one_block(const PhysPatch& patch)
{
    return patch.changed_from / BLOCK_SIZE == (patch.changed_to - 1) / BLOCK_SIZE;
}

bool report_failure(const char* message)
{
    print_error(message);
    return false;
}

// True when the name still leads to the file that was read, unchanged.
bool input_unchanged(const std::string& input_path, const FileState& read_state)
{
    FileState now;
    return state_of(input_path, now) && unchanged(read_state, now);
}

// Writes the rewritten image from the temporary file into the input, from its
// first byte on, and cuts the input to the image's length.
bool copy_back(OsFile temporary, std::uint64_t size, OsFile input)
{
    const CopyResult copy = copy_range(temporary, 0, size, input);
    return copy.error == IoError::none && copy.copied == size && set_file_size(input, size);
}

// The backup of a patch, built after it failed to be written: the patch can
// have torn its span in the input, but nothing outside it.
void write_backup_of_patch(OsFile input, std::uint64_t size, const PhysPatch& patch, OsFile temporary)
{
    if (write_patched_image(input, size, patch, temporary) == IoError::none) {
        sync_file(temporary);
    }
}

// What a rewrite has done so far.
struct Progress {
    bool backup_complete = false; // the temporary file holds the complete rewritten image
    bool input_touched = false;   // a write into the input has begun
};

// Rewrites the input, locked and found as read_state.
bool rewrite_locked_input(const std::string& input_path, OsFile input, const FileState& read_state, bool writable,
                          OsFile temporary, std::int32_t dpi, Progress& progress)
{
    PhysPatch patch;
    const bool patchable = plan_phys_patch(input, read_state.size, dpi, patch);
    if (patchable && patch.changed_from == patch.changed_to) {
        return true; // already right: nothing to write, even into a read-only file
    }
    progress.backup_complete = !patchable || !within_one_block(patch);
    // A patch written straight into the input must not be cut short part way
    // by a limit on file sizes.
    if (!writable || (!progress.backup_complete && patch.changed_to > file_size_limit())) {
        return report_failure(INPUT_WRITE_ERROR);
    }
    FileState rewritten;
    if (progress.backup_complete) {
        if (patchable) {
            const IoError error = write_patched_image(input, read_state.size, patch, temporary);
            if (error != IoError::none) {
                return report_failure(error == IoError::reading ? READ_ERROR : WRITE_ERROR);
            }
        } else if (!rewrite_png_resolution(input, temporary, dpi)) {
            return false;
        }
        if (!sync_file(temporary) || !state_of(temporary, rewritten)) {
            return report_failure(WRITE_ERROR);
        }
    }
    hold_interrupts();
    if (!input_unchanged(input_path, read_state)) {
        return report_failure(INPUT_CHANGED);
    }
    progress.input_touched = true;
    const bool written = patchable ? write_phys_patch(input, patch) : copy_back(temporary, rewritten.size, input);
    if (written && sync_file(input)) {
        return true;
    }
    if (!progress.backup_complete) {
        write_backup_of_patch(input, read_state.size, patch, temporary);
    }
    return report_failure(INPUT_WRITE_ERROR);
}

} // namespace

bool rewrite_in_place(const std::string& input_path, std::int32_t dpi, std::string& temporary_path)
{
    OsFile temporary = NO_FILE;
    if (!create_temporary_file(temporary_path, temporary)) {
        print_out(NO_TEMPORARY_FILE);
        return false;
    }
    bool writable = false;
    const OsFile input = open_for_update(input_path, writable);
    FileState state;
    Progress progress;
    bool done = false;
    // Refused before waiting for its lock, then found anew once it is locked.
    if (input == NO_FILE || !state_of(input, state) || state.kind != FileKind::regular || is_standard_stream(state) ||
        !lock_announced(input, LockMode::exclusive, input_path) || !state_of(input, state)) {
        print_error(OPEN_ERROR);
    } else {
        done = rewrite_locked_input(input_path, input, state, writable, temporary, dpi, progress);
    }
    // Held for the deletion too, so that an interrupt cannot delete a file of
    // the same name made by another program after ours is gone.
    hold_interrupts();
    if (done && !remove_temporary_file(temporary_path, temporary)) {
        print_error(DELETE_ERROR);
        done = false;
        // The notice will name the file: it must hold the image, which the input holds now.
        if (!progress.backup_complete && state_of(input, state) &&
            copy_range(input, 0, state.size, temporary).error == IoError::none) {
            sync_file(temporary);
        }
    }
    // The input was synced, and the temporary file too where it matters: what
    // closing them reports cannot concern their data.
    if (input != NO_FILE) {
        close_file(input); // and with it the lock
    }
    close_file(temporary);
    // Nothing printed holds an interrupt back, but for the notice that names
    // the only complete image of an input the run may have damaged.
    if (done || !progress.input_touched) {
        release_interrupts();
    }
    return done;
}

bool name_same_file(const std::string& first, const std::string& second)
{
    FileState first_state;
    FileState second_state;
    return state_of(first, first_state) && state_of(second, second_state) && same_file(first_state, second_state);
}
