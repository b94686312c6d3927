// Makes a large archive with Info-ZIP's zip and extracts it with
// pallorwind-unzip, "unzip -o -q" and "bsdtar -xf", each several times in the
// same run. Prints the median wall time of each, its ratio to ours, and each
// one's peak resident memory (from wait4's resource usage).
//
//   bench_zip [--mb N] [--files N] [--runs N] [--dir PATH]
//   defaults: 200 MB in 3000 files, 5 runs each, under $TMPDIR or /tmp

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Measure {
    double seconds = 0;
    long peakKb = 0;
    int status = -1;
};

// Runs argv in folder cwd; wall time and the child's peak resident size.
Measure RunChild(const std::vector<std::string>& argv, const fs::path& cwd) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(cwd.c_str()) != 0) {
            ::_exit(127);
        }
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    Measure m;
    int status = 0;
    struct rusage usage {};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) {
        return m;
    }
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.peakKb = usage.ru_maxrss;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m;
}

// Files of varied sizes: four large ones of a tenth of the total each (so
// that holding an entry in memory would show in the peak), the rest spread
// over many small ones; two thirds text-like and compressible, one third
// random.
void MakeTree(const fs::path& root, std::size_t totalBytes, int files) {
    std::mt19937_64 rng(42);
    const int large = files > 8 ? 4 : 0;
    std::vector<double> weights(files);
    double smallSum = 0;
    for (int i = large; i < files; ++i) {
        weights[i] = std::exponential_distribution<double>(1.0)(rng);
        smallSum += weights[i];
    }
    for (int i = large; i < files; ++i) {
        weights[i] *= (1.0 - 0.1 * large) / smallSum;
    }
    for (int i = 0; i < large; ++i) {
        weights[i] = 0.1;
    }
    const double sum = 1.0;
    std::string text;
    for (int i = 0; text.size() < (1 << 20); ++i) {
        text += "MIDI bridge update, line " + std::to_string(i) + ": note on 0x90 0x3C 0x7F\n";
    }
    std::vector<char> chunk(1 << 20);
    for (int i = 0; i < files; ++i) {
        const fs::path folder = root / ("dir" + std::to_string(i / 100));
        fs::create_directories(folder);
        std::ofstream out(folder / ("file" + std::to_string(i) + ".bin"), std::ios::binary);
        std::size_t left = static_cast<std::size_t>(weights[i] / sum * totalBytes);
        const bool random = i % 3 == 2;
        while (left > 0) {
            std::size_t n = std::min(left, chunk.size());
            const char* bytes = chunk.data();
            if (random) {
                for (std::size_t k = 0; k < n; k += 8) {
                    const std::uint64_t v = rng();
                    std::memcpy(chunk.data() + k, &v, std::min<std::size_t>(8, n - k));
                }
            } else {
                n = std::min(n, text.size() - 4096);
                bytes = text.data() + rng() % 4096;
            }
            out.write(bytes, static_cast<std::streamsize>(n));
            left -= n;
        }
    }
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    std::size_t megabytes = 200;
    int files = 3000;
    int runs = 5;
    const char* tmp = std::getenv("TMPDIR");
    fs::path parent = tmp != nullptr ? tmp : "/tmp";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--mb" && i + 1 < argc) {
            megabytes = std::strtoul(argv[++i], nullptr, 10);
        } else if (a == "--files" && i + 1 < argc) {
            files = std::atoi(argv[++i]);
        } else if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--dir" && i + 1 < argc) {
            parent = argv[++i];
        } else {
            std::printf("usage: bench_zip [--mb N] [--files N] [--runs N] [--dir PATH]\n");
            return a == "--help" ? 0 : 2;
        }
    }
    std::string pattern = (parent / "pallorwind-bench-zip-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path work = pattern;
    const fs::path archive = work / "bench.zip";

    std::printf("making %zu MB in %d files...\n", megabytes, files);
    MakeTree(work / "src", megabytes << 20, files);
    const Measure zipped = RunChild({"zip", "-q", "-r", archive.string(), "."}, work / "src");
    if (zipped.status != 0) {
        std::fprintf(stderr, "zip failed\n");
        return 1;
    }
    std::printf("archive: %.1f MB, made by zip in %.1f s\n", fs::file_size(archive) / 1048576.0,
                zipped.seconds);

    struct Tool {
        const char* name;
        std::vector<std::string> argv; // extracts into the current folder
        std::vector<double> times;
        long peakKb = 0;
    };
    std::vector<Tool> tools = {
        {"pallorwind-unzip", {PALLORWIND_UNZIP, archive.string(), "."}, {}, 0},
        {"unzip -o -q", {"unzip", "-o", "-q", archive.string()}, {}, 0},
        {"bsdtar -xf", {"bsdtar", "-xf", archive.string()}, {}, 0},
    };
    const fs::path out = work / "out";
    // Round-robin, so that every tool sees the same state of the machine.
    for (int run = 0; run < runs; ++run) {
        for (Tool& tool : tools) {
            fs::remove_all(out);
            fs::create_directories(out);
            const Measure m = RunChild(tool.argv, out);
            if (m.status != 0) {
                std::fprintf(stderr, "%s failed (%d)\n", tool.name, m.status);
                return 1;
            }
            tool.times.push_back(m.seconds);
            tool.peakKb = std::max(tool.peakKb, m.peakKb);
        }
    }
    // Our output must be the source tree, byte for byte.
    fs::remove_all(out);
    fs::create_directories(out);
    RunChild(tools[0].argv, out);
    const Measure same = RunChild({"diff", "-rq", (work / "src").string(), out.string()}, work);
    std::printf("pallorwind-unzip output %s the source tree\n",
                same.status == 0 ? "matches" : "DIFFERS FROM");

    const double ours = Median(tools[0].times);
    std::printf("\n%-18s %12s %16s %14s\n", "extractor", "median wall", "ratio to ours",
                "peak RSS");
    for (const Tool& tool : tools) {
        const double t = Median(tool.times);
        std::printf("%-18s %10.2f s %15.2fx %11.1f MB\n", tool.name, t, t / ours,
                    tool.peakKb / 1024.0);
    }
    std::printf("(%d runs each; ratio > 1: slower than pallorwind-unzip)\n", runs);
    fs::remove_all(work);
    return same.status == 0 ? 0 : 1;
}
