// pixtrim: the library's operations from the shell, one call per run.
// Exit status 0 on success, 1 when the library reports a failure, 2 for a
// usage error (nothing is called then).
#include "pixtrim.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    "       pixtrim [--json] batch    INDIR OUTDIR Q  compress every image in INDIR\n"
    "       pixtrim --help | --version\n";

const char kHelp[] =
    "\n"
    "Makes JPEG, PNG and BMP files smaller. The input's format is read from its\n"
    "first bytes; the output's from OUT's extension (.jpg .jpeg .png .bmp), else\n"
    "the input's. For PNG output Q is the share of pixels kept; BMP ignores Q.\n"
    "Q outside 1-100 is clamped. BYTES takes a k (x1024) or M (x1048576) suffix.\n"
    "\n"
    "  --json     print the library's statistics record instead of a summary line\n"
    "             (for batch: the record of the last file compressed)\n"
    "  --         end of options (for paths that start with --)\n"
    "\n"
    "Exit status: 0 success, 1 failure (the library's message on stderr),\n"
    "2 usage error.\n";

struct command_line {
    bool json = false;
    bool help = false;
    bool version = false;
    std::vector<const char *> words;  // command name, then its arguments
};

int usage_error(const char *problem, const char *detail) {
    fprintf(stderr, "pixtrim: %s%s\n%s", problem, detail, kUsage);
    return kExitUsage;
}

// Options may stand anywhere before "--"; everything else is a word.
// Returns false (after reporting) for an unknown option.
bool split_arguments(int argc, char **argv, command_line *line) {
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (options_done || strncmp(arg, "--", 2) != 0) {
            line->words.push_back(arg);
        } else if (strcmp(arg, "--") == 0) {
            options_done = true;
        } else if (strcmp(arg, "--json") == 0) {
            line->json = true;
        } else if (strcmp(arg, "--help") == 0) {
            line->help = true;
        } else if (strcmp(arg, "--version") == 0) {
            line->version = true;
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

// The one summary line for a single-file operation, from the statistics
// record; the record stays "{}" when the input's size could not be measured.
void print_summary(const char *input_path, const char *output_path, const char *stats) {
    long input_size = 0, output_size = 0, saved = 0;
    double ratio = 0;
    if (sscanf(stats, "{\"input_size\":%ld,\"output_size\":%ld,\"ratio\":%lf,\"saved_bytes\":%ld}",
               &input_size, &output_size, &ratio, &saved) == 4) {
        printf("%s -> %s: %ld -> %ld bytes, %.2f%% saved\n", input_path, output_path, input_size,
               output_size, ratio);
    } else {
        printf("%s -> %s: written\n", input_path, output_path);
    }
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

int run(const operation &op, const command_line &line, int number) {
    const char *in = line.words[1];
    const char *out = line.words[2];
    // The texts start fresh, so the record printed is this call's own.
    pixtrim_init();
    if (strcmp(op.name, "batch") == 0) {
        int count = pixtrim_batch(in, out, number);
        if (count < 0) {
            fprintf(stderr, "pixtrim: %s\n", pixtrim_last_error());
            return kExitFailed;
        }
        if (line.json) {
            printf("%s\n", pixtrim_stats());
        } else {
            printf("%d file%s compressed into %s\n", count, count == 1 ? "" : "s", out);
        }
        // No image in the directory is not a failure, but it deserves a word.
        if (count == 0) fprintf(stderr, "pixtrim: %s\n", pixtrim_last_error());
        return kExitOk;
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
        const char *message = pixtrim_last_error();
        fprintf(stderr, "pixtrim: %s\n", *message ? message : "operation failed");
        return kExitFailed;
    }
    if (line.json) {
        printf("%s\n", pixtrim_stats());
    } else {
        print_summary(in, out, pixtrim_stats());
    }
    return kExitOk;
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
    return run(*op, line, number);
}
