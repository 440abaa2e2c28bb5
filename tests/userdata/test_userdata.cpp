// kavouserdata_lumora against a real PostgreSQL database "photo" on a private appliance root.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>
#include <json/json.h>

#include "harness.h"
#include "report_schema.h"

using lumora::test::ApplianceRoot;
using lumora::test::program;
using lumora::test::RunResult;

namespace {

const std::string kSettings = "/var/packages/Lumora/etc/settings.conf";
const std::string kInfo = "/var/packages/Lumora/INFO";
const std::string kMusic = "/var/services/photo/@eaDir/KAVOPHOTO_MUSIC_CONFIG";

// The tables the report reads, with the columns the gallery gives them.
// A gallery with some of everything.
const char *const kRows = R"SQL(
INSERT INTO photo_config VALUES
  ('account_system', '0'), ('allow_user_comment', 'on'), ('allow_guest_comment', 'On'),
  ('use_album_explorer', 'yes'), ('paging_use_bar', 'on'), ('paging_use_bar', 'off'),
  ('excluding_index_format', 'raw,tif'), ('def_album_disable_conversion', 'off'),
  ('enable_face_recognition', 'on'), ('v6_template', 'classic'), ('unrelated_key', 'on');
INSERT INTO blog_config VALUES ('enable_blog', '1'), ('blog_title', 'x');
INSERT INTO photo_image (path) SELECT 'p' || g FROM generate_series(1, 7) g;
INSERT INTO video (path) SELECT 'v' || g FROM generate_series(1, 3) g;
INSERT INTO blog_article (title, date) VALUES
  ('old', '2024-03-01 10:00:00'), ('new', '2024-05-06 07:08:09'), ('mid', '2024-04-01 00:00:00');
INSERT INTO photo_share (sharename, is_subdir) VALUES
  ('/', 'f'), ('trips', 'f'), ('family', 'f'), ('trips/rome', 't'), ('trips/rome/day1', 't'),
  ('family/2023', 't');
INSERT INTO photo_personal_collection_for_admin (id, name, hidden) VALUES
  (1, 'a', 'f'), (2, 'b', 'f'), (3, 'hidden', 't');
INSERT INTO photo_personal_collection_photo_for_admin VALUES (3, 1), (3, 2), (3, 3), (3, 4), (1, 5), (1, 6);
INSERT INTO photo_personal_collection_video_for_admin VALUES (3, 1), (2, 2);
INSERT INTO photo_personal_collection_for_nmx_account (id, name, hidden) VALUES (1, 'a', 'f');
INSERT INTO photo_personal_collection_photo_for_nmx_account SELECT 1, g FROM generate_series(1, 5) g;
INSERT INTO photo_personal_collection_video_for_nmx_account VALUES (1, 1);
INSERT INTO photo_personal_collection (id, name, hidden) VALUES
  (7, 'first hidden', 't'), (9, 'shown', 'f'), (5, 'second hidden', 't');
INSERT INTO photo_personal_collection_photo SELECT 7, g FROM generate_series(1, 3) g;
INSERT INTO photo_personal_collection_photo SELECT 5, g FROM generate_series(1, 6) g;
INSERT INTO photo_personal_collection_video VALUES (5, 1), (5, 2), (9, 3);
)SQL";

const char *const kStatCounts[] = {
    "total_music",
    "total_image",
    "total_video",
    "total_blog_post",
    "total_album",
    "total_first_layer_album",
    "total_second_layer_album",
    "admin_shared_album",
    "photo_account_shared_album",
    "nmx_account_shared_album",
    "admin_shared_photo",
    "admin_shared_video",
    "nmx_account_shared_photo",
    "nmx_account_shared_video",
    "photo_account_shared_photo",
    "photo_account_shared_video",
};

// In the order the report prints them.
const char *const kConfigMembers[] = {
    "account_system",
    "allow_guest_comment",
    "allow_user_comment",
    "def_album_disable_conversion",
    "enable_auto_face_recognition",
    "enable_blog",
    "enable_face_recognition",
    "enable_uvo",
    "excluding_index_format",
    "paging_use_bar",
    "use_album_explorer",
    "v6_template",
};

Json::Value parse(const std::string &text) {
    Json::Value v;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, v)) << text;
    return v;
}

// The document for a database that answers but holds nothing.
Json::Value emptyDocument(const std::string &version) {
    Json::Value doc(Json::objectValue);
    doc["collector_version"] = 1;
    doc["pkg_version"] = version;
    doc["config"] = Json::Value(Json::objectValue);
    for (const char *m : kConfigMembers) {
        doc["config"][m] = Json::Value();
    }
    doc["statistics"] = Json::Value(Json::objectValue);
    for (const char *m : kStatCounts) {
        doc["statistics"][m] = 0;
    }
    return doc;
}

// The document for kRows with the settings and music files of fullRoot.
Json::Value fullDocument() {
    Json::Value doc = emptyDocument("1.4.2-1234");
    Json::Value &c = doc["config"];
    c["account_system"] = "photo";
    c["allow_user_comment"] = true;
    c["allow_guest_comment"] = false;
    c["use_album_explorer"] = false;
    c["paging_use_bar"] = false;  // the later of two rows wins
    c["excluding_index_format"] = "raw,tif";
    c["def_album_disable_conversion"] = false;
    c["v6_template"] = "classic";
    c["enable_auto_face_recognition"] = true;
    c["enable_face_recognition"] = true;
    c["enable_uvo"] = false;
    c["enable_blog"] = true;
    Json::Value &s = doc["statistics"];
    s["total_music"] = 2;
    s["total_image"] = 7;
    s["total_video"] = 3;
    s["total_blog_post"] = 3;
    s["total_album"] = 5;
    s["total_first_layer_album"] = 2;
    s["total_second_layer_album"] = 2;
    s["admin_shared_album"] = 2;
    s["photo_account_shared_album"] = 1;
    s["nmx_account_shared_album"] = 1;
    s["admin_shared_photo"] = 4;
    s["admin_shared_video"] = 1;
    s["nmx_account_shared_photo"] = 0;  // no hidden collection
    s["nmx_account_shared_video"] = 0;
    s["photo_account_shared_photo"] = 3;  // only the first hidden collection
    s["photo_account_shared_video"] = 0;
    s["latest_blog_post_time"] = "2024-05-06 07:08:09";
    return doc;
}

void writeMusic(ApplianceRoot &root, const std::string &content) {
    root.writeFile(kMusic, content);
}

void fullRoot(ApplianceRoot &root) {
    root.useDatabase();
    root.sql(kReportSchema);
    root.sql(kRows);
    root.addShare("photo", "/volume1/photo");
    root.writeFile(kSettings, "runpersonallumora=\"no\"\nrunfacerecognition=\"yes\"\n");
    root.writeFile(kInfo, "package=\"Lumora\"\nversion=\"1.4.2-1234\"\n");
    writeMusic(root,
               "{\"song1\": {\"path\": \"/a.mp3\"}, \"KAVOPHOTO_MUSIC_DEFAULT\": \"song1\","
               " \"song2\": {}}");
}

RunResult report(const ApplianceRoot &root) {
    lumora::test::RunOptions opt;
    opt.timeoutSeconds = 30;  // a hang ends the run
    return root.run({program("kavouserdata_lumora")}, opt);
}

// Runs the report and checks the document both as JSON and as the exact printed text.
void expectDocument(const ApplianceRoot &root, const Json::Value &expected) {
    RunResult r = report(root);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(parse(r.out), expected) << r.out;
    EXPECT_EQ(r.out, expected.toStyledString() + "\n");
}

}  // namespace

TEST(UserdataReport, FullDatabase) {
    ApplianceRoot root;
    fullRoot(root);
    expectDocument(root, fullDocument());
}

TEST(UserdataReport, EmptyDatabasePrintsNullsAndZeros) {
    ApplianceRoot root;
    root.useDatabase();
    root.sql(kReportSchema);
    RunResult r = report(root);
    EXPECT_EQ(r.status, 0);
    // Every config member is printed, null; every count 0; no blog post time; no version.
    const std::string text =
        "{\n"
        "\t\"collector_version\" : 1,\n"
        "\t\"config\" : \n"
        "\t{\n"
        "\t\t\"account_system\" : null,\n"
        "\t\t\"allow_guest_comment\" : null,\n"
        "\t\t\"allow_user_comment\" : null,\n"
        "\t\t\"def_album_disable_conversion\" : null,\n"
        "\t\t\"enable_auto_face_recognition\" : null,\n"
        "\t\t\"enable_blog\" : null,\n"
        "\t\t\"enable_face_recognition\" : null,\n"
        "\t\t\"enable_uvo\" : null,\n"
        "\t\t\"excluding_index_format\" : null,\n"
        "\t\t\"paging_use_bar\" : null,\n"
        "\t\t\"use_album_explorer\" : null,\n"
        "\t\t\"v6_template\" : null\n"
        "\t},\n"
        "\t\"pkg_version\" : \"\",\n"
        "\t\"statistics\" : \n"
        "\t{\n"
        "\t\t\"admin_shared_album\" : 0,\n"
        "\t\t\"admin_shared_photo\" : 0,\n"
        "\t\t\"admin_shared_video\" : 0,\n"
        "\t\t\"nmx_account_shared_album\" : 0,\n"
        "\t\t\"nmx_account_shared_photo\" : 0,\n"
        "\t\t\"nmx_account_shared_video\" : 0,\n"
        "\t\t\"photo_account_shared_album\" : 0,\n"
        "\t\t\"photo_account_shared_photo\" : 0,\n"
        "\t\t\"photo_account_shared_video\" : 0,\n"
        "\t\t\"total_album\" : 0,\n"
        "\t\t\"total_blog_post\" : 0,\n"
        "\t\t\"total_first_layer_album\" : 0,\n"
        "\t\t\"total_image\" : 0,\n"
        "\t\t\"total_music\" : 0,\n"
        "\t\t\"total_second_layer_album\" : 0,\n"
        "\t\t\"total_video\" : 0\n"
        "\t}\n"
        "}\n"
        "\n";
    EXPECT_EQ(r.out, text);
    EXPECT_EQ(parse(r.out), emptyDocument(""));
}

TEST(UserdataReport, NoServerGivesEmptyObject) {
    for (bool hadAccess : {false, true}) {
        SCOPED_TRACE(hadAccess ? "access dropped" : "never reachable");
        ApplianceRoot root;
        if (hadAccess) {
            root.useDatabase();
            root.sql(kReportSchema);
            root.dropDatabaseAccess();
        }
        root.writeFile(kInfo, "version=\"1.4.2-1234\"\n");
        root.writeFile(kSettings, "runpersonallumora=\"yes\"\n");
        RunResult r = report(root);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "{}\n\n");
        EXPECT_EQ(r.err, "");
        bool logged = false;
        for (const auto &line : root.logLinesWithIdent()) {
            if (line.find("kavouserdata_lumora: kavouserdata_lumora:") == 0 &&
                line.find(" Failed to connect to database") != std::string::npos) {
                logged = true;
            }
        }
        EXPECT_TRUE(logged);
    }
}

TEST(UserdataReport, ConfigValuesMatchExactly) {
    ApplianceRoot root;
    root.useDatabase();
    root.sql(kReportSchema);
    struct Case {
        const char *key, *value, *member;
        Json::Value expected;
    } cases[] = {
        {"account_system", "1", "account_system", "nmx"},
        {"account_system", "", "account_system", "nmx"},
        {"account_system", "00", "account_system", "nmx"},
        {"account_system", "0", "account_system", "photo"},
        {"allow_user_comment", "On", "allow_user_comment", false},
        {"allow_user_comment", "yes", "allow_user_comment", false},
        {"allow_user_comment", "on ", "allow_user_comment", false},
        {"allow_user_comment", "on", "allow_user_comment", true},
        {"use_album_explorer", "on", "use_album_explorer", true},
        {"excluding_index_format", "", "excluding_index_format", ""},
        {"v6_template", "it's \"quoted\"", "v6_template", "it's \"quoted\""},
        {"enable_face_recognition", "on", "enable_auto_face_recognition", true},
        {"enable_face_recognition", "yes", "enable_auto_face_recognition", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        root.sql("DELETE FROM photo_config;");
        root.sql(std::string("INSERT INTO photo_config VALUES ('") + c.key + "', $v$" + c.value +
                 "$v$);");
        Json::Value expected = emptyDocument("");
        expected["config"][c.member] = c.expected;
        expectDocument(root, expected);
    }

    // The database row never fills the settings-file member, nor the other way round.
    root.sql("DELETE FROM photo_config;");
    root.writeFile(kSettings, "runfacerecognition=\"yes\"\n");
    Json::Value expected = emptyDocument("");
    expected["config"]["enable_face_recognition"] = true;
    expectDocument(root, expected);

    for (const char *blog : {"t", "true", "0", "1"}) {
        SCOPED_TRACE(std::string("enable_blog=") + blog);
        root.sql(std::string("DELETE FROM blog_config; INSERT INTO blog_config VALUES "
                             "('enable_blog', '") +
                 blog + "');");
        expected["config"]["enable_blog"] = std::string(blog) == "1";
        expectDocument(root, expected);
    }

    for (const char *uvo : {"no", "YES", "yes"}) {
        SCOPED_TRACE(std::string("runpersonallumora=") + uvo);
        root.writeFile(kSettings, std::string("runpersonallumora=\"") + uvo + "\"\n");
        Json::Value e = expected;
        e["config"]["enable_face_recognition"] = Json::Value();
        e["config"]["enable_uvo"] = std::string(uvo) == "yes";
        expectDocument(root, e);
    }
}

TEST(UserdataReport, MissingTablesLeaveTheirMembersAlone) {
    ApplianceRoot root;
    fullRoot(root);

    root.sql("DROP TABLE photo_personal_collection_for_admin;");
    Json::Value expected = fullDocument();
    expected["statistics"]["admin_shared_album"] = 0;
    expected["statistics"]["admin_shared_photo"] = 0;
    expected["statistics"]["admin_shared_video"] = 0;
    expectDocument(root, expected);

    // Without the settings tables only the database-fed config members fall back to null.
    root.sql("DROP TABLE photo_config; DROP TABLE blog_config;");
    for (const char *m :
         {"account_system", "allow_user_comment", "allow_guest_comment", "use_album_explorer",
          "paging_use_bar", "excluding_index_format", "def_album_disable_conversion", "v6_template",
          "enable_auto_face_recognition", "enable_blog"}) {
        expected["config"][m] = Json::Value();
    }
    expectDocument(root, expected);

    // Without the article and image tables: no post time, and their counts are 0.
    root.sql("DROP TABLE blog_article; DROP TABLE photo_image;");
    expected["statistics"]["total_blog_post"] = 0;
    expected["statistics"]["total_image"] = 0;
    expected["statistics"].removeMember("latest_blog_post_time");
    expectDocument(root, expected);
}

TEST(UserdataReport, SharedItemsAndAlbumLayers) {
    ApplianceRoot root;
    root.useDatabase();
    root.sql(kReportSchema);
    root.sql(R"SQL(
INSERT INTO photo_share (sharename, is_subdir) VALUES
  ('/', 'f'), ('a', 'f'), ('a/b', 't'), ('a/b/c', 't'), ('a/b/c/d', 't'), ('x/y', 't');
INSERT INTO photo_personal_collection_for_nmx_account (id, name, hidden) VALUES (42, 'h', 't');
INSERT INTO photo_personal_collection_photo_for_nmx_account SELECT 42, g FROM generate_series(1, 11) g;
INSERT INTO photo_personal_collection_photo_for_nmx_account SELECT 4, g FROM generate_series(1, 5) g;
INSERT INTO photo_personal_collection_video_for_nmx_account VALUES (42, 1), (42, 2);
)SQL");
    Json::Value expected = emptyDocument("");
    expected["statistics"]["total_album"] = 5;
    expected["statistics"]["total_first_layer_album"] = 1;
    expected["statistics"]["total_second_layer_album"] = 2;
    expected["statistics"]["nmx_account_shared_photo"] = 11;
    expected["statistics"]["nmx_account_shared_video"] = 2;
    expectDocument(root, expected);

    // One blog article: its date is the latest post time, as the server renders it.
    root.sql("INSERT INTO blog_article (title, date) VALUES ('only', '2023-12-31 23:59:58');");
    expected["statistics"]["total_blog_post"] = 1;
    expected["statistics"]["latest_blog_post_time"] = "2023-12-31 23:59:58";
    expectDocument(root, expected);
}

TEST(UserdataReport, CollectionIdIsNeverPastedUnlessNumeric) {
    ApplianceRoot root;
    root.useDatabase();
    root.sql(kReportSchema);
    // A collection table whose id is text: what it holds must not reach the next statement.
    root.sql(R"SQL(
DROP TABLE photo_personal_collection_for_admin;
CREATE TABLE photo_personal_collection_for_admin (id text, hidden boolean);
INSERT INTO photo_personal_collection_photo_for_admin SELECT g % 3, g FROM generate_series(1, 9) g;
INSERT INTO photo_personal_collection_video_for_admin VALUES (1, 1), (2, 2);
)SQL");
    struct Case {
        const char *id;
        int photos, videos;
    } cases[] = {
        {"1' OR collectionid <> '-1", 0, 0},  // would count every item
        {"1'; DROP TABLE video; --", 0, 0},
        {"abc", 0, 0},
        {"", 0, 0},
        {" 1", 0, 0},
        {"1", 3, 1},
        {"002", 3, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("id ") + c.id);
        root.sql(std::string("DELETE FROM photo_personal_collection_for_admin; "
                             "INSERT INTO photo_personal_collection_for_admin VALUES ($i$") +
                 c.id + "$i$, 't');");
        Json::Value expected = emptyDocument("");
        expected["statistics"]["admin_shared_photo"] = c.photos;
        expected["statistics"]["admin_shared_video"] = c.videos;
        expectDocument(root, expected);
    }
    EXPECT_EQ(root.sql("SELECT count(*) FROM pg_tables WHERE tablename = 'video';"), "1\n");
}

TEST(UserdataReport, MusicConfiguration) {
    ApplianceRoot root;
    root.useDatabase();
    root.sql(kReportSchema);
    root.addShare("photo", "/volume1/photo");
    Json::Value expected = emptyDocument("");
    // No file at all.
    expectDocument(root, expected);

    struct Case {
        const char *content;
        int count;
    } cases[] = {
        {"{\"a\": 1, \"b\": {\"x\": 2}, \"KAVOPHOTO_MUSIC_DEFAULT\": \"a\"}", 2},
        {"{\"a\": 1, \"b\": 2, \"c\": 3}", 3},
        {"// kept by the gallery\n{\"a\": 1, /* note */ \"b\": 2}\n", 2},
        {"{\"KAVOPHOTO_MUSIC_DEFAULT\": \"a\"}", 0},
        {"{}", 0},
        {"", 0},
        {"not json", 0},
        {"{\"a\": 1,", 0},
        {"[1, 2, 3]", 0},
        {"\"KAVOPHOTO_MUSIC_DEFAULT\"", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.content);
        writeMusic(root, c.content);
        expected["statistics"]["total_music"] = c.count;
        expectDocument(root, expected);
    }

    // Nested deeper than the parser follows: no entries, and the report still comes.
    std::string deep;
    for (int i = 0; i < 5000; i++) {
        deep += "{\"a\":";
    }
    deep += "1" + std::string(5000, '}');
    writeMusic(root, "{\"x\": 1, \"deep\": " + deep + "}");
    expected["statistics"]["total_music"] = 0;
    expectDocument(root, expected);

    // Anything but a regular file of the share: a FIFO, a link to a file elsewhere.
    root.writeFile("/etc/kavo-music", "{\"a\": 1, \"b\": 2}", 0600);
    ASSERT_EQ(unlink(kMusic.c_str()), 0);
    ASSERT_EQ(mkfifo(kMusic.c_str(), 0666), 0);
    expectDocument(root, expected);
    ASSERT_EQ(unlink(kMusic.c_str()), 0);
    ASSERT_EQ(symlink("/etc/kavo-music", kMusic.c_str()), 0);
    expectDocument(root, expected);
}

TEST(UserdataReport, AReportThatCannotBeWrittenIsAFailure) {
    ApplianceRoot root;
    fullRoot(root);
    RunResult r =
        root.run({"/bin/sh", "-c", "exec \"$0\" >/dev/full", program("kavouserdata_lumora")});
    EXPECT_EQ(r.status, 255);
    // Everything else went well: the one line logged is the failure.
    EXPECT_FALSE(root.logLines().empty());
}
