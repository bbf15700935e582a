#include "to_output.hpp"

#include "chunk_rewriter.hpp"
#include "common.hpp"
#include "png_layout.hpp"
#include "texts.hpp"

#include <algorithm>
#include <tuple>
#include <utility>

namespace {

// A lock to take, on a file found as `state`.
struct LockRequest {
    OsFile file;
    LockMode mode;
    const std::string* name;
    const FileState* state;
};

// Crossed runs (a to b and b to a at once) take the two locks in one order, so
// that one waits for the other, not each for the other forever: by identity,
// or where the file system gives none, by full name. A file that cannot be
// locked (file systems without locks) is used without. A device or a pipe is
// not locked: it holds no content to guard, and anyone may lock it.
void lock_both(LockRequest first, LockRequest second)
{
    const auto order = [](const LockRequest& request) {
        return std::make_tuple(request.state->device, request.state->index, request.state->index_high,
                               final_name(request.file));
    };
    if (order(second) < order(first)) {
        std::swap(first, second);
    }
    for (const LockRequest& request : {first, second}) {
        if (request.state->kind != FileKind::device_or_pipe) {
            lock_announced(request.file, request.mode, *request.name);
        }
    }
}

// A committed copy of an in-place run means one that did not finish: the
// input may be damaged, and is not read.
bool no_interrupted_run(OsFile input, const std::string& input_path, const FileState& state)
{
    for (const CopyPlace& place : copy_places(input_path, state)) {
        for (const CopyKind kind : {CopyKind::image, CopyKind::journal}) {
            bool found = false;
            const TemporaryFile copy = find_copy(place, kind, input, found);
            if (copy.file != NO_FILE) {
                close_file(copy.file);
                print_error(kind == CopyKind::image ? INTERRUPTED_COPY_FORMAT : INTERRUPTED_JOURNAL_FORMAT,
                            input_path.c_str(), copy.name.c_str());
                return false;
            }
        }
    }
    return true;
}

// The input checked under its own lock, released before the output is opened
// (only for an input that passes) and the two are locked in their order.
bool input_passes(OsFile input, const std::string& input_path, const FileState& state)
{
    const bool lockable = state.kind != FileKind::device_or_pipe;
    if (lockable) {
        lock_announced(input, LockMode::shared, input_path);
    }
    bool png = false;
    const bool passes = (state.kind != FileKind::regular || no_interrupted_run(input, input_path, state)) &&
                        succeeded(read_png_start(input, png)) && (png || fail(NOT_PNG_ERROR));
    if (lockable) {
        unlock_file(input);
    }
    return passes;
}

bool write_output(OsFile input, const std::string& input_path, const FileState& input_state, OsFile output,
                  const std::string& output_path, const PhysChunk& phys, bool& written)
{
    FileState output_state;
    // Nor is the output a block device: a loop device shows another file's content.
    if (!state_of(output, output_state) || same_file(input_state, output_state) || is_standard_stream(output_state) ||
        output_state.kind == FileKind::block_device) {
        return fail(OPEN_ERROR);
    }
    lock_both({input, LockMode::shared, &input_path, &input_state},
              {output, LockMode::exclusive, &output_path, &output_state});
    // What the run waited for may have changed the input.
    FileState before;
    FileState now;
    bool png = false;
    if (!state_of(input, before)) {
        return fail(READ_ERROR);
    }
    if (!succeeded(read_png_start(input, png))) {
        return false;
    }
    if (!png) {
        return fail(NOT_PNG_ERROR);
    }
    forget_on_interrupt(output);
    written = true;
    // The output's first bytes are the input's own. Should writing them change
    // the input, the output is the input seen under another device (an overlay
    // or FUSE mount of its folder), and cutting it would destroy the input.
    const bool regular = output_state.kind == FileKind::regular;
    if (regular) {
        if (!succeeded(copy_range(input, 0, IHDR_END, output, 0).error)) {
            return false;
        }
        if (!state_of(input, now) || !unchanged(before, now)) {
            return fail(INPUT_CHANGED);
        }
        if (!set_file_size(output, std::min<std::uint64_t>(IHDR_END, now.size))) {
            return fail(WRITE_ERROR);
        }
    }
    return succeeded(copy_png(input, output, regular ? 0 : SEQUENTIAL, phys)) &&
           ((state_of(input, now) && unchanged(before, now)) || fail(INPUT_CHANGED));
}

} // namespace

bool rewrite_png_resolution(const std::string& input_path, const std::string& output_path, std::int32_t dpi)
{
    const PhysChunk phys = build_phys_chunk(dpi);
    // The names of copies are the next in-place run's to act on.
    const bool copy_name = is_copy_name(input_path) || is_copy_name(output_path);
    const OsFile input = copy_name ? NO_FILE : open_for_reading(input_path, announce_wait);
    FileState input_state;
    bool done = input != NO_FILE && state_of(input, input_state) ? input_passes(input, input_path, input_state)
                                                                 : fail(OPEN_ERROR);
    if (done) {
        bool created = false;
        bool written = false;
        const OsFile output = open_or_create_for_writing(output_path, input_state, created, announce_wait);
        done = output != NO_FILE ? write_output(input, input_path, input_state, output, output_path, phys, written)
                                 : fail(OPEN_ERROR);
        if (output != NO_FILE) {
            if (created && !written) {
                delete_file({output_path, output});
            }
            // A write that fails late shows only when the file is closed.
            if (!close_file(output) && done) {
                done = fail(WRITE_ERROR);
            }
        }
    }
    if (input != NO_FILE) {
        close_file(input);
    }
    return done;
}
