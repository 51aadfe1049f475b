// Destination paths: the trailing backslash, the destination test and folder making,
// all scanned a character at a time in code page 932.
#include <gtest/gtest.h>

#include <filesystem>

#include "archive_builder.h"
#include "container/texts.h"
#include "fsutil/folders.h"
#include "harness.h"
#include "platform/posix/posix_platform.h"

namespace fs = std::filesystem;

namespace {

const std::string Hyo = "\x95\x5C";  // a character whose trail byte is a backslash

std::string Trailing(const std::string& path) {
    char out[256];
    EXPECT_TRUE(AddTrailingBackslash(path.c_str(), out, sizeof out));
    return out;
}

// The folder utilities see T:\ as the test's own folder.
struct MappedFolder {
    TempFolder dir;
    MappedFolder() {
        PosixResetPlatform();
        PosixMapDrive('T', dir.path);
    }
    ~MappedFolder() { PosixResetPlatform(); }
};

}  // namespace

TEST(DirectoryPart, StopsOnlyAtRealBackslashes) {
    EXPECT_EQ(DirectoryPart("C:\\Tools\\setup.exe"), 9u);
    EXPECT_EQ(DirectoryPart("setup.exe"), 0u);
    EXPECT_EQ(DirectoryPart(""), 0u);
    EXPECT_EQ(DirectoryPart(("C:\\" + Hyo + "x").c_str()), 3u);
    EXPECT_EQ(DirectoryPart(("C:\\" + Hyo + "\\y").c_str()), 6u);
}

TEST(AddTrailingBackslash, AddsExactlyOneWhereNeeded) {
    EXPECT_EQ(Trailing(""), ".\\");
    EXPECT_EQ(Trailing("C:"), "C:\\");
    EXPECT_EQ(Trailing("C:\\"), "C:\\");
    EXPECT_EQ(Trailing("D:\\Data"), "D:\\Data\\");
    EXPECT_EQ(Trailing("a\\\\"), "a\\\\");
    EXPECT_EQ(Trailing("C:\\" + Hyo), "C:\\" + Hyo + "\\");
    char tiny[4];
    EXPECT_FALSE(AddTrailingBackslash("abcd", tiny, sizeof tiny));
}

TEST(CheckDestination, DriveRootsExistWithoutLookingOthersAreSearched) {
    MappedFolder m;
    fs::create_directories(m.dir / "folder");
    WriteWholeFile(m.dir / "file", {1});
    EXPECT_EQ(CheckDestination("C:\\"), FolderExists);
    EXPECT_EQ(CheckDestination("z:\\"), FolderExists);
    EXPECT_EQ(CheckDestination("1:\\"), FolderMissing);  // not a drive: "1:" is searched
    EXPECT_EQ(CheckDestination("T:\\folder\\"), FolderExists);
    EXPECT_EQ(CheckDestination("T:\\file\\"), NotAFolder);
    EXPECT_EQ(CheckDestination("T:\\missing\\"), FolderMissing);
}

TEST(CreateFolderPath, MakesEachMissingLevelOutermostFirst) {
    MappedFolder m;
    EXPECT_EQ(CreateFolderPath(""), 0u);
    EXPECT_EQ(CreateFolderPath("T:\\a\\b\\c\\"), 0u);
    EXPECT_TRUE(fs::is_directory(m.dir / "a/b/c"));
    EXPECT_EQ(CreateFolderPath("T:\\a\\b\\c\\"), 0u);  // all there: nothing to do
    EXPECT_EQ(CreateFolderPath("T:\\a\\tail"), 0u);    // text after the last backslash is not made
    EXPECT_FALSE(fs::exists(m.dir / "a/tail"));
}

TEST(CreateFolderPath, ReturnsTheFirstPrefixThatIsNotAFolder) {
    MappedFolder m;
    WriteWholeFile(m.dir / "a.txt", {1});
    std::string path = "T:\\a.txt\\b\\";
    EXPECT_EQ(CreateFolderPath(path.c_str()), std::string("T:\\a.txt").size());
    EXPECT_FALSE(fs::exists(m.dir / "a.txt/b"));
}

TEST(CreateFolderPath, DoubledBackslashesAndDoubleByteNamesSplitOnlyAtRealBackslashes) {
    MappedFolder m;
    EXPECT_EQ(CreateFolderPath(("T:\\x\\\\" + Hyo + "\\" + Hyo + "y\\").c_str()), 0u);
    EXPECT_TRUE(fs::is_directory(m.dir / "x/表/表y"));
    EXPECT_EQ(fs::directory_iterator(m.dir / "x").operator*().path().filename(), "表");
}

TEST(FatalFolderFailure, ReportsTheFolderAndEndsWithCodeOne) {
    // An archive whose folder collides with a file in the destination.
    TempFolder dir, out;
    WriteWholeFile(out / "data", {1});
    EntryStream s;
    s.Folder("data\\inner");
    s.End();
    ArchiveLayout layout;
    layout.payload = s.bytes;
    WriteArchive(dir / "setup.exe", layout);
    CoreHarness h;
    EXPECT_EQ(h.Extract(dir / "setup.exe", out.path), 1);
    ASSERT_EQ(h.BoxIds(), std::vector<MessageId>{MsgFolderFailed});
    EXPECT_EQ(h.boxes[0].text, std::string(TextFolderFailed) + "T:\\data");
    EXPECT_EQ(h.boxes[0].flags, 0x10u);
    EXPECT_EQ(h.boxes[0].owner, OwnerMain);
    EXPECT_EQ(ReadWholeFile(out / "data"), std::vector<uint8_t>{1});
}

TEST(PosixPaths, NamesBecomeUtf8AndTrailBytesStayInTheirCharacters) {
    MappedFolder m;
    EXPECT_EQ(PosixNativePath(("T:\\" + Hyo + "\\f").c_str()), m.dir.path + "/表/f");
    // Bytes that are no character at all are kept as %HH, and a '%' of such a name too.
    EXPECT_EQ(PosixNativePath("T:\\a\xFF%b"), m.dir.path + "/a%FF%25b");
    EXPECT_EQ(PosixNativePath("T:\\100%"), m.dir.path + "/100%");
}
