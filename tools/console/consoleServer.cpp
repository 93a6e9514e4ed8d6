#include "consoleServer.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <set>

#include "consoleAssets.h"
#include "consoleLimits.h"
#include "downloadName.h"
#include "embeddedIndex.h"
#include "indexRecord.h"
#include "itemJson.h"
#include "logPager.h"
#include "nameEncoding.h"
#ifdef LOGREPORT_HAVE_PQXX
#include "pgIndex.h"
#endif
#include "queryFilter.h"
#include "zipArchive.h"

namespace console {

constexpr std::chrono::milliseconds ConsoleServer::kRefreshInterval;

namespace {

const char* kCookie = "lrc_session";
const char* kJson = "application/json; charset=utf-8";
// No inline script, no inline style, nothing from anywhere else.
const char* kCsp =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "form-action 'self'; base-uri 'none'; frame-ancestors 'none'";

void jsonError(httplib::Response& res, int status, const std::string& message) {
    res.status = status;
    res.set_content(errorJson(message), kJson);
}

std::string sessionCookie(const httplib::Request& req) {
    const std::string header = req.get_header_value("Cookie");
    const std::string key = std::string(kCookie) + "=";
    for (size_t pos = 0; pos < header.size();) {
        while (pos < header.size() && (header[pos] == ' ' || header[pos] == ';')) ++pos;
        const size_t end = std::min(header.find(';', pos), header.size());
        if (header.compare(pos, key.size(), key) == 0) return header.substr(pos + key.size(), end - pos - key.size());
        pos = end;
    }
    return {};
}

std::string param(const httplib::Request& req, const char* name) {
    return req.has_param(name) ? req.get_param_value(name) : std::string();
}

bool readRange(const std::string& file, uint64_t offset, uint64_t length, std::string& out) {
    std::ifstream in(file, std::ios::binary);
    if (!in || !in.seekg(static_cast<std::streamoff>(offset))) return false;
    out.resize(static_cast<size_t>(length));
    in.read(out.data(), static_cast<std::streamsize>(length));
    out.resize(static_cast<size_t>(in.gcount()));
    return true;
}

bool fileSize(const std::string& file, uint64_t& size) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

std::string utcNow(std::time_t shift) {
    const std::time_t t = std::time(nullptr) - shift;
    std::tm tm {};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:00:00.000Z", &tm);
    return buf;
}

bool decimal(const std::string& text, uint64_t& out) {
    if (text.empty() || text.size() > 19) return false;
    out = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        out = out * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

// Streams [offset, offset+length) of an open file to the client in pieces.
void streamFile(httplib::Response& res, const std::string& file, uint64_t offset, uint64_t length,
                const std::string& downloadName) {
    auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
    res.set_header("Content-Disposition", contentDisposition(downloadName));
    res.set_content_provider(static_cast<size_t>(length), "application/octet-stream",
                             [in, offset](size_t at, size_t want, httplib::DataSink& sink) {
                                 std::vector<char> buf(std::min<size_t>(want, 256 * 1024));
                                 in->clear();
                                 in->seekg(static_cast<std::streamoff>(offset + at));
                                 in->read(buf.data(), static_cast<std::streamsize>(buf.size()));
                                 const auto got = static_cast<size_t>(in->gcount());
                                 if (got == 0) return false;  // shorter than it was: stop
                                 return sink.write(buf.data(), got);
                             });
}

}  // namespace

struct ConsoleServer::Caller {
    Operator op;
    OrgScope scope;
    std::string session;
};

ConsoleServer::ConsoleServer(ConsoleOptions options)
    : options_(std::move(options)), stores_(options_.stores) {}

ConsoleServer::~ConsoleServer() {
    stop();
    if (refresher_.joinable()) refresher_.join();
}

bool ConsoleServer::openIndex(std::string& error) {
    if (options_.indexDb.empty()) {
        auto embedded = std::make_unique<EmbeddedIndex>();
        if (!embedded->open(options_.stateDir, error)) return false;
        index_ = std::move(embedded);
        return true;
    }
#ifdef LOGREPORT_HAVE_PQXX
    auto shared = std::make_unique<PgIndex>();
    if (!shared->open(options_.indexDb, options_.stateDir, error)) return false;
    if (!shared->setupNote().empty()) std::fprintf(stderr, "logreport-console: %s\n", shared->setupNote().c_str());
    index_ = std::move(shared);
    return true;
#else
    error = "--index-db: this console was built without PostgreSQL support (libpqxx)";
    return false;
#endif
}

bool ConsoleServer::start(std::string& error) {
    if (!operators_.load(options_.operatorsFile, error)) return false;
    if (!openIndex(error)) return false;
    SearchIndex::RefreshStats stats;
    if (!index_->refresh(stores_, nullptr, stats, error)) return false;
    if (!options_.certFile.empty()) {
        auto tls = std::make_unique<httplib::SSLServer>(options_.certFile.c_str(), options_.keyFile.c_str());
        if (!tls->is_valid()) {
            error = "cannot use the certificate " + options_.certFile + " with the key " + options_.keyFile;
            return false;
        }
        http_ = std::move(tls);
        secure_ = true;
    } else {
        http_ = std::make_unique<httplib::Server>();
    }
    // Each open live view holds a thread; searches must still find one.
    http_->new_task_queue = [] { return new httplib::ThreadPool(kMaxEventStreams + 16); };
    http_->set_payload_max_length(64 * 1024);
    http_->set_read_timeout(10, 0);
    http_->set_keep_alive_max_count(100);
    routes();
    if (options_.port == 0) {
        boundPort_ = http_->bind_to_any_port(options_.host);
    } else if (http_->bind_to_port(options_.host, options_.port)) {
        boundPort_ = options_.port;
    }
    if (boundPort_ <= 0) {
        error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port);
        return false;
    }
    refresher_ = std::thread([this] { refreshLoop(); });
    return true;
}

void ConsoleServer::run() { http_->listen_after_bind(); }

void ConsoleServer::stop() {
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        if (stopping_) return;
        stopping_ = true;
    }
    stopped_.notify_all();
    feed_.close();
    if (http_) http_->stop();
}

void ConsoleServer::refreshLoop() {
    int round = 0;
    std::string lastError;
    std::unique_lock<std::mutex> lock(stopMutex_);
    while (!stopped_.wait_for(lock, kRefreshInterval, [this] { return stopping_; })) {
        lock.unlock();
        // New organisation stores appear as their first token is used.
        if (++round % 10 == 0) stores_.rescan();
        std::vector<ConsoleItem> added;
        SearchIndex::RefreshStats stats;
        std::string error;
        // A failure is told once, not at every round while it lasts.
        if (!index_->refresh(stores_, &added, stats, error) && error != lastError)
            std::fprintf(stderr, "logreport-console: %s\n", error.c_str());
        lastError = error;
        feed_.publish(added);
        lock.lock();
    }
}

bool ConsoleServer::signedIn(const httplib::Request& req, httplib::Response& res, Caller& caller) {
    caller.session = sessionCookie(req);
    const std::string name = caller.session.empty() ? std::string() : sessions_.lookup(caller.session);
    // The operator is looked up each time, so a reload that removes one
    // ends their sessions at once.
    if (name.empty() || !operators_.find(name, caller.op)) {
        jsonError(res, 401, "not signed in");
        return false;
    }
    caller.scope.all = caller.op.allOrgs;
    caller.scope.orgs = caller.op.orgs;
    return true;
}

void ConsoleServer::routes() {
    auto& s = *http_;
    const auto page = [](const httplib::Request&, httplib::Response& res) {
        res.set_content(consoleAssets::page(), "text/html; charset=utf-8");
    };
    for (const char* path : {"/", "/login", "/search", "/client", "/item", "/log"}) s.Get(path, page);
    s.Get("/static/app.js", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(consoleAssets::script(), "text/javascript; charset=utf-8");
    });
    s.Get("/static/style.css", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(consoleAssets::style(), "text/css; charset=utf-8");
    });
    s.Post("/api/login", [this](const httplib::Request& q, httplib::Response& r) { login(q, r); });
    s.Post("/api/logout", [this](const httplib::Request& q, httplib::Response& r) { logout(q, r); });
    s.Get("/api/me", [this](const httplib::Request& q, httplib::Response& r) { me(q, r); });
    s.Get("/api/search", [this](const httplib::Request& q, httplib::Response& r) { search(q, r); });
    s.Get(R"(/api/item/([^/]*))", [this](const httplib::Request& q, httplib::Response& r) { item(q, r); });
    s.Get(R"(/api/file/([^/]*))", [this](const httplib::Request& q, httplib::Response& r) { file(q, r); });
    s.Get(R"(/api/zip/([^/]*))", [this](const httplib::Request& q, httplib::Response& r) { zip(q, r); });
    s.Get(R"(/api/log/([^/]*))", [this](const httplib::Request& q, httplib::Response& r) { log(q, r); });
    s.Get("/api/chart", [this](const httplib::Request& q, httplib::Response& r) { chart(q, r); });
    s.Get("/api/events", [this](const httplib::Request& q, httplib::Response& r) { events(q, r); });
    s.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty() || res.content_length_ > 0) return;
        const std::string what = res.status == 404 ? "not found" : "request refused";
        if (req.path.compare(0, 5, "/api/") == 0)
            res.set_content(errorJson(what), kJson);
        else
            res.set_content(what + "\n", "text/plain; charset=utf-8");
    });
    s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        jsonError(res, 500, "internal error");
    });
    s.set_post_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        res.set_header("Content-Security-Policy", kCsp);
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Referrer-Policy", "no-referrer");
        res.set_header("X-Frame-Options", "DENY");
        if (req.path.compare(0, 5, "/api/") == 0) res.set_header("Cache-Control", "no-store");
    });
}

void ConsoleServer::login(const httplib::Request& req, httplib::Response& res) {
    const auto now = SignInThrottle::Clock::now();
    const auto wait = throttle_.waitFor(req.remote_addr, now);
    if (wait.count() > 0) {
        res.set_header("Retry-After", std::to_string(wait.count()));
        return jsonError(res, 429, "too many failed sign-ins: wait " + std::to_string(wait.count()) + " s");
    }
    if (req.body.size() > kMaxLoginBodyBytes) return jsonError(res, 413, "request too large");
    rapidjson::Document doc;
    doc.Parse(req.body.data(), req.body.size());
    if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("name") || !doc["name"].IsString() ||
        !doc.HasMember("password") || !doc["password"].IsString())
        return jsonError(res, 400, "expected {\"name\":…,\"password\":…}");
    const std::string name(doc["name"].GetString(), doc["name"].GetStringLength());
    const std::string password(doc["password"].GetString(), doc["password"].GetStringLength());
    Operator op;
    if (!operators_.verify(name, password, op)) {
        throttle_.failed(req.remote_addr, SignInThrottle::Clock::now());
        return jsonError(res, 401, "wrong name or password");
    }
    throttle_.succeeded(req.remote_addr);
    const std::string id = sessions_.open(name);
    res.set_header("Set-Cookie", std::string(kCookie) + "=" + id + "; Path=/; HttpOnly; SameSite=Strict" +
                                     (secure_ ? "; Secure" : ""));
    rapidjson::StringBuffer buf;
    JsonWriter w(buf);
    w.StartObject();
    w.Key("name");
    writeString(w, op.name);
    w.Key("orgs");
    w.StartArray();
    if (op.allOrgs) w.String("*");
    for (const auto& o : op.orgs) writeString(w, o);
    w.EndArray();
    w.EndObject();
    res.status = 200;
    res.set_content(buf.GetString(), kJson);
}

void ConsoleServer::logout(const httplib::Request& req, httplib::Response& res) {
    const std::string id = sessionCookie(req);
    if (!id.empty()) sessions_.close(id);
    res.set_header("Set-Cookie", std::string(kCookie) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict" +
                                     (secure_ ? "; Secure" : ""));
    res.set_content("{}", kJson);
}

void ConsoleServer::me(const httplib::Request& req, httplib::Response& res) {
    Caller caller;
    if (!signedIn(req, res, caller)) return;
    rapidjson::StringBuffer buf;
    JsonWriter w(buf);
    w.StartObject();
    w.Key("name");
    writeString(w, caller.op.name);
    w.Key("orgs");
    w.StartArray();
    if (caller.op.allOrgs) w.String("*");
    for (const auto& o : caller.op.orgs) writeString(w, o);
    w.EndArray();
    w.EndObject();
    res.set_content(buf.GetString(), kJson);
}

void ConsoleServer::search(const httplib::Request& req, httplib::Response& res) {
    Caller caller;
    if (!signedIn(req, res, caller)) return;
    SearchQuery q;
    std::string error;
    if (!parseSearchQuery([&](const char* name) { return param(req, name); }, q, error))
        return jsonError(res, 400, error);
    SearchResult result;
    if (!index_->search(q, caller.scope, result, error)) return jsonError(res, 503, error);
    rapidjson::StringBuffer buf;
    JsonWriter w(buf);
    w.StartObject();
    w.Key("items");
    w.StartArray();
    for (const auto& it : result.items) writeItem(w, it);
    w.EndArray();
    w.Key("next");
    if (result.next.empty())
        w.Null();
    else
        writeString(w, result.next);
    w.Key("counts");
    w.StartObject();
    for (const auto& [kind, n] : result.counts) {
        w.Key(kind.c_str());
        w.Int64(n);
    }
    w.EndObject();
    w.EndObject();
    res.set_content(buf.GetString(), kJson);
}

bool ConsoleServer::findItem(const httplib::Request& req, httplib::Response& res, const Caller& caller,
                             ConsoleItem& it) {
    int64_t id = 0;
    // A malformed id and another organisation's id answer alike.
    if (req.matches.size() < 2 || !parseItemId(req.matches[1], id) || !index_->item(id, caller.scope, it)) {
        jsonError(res, 404, "no such item");
        return false;
    }
    return true;
}

bool ConsoleServer::itemFile(const ConsoleItem& it, std::string& file) {
    StoreDir dir;
    return index_->storeDir(it.storeNo, dir) && StoreSet::resolve(dir, it.path, file);
}

std::vector<std::pair<std::string, std::string>> ConsoleServer::attachments(const ConsoleItem& it) {
    // (shown name, file on disk), in the order the client sent them.
    std::vector<std::pair<uint64_t, std::pair<std::string, std::string>>> found;
    std::string dir;
    if (it.cmdType != "reportUser" || !itemFile(it, dir)) return {};
    dir += "/attachments";
    std::set<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) names.insert(e->d_name);
        ::closedir(d);
    }
    for (const auto& stored : names) {
        const size_t dash = stored.find('-');
        uint64_t n = 0;
        if (dash == std::string::npos || !decimal(stored.substr(0, dash), n)) continue;
        // An attachment's text is stored beside it as <stored name>.txt; an
        // attachment may itself be named *.txt.
        const bool caption = stored.size() > 4 && stored.compare(stored.size() - 4, 4, ".txt") == 0 &&
                             names.count(stored.substr(0, stored.size() - 4)) > 0;
        found.push_back({n * 2 + (caption ? 1 : 0), {logserver::decodeName(stored.substr(dash + 1)), dir + "/" + stored}});
    }
    std::sort(found.begin(), found.end());
    std::vector<std::pair<std::string, std::string>> out;
    for (auto& f : found) out.push_back(std::move(f.second));
    return out;
}

void ConsoleServer::item(const httplib::Request& req, httplib::Response& res) {
    Caller caller;
    ConsoleItem it;
    if (!signedIn(req, res, caller) || !findItem(req, res, caller, it)) return;
    StoreDir dir;
    index_->storeDir(it.storeNo, dir);
    // The request's JSON: a byte range of the day's meta file, or what the
    // query library finds for older stores.
    std::string requestText;
    logserver::ByteRangeRef ref;
    std::string metaFile;
    if (logserver::parseByteRangeRef(it.meta, ref) && StoreSet::resolve(dir, ref.path, metaFile)) {
        if (ref.length <= kMaxRequestJsonBytes) readRange(metaFile, ref.offset, ref.length, requestText);
    } else {
        logquery::Hit hit;
        hit.store = dir.root;
        hit.record.meta = it.meta;
        hit.record.path = it.path;
        hit.record.rejected = it.rejected;
        logquery::loadCommandJson(hit);
        if (hit.record.json.size() <= kMaxRequestJsonBytes) requestText = hit.record.json;
    }
    std::string infoText;
    std::string file;
    if (it.cmdType == "reportDump" && itemFile(it, file) && file.size() > 4 &&
        file.compare(file.size() - 4, 4, ".dmp") == 0) {
        uint64_t size = 0;
        const std::string info = file.substr(0, file.size() - 4) + ".json";
        if (fileSize(info, size) && size <= kMaxRequestJsonBytes) readRange(info, 0, size, infoText);
    }
    rapidjson::StringBuffer buf;
    JsonWriter w(buf);
    w.StartObject();
    w.Key("item");
    writeItem(w, it);
    // JSON as text: the page parses it and shows it as text, never as markup.
    w.Key("request");
    writeText(w, requestText);
    if (it.cmdType == "reportDump") {
        w.Key("info");
        writeText(w, infoText);
    }
    if (it.cmdType == "reportUser") {
        w.Key("attachments");
        w.StartArray();
        int n = 0;
        for (const auto& [shown, stored] : attachments(it)) {
            uint64_t size = 0;
            fileSize(stored, size);
            w.StartObject();
            w.Key("index");
            w.Int(n++);
            w.Key("name");
            writeString(w, shown);
            w.Key("bytes");
            w.Uint64(size);
            w.EndObject();
        }
        w.EndArray();
    }
    w.EndObject();
    res.set_content(buf.GetString(), kJson);
}

void ConsoleServer::file(const httplib::Request& req, httplib::Response& res) {
    Caller caller;
    ConsoleItem it;
    if (!signedIn(req, res, caller) || !findItem(req, res, caller, it)) return;
    std::string file;
    uint64_t size = 0;
    if (it.cmdType == "reportUser") {
        uint64_t n = 0;
        const auto all = attachments(it);
        if (!decimal(param(req, "attachment"), n) || n >= all.size())
            return jsonError(res, 400, "name an attachment: ?attachment=N");
        if (!fileSize(all[n].second, size)) return jsonError(res, 404, "the file is gone from the store");
        return streamFile(res, all[n].second, 0, size, all[n].first);
    }
    if (!itemFile(it, file) || !fileSize(file, size)) return jsonError(res, 404, "the file is gone from the store");
    uint64_t offset = 0, length = size;
    std::string name = baseName(logserver::decodeName(baseName(it.path)));
    if (it.hasRange && param(req, "whole") != "1") {
        // One command's bytes of an appended file.
        offset = std::min(it.offset, size);
        length = std::min(it.length, size - offset);
        name = (it.client.empty() ? std::string("log") : it.client) + "-" + std::to_string(it.seq) + ".log";
    }
    streamFile(res, file, offset, length, name);
}

void ConsoleServer::zip(const httplib::Request& req, httplib::Response& res) {
    Caller caller;
    ConsoleItem it;
    if (!signedIn(req, res, caller) || !findItem(req, res, caller, it)) return;
    if (it.cmdType != "reportUser") return jsonError(res, 400, "only a user report has attachments");
    std::vector<ZipEntry> entries;
    uint64_t total = 0;
    int n = 0;
    for (const auto& [shown, stored] : attachments(it)) {
        uint64_t size = 0;
        if (!fileSize(stored, size)) continue;
        total += size;
        // Numbered like the store, so two attachments of one name both arrive.
        entries.push_back({std::to_string(n++) + "-" + safeAsciiName(shown), stored});
    }
    if (total > kMaxZipBytes) return jsonError(res, 413, "the attachments are too large for one archive");
    std::string error;
    const int fd = ZipArchive::build(options_.stateDir, entries, error);
    if (fd < 0) return jsonError(res, 500, error);
    struct stat st {};
    ::fstat(fd, &st);
    auto owner = std::shared_ptr<int>(new int(fd), [](int* p) {
        ::close(*p);
        delete p;
    });
    res.set_header("Content-Disposition", contentDisposition("report-" + std::to_string(it.seq) + ".zip"));
    res.set_content_provider(static_cast<size_t>(st.st_size), "application/zip",
                             [owner](size_t at, size_t want, httplib::DataSink& sink) {
                                 std::vector<char> buf(std::min<size_t>(want, 256 * 1024));
                                 const ssize_t got = ::pread(*owner, buf.data(), buf.size(), static_cast<off_t>(at));
                                 if (got <= 0) return false;
                                 return sink.write(buf.data(), static_cast<size_t>(got));
                             });
}

void ConsoleServer::log(const httplib::Request& req, httplib::Response& res) {
    Caller caller;
    ConsoleItem it;
    if (!signedIn(req, res, caller) || !findItem(req, res, caller, it)) return;
    if (it.cmdType != "reportLog" && it.cmdType != "reportDetail") return jsonError(res, 400, "not a log");
    std::string file;
    uint64_t size = 0;
    if (!itemFile(it, file) || !fileSize(file, size)) return jsonError(res, 404, "the file is gone from the store");
    LogPageRequest pr;
    pr.end = size;
    if (it.hasRange && param(req, "whole") != "1") {
        pr.begin = std::min(it.offset, size);
        pr.end = std::min(size, pr.begin + it.length);
    }
    uint64_t offset = pr.begin, limit = kMaxLogLines, line = 0;
    const std::string offsetText = param(req, "offset"), limitText = param(req, "limit"), lineText = param(req, "line");
    if (!offsetText.empty() && !decimal(offsetText, offset)) return jsonError(res, 400, "bad parameter offset");
    if (!limitText.empty() && (!decimal(limitText, limit) || limit < 1 || limit > static_cast<uint64_t>(kMaxLogLines)))
        return jsonError(res, 400, "bad parameter limit: 1 to " + std::to_string(kMaxLogLines));
    if (!lineText.empty() && !decimal(lineText, line)) return jsonError(res, 400, "bad parameter line");
    if (offset < pr.begin || offset > pr.end) return jsonError(res, 400, "bad parameter offset: outside the log");
    pr.offset = offset;
    // Numbers are known from the start of the range, or when the page says.
    pr.firstNumber = offset == pr.begin ? 1 : line;
    pr.limit = static_cast<int>(limit);
    pr.filter = param(req, "filter");
    if (pr.filter.size() > kMaxParamBytes) return jsonError(res, 400, "bad parameter filter");
    LogPage page;
    if (!LogPager::readPage(file, pr, page)) return jsonError(res, 404, "the file is gone from the store");
    rapidjson::StringBuffer buf;
    JsonWriter w(buf);
    w.StartObject();
    w.Key("lines");
    w.StartArray();
    for (const auto& l : page.lines) {
        w.StartObject();
        w.Key("offset");
        w.Uint64(l.offset);
        if (l.number) {
            w.Key("line");
            w.Uint64(l.number);
        }
        w.Key("text");
        writeString(w, l.text);
        w.Key("error");
        w.Bool(l.error);
        w.EndObject();
    }
    w.EndArray();
    w.Key("next");
    if (page.more)
        w.Uint64(page.next);
    else
        w.Null();
    if (page.more && page.nextNumber) {
        w.Key("nextLine");
        w.Uint64(page.nextNumber);
    }
    w.Key("begin");
    w.Uint64(pr.begin);
    w.Key("end");
    w.Uint64(pr.end);
    w.Key("fileBytes");
    w.Uint64(size);
    w.EndObject();
    res.set_content(buf.GetString(), kJson);
}

void ConsoleServer::chart(const httplib::Request& req, httplib::Response& res) {
    Caller caller;
    if (!signedIn(req, res, caller)) return;
    const std::string client = param(req, "client");
    if (client.empty() || client.size() > kMaxParamBytes) return jsonError(res, 400, "bad parameter client");
    const std::string since = utcNow(static_cast<std::time_t>(kChartDays) * 24 * 3600 - 3600);
    ClientChart chart;
    if (!index_->chart(client, caller.scope, since, chart)) return jsonError(res, 503, "index database cannot be read");
    rapidjson::StringBuffer buf;
    JsonWriter w(buf);
    w.StartObject();
    w.Key("since");
    writeString(w, since);
    w.Key("hours");
    w.Int(kChartDays * 24);
    w.Key("kinds");
    w.StartObject();
    for (const auto& [kind, hours] : chart) {
        w.Key(kind.c_str());
        w.StartObject();
        for (const auto& [hour, n] : hours) {
            w.Key(hour.c_str());
            w.Int64(n);
        }
        w.EndObject();
    }
    w.EndObject();
    w.EndObject();
    res.set_content(buf.GetString(), kJson);
}

void ConsoleServer::events(const httplib::Request& req, httplib::Response& res) {
    Caller caller;
    if (!signedIn(req, res, caller)) return;
    if (!feed_.tryAddStream()) return jsonError(res, 503, "too many live views open");
    auto from = std::make_shared<uint64_t>(feed_.head());
    auto greeted = std::make_shared<bool>(false);
    const OrgScope scope = caller.scope;
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, from, greeted, scope](size_t, httplib::DataSink& sink) {
            if (!*greeted) {
                *greeted = true;
                const std::string hello = "retry: 1000\n: live\n\n";
                return sink.write(hello.data(), hello.size());
            }
            std::vector<ConsoleItem> items;
            if (!feed_.waitNext(*from, std::chrono::seconds(15), items)) {
                sink.done();
                return false;
            }
            std::string out;
            for (const auto& it : items)
                if (scope.allows(it.org)) out += "data: " + itemJson(it) + "\n\n";
            // A comment keeps proxies from closing a quiet stream.
            if (out.empty()) out = ": quiet\n\n";
            return sink.write(out.data(), out.size());
        },
        [this](bool) { feed_.removeStream(); });
}

}  // namespace console
