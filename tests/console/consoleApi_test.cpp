// The console's JSON interface, driven over HTTP as the pages and scripts use it.
#include <rapidjson/document.h>
#include <zip.h>

#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <set>

#include "consoleFixture.h"
#include "nameEncoding.h"

namespace consoletest {
namespace {

rapidjson::Document parse(const std::string& body) {
    rapidjson::Document doc;
    doc.Parse(body.c_str());
    return doc;
}

class ConsoleApi : public ConsoleFixture {};

TEST_F(ConsoleApi, EveryApiCallButSignInNeedsASessionAndAnswers401Json) {
    writer_->dump(upload("pc-1", "123456", "2026-12-06T08:00:00.000Z"), "MDMP");
    startConsole();
    for (const char* path : {"/api/search", "/api/item/1", "/api/file/1", "/api/log/1", "/api/events", "/api/me",
                             "/api/chart?client=pc-1", "/api/zip/1"}) {
        for (const std::string cookie : {"", "lrc_session=0123456789abcdef"}) {
            auto res = get(path, cookie);
            ASSERT_TRUE(res) << path;
            EXPECT_EQ(res->status, 401) << path;
            EXPECT_TRUE(parse(res->body).HasMember("error")) << path;
            EXPECT_TRUE(res->get_header_value("Location").empty()) << path;
        }
    }
}

TEST_F(ConsoleApi, SignInSetsAStrictHttpOnlyCookieAndSignOutEndsIt) {
    startConsole();
    auto res = client().Post("/api/login", std::string("{\"name\":\"ops\",\"password\":\"") + kPassword + "\"}",
                             "application/json");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    const std::string cookie = res->get_header_value("Set-Cookie");
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
    EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
    EXPECT_EQ(cookie.find("Secure"), std::string::npos);  // plain HTTP on loopback
    const std::string session = cookie.substr(0, cookie.find(';'));
    EXPECT_GE(session.size(), std::string("lrc_session=").size() + 64);
    EXPECT_EQ(get("/api/me", session)->status, 200);
    // Sign-out is a POST: a GET does not end the session.
    EXPECT_NE(get("/api/logout", session)->status, 200);
    EXPECT_EQ(get("/api/me", session)->status, 200);
    EXPECT_EQ(client().Post("/api/logout", httplib::Headers{{"Cookie", session}}, "", "text/plain")->status, 200);
    EXPECT_EQ(get("/api/me", session)->status, 401);
}

TEST_F(ConsoleApi, WrongPasswordsSlowTheAddressDownEvenForTheRightPassword) {
    startConsole();
    auto attempt = [&](const std::string& password) {
        return client().Post("/api/login", "{\"name\":\"ops\",\"password\":\"" + password + "\"}", "application/json");
    };
    EXPECT_EQ(attempt("wrong")->status, 401);
    auto slowed = attempt(kPassword);
    EXPECT_EQ(slowed->status, 429);
    EXPECT_FALSE(slowed->get_header_value("Retry-After").empty());
    for (const char* body : {"", "{", "[]", "{\"name\":1,\"password\":\"x\"}", "{\"name\":\"ops\"}"}) {
        auto res = client().Post("/api/login", body, "application/json");
        EXPECT_GE(res->status, 400) << body;
        EXPECT_LT(res->status, 500) << body;
    }
}

TEST_F(ConsoleApi, SearchByMeetingFindsTheClientNewestFirstWithCountsPerKind) {
    writer_->errorLog(upload("pc-sound", "123456", "2026-12-06T08:00:00.000Z"), "a ERROR here\n");
    writer_->dump(upload("pc-sound", "123456", "2026-12-06T09:00:00.000Z"), "MDMP");
    writer_->dump(upload("pc-other", "999999", "2026-12-06T10:00:00.000Z"), "MDMP");
    writer_->errorLog(upload("pc-sound", "123456", "2026-12-07T07:00:00.000Z"), "next day\n");
    startConsole();
    const std::string ops = signIn("ops");
    auto res = get("/api/search?meeting=123456", ops);
    ASSERT_EQ(res->status, 200);
    auto doc = parse(res->body);
    const auto& items = doc["items"];
    ASSERT_EQ(items.Size(), 3u);
    EXPECT_STREQ(items[0]["time"].GetString(), "2026-12-07T07:00:00.000Z");
    EXPECT_STREQ(items[2]["time"].GetString(), "2026-12-06T08:00:00.000Z");
    for (const auto& it : items.GetArray()) {
        EXPECT_STREQ(it["client"].GetString(), "pc-sound");
        EXPECT_STREQ(it["node"].GetString(), "node-a");
        for (const char* key : {"id", "seq", "org", "cmdType", "meeting", "path", "bytes"}) EXPECT_TRUE(it.HasMember(key)) << key;
    }
    EXPECT_EQ(doc["counts"]["reportLog"].GetInt(), 2);
    EXPECT_EQ(doc["counts"]["reportDump"].GetInt(), 1);
    EXPECT_TRUE(doc["next"].IsNull());
    // Substring of the client, a kind and a time range narrow it down.
    EXPECT_EQ(parse(get("/api/search?client=soun", ops)->body)["items"].Size(), 3u);
    EXPECT_EQ(parse(get("/api/search?client=so", ops)->body)["items"].Size(), 3u);
    EXPECT_EQ(parse(get("/api/search?client=pc-&kind=reportDump", ops)->body)["items"].Size(), 2u);
    EXPECT_EQ(parse(get("/api/search?from=2026-12-06T08:30Z&to=2026-12-07", ops)->body)["items"].Size(), 2u);
    EXPECT_EQ(parse(get("/api/search?node=node-b", ops)->body)["items"].Size(), 0u);
}

TEST_F(ConsoleApi, PagesOfASearchCoverEveryItemOnce) {
    for (int i = 0; i < 23; ++i) {
        char time[32];
        std::snprintf(time, sizeof time, "2026-12-06T08:%02d:00.000Z", i % 7);  // equal times too
        writer_->dump(upload("pc-" + std::to_string(i), "42", time), "MDMP");
    }
    startConsole();
    const std::string ops = signIn("ops");
    std::set<std::string> seen;
    std::string cursor;
    int pages = 0;
    do {
        auto doc = parse(get("/api/search?meeting=42&limit=5" + (cursor.empty() ? "" : "&cursor=" + cursor), ops)->body);
        for (const auto& it : doc["items"].GetArray()) EXPECT_TRUE(seen.insert(it["id"].GetString()).second);
        cursor = doc["next"].IsNull() ? "" : doc["next"].GetString();
        ASSERT_LT(++pages, 10);
    } while (!cursor.empty());
    EXPECT_EQ(seen.size(), 23u);
    EXPECT_EQ(pages, 5);
}

TEST_F(ConsoleApi, BadParametersAnswer4xxJsonAndBadIdsAnswer404) {
    writer_->dump(upload("pc-1", "1", "2026-12-06T08:00:00.000Z"), "MDMP");
    startConsole();
    const std::string ops = signIn("ops");
    for (const char* q : {"kind=reportEvil", "from=yesterday", "to=2026-13-01", "limit=0", "limit=100000", "limit=-1",
                          "cursor=junk", "cursor=2026-12-06T08:00:00.000Z_0", "client=%01%02",
                          "meeting=%0A", "from=2026-12-06T25:00"}) {
        auto res = get(std::string("/api/search?") + q, ops);
        ASSERT_TRUE(res) << q;
        EXPECT_EQ(res->status, 400) << q;
        EXPECT_TRUE(parse(res->body).HasMember("error")) << q;
    }
    const std::string longText(5000, 'x');
    EXPECT_EQ(get("/api/search?client=" + longText, ops)->status, 400);
    for (const char* id : {"0", "-1", "abc", "1.0", "01", "99999999", "999999999999999999999", "..%2F..%2Fetc%2Fpasswd",
                           "%2Fetc%2Fpasswd"}) {
        for (const char* api : {"/api/item/", "/api/file/", "/api/log/", "/api/zip/"}) {
            auto res = get(std::string(api) + id, ops);
            ASSERT_TRUE(res) << api << id;
            EXPECT_EQ(res->status, 404) << api << id;
        }
    }
    const std::string id = firstId("", ops);
    for (const char* q : {"?offset=x", "?limit=0", "?limit=1001", "?offset=99999999"}) {
        // A dump is no log, and a log's bad page parameters are refused.
        EXPECT_EQ(get("/api/log/" + id + q, ops)->status, 400) << q;
    }
}

TEST_F(ConsoleApi, AnOperatorOfOneOrganisationFindsNothingOfAnotherAndGets404OnItsIds) {
    writer_->dump(upload("pc-acme", "1", "2026-12-06T08:00:00.000Z", "ACME"), "MDMP");
    writer_->dump(upload("pc-globex", "1", "2026-12-06T09:00:00.000Z", "GLOBEX"), "secret");
    writer_->dump(upload("pc-default", "1", "2026-12-06T10:00:00.000Z"), "MDMP");
    startConsole();
    const std::string ops = signIn("ops"), acme = signIn("acme");
    EXPECT_EQ(parse(get("/api/search?meeting=1", ops)->body)["items"].Size(), 3u);
    auto doc = parse(get("/api/search?meeting=1", acme)->body);
    ASSERT_EQ(doc["items"].Size(), 1u);
    EXPECT_STREQ(doc["items"][0]["client"].GetString(), "pc-acme");
    EXPECT_EQ(parse(get("/api/search?org=GLOBEX", acme)->body)["items"].Size(), 0u);
    EXPECT_FALSE(parse(get("/api/search?org=GLOBEX", acme)->body)["counts"].HasMember("reportDump"));
    const std::string globex = firstId("org=GLOBEX", ops);
    ASSERT_FALSE(globex.empty());
    for (const char* api : {"/api/item/", "/api/file/", "/api/log/", "/api/zip/"}) {
        auto theirs = get(api + globex, acme);
        EXPECT_EQ(theirs->status, 404) << api;
        EXPECT_EQ(theirs->body, get(std::string(api) + "99999", acme)->body) << api;
    }
    EXPECT_EQ(get("/api/item/" + globex, ops)->status, 200);
}

TEST_F(ConsoleApi, OrganisationStoresBeneathTheRootAreRead) {
    consolefixture::StoreWriter org(store_ + "/ACME", "node-a");
    org.dump(upload("pc-in-org-store", "5", "2026-12-06T08:00:00.000Z"), "MDMP");
    startConsole();
    auto doc = parse(get("/api/search?meeting=5", signIn("acme"))->body);
    ASSERT_EQ(doc["items"].Size(), 1u);
    EXPECT_STREQ(doc["items"][0]["org"].GetString(), "ACME");
}

TEST_F(ConsoleApi, LogMarksErrorAndFatalWordsAndAnItemOpensAtItsOwnBytes) {
    const std::string first = "1 boot\n";
    const std::string second =
        "10:00 ERROR audio device lost\n"
        "[10:01] FATAL\n"
        "ERRORS are not ERROR:\n"
        "xERROR yFATAL error fatal\n"
        "\tERROR\ttabbed\r\n"
        "<img src=x onerror=alert(1)> ERROR\n"
        "last line without newline FATAL";
    writer_->errorLog(upload("pc-log", "7", "2026-12-06T08:00:00.000Z"), first);
    writer_->errorLog(upload("pc-log", "7", "2026-12-06T09:00:00.000Z"), second);
    startConsole();
    const std::string ops = signIn("ops");
    const std::string id = firstId("meeting=7", ops);  // the newest: the second command
    auto doc = parse(get("/api/log/" + id, ops)->body);
    const auto& lines = doc["lines"];
    ASSERT_EQ(lines.Size(), 7u);
    std::vector<bool> marks;
    for (const auto& l : lines.GetArray()) marks.push_back(l["error"].GetBool());
    EXPECT_EQ(marks, (std::vector<bool>{true, true, false, false, true, true, true}));
    EXPECT_EQ(lines[0]["offset"].GetUint64(), first.size());
    EXPECT_EQ(lines[0]["line"].GetUint64(), 1u);
    EXPECT_STREQ(lines[5]["text"].GetString(), "<img src=x onerror=alert(1)> ERROR");
    EXPECT_STREQ(lines[4]["text"].GetString(), "\tERROR\ttabbed");
    EXPECT_TRUE(doc["next"].IsNull());
    // The whole day file holds both commands.
    EXPECT_EQ(parse(get("/api/log/" + id + "?whole=1", ops)->body)["lines"].Size(), 8u);
    // Download gives the command's stored bytes.
    auto file = get("/api/file/" + id, ops);
    EXPECT_EQ(file->body, second);
    EXPECT_EQ(get("/api/file/" + id + "?whole=1", ops)->body, first + second);
    // A filter keeps only the lines holding the text.
    EXPECT_EQ(parse(get("/api/log/" + id + "?filter=FATAL", ops)->body)["lines"].Size(), 3u);
}

TEST_F(ConsoleApi, ALogIsPagedAndEveryLineArrivesOnce) {
    std::string text;
    for (int i = 0; i < 2500; ++i) text += "line " + std::to_string(i) + (i % 100 == 0 ? " ERROR" : "") + "\n";
    writer_->detailLog(upload("pc-big", "8", "2026-12-06T08:00:00.000Z"), "nick_pc-big_app_1206.log", text);
    startConsole();
    const std::string ops = signIn("ops");
    const std::string id = firstId("meeting=8", ops);
    std::string path = "/api/log/" + id;
    int count = 0, errors = 0, pages = 0;
    for (;;) {
        auto doc = parse(get(path, ops)->body);
        ASSERT_TRUE(doc.IsObject());
        ASSERT_LE(doc["lines"].Size(), 1000u);
        for (const auto& l : doc["lines"].GetArray()) {
            EXPECT_EQ(l["line"].GetUint64(), static_cast<uint64_t>(count + 1));
            EXPECT_EQ(std::string(l["text"].GetString()).substr(0, 5 + std::to_string(count).size()),
                      "line " + std::to_string(count));
            ++count;
            errors += l["error"].GetBool();
        }
        ++pages;
        if (doc["next"].IsNull()) break;
        path = "/api/log/" + id + "?offset=" + std::to_string(doc["next"].GetUint64()) +
               "&line=" + std::to_string(doc["nextLine"].GetUint64());
    }
    EXPECT_EQ(count, 2500);
    EXPECT_EQ(errors, 25);
    EXPECT_EQ(pages, 3);
}

TEST_F(ConsoleApi, DownloadsCarryTheStoredBytesUnderASafeName) {
    const std::string dmp("MDMP\0\x01\x02" "binary", 13);
    writer_->dump(upload("evil\"; name=x\r\n../../etc", "9", "2026-12-06T08:00:00.000Z"), dmp);
    startConsole();
    const std::string ops = signIn("ops");
    const std::string id = firstId("meeting=9", ops);
    auto res = get("/api/file/" + id, ops);
    ASSERT_EQ(res->status, 200);
    EXPECT_EQ(res->body, dmp);
    const std::string disposition = res->get_header_value("Content-Disposition");
    EXPECT_EQ(disposition.rfind("attachment; ", 0), 0u);
    EXPECT_NE(disposition.find("filename*=UTF-8''"), std::string::npos);
    EXPECT_EQ(disposition.find('\r'), std::string::npos);
    EXPECT_EQ(disposition.find('\n'), std::string::npos);
    EXPECT_EQ(disposition.find('/'), std::string::npos);
    auto item = parse(get("/api/item/" + id, ops)->body);
    EXPECT_NE(std::string(item["info"].GetString()).find("\"conferenceID\":9"), std::string::npos);
    EXPECT_NE(std::string(item["request"].GetString()).find("\"info\""), std::string::npos);
}

TEST_F(ConsoleApi, DownloadAllHoldsEveryAttachment) {
    std::vector<std::pair<std::string, std::string>> attachments = {
        {"screen.png", std::string("\x89PNG\r\n\x1a\n\0\0", 10)},
        {"../../etc/passwd", "not a path"},
        {"screen.png", "a second one of the same name"},
        {"<script>alert(1)</script>.txt", "text"}};
    writer_->userReport(upload("pc-report", "10", "2026-12-06T08:00:00.000Z"), "me@example.org",
                        "no sound <b>at all</b>", attachments);
    startConsole();
    const std::string ops = signIn("ops");
    const std::string id = firstId("meeting=10", ops);
    auto item = parse(get("/api/item/" + id, ops)->body);
    // The request is laid out over lines, as the library sends it: the page
    // must still parse it for the contact.
    rapidjson::Document request;
    ASSERT_FALSE(request.Parse(item["request"].GetString()).HasParseError()) << item["request"].GetString();
    EXPECT_STREQ(request["contact"].GetString(), "me@example.org");
    // The server keeps an attachment's caption beside it as <stored name>.txt.
    const std::string folder = store_ + "/" + item["item"]["path"].GetString() + "/attachments/";
    {
        std::ofstream(folder + "1-" + logserver::encodeName("../../etc/passwd") + ".txt") << "its caption";
    }
    attachments.insert(attachments.begin() + 2, {"../../etc/passwd.txt", "its caption"});
    item = parse(get("/api/item/" + id, ops)->body);
    ASSERT_EQ(item["attachments"].Size(), 5u);
    for (size_t i = 0; i < attachments.size(); ++i)
        EXPECT_EQ(item["attachments"][static_cast<rapidjson::SizeType>(i)]["name"].GetString(), attachments[i].first);
    for (size_t i = 0; i < attachments.size(); ++i)
        EXPECT_EQ(get("/api/file/" + id + "?attachment=" + std::to_string(i), ops)->body, attachments[i].second);
    EXPECT_EQ(get("/api/file/" + id + "?attachment=5", ops)->status, 400);

    auto res = get("/api/zip/" + id, ops);
    ASSERT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/zip");
    zip_error_t error;
    zip_source_t* src = zip_source_buffer_create(res->body.data(), res->body.size(), 0, &error);
    zip_t* zip = zip_open_from_source(src, ZIP_RDONLY, &error);
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(zip_get_num_entries(zip, 0), 5);
    for (zip_int64_t i = 0; i < 5; ++i) {
        const std::string name = zip_get_name(zip, static_cast<zip_uint64_t>(i), 0);
        EXPECT_EQ(name.find('/'), std::string::npos) << name;
        zip_stat_t st;
        zip_stat_index(zip, static_cast<zip_uint64_t>(i), 0, &st);
        std::string data(st.size, '\0');
        zip_file_t* f = zip_fopen_index(zip, static_cast<zip_uint64_t>(i), 0);
        zip_fread(f, data.data(), st.size);
        zip_fclose(f);
        EXPECT_EQ(data, attachments[static_cast<size_t>(i)].second) << name;
    }
    zip_close(zip);
}

TEST_F(ConsoleApi, ANewUploadArrivesOnTheEventStream) {
    writer_->dump(upload("pc-old", "11", "2026-12-06T08:00:00.000Z"), "MDMP");
    startConsole();
    const std::string acme = signIn("acme");
    std::mutex m;
    std::string received;
    std::atomic<bool> stop{false};
    std::thread listener([&] {
        auto c = client();
        c.Get("/api/events", httplib::Headers{{"Cookie", acme}}, [&](const char* data, size_t n) {
            std::lock_guard<std::mutex> lock(m);
            received.append(data, n);
            return !stop.load();
        });
    });
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(m);
        return received.find(": live") != std::string::npos;
    }));
    writer_->dump(upload("pc-globex-new", "11", "2026-12-06T08:05:00.000Z", "GLOBEX"), "MDMP");
    writer_->dump(upload("pc-acme-new", "11", "2026-12-06T08:06:00.000Z", "ACME"), "MDMP");
    EXPECT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(m);
        return received.find("pc-acme-new") != std::string::npos;
    }));
    stop = true;
    server_->stop();  // also ends the open stream
    listener.join();
    EXPECT_EQ(received.find("pc-globex-new"), std::string::npos);
    EXPECT_EQ(received.find("pc-old"), std::string::npos);
    const size_t data = received.find("data: {");
    ASSERT_NE(data, std::string::npos);
    auto doc = parse(received.substr(data + 6, received.find('\n', data) - data - 6));
    EXPECT_STREQ(doc["cmdType"].GetString(), "reportDump");
}

TEST_F(ConsoleApi, EveryAnswerForbidsInlineScript) {
    startConsole();
    for (const char* path : {"/", "/search", "/login", "/static/app.js", "/api/search", "/nothing"}) {
        auto res = get(path, "");
        ASSERT_TRUE(res) << path;
        const std::string csp = res->get_header_value("Content-Security-Policy");
        EXPECT_NE(csp.find("script-src 'self'"), std::string::npos) << path;
        EXPECT_EQ(csp.find("unsafe-inline"), std::string::npos) << path;
        EXPECT_EQ(res->get_header_value("X-Content-Type-Options"), "nosniff") << path;
    }
    const std::string page = get("/search", "")->body;
    EXPECT_EQ(page.find("<script>"), std::string::npos);
    EXPECT_EQ(get("/api/nothing", "")->status, 404);
    EXPECT_TRUE(parse(get("/api/nothing", "")->body).HasMember("error"));
}

TEST_F(ConsoleApi, TheClientChartCountsUploadsPerKindPerHour) {
    std::time_t now = std::time(nullptr);
    char hour[32], old[32];
    std::tm tm {};
    gmtime_r(&now, &tm);
    std::strftime(hour, sizeof hour, "%Y-%m-%dT%H:00:01.000Z", &tm);
    const std::time_t then = now - 10 * 24 * 3600;
    gmtime_r(&then, &tm);
    std::strftime(old, sizeof old, "%Y-%m-%dT%H:00:01.000Z", &tm);
    writer_->dump(upload("pc-chart", "12", hour), "MDMP");
    writer_->dump(upload("pc-chart", "12", hour), "MDMP");
    writer_->errorLog(upload("pc-chart", "12", hour), "x\n");
    writer_->dump(upload("pc-chart", "12", old), "MDMP");  // older than the chart
    startConsole();
    auto doc = parse(get("/api/chart?client=pc-chart", signIn("ops"))->body);
    ASSERT_TRUE(doc.IsObject());
    EXPECT_EQ(doc["hours"].GetInt(), 168);
    const std::string key = std::string(hour).substr(0, 13);
    EXPECT_EQ(doc["kinds"]["reportDump"][key.c_str()].GetInt(), 2);
    EXPECT_EQ(doc["kinds"]["reportLog"][key.c_str()].GetInt(), 1);
    EXPECT_EQ(doc["kinds"]["reportDump"].MemberCount(), 1u);
}

}  // namespace
}  // namespace consoletest
