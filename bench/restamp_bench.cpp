// Times restamp against plain copies of the same bytes:
//   restamp_bench RESTAMP MAKE_PNG [ROUNDS]
// Makes its inputs on tmpfs (/dev/shm) when there is one: 128 MiB of
// incompressible pixels in 8 KiB IDAT chunks; the same in one IDAT chunk; the
// same in 32 KiB IDATs after the chunks libpng-based tools write (a 72 DPI
// pHYs after gAMA, cHRM and bKGD), without and with a 3 KB ICC profile before
// them; and a 1 KiB image, whose run is mostly start-up. Each round runs, interleaved:
// `cat in > out` (GNU cat copies inside the kernel), `dd bs=128K` (a copy
// through read and write), `restamp 300 in out`, `restamp 300 copy` on a fresh
// copy of the input (the first stamp, its temporary file on the same file
// system), and `restamp 72 copy` on a fresh copy of the output (a re-stamp).
// Reports the median CPU time (user + system) and wall time of each, as ratios
// to cat, and peak resident memory. Then, as root, on XFS with reflink in a
// loop-mounted image, times the first stamp in place against `dd bs=1M
// conv=fsync` (GNU cat clones files there, so it copies nothing).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Sample {
    double wall_ms;
    double cpu_ms;
    long peak_kib;
};

double milliseconds(const timeval& time)
{
    return static_cast<double>(time.tv_sec) * 1e3 + static_cast<double>(time.tv_usec) / 1e3;
}

// Runs a program with standard output sent to stdout_path (and standard error
// to stderr_path, unless that is empty) and measures it; nothing if it fails.
std::optional<Sample> try_run(std::vector<std::string> arguments, const std::string& stdout_path,
                              const std::string& stderr_path = "")
{
    std::vector<char*> argv(arguments.size() + 1, nullptr);
    std::transform(arguments.begin(), arguments.end(), argv.begin(), [](std::string& text) { return text.data(); });
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        const int output = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(output, STDOUT_FILENO);
        if (!stderr_path.empty()) {
            dup2(open(stderr_path.c_str(), O_WRONLY), STDERR_FILENO);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    return Sample{wall.count(), milliseconds(usage.ru_utime) + milliseconds(usage.ru_stime), usage.ru_maxrss};
}

// As try_run, but a failure ends the benchmark.
Sample run(const std::vector<std::string>& arguments, const std::string& stdout_path)
{
    const std::optional<Sample> sample = try_run(arguments, stdout_path);
    if (!sample) {
        std::fprintf(stderr, "failed: %s\n", arguments[0].c_str());
        std::exit(1);
    }
    return *sample;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The median wall and CPU times, and the highest peak.
Sample summarise(const std::vector<Sample>& samples)
{
    std::vector<double> wall;
    std::vector<double> cpu;
    long peak = 0;
    for (const Sample& sample : samples) {
        wall.push_back(sample.wall_ms);
        cpu.push_back(sample.cpu_ms);
        peak = std::max(peak, sample.peak_kib);
    }
    return {median(wall), median(cpu), peak};
}

void print_row(const char* input, const char* mode, const Sample& summary, const Sample& reference)
{
    std::printf("%-22s %-10s %10.2f %10.2f %9.2f %9.2f %10ld\n", input, mode, summary.cpu_ms, summary.wall_ms,
                summary.cpu_ms / reference.cpu_ms, summary.wall_ms / reference.wall_ms, summary.peak_kib);
}

// A program's path, or an empty string where it is not installed.
std::string find_program(const std::string& name)
{
    for (const char* folder : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) {
        if (fs::exists(fs::path(folder) / name)) {
            return (fs::path(folder) / name).string();
        }
    }
    return "";
}

// Puts a file's data on disk, so that no timed run pays for writing it back.
bool sync_file(const std::string& path)
{
    const int file = open(path.c_str(), O_RDONLY);
    const bool synced = file >= 0 && fsync(file) == 0;
    if (file >= 0) {
        close(file);
    }
    return synced;
}

// Times dd and the first stamp in place in folder, and prints them; false if a run fails.
bool time_first_stamp(const fs::path& folder, const std::string& restamp, const std::string& make_png,
                      const std::string& dd, int rounds)
{
    const std::string in = (folder / "in.png").string();
    const auto dd_to = [&](const char* name) {
        return std::vector<std::string>{dd,      "if=" + in,   "of=" + (folder / name).string(),
                                        "bs=1M", "conv=fsync", "status=none"};
    };
    setenv("TMPDIR", folder.c_str(), 1);
    if (!try_run({make_png, in, "4096", "10923", "2147483647", "noise"}, "/dev/null") || !sync_file(in)) {
        return false;
    }
    std::vector<Sample> dd_samples, in_place_samples;
    for (int round = 0; round < rounds; ++round) {
        // A fresh input of its own blocks (dd copies; a clone would share in.png's), on disk before the timed runs.
        const bool copied = try_run(dd_to("copy.png"), "/dev/null").has_value();
        const std::optional<Sample> copy = copied ? try_run(dd_to("out.png"), "/dev/null") : std::nullopt;
        const std::optional<Sample> stamp =
            copy ? try_run({restamp, "300", (folder / "copy.png").string()}, "/dev/null") : std::nullopt;
        if (!stamp) {
            return false;
        }
        dd_samples.push_back(*copy);
        in_place_samples.push_back(*stamp);
    }
    const Sample reference = summarise(dd_samples);
    const Sample summary = summarise(in_place_samples);
    std::printf("\n%-22s %-10s %10s %10s %9s %9s %10s\n", "input", "mode", "cpu ms", "wall ms", "cpu/dd", "wall/dd",
                "peak KiB");
    print_row("128 MiB, one IDAT, XFS", "dd fsync", reference, reference);
    print_row("128 MiB, one IDAT, XFS", "in place", summary, reference);
    std::printf("\nrestamp in place on XFS with reflink, as a multiple of dd conv=fsync's time: CPU %.2f, wall %.2f "
                "(target 1.3 or less), %ld KiB (median of %d rounds)\n",
                summary.cpu_ms / reference.cpu_ms, summary.wall_ms / reference.wall_ms, summary.peak_kib, rounds);
    return true;
}

// The first stamp in place where the write-back can share the blocks of the
// copy restamp made: on XFS with reflink in a sparse 2 GiB image, loop-mounted.
void bench_reflink(const std::string& restamp, const std::string& make_png, const std::string& dd, int rounds)
{
    const std::string mkfs = find_program("mkfs.xfs");
    const std::string mount = find_program("mount");
    const std::string umount = find_program("umount");
    const char* missing = geteuid() != 0                     ? "not root"
                          : !fs::exists("/dev/loop-control") ? "no loop devices"
                          : mkfs.empty()                     ? "no mkfs.xfs"
                          : mount.empty() || umount.empty()  ? "no mount"
                                                             : nullptr;
    if (missing != nullptr) {
        std::printf("\nXFS with reflink: skipped (%s)\n", missing);
        return;
    }
    const fs::path folder = fs::path("/var/tmp") / ("restamp-bench-xfs-" + std::to_string(getpid()));
    const std::string image = (folder / "xfs.img").string();
    const std::string mounted = (folder / "mnt").string();
    fs::create_directories(mounted);
    if (!try_run({mkfs, "-q", "-m", "reflink=1", "-d", "file=1,name=" + image + ",size=2g"}, "/dev/null",
                 "/dev/null")) {
        std::printf("\nXFS with reflink: skipped (mkfs.xfs failed)\n");
    } else if (!try_run({mount, "-o", "loop", image, mounted}, "/dev/null", "/dev/null")) {
        std::printf("\nXFS with reflink: skipped (mount -o loop failed)\n");
    } else {
        if (!time_first_stamp(mounted, restamp, make_png, dd, rounds)) {
            std::printf("\nXFS with reflink: a run failed\n");
        }
        if (!try_run({umount, mounted}, "/dev/null")) {
            std::printf("\nXFS with reflink: %s stays mounted\n", mounted.c_str());
            return;
        }
    }
    fs::remove_all(folder);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: restamp_bench RESTAMP MAKE_PNG [ROUNDS]\n");
        return 2;
    }
    const std::string restamp = fs::absolute(argv[1]).string();
    const std::string make_png = fs::absolute(argv[2]).string();
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 9;
    const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    const fs::path folder = base / ("restamp-bench-" + std::to_string(getpid()));
    fs::create_directories(folder);
    setenv("TMPDIR", folder.c_str(), 1); // in place, the temporary file lies beside the input
    const std::string cat = fs::exists("/bin/cat") ? "/bin/cat" : "/usr/bin/cat";
    const std::string dd = fs::exists("/bin/dd") ? "/bin/dd" : "/usr/bin/dd";

    const struct {
        const char* name;
        const char* width;
        const char* height;
        const char* chunk_size;
        const char* layout;
    } inputs[] = {
        {"128 MiB, 8 KiB IDATs", "4096", "10923", "8192", ""},
        {"128 MiB, one IDAT", "4096", "10923", "2147483647", ""},
        {"128 MiB, libpng", "4096", "10923", "32768", "libpng"},
        {"128 MiB, libpng+iCCP", "4096", "10923", "32768", "libpng-iccp"},
        {"1 KiB", "16", "16", "8192", ""},
    };
    std::printf("%-22s %-10s %10s %10s %9s %9s %10s\n", "input", "mode", "cpu ms", "wall ms", "cpu/cat", "wall/cat",
                "peak KiB");
    std::string line = "restamp, CPU time as a multiple of cat's (explicit / in place / re-stamp):";
    for (const auto& input : inputs) {
        const std::string in = (folder / "in.png").string();
        const std::string out = (folder / "out.png").string();
        const std::string copy = (folder / "copy.png").string();
        std::vector<std::string> make = {make_png, in, input.width, input.height, input.chunk_size, "noise"};
        if (*input.layout != '\0') {
            make.emplace_back(input.layout);
        }
        run(make, "/dev/null");
        std::vector<Sample> cat_samples, dd_samples, explicit_samples, in_place_samples, restamp_samples;
        for (int round = 0; round < rounds; ++round) {
            cat_samples.push_back(run({cat, in}, out));
            dd_samples.push_back(run({dd, "if=" + in, "of=" + out, "bs=128K", "status=none"}, "/dev/null"));
            explicit_samples.push_back(run({restamp, "300", in, out}, "/dev/null"));
            fs::copy_file(in, copy, fs::copy_options::overwrite_existing);
            in_place_samples.push_back(run({restamp, "300", copy}, "/dev/null"));
            fs::copy_file(out, copy, fs::copy_options::overwrite_existing);
            restamp_samples.push_back(run({restamp, "72", copy}, "/dev/null"));
        }
        const Sample reference = summarise(cat_samples);
        for (const auto& [mode, samples] : {std::pair{"cat", &cat_samples},
                                            {"dd", &dd_samples},
                                            {"explicit", &explicit_samples},
                                            {"in place", &in_place_samples},
                                            {"re-stamp", &restamp_samples}}) {
            print_row(input.name, mode, summarise(*samples), reference);
        }
        const Sample explicit_summary = summarise(explicit_samples);
        const Sample in_place_summary = summarise(in_place_samples);
        const Sample restamp_summary = summarise(restamp_samples);
        char part[160];
        std::snprintf(part, sizeof part, " %s %.2f / %.2f / %.2f, %ld KiB;", input.name,
                      explicit_summary.cpu_ms / reference.cpu_ms, in_place_summary.cpu_ms / reference.cpu_ms,
                      restamp_summary.cpu_ms / reference.cpu_ms,
                      std::max({explicit_summary.peak_kib, in_place_summary.peak_kib, restamp_summary.peak_kib}));
        line += part;
    }
    fs::remove_all(folder);
    std::printf("\n%s (median of %d rounds)\n", line.c_str(), rounds);
    bench_reflink(restamp, make_png, dd, rounds);
    return 0;
}
