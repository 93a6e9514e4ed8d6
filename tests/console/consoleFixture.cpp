#include "consoleFixture.h"

#include <rapidjson/document.h>
#include <sodium.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace consoletest {
namespace {

// Fast hashes for tests; the console checks them like any other.
std::string quickHash(const std::string& password) {
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_MIN,
                              crypto_pwhash_MEMLIMIT_MIN, crypto_pwhash_ALG_ARGON2ID13) != 0)
        return {};
    return out;
}

}  // namespace

bool waitFor(const std::function<bool()>& cond, std::chrono::seconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void ConsoleFixture::SetUp() {
    ASSERT_GE(sodium_init(), 0);
    char tmpl[] = "/tmp/console_test_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    store_ = dir_ + "/store";
    ::mkdir(store_.c_str(), 0755);
    ::mkdir((dir_ + "/state").c_str(), 0700);
    writer_ = std::make_unique<consolefixture::StoreWriter>(store_, "node-a");
    const std::string hash = quickHash(kPassword);
    ASSERT_FALSE(hash.empty());
    std::ofstream ops(dir_ + "/operators");
    ops << "# operators of the test\nops * " << hash << "\nacme ACME " << hash << "\n";
}

void ConsoleFixture::TearDown() {
    if (server_) server_->stop();
    if (serving_.joinable()) serving_.join();
    server_.reset();
    std::system(("rm -rf '" + dir_ + "'").c_str());
}

void ConsoleFixture::startConsole() {
    console::ConsoleOptions o;
    o.stores = {store_};
    o.stateDir = dir_ + "/state";
    o.operatorsFile = dir_ + "/operators";
    o.port = 0;
    server_ = std::make_unique<console::ConsoleServer>(o);
    std::string error;
    ASSERT_TRUE(server_->start(error)) << error;
    serving_ = std::thread([this] { server_->run(); });
    ASSERT_TRUE(waitFor([this] { return client().Get("/login"); }));
}

httplib::Client ConsoleFixture::client() {
    httplib::Client c("127.0.0.1", server_->port());
    c.set_read_timeout(20, 0);
    return c;
}

std::string ConsoleFixture::signIn(const std::string& name) {
    auto res = client().Post("/api/login", "{\"name\":\"" + name + "\",\"password\":\"" + kPassword + "\"}",
                             "application/json");
    if (!res || res->status != 200) return {};
    const std::string cookie = res->get_header_value("Set-Cookie");
    return cookie.substr(0, cookie.find(';'));
}

httplib::Result ConsoleFixture::get(const std::string& path, const std::string& cookie) {
    return client().Get(path, httplib::Headers{{"Cookie", cookie}});
}

std::string ConsoleFixture::firstId(const std::string& query, const std::string& cookie) {
    auto res = get("/api/search?" + query, cookie);
    if (!res || res->status != 200) return {};
    rapidjson::Document doc;
    doc.Parse(res->body.c_str());
    if (doc.HasParseError() || !doc["items"].IsArray() || doc["items"].Empty()) return {};
    return doc["items"][0]["id"].GetString();
}

consolefixture::Upload ConsoleFixture::upload(const std::string& client, const std::string& meeting,
                                              const std::string& time, const std::string& org) const {
    consolefixture::Upload u;
    u.client = client;
    u.meeting = meeting;
    u.time = time;
    u.org = org;
    return u;
}

}  // namespace consoletest
