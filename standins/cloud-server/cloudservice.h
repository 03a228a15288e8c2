#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <json/json.h>

namespace httplib
{
class Server;
struct Request;
struct Response;
} // namespace httplib

// The cloud REST service as the terminal uses it: SMS codes, a user store,
// and read-only queries of content classes kept as JSON files. It also keeps
// every request it received and can be told to misbehave, so that tests can
// check exactly what a client sent and how it copes with a bad service.
//
// Routes:
//   POST /1.1/requestSmsCode            {"mobilePhoneNumber"} -> {}
//   POST /1.1/verifySmsCode/<code>      {"mobilePhoneNumber"} -> {}
//   POST /1.1/users                     {"username","password",["phone"|"mobilePhoneNumber"]}
//   POST /1.1/login                     {"username","password"}
//   GET  /1.1/classes/<Class>?where=<json>&limit=<n>&order=<[-]key,...>
//   GET  /files/<name>                  pictures of the content folder's files/
// Each of these is recorded: method, target, the header lines as sent, body.
//   GET|DELETE /debug/requests          requests received so far (oldest first) / forget them
//   POST|DELETE /debug/faults           add a scripted reply / drop all of them
// Errors are {"code": n, "error": text} with a fitting HTTP status.
class CloudService
{
public:
    CloudService(std::string dataDir, std::string contentDir);
    ~CloudService();

    // Reads the users file of the data folder; false (with error) when it
    // exists but is not a users file, so accounts are never silently lost.
    bool Load(std::string& error);

    void Install(httplib::Server& server);

    // Wakes every reply that a fault holds back, so the server can stop.
    void Shutdown();

    static constexpr std::chrono::minutes kSmsCodeLifetime { 10 };

private:
    struct User {
        std::string objectId;
        std::string username;
        std::string phone;
        std::string salt;
        std::string passwordHash;
        std::string createdAt;
    };
    struct SmsCode {
        std::string code;
        std::chrono::steady_clock::time_point expires;
    };
    struct Fault {
        std::string method; // empty: any
        std::string pathPrefix;
        int status = 200;
        std::string contentType = "application/json";
        std::string body;
        std::int64_t repeat = 1;
        int delayMs = 0;
        int times = 1; // negative: every matching request
    };

    using Route = void (CloudService::*)(const httplib::Request&, httplib::Response&);
    std::function<void(const httplib::Request&, httplib::Response&)> Recorded(Route route);
    void Record(const httplib::Request& req);
    bool ReplyWithFault(const httplib::Request& req, httplib::Response& res);
    bool TakeFault(const httplib::Request& req, Fault& fault);

    void RequestSmsCode(const httplib::Request& req, httplib::Response& res);
    void VerifySmsCode(const httplib::Request& req, httplib::Response& res);
    void Register(const httplib::Request& req, httplib::Response& res);
    void Login(const httplib::Request& req, httplib::Response& res);
    void QueryClass(const httplib::Request& req, httplib::Response& res);
    void ServeFile(const httplib::Request& req, httplib::Response& res);
    void NotFound(const httplib::Request& req, httplib::Response& res);
    void GetRequests(httplib::Response& res);
    void AddFault(const httplib::Request& req, httplib::Response& res);

    bool SaveUsers(std::string& error) const;
    std::string HashPassword(const std::string& password, const std::string& salt) const;

    const std::string dataDir_;
    const std::string contentDir_;

    std::mutex mutex_; // guards everything below
    std::vector<User> users_;
    std::map<std::string, SmsCode> smsCodes_;
    Json::Value requests_ { Json::arrayValue };
    std::vector<Fault> faults_;
    bool stopping_ = false;
    std::condition_variable stopCv_;
};
