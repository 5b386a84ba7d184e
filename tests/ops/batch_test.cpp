// Batch compression of one directory into another.
#include <sys/stat.h>

#include <set>

#include <gtest/gtest.h>

#include "pixtrim.h"
#include "support.h"

using namespace test_support;

namespace {

const std::vector<uint8_t> kDamagedPng = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13};

struct Batch : ::testing::Test {
    scratch_dir dir;
    std::string in = dir / "in", out = dir / "out";
    picture photo = photo_like(12, 10);
    void SetUp() override { fs::create_directory(in); }
    int run(const std::string &output_dir, int quality = 60) {
        return pixtrim_batch(in.c_str(), output_dir.c_str(), quality);
    }
    static std::set<std::string> names_in(const std::string &directory) {
        std::set<std::string> names;
        for (const auto &entry : fs::directory_iterator(directory))
            names.insert(entry.path().filename());
        return names;
    }
};

}  // namespace

TEST_F(Batch, DirectoryWithoutImageNamesFindsNothing) {
    for (const char *text_file : {"notes.txt", "README"}) {
        EXPECT_EQ(run(out), 0);
        EXPECT_EQ(pixtrim_last_error(), "batch: no images found in " + in);
        write_bytes(in + "/" + text_file, {'h', 'i'});
    }
    EXPECT_EQ(run(out), 0);
}

TEST_F(Batch, CountsCompressedFilesAndSkipsOutputForDamagedOnes) {
    save_png(in + "/a.png", photo);
    save_jpg(in + "/b.jpg", photo);
    write_bytes(in + "/bad.png", kDamagedPng);
    EXPECT_EQ(run(out), 2);
    EXPECT_EQ(names_in(out), (std::set<std::string>{"a.png", "b.jpg"}));
    EXPECT_TRUE(decode_file(out + "/a.png").ok && decode_file(out + "/b.jpg").ok);

    fs::remove(in + "/a.png"), fs::remove(in + "/b.jpg");
    write_bytes(in + "/worse.bmp", {'B', 'M', 1, 2, 3});
    EXPECT_EQ(run(out), -1);
    EXPECT_EQ(std::string(pixtrim_last_error()).rfind("cannot decode " + in + "/", 0), 0u)
        << pixtrim_last_error();
}

TEST_F(Batch, MissingInputDirectoryFailsWithoutCreatingTheOutput) {
    std::string missing = dir / "nowhere";
    EXPECT_EQ(pixtrim_batch(missing.c_str(), out.c_str(), 50), -1);
    EXPECT_EQ(pixtrim_last_error(), "batch: cannot open input dir " + missing);
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(Batch, CreatesAMissingOutputDirectoryOneLevelDeep) {
    save_png(in + "/a.png", photo);
    mode_t saved = umask(022);
    EXPECT_EQ(run(out), 1);
    umask(saved);
    struct stat info;
    ASSERT_EQ(stat(out.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0755u);

    std::string orphan = dir / "no/parent";
    EXPECT_EQ(run(orphan), -1);
    EXPECT_EQ(pixtrim_last_error(), "quality: encode failed for " + orphan + "/a.png");
    EXPECT_FALSE(fs::exists(dir / "no"));
}

TEST_F(Batch, ClampsTheQualityLikeASingleFile) {
    save_png(in + "/a.png", photo);
    save_jpg(in + "/b.jpg", photo);
    fs::create_directory(dir / "direct");
    for (auto [quality, clamped] : {std::pair{250, 100}, std::pair{0, 1}}) {
        ASSERT_EQ(run(out, quality), 2);
        for (const char *name : {"a.png", "b.jpg"}) {
            std::string direct = dir / ("direct/" + std::string(name));
            ASSERT_EQ(pixtrim_quality((in + "/" + name).c_str(), direct.c_str(), clamped), 1);
            EXPECT_EQ(read_bytes(out + "/" + name), read_bytes(direct))
                << name << " at " << quality;
        }
    }
}

TEST_F(Batch, SelectsEntriesByNameAlone) {
    for (const char *name : {".png", "PHOTO.JPG", "photo.gif", "photo.jpg.txt"})
        save_png(in + "/" + name, photo);
    fs::create_directory(in + "/old.png");
    EXPECT_EQ(run(out), 2);
    EXPECT_EQ(names_in(out), (std::set<std::string>{".png", "PHOTO.JPG"}));
    EXPECT_EQ(read_bytes(out + "/PHOTO.JPG")[0],
              0xFF);  // the name, not the PNG content, sets the format

    // The directory named like an image is selected and counts as a failure.
    for (const char *name : {".png", "PHOTO.JPG", "photo.gif", "photo.jpg.txt"})
        fs::remove(in + "/" + name);
    EXPECT_EQ(run(out), -1);
    EXPECT_EQ(pixtrim_last_error(), "cannot read " + in + "/old.png");
}

TEST_F(Batch, JoinsLongPathsWholeInsteadOfCuttingThem) {
    // Directory paths of exactly 1000 characters; joined with the name they
    // pass 1023, where a cut path would reach the decoy instead.
    auto long_dir = [](std::string path) {
        while (path.size() < 1000)
            path += "/" + std::string(std::min<size_t>(200, 999 - path.size()), 'd');
        fs::create_directories(path);
        return path;
    };
    std::string long_in = long_dir(in), long_out = long_dir(dir / "ou");
    ASSERT_EQ(long_in.size(), 1000u);
    ASSERT_EQ(long_out.size(), 1000u);
    const std::string cut_name(1023 - 1000 - 1, 'p');
    const std::vector<uint8_t> unrelated = {'k', 'e', 'e', 'p'};
    save_png(long_in + "/" + cut_name + ".png", photo);
    save_png(long_in + "/" + cut_name, photo_like(3, 3));
    write_bytes(long_out + "/" + cut_name, unrelated);

    EXPECT_EQ(pixtrim_batch(long_in.c_str(), long_out.c_str(), 100), 1);
    EXPECT_EQ(decode_file(long_out + "/" + cut_name + ".png").image.rgba, photo.rgba);
    EXPECT_EQ(read_bytes(long_out + "/" + cut_name), unrelated);
}
