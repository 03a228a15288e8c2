// cloud-server: a local HTTPS stand-in for the terminal's cloud REST service.
//
//   cloud-server [--port N] [--data DIR] [--content DIR]
//   cloud-server [--data DIR] --make-certificates
//
// --port     port on 127.0.0.1; 0 lets the system choose one (default: the
//            port of the build's cloud address)
// --data     users file, SMS codes file and TLS material; the CA certificate
//            clients must trust is DIR/ca.pem (default: the build's CA folder)
// --content  BootPageConfig.json, channelConfig.json, BannerConfig.json (arrays
//            of rows) and files/ with the pictures (default: the demo content)
// --make-certificates  only makes the TLS material missing in DIR, then ends
//
// The first line on standard output is the base address, e.g.
// "https://127.0.0.1:18443"; SIGINT or SIGTERM stop the server.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <httplib.h>

#include "certificates.h"
#include "cloudservice.h"

namespace
{

void Usage(std::ostream& out)
{
    out << "usage: cloud-server [--port N] [--data DIR] [--content DIR]\n"
           "       cloud-server [--data DIR] --make-certificates\n"
           "defaults: --port "
        << CLOUD_SERVER_DEFAULT_PORT << " --data " << CLOUD_SERVER_DEFAULT_DATA << " --content "
        << CLOUD_SERVER_DEFAULT_CONTENT << "\n";
}

bool ParsePort(const std::string& text, int& port)
{
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < 0 || v > 65535)
        return false;
    port = static_cast<int>(v);
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    int port = CLOUD_SERVER_DEFAULT_PORT;
    std::string dataDir = CLOUD_SERVER_DEFAULT_DATA;
    std::string contentDir = CLOUD_SERVER_DEFAULT_CONTENT;
    bool certificatesOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(std::cout);
            return 0;
        }
        if (arg == "--make-certificates") {
            certificatesOnly = true;
            continue;
        }
        if (i + 1 >= argc) {
            Usage(std::cerr);
            return 2;
        }
        const std::string value = argv[++i];
        if (arg == "--port" && ParsePort(value, port))
            continue;
        if (arg == "--data")
            dataDir = value;
        else if (arg == "--content")
            contentDir = value;
        else {
            Usage(std::cerr);
            return 2;
        }
    }

    CertificateFiles certs;
    std::string error;
    if (!EnsureCertificates(dataDir, certs, error)) {
        std::cerr << "cloud-server: " << error << "\n";
        return 1;
    }
    if (certificatesOnly)
        return 0;
    CloudService service(dataDir, contentDir);
    if (!service.Load(error)) {
        std::cerr << "cloud-server: " << error << "\n";
        return 1;
    }

    // Signals are taken by one thread with sigwait; every other thread,
    // the server's pool included, inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    httplib::SSLServer server(certs.serverCert.c_str(), certs.serverKey.c_str());
    if (!server.is_valid()) {
        std::cerr << "cloud-server: cannot load " << certs.serverCert << "\n";
        return 1;
    }
    service.Install(server);
    server.set_payload_max_length(8u << 20);
    server.set_logger([](const httplib::Request& req, const httplib::Response& res) {
        std::cout << req.method << ' ' << req.target << ' ' << res.status << std::endl;
    });

    // The library's default also sets SO_REUSEPORT, with which a second
    // server on the same port would share it silently and the kernel would
    // split the connections between the two. Address reuse alone still lets
    // a restart take the port while old connections linger.
    server.set_socket_options([](socket_t sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // A reply goes out as a header write and a body write. With Nagle's
    // algorithm the body waits for the client's acknowledgement of the
    // header, which the client delays by 40 ms: every reply would be late
    // by that much, as no real service is.
    server.set_tcp_nodelay(true);
    errno = 0;
    int bound = port == 0 ? server.bind_to_any_port("127.0.0.1")
                          : (server.bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound <= 0) {
        const int why = errno;
        std::cerr << "cloud-server: cannot listen on 127.0.0.1:" << port;
        if (why == EADDRINUSE)
            std::cerr << ": the port is already in use";
        else if (why != 0)
            std::cerr << ": " << std::strerror(why);
        std::cerr << std::endl;
        return 1;
    }
    std::cout << "https://127.0.0.1:" << bound << std::endl;
    std::cerr << "cloud-server: CA certificate " << certs.caCert << ", content " << contentDir << std::endl;

    std::atomic<bool> stopRequested { false };
    std::mutex listening;
    std::condition_variable listenerDone;
    bool ended = false;
    std::thread stopper([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        stopRequested = true;
        service.Shutdown();
        server.stop();
        // The server lets an idle kept-alive connection keep its worker for
        // the whole keep-alive time before the listener returns. Requests
        // still being answered get a moment to end; the users file is
        // replaced in one step, so ending here never leaves it cut, and a
        // client holding a connection open does not hold the exit.
        std::unique_lock<std::mutex> lock(listening);
        if (!listenerDone.wait_for(lock, std::chrono::milliseconds(200), [&] { return ended; })) {
            std::cout.flush();
            std::_Exit(0);
        }
    });
    bool ok = server.listen_after_bind();
    {
        std::lock_guard<std::mutex> lock(listening);
        ended = true;
    }
    listenerDone.notify_all();
    if (!stopRequested)
        pthread_kill(stopper.native_handle(), SIGTERM); // the listener failed: release the signal thread
    stopper.join();
    return ok || stopRequested ? 0 : 1;
}
