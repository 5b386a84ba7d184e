// pixtrim: the library's operations from the shell. Every command but a
// parallel batch is one library call per run.
// Exit status 0 on success, 1 when the library reports a failure, 2 for a
// usage error (nothing is called then).
#include "pixtrim.h"

#include <dirent.h>
#include <limits.h>
#include <malloc.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#ifndef PIXTRIM_VERSION
#error "PIXTRIM_VERSION must come from the build"
#endif

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: pixtrim [--json] quality  IN OUT Q        compress at quality Q (1-100)\n"
    "       pixtrim [--json] target   IN OUT BYTES    fit into BYTES (150k, 2M: k = 1024)\n"
    "       pixtrim [--json] lossless IN OUT          re-encode at full quality\n"
    "       pixtrim [--json] [-j N] [-r] [--quiet | --verbose]\n"
    "                        batch    INDIR OUTDIR Q  compress every image in INDIR\n"
    "       pixtrim --help | --version\n";

const char kHelp[] =
    "\n"
    "Makes JPEG, PNG and BMP files smaller. The input's format is read from its\n"
    "first bytes; the output's from OUT's extension (.jpg .jpeg .png .bmp), else\n"
    "the input's. For PNG output Q is the share of pixels kept; BMP ignores Q.\n"
    "Q outside 1-100 is clamped. BYTES takes a k (x1024) or M (x1048576) suffix.\n"
    "\n"
    "  --json       print the library's statistics record instead of a summary line\n"
    "               (for batch: the record of the last file compressed)\n"
    "  -j N, --jobs N\n"
    "               batch: compress N files at a time in worker processes; 0 (the\n"
    "               default) means one per CPU; 1 runs the library's own batch\n"
    "  -r, --recursive\n"
    "               batch: every image in INDIR and all folders below it, into the\n"
    "               same relative paths under OUTDIR (links to folders not followed)\n"
    "  --quiet      batch: no progress line and no summary on stderr\n"
    "  --verbose    batch: one line per file on stderr (not with the library's batch)\n"
    "  --           end of options (for paths that start with --)\n"
    "\n"
    "Unless it is the library's, batch shows a progress line when stderr is a terminal.\n"
    "Every batch ends with a summary line on stderr unless --quiet is given.\n"
    "\n"
    "Exit status: 0 success, 1 failure (the library's message on stderr),\n"
    "2 usage error.\n";

struct command_line {
    bool json = false;
    bool help = false;
    bool version = false;
    bool quiet = false;
    bool verbose = false;
    bool recursive = false;
    const char *jobs = nullptr;       // the text after -j or --jobs, when given
    const char *batch_only = nullptr;  // the first option that only batch takes
    std::vector<const char *> words;  // command name, then its arguments
};

int usage_error(const char *problem, const char *detail) {
    fprintf(stderr, "pixtrim: %s%s\n%s", problem, detail, kUsage);
    return kExitUsage;
}

// Options may stand anywhere before "--"; everything else is a word.
// Returns false (after reporting) for an unknown option or a missing value.
bool split_arguments(int argc, char **argv, command_line *line) {
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (!options_done && (strcmp(arg, "-j") == 0 || strcmp(arg, "--jobs") == 0)) {
            if (i + 1 == argc) {
                usage_error("missing value for ", arg);
                return false;
            }
            line->jobs = argv[++i];
            if (!line->batch_only) line->batch_only = arg;
        } else if (!options_done && strncmp(arg, "-j", 2) == 0) {
            line->jobs = arg + 2;
            if (!line->batch_only) line->batch_only = "-j";
        } else if (!options_done && strncmp(arg, "--jobs=", 7) == 0) {
            line->jobs = arg + 7;
            if (!line->batch_only) line->batch_only = "--jobs";
        } else if (!options_done && (strcmp(arg, "-r") == 0 || strcmp(arg, "--recursive") == 0)) {
            line->recursive = true;
            if (!line->batch_only) line->batch_only = arg;
        } else if (options_done || strncmp(arg, "--", 2) != 0) {
            line->words.push_back(arg);
        } else if (strcmp(arg, "--") == 0) {
            options_done = true;
        } else if (strcmp(arg, "--json") == 0) {
            line->json = true;
        } else if (strcmp(arg, "--help") == 0) {
            line->help = true;
        } else if (strcmp(arg, "--version") == 0) {
            line->version = true;
        } else if (strcmp(arg, "--quiet") == 0 || strcmp(arg, "--verbose") == 0) {
            (arg[2] == 'q' ? line->quiet : line->verbose) = true;
            if (!line->batch_only) line->batch_only = arg;
        } else {
            usage_error("unknown option ", arg);
            return false;
        }
    }
    return true;
}

// A whole decimal number that fits an int, optionally followed by k (1024)
// or M (1048576) when suffixes are allowed. Leading blanks, trailing text and
// anything that overflows are refused, so the library never sees garbage.
bool parse_int(const char *text, bool allow_suffix, int *value) {
    if (!(*text == '-' || *text == '+' || (*text >= '0' && *text <= '9'))) return false;
    errno = 0;
    char *end = nullptr;
    long number = strtol(text, &end, 10);
    if (errno == ERANGE || end == text) return false;
    long multiplier = 1;
    if (allow_suffix && (*end == 'k' || *end == 'K')) {
        multiplier = 1024;
        ++end;
    } else if (allow_suffix && *end == 'M') {
        multiplier = 1024 * 1024;
        ++end;
    }
    if (*end != '\0') return false;
    if (number > INT_MAX / multiplier || number < INT_MIN / multiplier) return false;
    *value = static_cast<int>(number * multiplier);
    return true;
}

// The figures of a statistics record; false for "{}" (the input's size
// could not be measured, so the library wrote no record).
bool parse_record(const char *stats, long *input_size, long *output_size, double *ratio) {
    long saved = 0;
    return sscanf(stats, "{\"input_size\":%ld,\"output_size\":%ld,\"ratio\":%lf,\"saved_bytes\":%ld}",
                  input_size, output_size, ratio, &saved) == 4;
}

// The one summary line for a single-file operation, from the statistics record.
void print_summary(const char *input_path, const char *output_path, const char *stats) {
    long input_size = 0, output_size = 0;
    double ratio = 0;
    if (parse_record(stats, &input_size, &output_size, &ratio)) {
        printf("%s -> %s: %ld -> %ld bytes, %.2f%% saved\n", input_path, output_path, input_size,
               output_size, ratio);
    } else {
        printf("%s -> %s: written\n", input_path, output_path);
    }
}

void report_failure(const char *message) {
    fprintf(stderr, "pixtrim: %s\n", *message ? message : "operation failed");
}

double seconds_now() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Sizes for people: decimal units, one decimal place.
std::string human_size(long long bytes) {
    char text[32];
    if (bytes < 1000) {
        snprintf(text, sizeof text, "%lld B", bytes);
    } else {
        const char *unit = bytes < 1000000 ? "kB" : bytes < 1000000000 ? "MB" : "GB";
        double divisor = bytes < 1000000 ? 1e3 : bytes < 1000000000 ? 1e6 : 1e9;
        snprintf(text, sizeof text, "%.1f %s", static_cast<double>(bytes) / divisor, unit);
    }
    return text;
}

// What both ways of running a batch print on stdout, and the message for a
// failure or an empty directory. Returns the exit status.
int finish_batch(int count, const char *output_dir, const char *record, const char *message,
                 bool json) {
    if (count < 0) {
        report_failure(message);
        return kExitFailed;
    }
    if (json) {
        printf("%s\n", record);
    } else {
        printf("%d file%s compressed into %s\n", count, count == 1 ? "" : "s", output_dir);
    }
    fflush(stdout);
    // No image in the directory is not a failure, but it deserves a word.
    if (count == 0) fprintf(stderr, "pixtrim: %s\n", message);
    return kExitOk;
}

// -j 1: the library's own batch, which reports only the count.
int run_library_batch(const char *input_dir, const char *output_dir, int quality,
                      const command_line &line) {
    double start = seconds_now();
    int count = pixtrim_batch(input_dir, output_dir, quality);
    int status = finish_batch(count, output_dir, pixtrim_stats(), pixtrim_last_error(), line.json);
    if (count > 0 && !line.quiet)
        fprintf(stderr, "%d compressed in %.1f s\n", count, seconds_now() - start);
    return status;
}

// ---- Parallel batch: the library's selection and order, spread over worker
// processes (the library's texts belong to its process, so no threads).

// Same test as the library's, so exactly the names it would take: the last
// dot's extension compared with bit 0x20 folded away ("." and ".." have none).
bool ascii_ieq(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b)
        if ((*a | 0x20) != (*b | 0x20)) return false;
    return *a == *b;
}

bool has_image_name(const char *name) {
    const char *dot = strrchr(name, '.');
    if (!dot || !dot[1]) return false;
    const char *ext = dot + 1;
    return ascii_ieq(ext, "jpg") || ascii_ieq(ext, "jpeg") || ascii_ieq(ext, "png") ||
           ascii_ieq(ext, "bmp");
}

// The selected names in listing order, taken in full before anything is
// written, as the library does; false when the directory cannot be opened.
bool list_images(const char *input_dir, std::vector<std::string> *names) {
    DIR *listing = opendir(input_dir);
    if (!listing) return false;
    while (const dirent *entry = readdir(listing))
        if (has_image_name(entry->d_name)) names->emplace_back(entry->d_name);
    closedir(listing);
    return true;
}

struct file_result {
    bool done = false;
    bool ok = false;
    std::string record;   // "{}" when the call wrote none
    std::string message;  // the call's last-error text
    long input_size = 0;  // from the record; 0 without one
    long output_size = 0;
};

// One report per file from a worker. Written in one write of at most
// PIPE_BUF bytes, so reports of several workers never interleave.
struct report_header {
    uint32_t index;
    int32_t ok;
    uint32_t record_length;
    uint32_t message_length;
};

bool read_full(int fd, void *buffer, size_t length) {
    char *at = static_cast<char *>(buffer);
    while (length > 0) {
        ssize_t got = read(fd, at, length);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        at += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

bool write_full(int fd, const void *buffer, size_t length) {
    const char *at = static_cast<const char *>(buffer);
    while (length > 0) {
        ssize_t put = write(fd, at, length);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        at += put;
        length -= static_cast<size_t>(put);
    }
    return true;
}

struct batch_job {
    const char *input_dir;
    const char *output_dir;
    int quality;  // pixtrim_quality clamps it as the library's batch does
    // The files, as paths below input_dir; then, for a tree, the folders
    // that could not be listed, each one failure.
    std::vector<std::string> names;
    size_t files;
};

// A folder's identity, to know the output folder when a tree walk meets it.
struct folder_id {
    dev_t device;
    ino_t inode;
};

// Every image name in the folder at root/relative and all folders below it,
// as paths relative to root, files before the folders they sit beside.
// Links are not followed into folders, so there are no loops, and the
// output folder is left out. Folders that cannot be listed are collected
// in unlisted. False when this folder itself cannot be listed.
bool list_tree(const std::string &root, const std::string &relative, const folder_id *output,
               std::vector<std::string> *names, std::vector<std::string> *unlisted) {
    DIR *listing = opendir((relative.empty() ? root : root + "/" + relative).c_str());
    if (!listing) return false;
    std::vector<std::string> folders;
    while (const dirent *entry = readdir(listing)) {
        const char *name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        std::string path = relative.empty() ? name : relative + "/" + name;
        struct stat info;
        if (lstat((root + "/" + path).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            bool is_output = output && info.st_dev == output->device && info.st_ino == output->inode;
            if (!is_output) folders.push_back(path);
        } else if (has_image_name(name)) {
            names->push_back(path);
        }
    }
    closedir(listing);
    for (const std::string &folder : folders)
        if (!list_tree(root, folder, output, names, unlisted)) unlisted->push_back(folder);
    return true;
}

// The job's files, and for a tree its folders that could not be listed;
// false when the input directory cannot be opened.
bool list_job(bool recursive, batch_job *job) {
    if (!recursive) {
        bool listed = list_images(job->input_dir, &job->names);
        job->files = job->names.size();
        return listed;
    }
    struct stat info;
    folder_id output = {0, 0};
    bool output_exists = stat(job->output_dir, &info) == 0;
    if (output_exists) output = {info.st_dev, info.st_ino};
    std::vector<std::string> unlisted;
    if (!list_tree(job->input_dir, "", output_exists ? &output : nullptr, &job->names, &unlisted))
        return false;
    job->files = job->names.size();
    job->names.insert(job->names.end(), unlisted.begin(), unlisted.end());
    return true;
}

// The folders below output_dir that the job's files go to.
void make_output_folders(const batch_job &job) {
    for (size_t i = 0; i < job.files; ++i) {
        const std::string &name = job.names[i];
        for (size_t slash = name.find('/'); slash != std::string::npos;
             slash = name.find('/', slash + 1))
            mkdir((std::string(job.output_dir) + "/" + name.substr(0, slash)).c_str(), 0755);
    }
}

// A worker: compresses the files whose indices arrive on task_fd until it
// closes, reporting each on report_fd. Never returns.
[[noreturn]] void work(const batch_job &job, int task_fd, int report_fd) {
    uint32_t index;
    while (read_full(task_fd, &index, sizeof index) && index < job.files) {
        std::string input_path = std::string(job.input_dir) + "/" + job.names[index];
        std::string output_path = std::string(job.output_dir) + "/" + job.names[index];
        pixtrim_init();  // so "{}" afterwards means this call wrote no record
        int ok = pixtrim_quality(input_path.c_str(), output_path.c_str(), job.quality);
        char report[PIPE_BUF];
        report_header header = {index, ok, 0, 0};
        size_t room = sizeof report - sizeof header;
        header.record_length = static_cast<uint32_t>(strnlen(pixtrim_stats(), room));
        room -= header.record_length;
        header.message_length = static_cast<uint32_t>(strnlen(pixtrim_last_error(), room));
        memcpy(report, &header, sizeof header);
        memcpy(report + sizeof header, pixtrim_stats(), header.record_length);
        memcpy(report + sizeof header + header.record_length, pixtrim_last_error(),
               header.message_length);
        if (!write_full(report_fd, report,
                        sizeof header + header.record_length + header.message_length))
            break;
    }
    _exit(0);
}

struct worker {
    pid_t pid;
    int task_fd;  // -1 once closed
};

// The live display on stderr: per-file lines in listing order, the progress
// line on a terminal, and running totals for the summary.
struct progress {
    bool line_shown = false;  // a progress line is on screen
    bool terminal = false;
    bool verbose = false;
    size_t done = 0;
    size_t next_verbose = 0;
    long long bytes_in = 0;
    long long bytes_out = 0;
};

void clear_line(progress *p) {
    if (p->line_shown) fputs("\r\033[K", stderr);
    p->line_shown = false;
}

void show_result(progress *p, const batch_job &job, const std::vector<file_result> &results,
                 size_t index) {
    const file_result &r = results[index];
    ++p->done;
    p->bytes_in += r.input_size;
    p->bytes_out += r.output_size;
    if (p->verbose) {
        for (; p->next_verbose < results.size() && results[p->next_verbose].done;
             ++p->next_verbose) {
            const file_result &shown = results[p->next_verbose];
            const char *name = job.names[p->next_verbose].c_str();
            clear_line(p);
            if (!shown.ok) {
                fprintf(stderr, "%s: %s\n", name,
                        shown.message.empty() ? "failed" : shown.message.c_str());
            } else if (shown.record == "{}") {
                fprintf(stderr, "%s: written\n", name);
            } else {
                fprintf(stderr, "%s: %ld -> %ld bytes\n", name, shown.input_size,
                        shown.output_size);
            }
        }
    }
    if (!p->terminal) return;
    char counter[48];
    int digits = snprintf(nullptr, 0, "%zu", results.size());
    snprintf(counter, sizeof counter, "[%*zu/%zu] ", digits, p->done, results.size());
    std::string sizes = "  " + human_size(p->bytes_in) + " -> " + human_size(p->bytes_out);
    // Kept to one screen line, or rewriting it in place would fail.
    winsize window;
    size_t width = ioctl(2, TIOCGWINSZ, &window) == 0 && window.ws_col > 0 ? window.ws_col : 80;
    size_t fixed = strlen(counter) + sizes.size();
    std::string name = job.names[index];
    if (fixed + name.size() >= width) name.resize(width > fixed + 1 ? width - fixed - 1 : 0);
    fprintf(stderr, "\r%s%s%s\033[K", counter, name.c_str(), sizes.c_str());
    fflush(stderr);
    p->line_shown = true;
}

// Runs the job's files in up to `jobs` worker processes, filling results.
// False when not one worker could be started.
bool run_workers(const batch_job &job, size_t jobs, std::vector<file_result> *results,
                 progress *shown) {
    int report_pipe[2];
    if (pipe(report_pipe) != 0) return false;
    signal(SIGPIPE, SIG_IGN);  // a worker gone away shows as a failed write
    fflush(stdout);
    fflush(stderr);
    std::vector<worker> workers;
    for (size_t k = 0; k < jobs && k < job.files; ++k) {
        int task_pipe[2];
        if (pipe(task_pipe) != 0) break;
        pid_t pid = fork();
        if (pid < 0) {
            close(task_pipe[0]);
            close(task_pipe[1]);
            break;
        }
        if (pid == 0) {
            // Only the parent may hold the write ends, or no worker would see its end.
            close(report_pipe[0]);
            close(task_pipe[1]);
            for (const worker &w : workers) close(w.task_fd);
            work(job, task_pipe[0], report_pipe[1]);
        }
        close(task_pipe[0]);
        workers.push_back({pid, task_pipe[1]});
    }
    close(report_pipe[1]);
    if (workers.empty()) {
        close(report_pipe[0]);
        return false;
    }

    // Each worker holds at most one file, so a task write never blocks. When
    // none is left its task pipe closes; a worker gone away leaves the next
    // file queued for the others.
    size_t next = 0, count = job.files;
    std::vector<size_t> holder(count);
    auto give = [&](size_t w) {
        uint32_t index = static_cast<uint32_t>(next);
        if (next < count && write_full(workers[w].task_fd, &index, sizeof index)) {
            holder[next++] = w;
            return;
        }
        close(workers[w].task_fd);
        workers[w].task_fd = -1;
    };
    for (size_t w = 0; w < workers.size(); ++w) give(w);

    report_header header;
    char texts[PIPE_BUF];
    while (read_full(report_pipe[0], &header, sizeof header)) {
        size_t length = static_cast<size_t>(header.record_length) + header.message_length;
        if (length > sizeof texts || header.index >= count ||
            !read_full(report_pipe[0], texts, length))
            break;
        file_result &r = (*results)[header.index];
        r.done = true;
        r.ok = header.ok == 1;
        r.record.assign(texts, header.record_length);
        r.message.assign(texts + header.record_length, header.message_length);
        double ratio;
        if (!r.ok || !parse_record(r.record.c_str(), &r.input_size, &r.output_size, &ratio))
            r.input_size = r.output_size = 0;
        show_result(shown, job, *results, header.index);
        give(holder[header.index]);
    }
    close(report_pipe[0]);
    for (worker &w : workers) {
        if (w.task_fd >= 0) close(w.task_fd);
        waitpid(w.pid, nullptr, 0);
    }
    // A worker that died took its file with it: that file failed.
    for (size_t i = 0; i < count; ++i) {
        file_result &r = (*results)[i];
        if (r.done) continue;
        r.done = true;
        r.message = "worker process stopped before finishing " + std::string(job.input_dir) +
                    "/" + job.names[i];
        show_result(shown, job, *results, i);
    }
    return true;
}

int run_parallel_batch(const char *input_dir, const char *output_dir, int quality, size_t jobs,
                       const command_line &line) {
    double start = seconds_now();
    batch_job job = {input_dir, output_dir, quality, {}, 0};
    if (!list_job(line.recursive, &job)) {
        std::string message = std::string("batch: cannot open input dir ") + input_dir;
        report_failure(message.c_str());
        return kExitFailed;
    }
    mkdir(output_dir, 0755);  // an existing directory is fine; other problems fail per file
    make_output_folders(job);

    std::vector<file_result> results(job.names.size());
    progress shown;
    shown.terminal = !line.quiet && isatty(2);
    shown.verbose = line.verbose;
    if (job.files > 0 && !run_workers(job, jobs, &results, &shown)) {
        fprintf(stderr, "pixtrim: cannot start worker processes: %s\n", strerror(errno));
        return kExitFailed;
    }
    for (size_t i = job.files; i < job.names.size(); ++i) {
        results[i].done = true;
        results[i].message = "batch: cannot open input dir " + std::string(input_dir) + "/" +
                              job.names[i];
        show_result(&shown, job, results, i);
    }
    clear_line(&shown);

    int compressed = 0;
    const char *record = "{}";
    for (const file_result &r : results) {
        if (!r.ok) continue;
        ++compressed;
        if (r.record != "{}") record = r.record.c_str();
    }
    int failed = static_cast<int>(results.size()) - compressed;
    std::string message;
    if (results.empty()) {
        message = std::string("batch: no images found in ") + input_dir;
    } else {
        message = results.back().message;
    }
    int count = compressed > 0 ? compressed : failed > 0 ? -1 : 0;
    int status = finish_batch(count, output_dir, record, message.c_str(), line.json);
    if (!results.empty() && !line.quiet) {
        fprintf(stderr, "%d compressed, %d failed, %s -> %s", compressed, failed,
                human_size(shown.bytes_in).c_str(), human_size(shown.bytes_out).c_str());
        if (shown.bytes_in > 0)
            fprintf(stderr, ", %.1f%% saved",
                    static_cast<double>(shown.bytes_in - shown.bytes_out) * 100.0 /
                        static_cast<double>(shown.bytes_in));
        fprintf(stderr, ", %.1f s\n", seconds_now() - start);
    }
    return status;
}

struct operation {
    const char *name;
    size_t argument_count;  // words after the command name
    bool has_number;        // the last argument is a number
    bool number_has_suffix;
};

const operation kOperations[] = {
    {"quality", 3, true, false},
    {"target", 3, true, true},
    {"lossless", 2, false, false},
    {"batch", 3, true, false},
};

const operation *find_operation(const char *name) {
    for (const operation &op : kOperations)
        if (strcmp(op.name, name) == 0) return &op;
    return nullptr;
}

int run(const operation &op, const command_line &line, int number, int jobs) {
    const char *in = line.words[1];
    const char *out = line.words[2];
    // The texts start fresh, so the record printed is this call's own.
    pixtrim_init();
    if (strcmp(op.name, "batch") == 0) {
        // A tree always goes to our workers: the library's batch takes one folder.
        if (jobs == 1 && !line.recursive) return run_library_batch(in, out, number, line);
        if (jobs == 0) {
            long cpus = sysconf(_SC_NPROCESSORS_ONLN);
            jobs = cpus > 0 && cpus < INT_MAX ? static_cast<int>(cpus) : 1;
        }
        return run_parallel_batch(in, out, number, static_cast<size_t>(jobs), line);
    }

    int ok;
    if (strcmp(op.name, "quality") == 0) {
        ok = pixtrim_quality(in, out, number);
    } else if (strcmp(op.name, "target") == 0) {
        ok = pixtrim_target_size(in, out, number);
    } else {
        ok = pixtrim_lossless(in, out);
    }
    if (ok != 1) {
        report_failure(pixtrim_last_error());
        return kExitFailed;
    }
    if (line.json) {
        printf("%s\n", pixtrim_stats());
    } else {
        print_summary(in, out, pixtrim_stats());
    }
    return kExitOk;
}

// A batch releases each file's picture and buffers and takes new ones for
// the next file. A block glibc has handed back to the system is faulted in
// afresh, which on virtual machines costs a small photo more than its
// encoding does. So blocks up to 32 MiB (the most glibc's own sliding
// threshold reaches) come from the heap, and the heap keeps up to 64 MiB
// free. Forked workers inherit this.
void keep_released_memory() {
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
}

}  // namespace

int main(int argc, char **argv) {
    command_line line;
    if (!split_arguments(argc, argv, &line)) return kExitUsage;
    if (line.help) {
        printf("%s%s", kUsage, kHelp);
        return kExitOk;
    }
    if (line.version) {
        printf("pixtrim %s\n", PIXTRIM_VERSION);
        return kExitOk;
    }
    if (line.words.empty()) return usage_error("missing command", "");

    const operation *op = find_operation(line.words[0]);
    if (!op) return usage_error("unknown command ", line.words[0]);
    if (line.words.size() - 1 != op->argument_count) {
        return usage_error(line.words.size() - 1 < op->argument_count ? "missing argument for "
                                                                     : "too many arguments for ",
                           op->name);
    }
    int number = 0;
    if (op->has_number && !parse_int(line.words.back(), op->number_has_suffix, &number)) {
        return usage_error("not a valid number: ", line.words.back());
    }
    if (line.batch_only && strcmp(op->name, "batch") != 0)
        return usage_error(line.batch_only, " applies to batch only");
    int jobs = 0;  // one worker per CPU
    if (line.jobs && (!parse_int(line.jobs, false, &jobs) || jobs < 0))
        return usage_error("not a valid number of jobs: ", line.jobs);
    if (line.quiet && line.verbose) return usage_error("--quiet and --verbose exclude each other", "");
    // The library's batch reports no figures per file.
    if (line.verbose && jobs == 1 && !line.recursive)
        return usage_error("--verbose needs -j 0 or -j 2 or more, or -r", "");
    keep_released_memory();
    return run(*op, line, number, jobs);
}
