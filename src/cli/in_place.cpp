#include "in_place.hpp"

#include "chunk_rewriter.hpp"
#include "common.hpp"
#include "patch_journal.hpp"
#include "png_layout.hpp"
#include "texts.hpp"

#include <algorithm>
#include <cstdio>

namespace {

// One in-place run. The input is locked and was found as read_state.
struct InPlaceRun {
    const std::string& input_path;
    PhysChunk phys;
    std::string& backup;       // what the backup notice names
    TemporaryFile temporary{}; // in the temporary folder, made first; its name is empty once it is deleted
    OsFile input = NO_FILE;
    bool writable = false;
    FileState read_state{};
    std::vector<CopyPlace> places{}; // where a copy may go, in turn
    TemporaryFile copy{};            // the copy made in one of them
    const CopyPlace* copy_place = nullptr;
    bool backup_first = false;  // a copy or the temporary file holds the work before the input is written
    bool input_touched = false; // a write into the input has begun
};

void report_temporary_folder(const FolderCheck& check)
{
    if (check.problem != FolderProblem::none) {
        const char* reasons[] = {"", NO_SUCH_FOLDER, NOT_A_FOLDER, NOT_WRITABLE, OTHERS_MAY_RENAME_FORMAT, OTHER_OWNER};
        char reason[4096];
        std::snprintf(reason, sizeof reason, reasons[static_cast<int>(check.problem)], check.culprit.c_str());
        print_error(TEMPORARY_FOLDER_FORMAT, check.folder.c_str(), reason);
    }
}

bool within_one_block(const PhysPatch& patch)
{
    return patch.changed_from / BLOCK_SIZE == (patch.changed_to - 1) / BLOCK_SIZE;
}

// True when the name still leads to the file that was read, unchanged.
bool input_unchanged(const InPlaceRun& run)
{
    FileState now;
    return state_of(run.input_path, now) && unchanged(run.read_state, now);
}

void delete_and_close(TemporaryFile& file)
{
    if (file.file != NO_FILE) {
        delete_file(file);
        close_file(file.file);
        file = TemporaryFile{};
    }
}

// True when the committed image holds what this run would write with the
// image's own pHYs: the input was never written. The temporary file is the
// scratch space, empty again afterwards.
bool image_of_input(const InPlaceRun& run, OsFile image)
{
    PhysChunk phys;
    FileState image_state;
    FileState written;
    bool png = false;
    const bool same = read_at(image, IHDR_END, phys.data(), phys.size()) == static_cast<std::int64_t>(phys.size()) &&
                      std::equal(phys.begin(), phys.begin() + CHUNK_HEADER_SIZE, "\0\0\0\x09pHYs") &&
                      read_png_start(run.input, png) == IoError::none && png &&
                      copy_png(run.input, run.temporary.file, 0, phys) == IoError::none &&
                      state_of(image, image_state) && state_of(run.temporary.file, written) &&
                      image_state.size == written.size && same_content(image, run.temporary.file, written.size);
    set_file_size(run.temporary.file, 0);
    return same;
}

// Finishes what the journal of an interrupted patch began, or finds that it
// never began; false, with the reason given, when the input changed since.
bool finish_journal(InPlaceRun& run, const TemporaryFile& found)
{
    FileState state;
    std::vector<std::uint8_t> record;
    PatchJournal journal;
    if (state_of(found.file, state) && state.size <= MAX_JOURNAL_SIZE) {
        record.resize(state.size);
    }
    const bool whole =
        !record.empty() &&
        read_at(found.file, 0, record.data(), record.size()) == static_cast<std::int64_t>(record.size()) &&
        decode_journal(record, journal);
    const JournalMatch match = whole ? match_journal(run.input, run.read_state, journal) : JournalMatch::foreign;
    if (match == JournalMatch::foreign) {
        print_error(JOURNAL_MISFITS_FORMAT, run.input_path.c_str(), found.name.c_str());
        return false;
    }
    if (match == JournalMatch::part_new &&
        (!run.writable || !write_at(run.input, journal.offset, journal.bytes.data(), journal.bytes.size()) ||
         !sync_file(run.input))) {
        return fail(INPUT_WRITE_ERROR);
    }
    return true;
}

// Acts on what an interrupted run left in one place: deletes what no longer
// matters, finishes a patch from its journal, and leaves the input alone where
// a committed image may be its only whole copy. A place where another's file
// has one of our names takes no copy of this run.
bool recover_at(InPlaceRun& run, const CopyPlace& place, bool& usable)
{
    bool part_found = false;
    bool image_found = false;
    bool journal_found = false;
    TemporaryFile part = find_copy(place, CopyKind::part, run.input, part_found);
    TemporaryFile image = find_copy(place, CopyKind::image, run.input, image_found);
    TemporaryFile journal = find_copy(place, CopyKind::journal, run.input, journal_found);
    usable = (!part_found || part.file != NO_FILE) && (!image_found || image.file != NO_FILE) &&
             (!journal_found || journal.file != NO_FILE);
    bool whole = true;
    if (image.file != NO_FILE) {
        FileState image_state;
        whole = (state_of(image.file, image_state) && image_state.size == run.read_state.size &&
                 same_content(image.file, run.input, image_state.size)) ||
                image_of_input(run, image.file);
        if (!whole) {
            print_error(INTERRUPTED_COPY_FORMAT, run.input_path.c_str(), image.name.c_str());
            run.backup = image.name;
            close_file(image.file);
            image = TemporaryFile{};
        }
    } else if (journal.file != NO_FILE) { // beside an image, a journal is stale
        whole = finish_journal(run, journal);
        if (!whole) {
            close_file(journal.file);
            journal = TemporaryFile{};
        }
    }
    delete_and_close(part);
    delete_and_close(image);
    delete_and_close(journal);
    return whole;
}

// The input again, as what an interrupted run left may have changed it.
bool recover(InPlaceRun& run)
{
    for (auto place = run.places.begin(); place != run.places.end();) {
        bool usable = true;
        if (!recover_at(run, *place, usable)) {
            return false;
        }
        place = usable ? place + 1 : run.places.erase(place);
    }
    return state_of(run.input, run.read_state) || fail(READ_ERROR);
}

// The work, written first where it survives what the input survives: the
// image, or the journal of the patch, under the unfinished name of a copy in
// the first place that takes one, synced; where none does, the whole image in
// the temporary file.
bool write_work_first(InPlaceRun& run, const PhysPatch* patch)
{
    run.backup_first = true;
    PatchJournal journal;
    if (patch != nullptr && !make_journal(run.input, run.read_state, *patch, journal)) {
        return fail(READ_ERROR);
    }
    const std::vector<std::uint8_t> record = patch != nullptr ? encode_journal(journal) : std::vector<std::uint8_t>{};
    for (const CopyPlace& place : run.places) {
        TemporaryFile part;
        if (!create_part(place, run.read_state, part)) {
            continue;
        }
        const IoError error = patch == nullptr ? copy_png(run.input, part.file, 0, run.phys)
                              : write_at(part.file, 0, record.data(), record.size()) ? IoError::none
                                                                                     : IoError::writing;
        if (error == IoError::none && sync_file(part.file)) {
            run.copy = part;
            run.copy_place = &place;
            return true;
        }
        delete_and_close(part);
        if (error == IoError::reading) {
            return succeeded(error);
        }
    }
    const IoError error = patch == nullptr
                              ? copy_png(run.input, run.temporary.file, 0, run.phys)
                              : write_patched_image(run.input, run.read_state.size, *patch, run.temporary.file);
    return succeeded(error) && (sync_file(run.temporary.file) || fail(WRITE_ERROR));
}

// Gives the copy its committed name: from now on the next run finds it, and
// the notice names it in place of the temporary file, which goes.
bool commit_copy(InPlaceRun& run, CopyKind kind)
{
    if (run.copy.file == NO_FILE) {
        return true;
    }
    if (!commit_file(run.copy, copy_path(*run.copy_place, kind))) {
        delete_and_close(run.copy);
        return fail(WRITE_ERROR);
    }
    run.backup = run.copy.name;
    if (!delete_file(run.temporary)) {
        return fail(DELETE_ERROR);
    }
    run.temporary.name.clear();
    return true;
}

// After a patch failed part way: the complete image, made from the input
// (whose span the patch may have torn, but nothing outside it) and the patch,
// committed in place of its journal. Where it cannot be, the journal stays,
// and the next run finishes the patch from it.
void commit_image_of_patch(InPlaceRun& run, const PhysPatch& patch)
{
    TemporaryFile image;
    if (create_part(*run.copy_place, run.read_state, image) &&
        write_patched_image(run.input, run.read_state.size, patch, image.file) == IoError::none &&
        sync_file(image.file) && commit_file(image, copy_path(*run.copy_place, CopyKind::image))) {
        run.backup = image.name;
        delete_and_close(run.copy);
        run.copy = image; // closed with the run's files
    } else {
        delete_and_close(image);
    }
}

// Writes the patch, or the image from its copy, into the input.
bool write_input(InPlaceRun& run, bool patchable, const PhysPatch& patch)
{
    hold_interrupts();
    if (!input_unchanged(run)) {
        delete_and_close(run.copy);
        return fail(INPUT_CHANGED);
    }
    if (!commit_copy(run, patchable ? CopyKind::journal : CopyKind::image)) {
        return false;
    }
    run.input_touched = true;
    if (patchable) {
        if (write_phys_patch(run.input, patch) == IoError::none && sync_file(run.input)) {
            return true;
        }
        if (run.copy.file != NO_FILE) {
            commit_image_of_patch(run, patch);
        }
        return fail(INPUT_WRITE_ERROR);
    }
    // The size first, and the space with it: a full disk, or a mapping that
    // refuses a shorter file, fails before any byte of the input changes.
    const OsFile image = run.copy.file != NO_FILE ? run.copy.file : run.temporary.file;
    FileState rewritten;
    const bool written = state_of(image, rewritten) && reserve_file_size(run.input, rewritten.size) &&
                         copy_range(image, 0, rewritten.size, run.input, 0).copied == rewritten.size &&
                         sync_file(run.input);
    return written || fail(INPUT_WRITE_ERROR);
}

// Rewrites the locked input, by a patch where it can.
bool rewrite_locked_input(InPlaceRun& run)
{
    bool png = false;
    const IoError error = read_png_start(run.input, png);
    if (error != IoError::none || !png) {
        return succeeded(error) && fail(NOT_PNG_ERROR);
    }
    PhysPatch patch;
    const bool patchable = plan_phys_patch(run.input, run.read_state.size, run.phys, patch);
    if (patchable && patch.changed_from == patch.changed_to) {
        return true; // already right: nothing to write, even into a read-only file
    }
    // A patch written straight into the input must not be cut short part way
    // by a limit on file sizes.
    const bool narrow = patchable && within_one_block(patch);
    if (!run.writable || (narrow && patch.changed_to > file_size_limit())) {
        return fail(INPUT_WRITE_ERROR);
    }
    if (narrow) {
        hold_interrupts();
        if (!input_unchanged(run)) {
            return fail(INPUT_CHANGED);
        }
        run.input_touched = true;
        if (write_phys_patch(run.input, patch) == IoError::none && sync_file(run.input)) {
            return true;
        }
        // The temporary file becomes the backup.
        if (write_patched_image(run.input, run.read_state.size, patch, run.temporary.file) == IoError::none) {
            sync_file(run.temporary.file);
        }
        return fail(INPUT_WRITE_ERROR);
    }
    return write_work_first(run, patchable ? &patch : nullptr) && write_input(run, patchable, patch);
}

// Opens and locks the input: a regular file that is no standard stream and no
// copy. Refused before waiting for its lock, then found anew once it is locked.
bool open_locked_input(InPlaceRun& run)
{
    run.input = is_copy_name(run.input_path) ? NO_FILE : open_for_update(run.input_path, run.writable, announce_wait);
    FileState& state = run.read_state;
    if (run.input == NO_FILE || !state_of(run.input, state) || state.kind != FileKind::regular ||
        is_standard_stream(state) || !lock_announced(run.input, LockMode::exclusive, run.input_path) ||
        !state_of(run.input, state)) {
        return fail(OPEN_ERROR);
    }
    run.places = copy_places(run.input_path, state);
    return true;
}

// The run's files go once the input is whole: the temporary file (unless it
// went with the commit), then the copy. Where one cannot be deleted, the run
// fails, and the notice names a file that holds the image.
bool delete_run_files(InPlaceRun& run)
{
    if (!run.temporary.name.empty() && !delete_file(run.temporary)) {
        FileState state;
        if (!run.backup_first && state_of(run.input, state) &&
            copy_range(run.input, 0, state.size, run.temporary.file, 0).error == IoError::none) {
            sync_file(run.temporary.file);
        }
        return fail(DELETE_ERROR);
    }
    return run.copy.file == NO_FILE || delete_file(run.copy) || fail(DELETE_ERROR);
}

} // namespace

bool rewrite_in_place(const std::string& input_path, std::int32_t dpi, std::string& backup)
{
    InPlaceRun run{input_path, build_phys_chunk(dpi), backup};
    FolderCheck check;
    if (!create_temporary_file(run.temporary, check)) {
        report_temporary_folder(check);
        print_out(NO_TEMPORARY_FILE);
        return false;
    }
    backup = run.temporary.name;
    bool done = open_locked_input(run) && recover(run) && rewrite_locked_input(run);
    // Held for the deletions too, so that an interrupt cannot delete a file of
    // the same name made by another program after ours is gone.
    hold_interrupts();
    done = done && delete_run_files(run);
    // The input was synced, and the files that hold the work too: what closing
    // them reports cannot concern their data.
    for (const OsFile file : {run.input, run.temporary.file, run.copy.file}) {
        if (file != NO_FILE) {
            close_file(file); // and with the input its lock
        }
    }
    if (done && interrupt_pending() && error_stream_ready()) {
        print_error(REWRITTEN_BEFORE_INTERRUPT_FORMAT, input_path.c_str());
    }
    // Nothing printed holds an interrupt back, but for the notice that names
    // the only complete image of an input the run may have damaged.
    if (done || !run.input_touched) {
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
