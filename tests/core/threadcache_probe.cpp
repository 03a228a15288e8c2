// Run by the platform test: calls platform::DeepenThreadCaches and prints what
// the process started with, what it hands on to programs it starts, its name
// in process lists and its arguments, one per line.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "platform.h"

int main(int argc, char* argv[])
{
    platform::DeepenThreadCaches(argv);
    // The environment the process image was started with, whatever was unset since.
    std::ifstream in("/proc/self/environ", std::ios::binary);
    const std::string block((std::istreambuf_iterator<char>(in)), {});
    const std::string name = "GLIBC_TUNABLES=";
    std::string startedWith = "-";
    for (std::size_t at = 0; at < block.size();) {
        const std::size_t end = block.find('\0', at);
        const std::string entry = block.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (entry.compare(0, name.size(), name) == 0)
            startedWith = entry.substr(name.size());
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    const char* handedOn = std::getenv("GLIBC_TUNABLES");
    std::ifstream commFile("/proc/self/comm");
    std::string comm;
    std::getline(commFile, comm);
    std::printf("%s\n%s\n%s\n", startedWith.c_str(), handedOn ? handedOn : "-", comm.c_str());
    for (int i = 1; i < argc; ++i)
        std::printf("%s%s", i > 1 ? "|" : "", argv[i]);
    std::printf("\n");
    return 0;
}
