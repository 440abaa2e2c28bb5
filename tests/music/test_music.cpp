// kavophoto_music on real MP3 files made here: usage, status, titles and the log.
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>

#include "harness.h"

using namespace lumora::test;

namespace {

const char kUsage[] =
    "\nUsage: kavophoto_music [-t] mp3path\n"
    "           -t Get music id3 title.\n"
    "           -h Help.\n\n";

// A short MPEG-1 Layer III stream (128 kbit/s, 44.1 kHz frames of silence).
std::string mpegFrames() {
    std::string frame(417, '\0');
    frame[0] = '\xFF';
    frame[1] = '\xFB';
    frame[2] = '\x90';
    frame[3] = '\x64';
    std::string out;
    for (int i = 0; i < 20; ++i) {
        out += frame;
    }
    return out;
}

// Writes an MP3 with an ID3v2 title (none when title is null).
void writeMp3(ApplianceRoot &root, const std::string &path, const char *title) {
    root.writeFile(path, mpegFrames());
    if (!title) {
        return;
    }
    TagLib::MPEG::File f(path.c_str());
    ASSERT_TRUE(f.isValid());
    f.ID3v2Tag(true)->setTitle(TagLib::String(title, TagLib::String::UTF8));
    ASSERT_TRUE(f.save(TagLib::MPEG::File::ID3v2));
}

}  // namespace

TEST(Music, UsageAndOptionOrder) {
    ApplianceRoot root;
    writeMp3(root, "/volume1/music/a.mp3", "Title");
    const std::string prog = program("kavophoto_music");

    auto bare = root.run({prog});
    EXPECT_EQ(bare.status, 255);
    EXPECT_EQ(bare.err, kUsage);
    EXPECT_EQ(bare.out, "");

    // -h wins over whatever follows it, and is reported as success.
    auto help = root.run({prog, "-h", "-t", "/volume1/music/a.mp3"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, kUsage);
    EXPECT_EQ(help.out, "");

    // An unknown option before -h decides first.
    auto unknown = root.run({prog, "-x", "-h"});
    EXPECT_EQ(unknown.status, 255);
    EXPECT_NE(unknown.err.find(kUsage), std::string::npos);

    auto noPath = root.run({prog, "-t"});
    EXPECT_EQ(noPath.status, 255);
    EXPECT_EQ(noPath.err, kUsage);

    auto missing = root.run({prog, "-t", "/volume1/music/none.mp3"});
    EXPECT_EQ(missing.status, 255);
    EXPECT_EQ(missing.err, kUsage);
    EXPECT_TRUE(root.logLines().empty());
}

TEST(Music, ReadsTitles) {
    ApplianceRoot root;
    writeMp3(root, "/volume1/music/a.mp3", "Morning Song");
    writeMp3(root, "/volume1/music/b.mp3", "Sm\xC3\xA5 f\xC3\xB8ter \xE6\x97\xA5");
    writeMp3(root, "/volume1/music/untagged.mp3", nullptr);
    const std::string prog = program("kavophoto_music");

    auto plain = root.run({prog, "/volume1/music/a.mp3"});
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.out, "");

    // The path may come before the option.
    auto title = root.run({prog, "/volume1/music/a.mp3", "-t"});
    EXPECT_EQ(title.status, 0);
    EXPECT_EQ(title.out, "Morning Song\n");

    auto utf8 = root.run({prog, "-t", "/volume1/music/b.mp3"});
    EXPECT_EQ(utf8.status, 0);
    EXPECT_EQ(utf8.out, "Sm\xC3\xA5 f\xC3\xB8ter \xE6\x97\xA5\n");

    auto untagged = root.run({prog, "-t", "/volume1/music/untagged.mp3"});
    EXPECT_EQ(untagged.status, 0);
    EXPECT_EQ(untagged.out, "\n");
}

TEST(Music, UnreadableFilesAreLogged) {
    ApplianceRoot root;
    root.writeFile("/volume1/music/notes.txt", "just text\n");
    root.writeFile("/volume1/music/cover.jpg", std::string("\xFF\xD8\xFF\xE0", 4));
    // Named like songs: text, a folder, and a FIFO (which must not hang the reader).
    root.writeFile("/volume1/music/text.mp3", "just text, no frames\n");
    root.makeDir("/volume1/music/folder.mp3", 0755);
    ASSERT_EQ(mkfifo("/volume1/music/pipe.mp3", 0644), 0);
    const std::string prog = program("kavophoto_music");

    for (const char *path :
         {"/volume1/music/notes.txt", "/volume1/music/cover.jpg", "/volume1/music/text.mp3",
          "/volume1/music/folder.mp3", "/volume1/music/pipe.mp3"}) {
        root.clearLog();
        auto r = root.run({prog, "-t", path});
        EXPECT_EQ(r.status, 255) << path;
        EXPECT_EQ(r.out, "") << path;
        auto lines = root.logLines();
        ASSERT_EQ(lines.size(), 1u) << path;
        EXPECT_EQ(lines[0].substr(0, 16), "kavophoto_music:");
        EXPECT_NE(lines[0].find(std::string(" Invalid path: ") + path), std::string::npos);
    }
}

TEST(Music, TitlesAndLoggedNamesStayOnOneLine) {
    ApplianceRoot root;
    writeMp3(root, "/volume1/music/a.mp3",
             "First\nSecond\r\x01 \xC2\x85"
             "end");
    const std::string prog = program("kavophoto_music");
    auto r = root.run({prog, "-t", "/volume1/music/a.mp3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "First Second    end\n");

    root.writeFile("/volume1/music/bad\nname.mp3", "text");
    r = root.run({prog, "-t", "/volume1/music/bad\nname.mp3"});
    EXPECT_EQ(r.status, 255);
    auto lines = root.logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" Invalid path: /volume1/music/bad\\x0Aname.mp3"), std::string::npos);
}
