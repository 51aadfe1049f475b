// The order of files in the archive: alike files of a folder next to each other.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pack_fixture.h"
#include "packer/planning.h"

TEST_F(PackTest, FilesOfAFolderFollowTheFileTheyResembleMost) {
    const std::vector<uint8_t> one = TextBytes(6000, 1), two = TextBytes(6000, 2);
    std::vector<uint8_t> oneAgain = one, twoAgain = two;
    oneAgain[100] ^= 1;
    twoAgain[200] ^= 1;
    MakeFile("docs/a.txt", one);
    MakeFile("docs/b.txt", two);
    MakeFile("docs/c.txt", oneAgain);
    MakeFile("docs/d.txt", twoAgain);
    MakeFile("docs/e.txt", {});
    MakeFile("other/a.txt", two);  // another folder keeps its place after docs
    PackSource(Options());
    ExpectRestored();
    std::vector<std::string> names;
    for (const DecodedFile& f : DecodedFiles(program)) names.push_back(f.name);
    EXPECT_EQ(names, (std::vector<std::string>{"docs\\a.txt", "docs\\c.txt", "docs\\b.txt", "docs\\d.txt",
                                               "other\\a.txt", "docs\\e.txt"}));
}

TEST(OrderBySimilarity, StrangersKeepTheirOrderByName) {
    // Files that cannot be read are never opened when nothing is to be ordered.
    std::vector<SourceEntry> entries(5);
    for (size_t i = 0; i < entries.size(); ++i) {
        entries[i].name = "f\\" + std::string(1, static_cast<char>('a' + i));
        entries[i].nativePath = "/nonexistent/" + entries[i].name;
        entries[i].folder = i == 0;
        entries[i].size = i < 3 ? 0 : 10;  // two files of one folder: nothing to choose
    }
    std::vector<SourceEntry> before = entries;
    OrderBySimilarity(entries);
    for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(entries[i].name, before[i].name);
}

TEST_F(PackTest, FoldersOrderedWhileEarlierFilesAreEncodedKeepTheSameOrder) {
    // The files of later folders are ordered while the workers encode a large file of
    // the first: on any number of threads each folder's alike files follow each other.
    MakeFile("a/large.bin", TextBytes(600000, 9));
    std::vector<std::string> expected = {"a\\large.bin"};
    for (const char* folder : {"m", "n"}) {
        const std::vector<uint8_t> one = TextBytes(5000, 3), two = TextBytes(5000, 4);
        std::vector<uint8_t> oneAgain = one, twoAgain = two;
        oneAgain[300] ^= 1;
        twoAgain[400] ^= 1;
        const std::string f(folder);
        MakeFile(f + "/a.txt", one);
        MakeFile(f + "/b.txt", two);
        MakeFile(f + "/c.txt", twoAgain);
        MakeFile(f + "/d.txt", oneAgain);
        for (const char* name : {"a", "d", "b", "c"}) expected.push_back(f + "\\" + name + ".txt");
    }
    for (int threads : {1, 2}) {
        PackOptions options = Options();
        options.threads = threads;
        PackSource(options);
        std::vector<std::string> names;
        for (const DecodedFile& f : DecodedFiles(program)) names.push_back(f.name);
        EXPECT_EQ(names, expected) << threads << " threads";
    }
    ExpectRestored();
}
