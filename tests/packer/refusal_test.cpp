// Bad input is refused with a message that names the culprits, and nothing is written.
#include <unistd.h>

#include <filesystem>

#include "pack_fixture.h"

namespace fs = std::filesystem;

namespace {

std::string MessageOf(const PackOptions& options) {
    try {
        Pack(options);
    } catch (const PackError& e) {
        return e.what();
    }
    return "(no error)";
}

// Nothing but the sources may be left in the temporary folder.
void ExpectNothingWritten(const TempFolder& temp) {
    for (const auto& entry : fs::directory_iterator(temp.path))
        EXPECT_EQ(entry.path().filename(), "src") << entry.path() << " was left behind";
}

}  // namespace

TEST_F(PackTest, NamesWindowsCannotHoldAreAllNamedInOneMessage) {
    const std::vector<std::string> bad = {
        "colon:name.txt", "CON",     "nul.txt", "Com3.log",   "dot.",  "space ",
        "what?.txt",      "pipe|x",  "ctl\x01", "lt<gt>",     "quote\"",
        "emoji\xF0\x9F\x98\x80.txt",  // not in code page 932
        "yen\xC2\xA5.txt",            // code page 932 writes it as the backslash
        "back\\slash",
    };
    MakeFile("good/ok.txt", TextBytes(10, 1));
    for (const std::string& name : bad) MakeFile("good/" + name, TextBytes(10, 2));
    MakeFolder("bad:folder");
    std::string message = MessageOf(Options());
    for (const std::string& name : bad) EXPECT_NE(message.find(name), std::string::npos) << name << "\n" << message;
    EXPECT_NE(message.find("bad:folder"), std::string::npos) << message;
    EXPECT_EQ(message.find("ok.txt"), std::string::npos) << message;
    ExpectNothingWritten(temp);
}

TEST_F(PackTest, NamesThatDifferOnlyInCaseCollide) {
    MakeFile("docs/Readme.txt", TextBytes(10, 1));
    MakeFile("docs/README.TXT", TextBytes(10, 2));
    std::string message = MessageOf(Options());
    EXPECT_NE(message.find("README.TXT"), std::string::npos) << message;
    ExpectNothingWritten(temp);
}

TEST_F(PackTest, MissingSourceAndUnwritableOutputAreRefused) {
    PackOptions options = Options();
    options.sources = {source, temp / "no-such-file"};
    EXPECT_NE(MessageOf(options).find("no-such-file"), std::string::npos);
    options.sources = {};
    EXPECT_NE(MessageOf(options).find("no source"), std::string::npos);
    options = Options();
    options.output = temp / "missing-folder/setup.exe";
    MakeFile("a.txt", TextBytes(10, 1));
    EXPECT_NE(MessageOf(options).find("missing-folder"), std::string::npos);
    ExpectNothingWritten(temp);
}

TEST_F(PackTest, FilesOf2GiBAreRefusedBeforeAnythingIsRead) {
    MakeFile("small.txt", TextBytes(10, 1));
    MakeFile("huge.bin", {});
    ASSERT_EQ(truncate((source + "/huge.bin").c_str(), 0x80000000LL), 0);  // sparse: no disk used
    std::string message = MessageOf(Options());
    EXPECT_NE(message.find("huge.bin"), std::string::npos) << message;
    EXPECT_NE(message.find("too large"), std::string::npos) << message;
    ExpectNothingWritten(temp);
}

TEST_F(PackTest, AFileThatChangesSizeWhileReadIsReported) {
    // The kernel reports size 0 for this file and then delivers text.
    PackOptions options = Options();
    options.sources = {"/proc/self/status"};
    EXPECT_NE(MessageOf(options).find("changed size"), std::string::npos);
    ExpectNothingWritten(temp);
}

TEST_F(PackTest, BadOptionsAreRefusedAndAnOldArchiveSurvives) {
    MakeFile("a.txt", TextBytes(10, 1));
    WriteWholeFile(program, {'o', 'l', 'd'});
    PackOptions options = Options();
    options.level = 10;
    EXPECT_NE(MessageOf(options).find("level"), std::string::npos);
    options = Options();
    options.stub = std::vector<uint8_t>(1000, 0);
    EXPECT_NE(MessageOf(options).find("28,672"), std::string::npos);
    options = Options();
    options.messageUtf8 = "smile \xF0\x9F\x98\x80";
    EXPECT_NE(MessageOf(options).find("message"), std::string::npos);
    options = Options();
    options.volumeBase = "a/b";
    EXPECT_NE(MessageOf(options).find("a/b"), std::string::npos);
    options = Options();
    options.identityStamp.reset();
    setenv("SOURCE_DATE_EPOCH", "yesterday", 1);
    std::string epochMessage = MessageOf(options);
    unsetenv("SOURCE_DATE_EPOCH");
    EXPECT_NE(epochMessage.find("SOURCE_DATE_EPOCH"), std::string::npos);
    options = Options();
    options.volumeSize = 28000;
    EXPECT_NE(MessageOf(options).find("too small"), std::string::npos);
    EXPECT_TRUE(ReadWholeFile(program) == (std::vector<uint8_t>{'o', 'l', 'd'}));
}

TEST_F(PackTest, AFailureWhileWritingRemovesEverythingWritten) {
    MakeFile("big.bin", RandomBytes(100000, 1));
    PackOptions options = Options(1);
    options.volumeSize = 40000;
    // A folder where the third volume's temporary file should go makes its creation fail
    // after the program file and the second volume have been written.
    std::string blocker = temp / ("setup_3.DAT.partial-" + std::to_string(getpid()));
    fs::create_directory(blocker);
    EXPECT_NE(MessageOf(options).find("setup_3.DAT"), std::string::npos);
    fs::remove(blocker);
    ExpectNothingWritten(temp);
}

TEST(VolumeSize, SuffixesFractionsAndTheFloppy) {
    EXPECT_EQ(ParseVolumeSize("123456"), 123456u);
    EXPECT_EQ(ParseVolumeSize("1440k"), 1474560u);
    EXPECT_EQ(ParseVolumeSize("1440KB"), 1474560u);
    EXPECT_EQ(ParseVolumeSize("1.44M"), FloppyVolumeSize);
    EXPECT_EQ(ParseVolumeSize("floppy"), FloppyVolumeSize);
    EXPECT_EQ(ParseVolumeSize("2.5M"), 2621440u);
    EXPECT_EQ(ParseVolumeSize("1g"), 1073741824u);
    for (const char* bad : {"", "k", "-5", "1.2.3", "12x", "0", "0.4", "1e9", "M1", "99999999999999999999"})
        EXPECT_THROW(ParseVolumeSize(bad), PackError) << bad;
}
