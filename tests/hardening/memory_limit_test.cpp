// Every operation with its address space capped, from almost nothing to
// plenty: each case runs in a child process, which must end normally with a
// documented result and a message that names the real cause, and must leave
// an original it was writing over intact.
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pixtrim.h"
#include "support.h"

namespace {

namespace fs = std::filesystem;
using test_support::decode_file;
using test_support::read_bytes;
using test_support::scratch_dir;

// Address space a child may take on top of what it holds when forked; the
// last is plenty for every operation on the pictures below.
const double kHeadroomMegabytes[] = {0, 0.25, 0.5, 0.75, 1, 1.5, 2, 3, 4, 6, 8, 256};

constexpr int kWidth = 320, kHeight = 240;
constexpr int kQuality = 50;
constexpr int32_t kBudget = 12000;

// What the child reports back through its pipe.
struct report {
    int result;
    char message[512];
    char after[512];  // the damaged file's message, with the cap lifted again
};

struct outcome {
    int wait_status = -1;
    bool reported = false;
    report sent = {};
};

// Runs call in a child capped at headroom bytes more than it holds, then,
// with the cap lifted, loads damaged: its reason must not depend on what the
// capped call went through.
outcome run_capped(size_t headroom, const std::string &damaged, const std::string &scratch_out,
                   const std::function<int()> &call) {
    int channel[2];
    outcome out;
    if (pipe(channel) != 0) return out;
    pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        // Give back what the parent's heap freed, and let large blocks take
        // address space of their own, as in a fresh process: otherwise the
        // decoder may never meet the cap.
        malloc_trim(0);
        mallopt(M_MMAP_THRESHOLD, 128 * 1024);
        pixtrim_init();
        rlimit original;
        getrlimit(RLIMIT_AS, &original);
        rlimit capped = {test_support::address_space_in_use() + headroom, original.rlim_max};
        setrlimit(RLIMIT_AS, &capped);
        report r = {};
        r.result = call();
        snprintf(r.message, sizeof r.message, "%s", pixtrim_last_error());
        setrlimit(RLIMIT_AS, &original);
        pixtrim_lossless(damaged.c_str(), scratch_out.c_str());
        snprintf(r.after, sizeof r.after, "%s", pixtrim_last_error());
        bool sent = write(channel[1], &r, sizeof r) == ssize_t(sizeof r);
        _exit(sent ? 0 : 3);
    }
    close(channel[1]);
    out.reported = read(channel[0], &out.sent, sizeof out.sent) == ssize_t(sizeof out.sent);
    close(channel[0]);
    waitpid(child, &out.wait_status, 0);
    return out;
}

enum class operation { lossless, quality, target_size, batch };

struct case_spec {
    const char *name;
    operation op;
    const char *output_extension;  // "" keeps the input's, and writes over it
};

const case_spec kCases[] = {
    {"lossless in place", operation::lossless, ""},
    {"quality to PNG", operation::quality, ".png"},
    {"quality to JPEG", operation::quality, ".jpg"},
    {"quality to BMP", operation::quality, ".bmp"},
    {"quality in place", operation::quality, ""},
    {"target size to JPEG", operation::target_size, ".jpg"},
    {"target size to PNG", operation::target_size, ".png"},
    {"target size in place", operation::target_size, ""},
    {"batch", operation::batch, ""},
};

std::string quoted(const std::string &text) {
    return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// The README's messages that a call may leave when memory runs short. A
// failed decode of a valid file can only have run out of memory.
bool message_is_truthful(const case_spec &c, int result, const std::string &message,
                         const std::string &input, const std::string &output) {
    std::string load = "cannot read " + quoted(input) + "|cannot decode " + quoted(input) +
                       R"( \(outofmem\))";
    std::string writer =
        R"((png|jpeg|bmp) encode failed: .*|cannot write .*|short write .*|out of memory)";
    std::string allowed;
    switch (c.op) {
    case operation::lossless:
    case operation::quality: {
        const char *name = c.op == operation::lossless ? "lossless" : "quality";
        if (result == 1) return message.empty();
        allowed = load + "|" + name + ": encode failed for " + quoted(output);
        // The shrunken PNG copy failing to allocate leaves no message.
        bool shrinks = c.op == operation::quality && fs::path(output).extension() == ".png";
        if (shrinks && message.empty()) return true;
        break;
    }
    case operation::target_size:
        // A ladder step that failed to write may leave its message behind.
        if (result == 1) return message.empty() || std::regex_match(message, std::regex(writer));
        allowed = load + R"(|target_size: encode failed)" +
                  R"(|target_size: could not get output <= \d+ bytes \(best: -?\d+\))";
        break;
    case operation::batch:
        if (result == 1) return message.empty();
        allowed = R"(batch: cannot open input dir .*|cannot read .*|cannot decode .* \(outofmem\))"
                  R"(|quality: encode failed for .*|)";
        break;
    }
    return std::regex_match(message, std::regex(allowed));
}

// The output a successful call wrote decodes, in the size it promised.
void check_written(const case_spec &c, const std::string &output) {
    test_support::decoded written = decode_file(output);
    ASSERT_TRUE(written.ok) << "unreadable output " << output;
    if (c.op == operation::target_size) {
        EXPECT_LE(fs::file_size(output), uintmax_t(kBudget));
    } else if (c.op == operation::lossless || fs::path(output).extension() != ".png") {
        EXPECT_EQ(written.image.width, kWidth);
        EXPECT_EQ(written.image.height, kHeight);
    }
}

void sweep(const std::string &extension) {
    scratch_dir dir;
    test_support::picture photo = test_support::photo_like(kWidth, kHeight);
    fs::path original = dir / ("original" + extension);
    if (extension == ".png") test_support::save_png(original, photo);
    if (extension == ".jpg") test_support::save_jpg(original, photo);
    if (extension == ".bmp") test_support::save_bmp(original, photo);
    std::vector<uint8_t> original_bytes = read_bytes(original);

    // A JPEG that ends after its start marker: the decoder's reason for it.
    std::string damaged = dir / "damaged.jpg", scratch_out = dir / "damaged-out.png";
    test_support::write_bytes(damaged, {0xFF, 0xD8});
    ASSERT_EQ(pixtrim_lossless(damaged.c_str(), scratch_out.c_str()), 0);
    std::string damaged_message = pixtrim_last_error();

    int run = 0;
    for (const case_spec &c : kCases) {
        for (double megabytes : kHeadroomMegabytes) {
            SCOPED_TRACE(std::string(c.name) + " of " + extension + " with " +
                         std::to_string(megabytes) + " MB of headroom");
            // Each case gets fresh paths, and an in-place one a fresh copy.
            fs::path work = dir / std::to_string(run++);
            fs::create_directory(work);
            std::string input = work / ("in" + extension);
            fs::copy_file(original, input);
            bool in_place = c.op != operation::batch && !*c.output_extension;
            std::string output = in_place ? input : std::string(work / "out") +
                                                        c.output_extension;
            std::string batch_out = work / "batch-out";
            if (c.op == operation::batch) output = batch_out + "/in" + extension;

            outcome got = run_capped(size_t(megabytes * 1024 * 1024), damaged, scratch_out, [&] {
                switch (c.op) {
                case operation::lossless:
                    return pixtrim_lossless(input.c_str(), output.c_str());
                case operation::quality:
                    return pixtrim_quality(input.c_str(), output.c_str(), kQuality);
                case operation::target_size:
                    return pixtrim_target_size(input.c_str(), output.c_str(), kBudget);
                case operation::batch:
                    return pixtrim_batch(work.c_str(), batch_out.c_str(), kQuality);
                }
                return -2;
            });

            ASSERT_TRUE(WIFEXITED(got.wait_status) && WEXITSTATUS(got.wait_status) == 0)
                << "the child ended abnormally, wait status " << got.wait_status;
            ASSERT_TRUE(got.reported);
            int result = got.sent.result;
            std::string message = got.sent.message;
            bool plenty = megabytes == kHeadroomMegabytes[std::size(kHeadroomMegabytes) - 1];
            if (c.op == operation::batch) {
                // Success is one file compressed; every failure -1, never 0.
                EXPECT_TRUE(result == 1 || result == -1) << result;
            } else {
                EXPECT_TRUE(result == 1 || result == 0) << result;
            }
            if (plenty) {
                EXPECT_EQ(result, 1) << message;
            }
            EXPECT_TRUE(message_is_truthful(c, result, message, input, output))
                << "result " << result << ", message \"" << message << "\"";
            EXPECT_EQ(got.sent.after, damaged_message)
                << "a damaged file's reason depends on the call before it";

            if (result == 1) {
                check_written(c, output);
            } else if (in_place) {
                EXPECT_TRUE(read_bytes(input) == original_bytes)
                    << "a failed in-place call changed the original";
            }
            fs::remove_all(work);
        }
    }
}

}  // namespace

TEST(MemoryLimits, EveryOperationOnAJpegEndsCleanlyAtEveryLimit) { sweep(".jpg"); }
TEST(MemoryLimits, EveryOperationOnAPngEndsCleanlyAtEveryLimit) { sweep(".png"); }
TEST(MemoryLimits, EveryOperationOnABmpEndsCleanlyAtEveryLimit) { sweep(".bmp"); }
