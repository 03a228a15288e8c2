// A program that loads libKivQuoteAPI at run time the way an impatient host
// does, for test_dlopen, which checks that it exits with 0:
//   unload_client unload <library> <data folder> <rounds>
//     each round loads the library, logs in, frees the object and unloads
//     the library at once;
//   unload_client free-at-exit <library> <data folder>
//     logs in and leaves the free to a global destructor, after main returns.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include <dlfcn.h>

#include "IKivQuoteAPI.h"
#include "QuoteServer.h"
#include "RecordingEvents.h"
#include "TestRecords.h"

using namespace kqtest;

namespace
{

// While an object is being freed and its library unloaded, frees on the
// other threads are slowed down: a receive thread still on its way out of
// the library (its last step deletes its own start record, code of the
// library) is then caught by the unload that follows the free.
std::atomic<bool> g_slowFrees { false };
std::thread::id g_mainThread;

void Release(void* memory) noexcept
{
    if (memory && g_slowFrees.load(std::memory_order_relaxed) && std::this_thread::get_id() != g_mainThread)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::free(memory);
}

void* Allocate(std::size_t size)
{
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}

struct Library {
    void* handle = nullptr;
    decltype(&CreateKivQuoteAPI) create = nullptr;
    decltype(&FreeKivQuoteAPI) release = nullptr;
    decltype(&SetKivQuoteAPIDataPath) setDataPath = nullptr;

    bool Load(const char* path)
    {
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            std::fprintf(stderr, "dlopen: %s\n", dlerror());
            return false;
        }
        create = reinterpret_cast<decltype(create)>(dlsym(handle, "CreateKivQuoteAPI"));
        release = reinterpret_cast<decltype(release)>(dlsym(handle, "FreeKivQuoteAPI"));
        setDataPath = reinterpret_cast<decltype(setDataPath)>(dlsym(handle, "SetKivQuoteAPIDataPath"));
        return create && release && setDataPath;
    }
};

// Logged in and ready, or null.
IKivQuoteAPI* LogIn(Library& library, const char* folder, QuoteServer& server, RecordingEvents& events)
{
    if (library.setDataPath(folder) != KQ_SUCCESS)
        return nullptr;
    const QuoteAppInfo info = AppInfo();
    int result = -1;
    IKivQuoteAPI* api = library.create(&info, &result);
    if (!api)
        return nullptr;
    const QuoteLoginRecord login = Login("host", "pw");
    if (api->SetNotifyHandler(&events) != KQ_SUCCESS || api->SetServerAddress("127.0.0.1", server.Port()) != 0
        || api->ConnectAndLogin(&login) != KQ_SUCCESS || !events.WaitFor(EventKind::Ready, 1)) {
        std::fprintf(stderr, "no login\n");
        library.release(api);
        return nullptr;
    }
    return api;
}

int UnloadRounds(const char* path, const char* folder, int rounds)
{
    QuoteServer server;
    server.AddUser("host", "pw");
    for (int round = 0; round < rounds; ++round) {
        RecordingEvents events;
        Library library;
        if (!library.Load(path))
            return 2;
        IKivQuoteAPI* api = LogIn(library, folder, server, events);
        if (!api)
            return 3;
        g_slowFrees = true;
        library.release(api);
        if (dlclose(library.handle) != 0)
            return 4;
        if (dlopen(path, RTLD_NOW | RTLD_NOLOAD)) {
            std::fprintf(stderr, "the library stayed loaded\n");
            return 5;
        }
        g_slowFrees = false;
        if (events.Count(EventKind::ConnectionLost) != 0)
            return 6;
    }
    return 0;
}

// Built before main, so destroyed after every static the library makes on
// first use: the free below runs when those are gone.
struct FreedAtExit {
    QuoteServer server;
    RecordingEvents events;
    Library library;
    IKivQuoteAPI* api = nullptr;
    ~FreedAtExit()
    {
        if (api)
            library.release(api);
    }
} g_atExit;

int FreeAtExit(const char* path, const char* folder)
{
    g_atExit.server.AddUser("host", "pw");
    if (!g_atExit.library.Load(path))
        return 2;
    g_atExit.api = LogIn(g_atExit.library, folder, g_atExit.server, g_atExit.events);
    return g_atExit.api ? 0 : 3;
}

} // namespace

void* operator new(std::size_t size)
{
    return Allocate(size);
}
void* operator new[](std::size_t size)
{
    return Allocate(size);
}
void operator delete(void* memory) noexcept
{
    Release(memory);
}
void operator delete[](void* memory) noexcept
{
    Release(memory);
}
void operator delete(void* memory, std::size_t) noexcept
{
    Release(memory);
}
void operator delete[](void* memory, std::size_t) noexcept
{
    Release(memory);
}

int main(int argc, char** argv)
{
    g_mainThread = std::this_thread::get_id();
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "unload" && argc == 5)
        return UnloadRounds(argv[2], argv[3], std::atoi(argv[4]));
    if (mode == "free-at-exit" && argc == 4)
        return FreeAtExit(argv[2], argv[3]);
    std::fprintf(
        stderr, "usage: %s unload <library> <folder> <rounds> | free-at-exit <library> <folder>\n", argv[0]);
    return 2;
}
