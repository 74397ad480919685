// The whole-file replacement the library and the programs share: what it
// replaces, what it refuses, and that a refusal or a dropped file leaves the
// target as it was and no temporary file behind.
#include "base/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/test_support.h"

namespace fs = std::filesystem;
using quorvel::common::AtomicFile;
using quorvel::common::replace_file;

namespace {

std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(AtomicFile, FollowsLinksAndKeepsPermissions) {
    qvtest::TempDir dir;
    const std::string target = dir / "target", link = dir / "link";
    dir.write("target", "old");
    fs::permissions(target, fs::perms(0640));
    fs::create_symlink(target, link);
    std::string error;
    ASSERT_TRUE(replace_file(link, "new", 3, error)) << error;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read(target), "new");
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));
    EXPECT_EQ(dir.files(), 2);
}

TEST(AtomicFile, RefusesWhatIsNoRegularFile) {
    qvtest::TempDir dir;
    fs::create_directory(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    const struct {
        std::string name, reason;
    } cases[] = {{"folder", "is a folder"},
                 {"fifo", "is not a regular file"},
                 {"dangling", "is a link to nowhere"},
                 {"missing/file", "cannot write into folder"}};
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(replace_file(dir / c.name, "x", 1, error)) << c.name;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
    }
    EXPECT_EQ(dir.files(), 3);
}

TEST(AtomicFile, UncommittedFileLeavesTheTargetAlone) {
    qvtest::TempDir dir;
    const std::string target = dir / "target";
    dir.write("target", "old");
    std::string error;
    {
        AtomicFile file;
        ASSERT_TRUE(file.open(target, error)) << error;
        ASSERT_TRUE(file.write("new", 3, error)) << error;
        EXPECT_EQ(dir.files(), 2);  // the temporary file beside the target
    }
    EXPECT_EQ(read(target), "old");
    EXPECT_EQ(dir.files(), 1);
}

}  // namespace
