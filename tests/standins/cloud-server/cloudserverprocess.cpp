#include "cloudserverprocess.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include "../childprocess.h"

namespace
{

std::string CompactJson(const Json::Value& value)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

} // namespace

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

CloudServerProcess::CloudServerProcess()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "cloud-server-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    dataDir_ = root_ + "/data";
    contentDir_ = root_ + "/content";
    std::filesystem::create_directories(dataDir_);
    std::filesystem::create_directories(contentDir_ + "/files");
}

CloudServerProcess::~CloudServerProcess()
{
    Stop();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

bool CloudServerProcess::Start(std::string* error, int port)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        Stop();
        return false;
    };
    Stop();
    const std::string outPath = dataDir_ + "/stdout.log";
    const std::string errPath = dataDir_ + "/stderr.log";
    std::filesystem::remove(outPath);

    const int inFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const std::string program = CLOUD_SERVER_PATH;
    if (inFd >= 0 && outFd >= 0 && errFd >= 0) {
        pid_ = childprocess::SpawnTied(
            { program, "--port", std::to_string(port), "--data", dataDir_, "--content", contentDir_ }, inFd,
            outFd, errFd);
    }
    for (int fd : { inFd, outFd, errFd }) {
        if (fd >= 0)
            close(fd);
    }
    if (pid_ <= 0) {
        pid_ = -1;
        return fail("cannot start " + program);
    }

    // The first line is the base address; key generation takes a moment, a
    // sanitizer build longer still.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string out = ReadWholeFile(outPath);
        size_t eol = out.find('\n');
        if (eol != std::string::npos) {
            baseUrl_ = out.substr(0, eol);
            port_ = std::atoi(baseUrl_.substr(baseUrl_.rfind(':') + 1).c_str());
            return port_ > 0 ? true : fail("unexpected first line: " + baseUrl_);
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return fail("cloud-server ended with " + std::to_string(code) + ": " + ReadWholeFile(errPath));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return fail("cloud-server printed no address");
}

void CloudServerProcess::Stop()
{
    if (pid_ <= 0)
        return;
    // The server keeps every change on disk as it makes it, so nothing is
    // lost by killing it; asked to stop, it would first wait out the idle
    // connections a client keeps open.
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

void CloudServerProcess::WriteClass(const std::string& className, const std::string& rowsJson) const
{
    std::ofstream(contentDir_ + "/" + className + ".json", std::ios::binary | std::ios::trunc) << rowsJson;
}

void CloudServerProcess::WriteFile(const std::string& name, const std::string& bytes) const
{
    std::ofstream(contentDir_ + "/files/" + name, std::ios::binary | std::ios::trunc) << bytes;
}

namespace
{

std::unique_ptr<httplib::SSLClient> DebugClient(const CloudServerProcess& server)
{
    auto client = std::make_unique<httplib::SSLClient>("127.0.0.1", server.Port());
    client->set_ca_cert_path(server.CaFile().c_str());
    client->enable_server_certificate_verification(true);
    client->set_connection_timeout(5);
    client->set_read_timeout(20);
    return client;
}

} // namespace

Json::Value CloudServerProcess::Requests() const
{
    auto client = DebugClient(*this);
    auto res = client->Get("/debug/requests");
    Json::Value root;
    if (!res || res->status != 200)
        throw std::runtime_error("GET /debug/requests failed");
    std::istringstream in(res->body);
    in >> root;
    return root["requests"];
}

void CloudServerProcess::ClearRequests() const
{
    auto client = DebugClient(*this);
    if (!client->Delete("/debug/requests"))
        throw std::runtime_error("DELETE /debug/requests failed");
}

void CloudServerProcess::AddFault(const Json::Value& fault) const
{
    auto client = DebugClient(*this);
    auto res = client->Post("/debug/faults", CompactJson(fault), "application/json");
    if (!res || res->status != 200)
        throw std::runtime_error("POST /debug/faults failed");
}

void CloudServerProcess::ClearFaults() const
{
    auto client = DebugClient(*this);
    if (!client->Delete("/debug/faults"))
        throw std::runtime_error("DELETE /debug/faults failed");
}

std::string CloudServerProcess::LastSmsCode(const std::string& phone) const
{
    std::istringstream in(ReadWholeFile(dataDir_ + "/sms-codes.txt"));
    std::string number, code, last;
    while (in >> number >> code) {
        if (number == phone)
            last = code;
    }
    return last;
}

std::string CloudServerProcess::Output() const
{
    return ReadWholeFile(dataDir_ + "/stdout.log");
}
