// The built shared library as a host sees it: loaded with dlopen, the eight
// functions looked up by name.
#include <dlfcn.h>
#include <elf.h>

#include <set>

#include <gtest/gtest.h>

#include "support.h"

using namespace test_support;

namespace {

const char *const kExports[] = {"pixtrim_init",        "pixtrim_cleanup",  "pixtrim_stats",
                                "pixtrim_last_error",  "pixtrim_lossless", "pixtrim_quality",
                                "pixtrim_target_size", "pixtrim_batch"};

struct library {
    void *handle = nullptr;
    int (*init)();
    void (*cleanup)();
    const char *(*stats)();
    const char *(*last_error)();
    int (*lossless)(const char *, const char *);
    int (*quality)(const char *, const char *, int);
    int (*target_size)(const char *, const char *, int);
    int (*batch)(const char *, const char *, int);
    std::string fresh_stats, fresh_error;  // read before any other call
};

template <typename Function>
void resolve(void *handle, const char *name, Function *&function) {
    function = reinterpret_cast<Function *>(dlsym(handle, name));
    EXPECT_NE(function, nullptr) << name;
}

const library &loaded() {
    static const library lib = [] {
        library l;
        l.handle = dlopen(PIXTRIM_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!l.handle) {
            ADD_FAILURE() << dlerror();
            return l;
        }
        resolve(l.handle, "pixtrim_init", l.init);
        resolve(l.handle, "pixtrim_cleanup", l.cleanup);
        resolve(l.handle, "pixtrim_stats", l.stats);
        resolve(l.handle, "pixtrim_last_error", l.last_error);
        resolve(l.handle, "pixtrim_lossless", l.lossless);
        resolve(l.handle, "pixtrim_quality", l.quality);
        resolve(l.handle, "pixtrim_target_size", l.target_size);
        resolve(l.handle, "pixtrim_batch", l.batch);
        if (l.stats && l.last_error) l.fresh_stats = l.stats(), l.fresh_error = l.last_error();
        return l;
    }();
    return lib;
}

// Names of the defined global symbols in a shared object's dynamic table.
std::set<std::string> exported_names(const char *path) {
    std::vector<uint8_t> file = read_bytes(path);
    std::set<std::string> names;
    const auto *header = reinterpret_cast<const Elf64_Ehdr *>(file.data());
    if (file.size() < sizeof *header || header->e_ident[EI_CLASS] != ELFCLASS64) return names;
    const auto *sections = reinterpret_cast<const Elf64_Shdr *>(file.data() + header->e_shoff);
    for (int i = 0; i < header->e_shnum; ++i) {
        if (sections[i].sh_type != SHT_DYNSYM) continue;
        const char *strings =
            reinterpret_cast<const char *>(file.data() + sections[sections[i].sh_link].sh_offset);
        const auto *symbols =
            reinterpret_cast<const Elf64_Sym *>(file.data() + sections[i].sh_offset);
        for (size_t s = 0; s < sections[i].sh_size / sizeof(Elf64_Sym); ++s)
            if (symbols[s].st_shndx != SHN_UNDEF && ELF64_ST_BIND(symbols[s].st_info) != STB_LOCAL)
                names.insert(strings + symbols[s].st_name);
    }
    return names;
}

}  // namespace

TEST(Host, ExportsExactlyTheEightFunctionsAndNoStbSymbol) {
    ASSERT_NE(loaded().handle, nullptr);
    EXPECT_EQ(exported_names(PIXTRIM_LIBRARY_PATH),
              std::set<std::string>(std::begin(kExports), std::end(kExports)));
    for (const char *stb :
         {"stbi_load_from_memory", "stbi_failure_reason", "stbi_write_png_to_func",
          "stbi_write_png_compression_level", "stbi_write_force_png_filter"})
        EXPECT_EQ(dlsym(loaded().handle, stb), nullptr) << stb;
}

TEST(Host, FreshLibraryHoldsTheInitialTexts) {
    const library &lib = loaded();
    ASSERT_NE(lib.handle, nullptr);
    EXPECT_EQ(lib.fresh_stats, "{}");
    EXPECT_EQ(lib.fresh_error, "");
}

TEST(Host, EachOperationWorksThroughTheLoadedLibrary) {
    const library &lib = loaded();
    ASSERT_NE(lib.handle, nullptr);
    scratch_dir dir;
    fs::create_directory(dir / "in");
    picture photo = photo_like(40, 30);
    const std::string input = dir / "in/photo.png";
    save_png(input, photo);
    EXPECT_EQ(lib.init(), 1);

    ASSERT_EQ(lib.lossless(input.c_str(), (dir / "same.png").c_str()), 1);
    EXPECT_EQ(decode_file(dir / "same.png").image.rgba, photo.rgba);
    EXPECT_EQ(lib.stats(), stats_record(file_length(input), file_length(dir / "same.png")));

    ASSERT_EQ(lib.quality(input.c_str(), (dir / "quarter.png").c_str(), 25), 1);
    decoded quarter = decode_file(dir / "quarter.png");
    EXPECT_TRUE(quarter.image.width == 20 && quarter.image.height == 15);

    ASSERT_EQ(lib.target_size(input.c_str(), (dir / "small.jpg").c_str(), 2000), 1);
    EXPECT_LE(file_length(dir / "small.jpg"), 2000);
    EXPECT_TRUE(decode_file(dir / "small.jpg").ok);

    EXPECT_EQ(lib.batch((dir / "in").c_str(), (dir / "out").c_str(), 50), 1);
    EXPECT_TRUE(decode_file(dir / "out/photo.png").ok);
    EXPECT_STREQ(lib.last_error(), "");

    EXPECT_EQ(lib.lossless(nullptr, "x.png"), 0);
    EXPECT_STREQ(lib.last_error(), "lossless: NULL input/output");
    lib.cleanup();
    EXPECT_STREQ(lib.stats(), "{}");
    EXPECT_STREQ(lib.last_error(), "");
}
