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
// to cat, and peak resident memory.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
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

// Runs a program with standard output sent to stdout_path and measures it.
Sample run(std::vector<std::string> arguments, const std::string& stdout_path)
{
    std::vector<char*> argv(arguments.size() + 1, nullptr);
    std::transform(arguments.begin(), arguments.end(), argv.begin(), [](std::string& text) { return text.data(); });
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        const int output = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(output, STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "failed: %s\n", arguments[0].c_str());
        std::exit(1);
    }
    return {wall.count(), milliseconds(usage.ru_utime) + milliseconds(usage.ru_stime), usage.ru_maxrss};
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
            const Sample summary = summarise(*samples);
            std::printf("%-22s %-10s %10.2f %10.2f %9.2f %9.2f %10ld\n", input.name, mode, summary.cpu_ms,
                        summary.wall_ms, summary.cpu_ms / reference.cpu_ms, summary.wall_ms / reference.wall_ms,
                        summary.peak_kib);
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
    return 0;
}
