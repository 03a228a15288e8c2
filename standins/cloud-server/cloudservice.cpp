#include "cloudservice.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include <httplib.h>

#include "rawcapture.h"
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace
{

constexpr int kPbkdf2Rounds = 20000;
const char* const kUsersFile = "users.json";
const char* const kSmsFile = "sms-codes.txt";
constexpr std::uint64_t kMaxFaultBody = 512u << 20;

std::string CompactJson(const Json::Value& value)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

bool ParseJson(const std::string& text, Json::Value& value)
{
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &value, &errors);
}

void SendJson(httplib::Response& res, int status, const Json::Value& body)
{
    res.status = status;
    res.set_content(CompactJson(body), "application/json; charset=utf-8");
}

void SendError(httplib::Response& res, int status, int code, const std::string& message)
{
    Json::Value body(Json::objectValue);
    body["code"] = code;
    body["error"] = message;
    SendJson(res, status, body);
}

// The service's success reply for the SMS calls is exactly these two bytes.
void SendEmptyObject(httplib::Response& res)
{
    res.status = 200;
    res.set_content("{}", "application/json; charset=utf-8");
}

std::string RandomHex(size_t bytes)
{
    std::vector<unsigned char> buf(bytes);
    if (RAND_bytes(buf.data(), static_cast<int>(buf.size())) != 1)
        throw std::runtime_error("RAND_bytes failed");
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : buf) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string RandomSixDigits()
{
    // Rejection sampling keeps every code equally likely.
    for (;;) {
        unsigned char b[4];
        if (RAND_bytes(b, sizeof b) != 1)
            throw std::runtime_error("RAND_bytes failed");
        std::uint32_t v
            = (std::uint32_t(b[0]) << 24) | (std::uint32_t(b[1]) << 16) | (std::uint32_t(b[2]) << 8) | b[3];
        if (v >= 4294000000u)
            continue;
        char text[8];
        std::snprintf(text, sizeof text, "%06u", v % 1000000u);
        return text;
    }
}

std::string IsoNow()
{
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t secs = system_clock::to_time_t(now);
    auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm {};
    gmtime_r(&secs, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
        tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return buf;
}

// A JSON request body must be an object; anything else is the service's
// "malformed JSON" error.
bool ParseBody(const httplib::Request& req, httplib::Response& res, Json::Value& body)
{
    if (!ParseJson(req.body, body) || !body.isObject()) {
        SendError(res, 400, 107, "Malformed json object. A json dictionary is expected.");
        return false;
    }
    return true;
}

std::string TextMember(const Json::Value& object, const char* name)
{
    const Json::Value& v = object[name];
    return v.isString() ? v.asString() : std::string();
}

bool ValidPhone(const std::string& phone)
{
    const size_t start = !phone.empty() && phone[0] == '+' ? 1 : 0;
    const size_t digits = phone.size() - start;
    return digits >= 6 && digits <= 20
        && std::all_of(phone.begin() + static_cast<long>(start), phone.end(),
            [](char c) { return c >= '0' && c <= '9'; });
}

// Writes a file readable by the owner only and swaps it in, so a crash
// never leaves half a users file behind.
bool WritePrivateFile(const std::string& path, const std::string& text)
{
    const std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0)
        return false;
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

bool ReadFile(const std::string& path, std::string& text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    text = ss.str();
    return true;
}

struct SortKey {
    std::string name;
    bool descending = false;
};

std::vector<SortKey> ParseOrder(const std::string& order)
{
    std::vector<SortKey> keys;
    std::stringstream ss(order);
    std::string item;
    while (std::getline(ss, item, ',')) {
        if (item.empty())
            continue;
        SortKey key;
        if (item[0] == '-') {
            key.descending = true;
            item.erase(0, 1);
        }
        key.name = item;
        keys.push_back(key);
    }
    return keys;
}

// Orders values of one member the way the service does for plain types:
// missing first, then numbers, then texts (ISO dates sort as texts).
int CompareValues(const Json::Value& a, const Json::Value& b)
{
    auto rank = [](const Json::Value& v) {
        return v.isNull() ? 0 : v.isNumeric() ? 1 : v.isString() ? 2 : 3;
    };
    if (rank(a) != rank(b))
        return rank(a) < rank(b) ? -1 : 1;
    if (a.isNumeric())
        return a.asDouble() < b.asDouble() ? -1 : a.asDouble() > b.asDouble() ? 1 : 0;
    if (a.isString())
        return a.asString().compare(b.asString()) < 0 ? -1 : a.asString() == b.asString() ? 0 : 1;
    return 0;
}

// Relative picture addresses in the content files ("/files/x.png") become
// addresses of this server, as the client reaches it.
void ResolveImageUrls(Json::Value& row, const std::string& base)
{
    if (!row.isObject())
        return;
    Json::Value& image = row["image"];
    if (image.isObject() && image["url"].isString()) {
        std::string url = image["url"].asString();
        if (!url.empty() && url[0] == '/')
            image["url"] = base + url;
    }
    if (row["image"].isNull())
        row.removeMember("image");
}

} // namespace

CloudService::CloudService(std::string dataDir, std::string contentDir)
    : dataDir_(std::move(dataDir))
    , contentDir_(std::move(contentDir))
{
}

CloudService::~CloudService() = default;

bool CloudService::Load(std::string& error)
{
    const std::string path = (std::filesystem::path(dataDir_) / kUsersFile).string();
    std::string text;
    if (!ReadFile(path, text))
        return true; // first start: no users yet
    Json::Value root;
    if (!ParseJson(text, root) || !root.isObject() || !root["users"].isArray()) {
        error = path + " is not a users file";
        return false;
    }
    for (const Json::Value& u : root["users"]) {
        if (!u.isObject()) {
            error = path + " holds a user that is not an object";
            return false;
        }
        User user;
        user.objectId = TextMember(u, "objectId");
        user.username = TextMember(u, "username");
        user.phone = TextMember(u, "mobilePhoneNumber");
        user.salt = TextMember(u, "salt");
        user.passwordHash = TextMember(u, "passwordHash");
        user.createdAt = TextMember(u, "createdAt");
        users_.push_back(user);
    }
    return true;
}

bool CloudService::SaveUsers(std::string& error) const
{
    Json::Value root(Json::objectValue);
    Json::Value& list = root["users"] = Json::Value(Json::arrayValue);
    for (const User& user : users_) {
        Json::Value u(Json::objectValue);
        u["objectId"] = user.objectId;
        u["username"] = user.username;
        u["mobilePhoneNumber"] = user.phone;
        u["salt"] = user.salt;
        u["passwordHash"] = user.passwordHash;
        u["createdAt"] = user.createdAt;
        list.append(u);
    }
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    const std::string path = (std::filesystem::path(dataDir_) / kUsersFile).string();
    if (!WritePrivateFile(path, Json::writeString(builder, root) + "\n")) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

std::string CloudService::HashPassword(const std::string& password, const std::string& salt) const
{
    unsigned char out[32];
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
            reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()), kPbkdf2Rounds,
            EVP_sha256(), sizeof out, out)
        != 1)
        throw std::runtime_error("PBKDF2 failed");
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : out) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

void CloudService::Install(httplib::Server& server)
{
    server.Post("/1.1/requestSmsCode", Recorded(&CloudService::RequestSmsCode));
    server.Post(R"(/1\.1/verifySmsCode/(.*))", Recorded(&CloudService::VerifySmsCode));
    server.Post("/1.1/users", Recorded(&CloudService::Register));
    server.Post("/1.1/login", Recorded(&CloudService::Login));
    server.Get(R"(/1\.1/classes/([^/]*))", Recorded(&CloudService::QueryClass));
    server.Get(R"(/files/([^/]*))", Recorded(&CloudService::ServeFile));
    server.Get(
        "/debug/requests", [this](const httplib::Request&, httplib::Response& res) { GetRequests(res); });
    server.Delete("/debug/requests", [this](const httplib::Request&, httplib::Response& res) {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_ = Json::Value(Json::arrayValue);
        SendEmptyObject(res);
    });
    server.Post(
        "/debug/faults", [this](const httplib::Request& req, httplib::Response& res) { AddFault(req, res); });
    server.Delete("/debug/faults", [this](const httplib::Request&, httplib::Response& res) {
        std::lock_guard<std::mutex> lock(mutex_);
        faults_.clear();
        SendEmptyObject(res);
    });
    // Anything else is recorded too, then refused in the service's shape.
    server.Get(".*", Recorded(&CloudService::NotFound));
    server.Post(".*", Recorded(&CloudService::NotFound));
    server.Put(".*", Recorded(&CloudService::NotFound));
    server.Delete(".*", Recorded(&CloudService::NotFound));
    server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty())
            SendError(res, res.status, res.status, "Request failed.");
    });
    server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
        std::string what = "internal error";
        try {
            std::rethrow_exception(ep);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        SendError(res, 500, 1, what);
    });
}

std::function<void(const httplib::Request&, httplib::Response&)> CloudService::Recorded(Route route)
{
    return [this, route](const httplib::Request& req, httplib::Response& res) {
        Record(req);
        if (!ReplyWithFault(req, res))
            (this->*route)(req, res);
    };
}

void CloudService::Shutdown()
{
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    stopCv_.notify_all();
}

bool CloudService::ReplyWithFault(const httplib::Request& req, httplib::Response& res)
{
    Fault fault;
    if (!TakeFault(req, fault))
        return false;
    if (fault.delayMs > 0) {
        std::unique_lock<std::mutex> lock(mutex_);
        stopCv_.wait_for(lock, std::chrono::milliseconds(fault.delayMs), [this] { return stopping_; });
    }
    std::string body;
    body.reserve(fault.body.size() * static_cast<size_t>(fault.repeat));
    for (std::int64_t i = 0; i < fault.repeat; ++i)
        body += fault.body;
    res.status = fault.status;
    res.set_content(body, fault.contentType.c_str());
    return true;
}

void CloudService::Record(const httplib::Request& req)
{
    Json::Value entry(Json::objectValue);
    entry["method"] = req.method;
    entry["target"] = req.target;
    entry["path"] = req.path;
    Json::Value& lines = entry["headerLines"] = Json::Value(Json::arrayValue);
    for (const std::string& line : TakeRawHeaderLines(req.ssl, req.body.size()))
        lines.append(line);
    entry["body"] = req.body;
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.append(entry);
}

bool CloudService::TakeFault(const httplib::Request& req, Fault& fault)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if ((!it->method.empty() && it->method != req.method) || req.path.rfind(it->pathPrefix, 0) != 0)
            continue;
        fault = *it;
        if (it->times > 0 && --it->times == 0)
            faults_.erase(it);
        return true;
    }
    return false;
}

void CloudService::RequestSmsCode(const httplib::Request& req, httplib::Response& res)
{
    Json::Value body;
    if (!ParseBody(req, res, body))
        return;
    const std::string phone = TextMember(body, "mobilePhoneNumber");
    if (!ValidPhone(phone)) {
        SendError(res, 400, 127, "Invalid mobile phone number.");
        return;
    }
    const std::string code = RandomSixDigits();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        smsCodes_[phone] = SmsCode { code, std::chrono::steady_clock::now() + kSmsCodeLifetime };
        // No SMS is sent here: the code goes where a person or a test can read it.
        std::ofstream out((std::filesystem::path(dataDir_) / kSmsFile).string(), std::ios::app);
        out << phone << ' ' << code << '\n';
    }
    std::cout << "SMS code for " << phone << ": " << code << std::endl;
    SendEmptyObject(res);
}

void CloudService::VerifySmsCode(const httplib::Request& req, httplib::Response& res)
{
    Json::Value body;
    if (!ParseBody(req, res, body))
        return;
    const std::string phone = TextMember(body, "mobilePhoneNumber");
    const std::string code = req.matches.size() > 1 ? std::string(req.matches[1]) : std::string();
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = smsCodes_.find(phone);
    if (it == smsCodes_.end() || it->second.expires < std::chrono::steady_clock::now() || code.empty()
        || it->second.code != code) {
        SendError(res, 400, 603, "Invalid SMS code.");
        return;
    }
    smsCodes_.erase(it); // a code verifies once
    SendEmptyObject(res);
}

void CloudService::Register(const httplib::Request& req, httplib::Response& res)
{
    Json::Value body;
    if (!ParseBody(req, res, body))
        return;
    User user;
    user.username = TextMember(body, "username");
    const std::string password = TextMember(body, "password");
    user.phone = TextMember(body, "mobilePhoneNumber");
    if (user.phone.empty())
        user.phone = TextMember(body, "phone");
    if (user.username.empty()) {
        SendError(res, 400, 200, "Username is missing or empty.");
        return;
    }
    if (password.empty()) {
        SendError(res, 400, 201, "Password is missing or empty.");
        return;
    }
    if (!user.phone.empty() && !ValidPhone(user.phone)) {
        SendError(res, 400, 127, "Invalid mobile phone number.");
        return;
    }
    user.salt = RandomHex(16);
    user.passwordHash = HashPassword(password, user.salt);
    user.objectId = RandomHex(12);
    user.createdAt = IsoNow();

    std::lock_guard<std::mutex> lock(mutex_);
    for (const User& u : users_) {
        if (u.username == user.username) {
            SendError(res, 400, 202, "Username has already been taken.");
            return;
        }
        if (!user.phone.empty() && u.phone == user.phone) {
            SendError(res, 400, 214, "Mobile phone number has already been taken.");
            return;
        }
    }
    users_.push_back(user);
    std::string error;
    if (!SaveUsers(error)) {
        users_.pop_back();
        SendError(res, 500, 1, error);
        return;
    }
    Json::Value reply(Json::objectValue);
    reply["objectId"] = user.objectId;
    reply["createdAt"] = user.createdAt;
    reply["sessionToken"] = RandomHex(16);
    SendJson(res, 201, reply);
}

void CloudService::Login(const httplib::Request& req, httplib::Response& res)
{
    Json::Value body;
    if (!ParseBody(req, res, body))
        return;
    const std::string username = TextMember(body, "username");
    const std::string password = TextMember(body, "password");
    if (username.empty()) {
        SendError(res, 400, 200, "Username is missing or empty.");
        return;
    }
    if (password.empty()) {
        SendError(res, 400, 201, "Password is missing or empty.");
        return;
    }
    User user;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find_if(
            users_.begin(), users_.end(), [&](const User& u) { return u.username == username; });
        if (it == users_.end()) {
            SendError(res, 400, 211, "Could not find user.");
            return;
        }
        user = *it;
    }
    if (HashPassword(password, user.salt) != user.passwordHash) {
        SendError(res, 400, 210, "The username and password mismatch.");
        return;
    }
    Json::Value reply(Json::objectValue);
    reply["objectId"] = user.objectId;
    reply["username"] = user.username;
    reply["mobilePhoneNumber"] = user.phone;
    reply["createdAt"] = user.createdAt;
    reply["sessionToken"] = RandomHex(16);
    SendJson(res, 200, reply);
}

void CloudService::QueryClass(const httplib::Request& req, httplib::Response& res)
{
    const std::string className = req.matches.size() > 1 ? std::string(req.matches[1]) : std::string();
    auto nameChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    if (className.empty() || className.size() > 128 || std::isdigit(static_cast<unsigned char>(className[0]))
        || !std::all_of(className.begin(), className.end(), nameChar)) {
        SendError(res, 400, 103, "Invalid class name.");
        return;
    }
    Json::Value where(Json::objectValue);
    if (req.has_param("where")) {
        if (!ParseJson(req.get_param_value("where"), where) || !where.isObject()) {
            SendError(res, 400, 107, "Malformed json object in where.");
            return;
        }
    }
    long limit = 100;
    if (req.has_param("limit")) {
        const std::string text = req.get_param_value("limit");
        char* end = nullptr;
        limit = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || limit < 0 || limit > 1000) {
            SendError(res, 400, 1, "Invalid value for limit.");
            return;
        }
    }
    const std::vector<SortKey> order = ParseOrder(req.get_param_value("order"));

    Json::Value rows(Json::arrayValue);
    const std::string path = (std::filesystem::path(contentDir_) / (className + ".json")).string();
    std::string text;
    if (ReadFile(path, text) && !ParseJson(text, rows)) {
        SendError(res, 500, 1, "Content of class " + className + " is not valid JSON.");
        return;
    }
    if (!rows.isArray()) {
        SendError(res, 500, 1, "Content of class " + className + " is not an array of rows.");
        return;
    }

    std::vector<Json::Value> matched;
    for (const Json::Value& row : rows) {
        bool keep = true;
        for (const std::string& name : where.getMemberNames()) {
            if (!row.isObject() || row[name] != where[name]) {
                keep = false;
                break;
            }
        }
        if (keep)
            matched.push_back(row);
    }
    std::stable_sort(matched.begin(), matched.end(), [&](const Json::Value& a, const Json::Value& b) {
        for (const SortKey& key : order) {
            const Json::Value none;
            int c = CompareValues(a.isObject() ? a[key.name] : none, b.isObject() ? b[key.name] : none);
            if (c != 0)
                return key.descending ? c > 0 : c < 0;
        }
        return false;
    });
    if (matched.size() > static_cast<size_t>(limit))
        matched.resize(static_cast<size_t>(limit));

    const std::string base
        = "https://" + (req.has_header("Host") ? req.get_header_value("Host") : "127.0.0.1");
    Json::Value reply(Json::objectValue);
    Json::Value& results = reply["results"] = Json::Value(Json::arrayValue);
    for (Json::Value& row : matched) {
        ResolveImageUrls(row, base);
        results.append(row);
    }
    SendJson(res, 200, reply);
}

void CloudService::ServeFile(const httplib::Request& req, httplib::Response& res)
{
    const std::string name = req.matches.size() > 1 ? std::string(req.matches[1]) : std::string();
    std::string data;
    const std::filesystem::path file = std::filesystem::path(contentDir_) / "files" / name;
    std::error_code ec;
    if (name.empty() || name == "." || name == ".." || !std::filesystem::is_regular_file(file, ec)
        || !ReadFile(file.string(), data)) {
        SendError(res, 404, 404, "File not found.");
        return;
    }
    static const std::map<std::string, std::string> types = {
        { ".png", "image/png" },
        { ".gif", "image/gif" },
        { ".jpg", "image/jpeg" },
        { ".jpeg", "image/jpeg" },
        { ".bmp", "image/bmp" },
        { ".html", "text/html; charset=utf-8" },
    };
    auto type = types.find(std::filesystem::path(name).extension().string());
    res.status = 200;
    res.set_content(data, type == types.end() ? "application/octet-stream" : type->second.c_str());
}

void CloudService::NotFound(const httplib::Request&, httplib::Response& res)
{
    SendError(res, 404, 404, "The requested resource was not found.");
}

void CloudService::GetRequests(httplib::Response& res)
{
    Json::Value reply(Json::objectValue);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reply["requests"] = requests_;
    }
    SendJson(res, 200, reply);
}

void CloudService::AddFault(const httplib::Request& req, httplib::Response& res)
{
    Json::Value body;
    if (!ParseBody(req, res, body))
        return;
    Fault fault;
    fault.method = TextMember(body, "method");
    fault.pathPrefix = TextMember(body, "path");
    if (body["status"].isInt())
        fault.status = body["status"].asInt();
    if (body["contentType"].isString())
        fault.contentType = body["contentType"].asString();
    fault.body = TextMember(body, "body");
    if (body["repeat"].isInt64())
        fault.repeat = body["repeat"].asInt64();
    if (body["delayMs"].isInt())
        fault.delayMs = body["delayMs"].asInt();
    if (body["times"].isInt())
        fault.times = body["times"].asInt();
    if (fault.pathPrefix.empty() || fault.status < 100 || fault.status > 599 || fault.repeat < 0
        || static_cast<std::uint64_t>(fault.repeat) * std::max<size_t>(fault.body.size(), 1) > kMaxFaultBody
        || fault.delayMs < 0 || fault.times == 0) {
        SendError(res, 400, 1, "Invalid fault.");
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(fault);
    SendEmptyObject(res);
}
