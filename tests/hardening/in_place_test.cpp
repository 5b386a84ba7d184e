// Writing over the input itself: a write that fails or is killed half-way
// leaves the original byte for byte, and a write that succeeds replaces it
// keeping its permission bits.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pixtrim.h"
#include "support.h"

// The file-system calls that put a staged result in place, linked with
// --wrap so a test can make one of them fail.
namespace {
const char *s_failing_call = nullptr;  // "fsync", "chmod" or "rename"
bool fails(const char *call) { return s_failing_call && strcmp(s_failing_call, call) == 0; }
}  // namespace

extern "C" {
int __real_fsync(int fd);
int __real_chmod(const char *path, mode_t mode);
int __real_rename(const char *from, const char *to);
int __wrap_fsync(int fd) { return fails("fsync") ? (errno = EIO, -1) : __real_fsync(fd); }
int __wrap_chmod(const char *path, mode_t mode) {
    return fails("chmod") ? (errno = EPERM, -1) : __real_chmod(path, mode);
}
int __wrap_rename(const char *from, const char *to) {
    return fails("rename") ? (errno = EXDEV, -1) : __real_rename(from, to);
}
}

namespace {

namespace fs = std::filesystem;
using test_support::decode_file;
using test_support::read_bytes;
using test_support::save_png;
using test_support::scratch_dir;

// Runs call in a child process whose files may not grow past limit bytes.
// Returns the child's wait status.
int run_with_file_limit(rlim_t limit, bool kill_on_limit, const std::function<int()> &call) {
    pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, kill_on_limit ? SIG_DFL : SIG_IGN);
        rlimit rl = {limit, limit};
        setrlimit(RLIMIT_FSIZE, &rl);
        _exit(call() == 1 ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    return status;
}

// Noise compresses badly, so every output is several kilobytes.
test_support::picture noisy(int width, int height) {
    return test_support::make_picture(width, height, [](int x, int y) {
        uint32_t h = uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u;
        h = (h ^ (h >> 13)) * 0x5bd1e995u;
        return std::vector<uint8_t>{uint8_t(h), uint8_t(h >> 8), uint8_t(h >> 16), 255};
    });
}

std::vector<std::string> names_in(const fs::path &dir) {
    std::vector<std::string> names;
    for (const fs::directory_entry &entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct in_place_fixture : ::testing::Test {
    scratch_dir dir;
    std::string photo = dir / "photo.png";
    std::vector<uint8_t> original;

    void SetUp() override {
        save_png(photo, noisy(64, 48));
        original = read_bytes(photo);
        ASSERT_GT(original.size(), 1000u);
    }
};

}  // namespace

TEST_F(in_place_fixture, AWriteKilledByTheFileSizeLimitLeavesTheOriginal) {
    int status = run_with_file_limit(
        512, true, [&] { return pixtrim_lossless(photo.c_str(), photo.c_str()); });
    ASSERT_TRUE(WIFSIGNALED(status)) << "the limit was meant to stop the write";
    EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
    EXPECT_EQ(read_bytes(photo), original);
}

TEST_F(in_place_fixture, AFailedWriteLeavesTheOriginalAndNoTemporaryFile) {
    for (const char *output : {"photo.png", "photo.bmp"}) {
        // photo.bmp is a second name (hard link) of the same file.
        std::string target = dir / output;
        if (target != photo) fs::create_hard_link(photo, target);
        int status = run_with_file_limit(512, false, [&] {
            return pixtrim_quality(photo.c_str(), target.c_str(), 100);
        });
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1) << output << ": the write cannot have succeeded";
        EXPECT_EQ(read_bytes(photo), original) << output;
        EXPECT_EQ(read_bytes(target), original) << output;
    }
    EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"photo.bmp", "photo.png"}));
}

TEST_F(in_place_fixture, AResultThatCannotBeFlushedOrPutInPlaceLeavesTheOriginalAlone) {
    // Without the flush a crash could publish a file whose bytes never
    // reached the disk, so a failed flush fails the call like the others.
    for (const char *call : {"fsync", "chmod", "rename"}) {
        s_failing_call = call;
        EXPECT_EQ(pixtrim_quality(photo.c_str(), photo.c_str(), 25), 0) << call;
        EXPECT_EQ(pixtrim_target_size(photo.c_str(), photo.c_str(), 1 << 30), 0) << call;
        s_failing_call = nullptr;
        EXPECT_EQ(read_bytes(photo), original) << call;
        EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"photo.png"})) << call;
    }
}

TEST_F(in_place_fixture, ASuccessfulWriteReplacesTheFileAndKeepsItsPermissions) {
    fs::permissions(photo, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_EQ(pixtrim_quality(photo.c_str(), photo.c_str(), 25), 1) << pixtrim_last_error();
    test_support::decoded result = decode_file(photo);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.image.width, 32);
    EXPECT_EQ(result.image.height, 24);
    EXPECT_EQ(fs::status(photo).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"photo.png"}));
}

TEST_F(in_place_fixture, ASymbolicLinkToTheInputStaysALink) {
    std::string link = dir / "link.png";
    fs::create_symlink(photo, link);
    ASSERT_EQ(pixtrim_quality(photo.c_str(), link.c_str(), 25), 1) << pixtrim_last_error();
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(decode_file(photo).image.width, 32);
}

TEST_F(in_place_fixture, TargetSizeReplacesTheOriginalOnlyWithAFileThatFits) {
    // Nothing fits one byte: every step fails the budget, the original stays.
    EXPECT_EQ(pixtrim_target_size(photo.c_str(), photo.c_str(), 1), 0);
    EXPECT_EQ(read_bytes(photo), original);
    EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"photo.png"}));
    int32_t budget = static_cast<int32_t>(original.size() / 2);
    ASSERT_EQ(pixtrim_target_size(photo.c_str(), photo.c_str(), budget), 1) << pixtrim_last_error();
    EXPECT_LE(fs::file_size(photo), static_cast<uintmax_t>(budget));
    EXPECT_TRUE(decode_file(photo).ok);
    EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"photo.png"}));
}

TEST(BatchInPlace, EachFileOfItsOwnDirectoryIsCompressedExactlyOnce) {
    scratch_dir dir;
    std::vector<std::string> names;
    for (int i = 0; i < 12; ++i) {
        names.push_back("p" + std::to_string(i) + ".png");
        save_png(dir / names.back(), noisy(40, 40));
    }
    std::sort(names.begin(), names.end());
    ASSERT_EQ(pixtrim_batch(dir.path.c_str(), dir.path.c_str(), 25), 12) << pixtrim_last_error();
    for (const std::string &name : names) {
        test_support::decoded result = decode_file(dir / name);
        EXPECT_EQ(result.image.width, 20) << name << " was shrunk more than once";
    }
    EXPECT_EQ(names_in(dir.path), names);
}
