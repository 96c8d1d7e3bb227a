#include "support/file.h"

#include <cerrno>

#include "test_env.h"

namespace {

int entries(const std::string& dir) {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}

}  // namespace

// A replacement leaves the new text, private to the owner, and no temporary.
TEST(FileReplace, WritesWholeTextAndLeavesNothingBeside) {
    lk_test::TempDir dir;
    const std::string path = dir.path + "/ring.txt";
    for (const std::string& text : {std::string("first\n"), std::string(), std::string("a\0b\n", 4), std::string(70000, 'x')}) {
        ASSERT_TRUE(file_replace(path, text));
        EXPECT_EQ(lk_test::slurp(path), text);
        EXPECT_EQ(entries(dir.path), 1);
    }
    struct stat sb;
    ASSERT_EQ(stat(path.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0600u);
}

// A failure keeps the old file as it was, says why and leaves no temporary.
TEST(FileReplace, FailureKeepsTheOldFile) {
    lk_test::TempDir dir;
    errno = 0;
    EXPECT_FALSE(file_replace(dir.path + "/missing/book.abk", "x"));
    EXPECT_EQ(errno, ENOENT);

    // The target is a non-empty folder: the rename fails after the write.
    const std::string busy = dir.path + "/busy";
    std::filesystem::create_directories(busy + "/inside");
    errno = 0;
    EXPECT_FALSE(file_replace(busy, "new"));
    EXPECT_NE(errno, 0);
    EXPECT_TRUE(std::filesystem::is_directory(busy + "/inside"));
    EXPECT_EQ(entries(dir.path), 1);
}
