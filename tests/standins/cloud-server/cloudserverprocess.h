#pragma once

#include <string>

#include <sys/types.h>

#include <json/json.h>

// A cloud-server child process on a free port of 127.0.0.1, with a data
// folder of its own (users, SMS codes, its CA) and a content folder that the
// test fills. Stopped and its folders removed when the object goes.
class CloudServerProcess
{
public:
    CloudServerProcess();
    ~CloudServerProcess();
    CloudServerProcess(const CloudServerProcess&) = delete;
    CloudServerProcess& operator=(const CloudServerProcess&) = delete;

    // Starts the server; a second Start after Stop reuses the same folders,
    // as a restarted service would. `port` 0 lets the system choose. False
    // (with the reason: the exit code and what the server wrote) on failure.
    bool Start(std::string* error = nullptr, int port = 0);
    void Stop();

    const std::string& BaseUrl() const { return baseUrl_; }
    int Port() const { return port_; }
    std::string CaFile() const { return dataDir_ + "/ca.pem"; }
    const std::string& DataDir() const { return dataDir_; }
    const std::string& ContentDir() const { return contentDir_; }

    // Content of one class (a JSON array of rows) and pictures under files/.
    void WriteClass(const std::string& className, const std::string& rowsJson) const;
    void WriteFile(const std::string& name, const std::string& bytes) const;

    // What the server received (its /debug/requests list) and forgetting it.
    Json::Value Requests() const;
    void ClearRequests() const;
    // Scripted replies: see the server's /debug/faults.
    void AddFault(const Json::Value& fault) const;
    void ClearFaults() const;

    // The newest SMS code the server issued for a phone number ("" if none).
    std::string LastSmsCode(const std::string& phone) const;
    // Everything the server printed on its standard output so far.
    std::string Output() const;

private:
    std::string root_;
    std::string dataDir_;
    std::string contentDir_;
    std::string baseUrl_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// Reads a whole file; "" when it cannot be read.
std::string ReadWholeFile(const std::string& path);
