// Times kavouserdata_lumora on a gallery of 200,000 photos and 20,000 videos against psql
// sending the same statements over one connection, and prints the ratio of the medians.
//
// Runs as root on a private appliance root. The build's PostgreSQL server must be up, started
// from outside this process's mount namespace: bench/userdata/run does both.
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "harness.h"
#include "report_schema.h"

using lumora::test::ApplianceRoot;
using lumora::test::program;
using lumora::test::RunResult;

namespace {

const int kRounds = 15;

const char *const kSeed = R"SQL(
INSERT INTO photo_config VALUES ('account_system', '0'), ('allow_user_comment', 'on'),
  ('allow_guest_comment', 'off'), ('use_album_explorer', 'on'), ('paging_use_bar', 'on'),
  ('excluding_index_format', 'raw'), ('def_album_disable_conversion', 'off'),
  ('enable_face_recognition', 'on'), ('v6_template', 'classic');
INSERT INTO blog_config VALUES ('enable_blog', '1');
INSERT INTO photo_image (path, title, takendate)
  SELECT '/volume1/photo/album' || (g % 2000) || '/IMG_' || g || '.JPG', 'photo ' || g,
         timestamp '2015-01-01' + g * interval '17 minutes'
  FROM generate_series(1, 200000) g;
INSERT INTO video (path, title, duration)
  SELECT '/volume1/photo/album' || (g % 2000) || '/MOV_' || g || '.MP4', 'video ' || g, g % 600
  FROM generate_series(1, 20000) g;
INSERT INTO blog_article (title, date)
  SELECT 'post ' || g, timestamp '2016-01-01' + g * interval '1 day' FROM generate_series(1, 3000) g;
INSERT INTO photo_share (sharename, is_subdir) VALUES ('/', 'f');
INSERT INTO photo_share (sharename, is_subdir) SELECT 'album' || g, 'f' FROM generate_series(1, 1000) g;
INSERT INTO photo_share (sharename, is_subdir)
  SELECT 'album' || (g % 1000) || '/sub' || g, 't' FROM generate_series(1, 3000) g;
INSERT INTO photo_share (sharename, is_subdir)
  SELECT 'album' || (g % 1000) || '/sub' || g || '/deep', 't' FROM generate_series(1, 2000) g;
)SQL";

// The three families of personal collections (their tables' names end in suffix): count
// collections of which only the one with the id hidden is hidden, and photos and videos spread
// over them all.
struct Family {
    const char *suffix;
    int count, hidden, photos, videos;
};
const Family kFamilies[] = {
    {"_for_admin", 40, 17, 60000, 6000},
    {"_for_nmx_account", 200, 3, 100000, 10000},
    {"", 100, 5, 50000, 5000},
};

std::string familySeed(const Family &f) {
    const std::string suffix = f.suffix;
    const std::string count = std::to_string(f.count);
    return "INSERT INTO photo_personal_collection" + suffix +
           " (id, name, hidden) SELECT g, 'c' || g, g = " + std::to_string(f.hidden) +
           " FROM generate_series(1, " + count + ") g;\n" +
           "INSERT INTO photo_personal_collection_photo" + suffix + " SELECT (g % " + count +
           ") + 1, g FROM generate_series(1, " + std::to_string(f.photos) + ") g;\n" +
           "INSERT INTO photo_personal_collection_video" + suffix + " SELECT (g % " + count +
           ") + 1, g FROM generate_series(1, " + std::to_string(f.videos) + ") g;\n";
}

// What the report sends for this gallery, in its order.
std::string reportStatements() {
    std::string sql =
        "SELECT * FROM photo_config WHERE config_key IN ('account_system','allow_user_comment',"
        "'allow_guest_comment','use_album_explorer','paging_use_bar','excluding_index_format',"
        "'def_album_disable_conversion','enable_face_recognition','v6_template');\n"
        "SELECT * FROM blog_config WHERE config_key = 'enable_blog';\n";
    for (const char *counted : {
             "photo_image",
             "video",
             "blog_article",
             "photo_share WHERE sharename != '/'",
             "photo_share WHERE sharename != '/' AND is_subdir = 'f'",
             "photo_share WHERE is_subdir = 't' AND sharename NOT like '%/%/%'",
             "photo_personal_collection_for_admin WHERE hidden = 'f'",
             "photo_personal_collection WHERE hidden = 'f'",
             "photo_personal_collection_for_nmx_account WHERE hidden = 'f'",
         }) {
        sql += std::string("SELECT COUNT(*) as total FROM ") + counted + ";\n";
    }
    // The hidden collection is looked up again for its photos and for its videos.
    for (const Family &f : kFamilies) {
        for (const char *media : {"photo", "video"}) {
            sql += std::string("SELECT id FROM photo_personal_collection") + f.suffix +
                   " WHERE hidden = 't';\n";
            sql += std::string("SELECT COUNT(*) as total FROM photo_personal_collection_") + media +
                   f.suffix + " WHERE collectionid= '" + std::to_string(f.hidden) + "';\n";
        }
    }
    return sql + "SELECT date FROM blog_article ORDER BY date DESC LIMIT 1;\n";
}

double timedRun(const ApplianceRoot &root, const std::vector<std::string> &argv, std::string *out) {
    auto start = std::chrono::steady_clock::now();
    RunResult r = root.run(argv);
    auto end = std::chrono::steady_clock::now();
    EXPECT_EQ(r.status, 0) << argv[0] << ": " << r.err;
    *out = r.out;
    return std::chrono::duration<double, std::milli>(end - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

TEST(UserdataBench, ReportAgainstPsql) {
    ApplianceRoot root;
    root.useDatabase();
    root.sql(kReportSchema);
    root.sql(kSeed);
    std::string seed;
    for (const Family &f : kFamilies) {
        seed += familySeed(f);
    }
    root.sql(seed + "VACUUM ANALYZE;");
    root.writeFile("/tmp/statements.sql", reportStatements());

    const std::vector<std::string> ours = {program("kavouserdata_lumora")};
    const std::vector<std::string> psql = {
        "/usr/bin/psql",      "-X", "-q",       "-A", "-t",    "-h",
        "/run/postgresql",    "-U", "postgres", "-d", "photo", "-f",
        "/tmp/statements.sql"};
    std::string out;
    timedRun(root, ours, &out);  // warm both caches
    timedRun(root, psql, &out);

    // The report must have counted the real gallery, or the timing means nothing.
    Json::Value doc;
    Json::Reader reader;
    timedRun(root, ours, &out);
    ASSERT_TRUE(reader.parse(out, doc)) << out;
    EXPECT_EQ(doc["statistics"]["total_image"].asInt(), 200000);
    EXPECT_EQ(doc["statistics"]["total_video"].asInt(), 20000);
    EXPECT_EQ(doc["statistics"]["admin_shared_photo"].asInt(), 1500);

    std::vector<double> tOurs, tPsql;
    for (int i = 0; i < kRounds; ++i) {
        tOurs.push_back(timedRun(root, ours, &out));
        tPsql.push_back(timedRun(root, psql, &out));
    }
    double a = median(tOurs), b = median(tPsql);
    printf("userdata: kavouserdata_lumora on 200000 photos / 20000 videos: median %.1f ms\n", a);
    printf("userdata: psql, the same 24 statements on one connection: median %.1f ms\n", b);
    printf("userdata: ratio %.2f (target <= 1.5)\n", a / b);
    printf(
        "ratio\tkavouserdata_lumora, 200,000 photos and 20,000 videos / psql (ms)\t%.1f\t%.1f"
        "\t%.2f\t<= 1.5\n",
        a, b, a / b);
}
