// The five exports and the state they share across all API objects.

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <thread>

#include "ApiLogger.h"
#include "IKivQuoteAPI.h"
#include "IKivQuoteAPIExtend.h"
#include "Immortal.h"

namespace
{

const char kVersion[] = "V9.3.1.0";

char g_dataPath[1024];
std::atomic<bool> g_dataPathSet { false };

// Objects made by CreateKivQuoteAPI and not yet freed: FreeKivQuoteAPI
// touches nothing else, so a foreign or already freed pointer is left alone.
// Never destroyed: a caller may free its object from a global destructor,
// which runs after the library's own statics would have gone.
std::mutex& RegistryMutex()
{
    static Immortal<std::mutex> mutex;
    return mutex.Get();
}

std::set<const IKivQuoteAPI*>& Registry()
{
    static Immortal<std::set<const IKivQuoteAPI*>> live;
    return live.Get();
}

} // namespace

extern "C" {

KIVQUOTEAPI_EXPORT IKivQuoteAPI* CreateKivQuoteAPI(const QuoteAppInfo* appInfo, int* result)
{
    if (!appInfo)
        return nullptr;
    IKivQuoteAPIExtend* api = nullptr;
    try {
        api = new IKivQuoteAPIExtend(appInfo);
        std::lock_guard<std::mutex> lock(RegistryMutex());
        Registry().insert(api);
    } catch (...) {
        delete api;
        return nullptr;
    }
    if (result)
        *result = KQ_SUCCESS;
    SetKivQuoteAPIDataPath("API");
    return api;
}

KIVQUOTEAPI_EXPORT void FreeKivQuoteAPI(IKivQuoteAPI* api)
{
    if (!api)
        return;
    {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        if (Registry().erase(api) == 0)
            return;
    }
    auto* extend = static_cast<IKivQuoteAPIExtend*>(api);
    if (IKivQuoteAPIExtend::OnReceiveThreadOf(extend)) {
        // Freed from one of its own callbacks: the receive thread goes on
        // using the object after the callback returns, so it is released on
        // another thread once the receive thread is done with it.
        extend->MarkDestroying();
        try {
            std::thread([extend] { delete extend; }).detach();
        } catch (const std::system_error&) {
            KQLOG_ERROR("Cannot release the API object from its own callback.\n");
        }
        return;
    }
    delete extend;
}

KIVQUOTEAPI_EXPORT const char* GetKivQuoteAPIVersion()
{
    return kVersion;
}

KIVQUOTEAPI_EXPORT int SetKivQuoteAPIDataPath(const char* path)
{
    // A path that does not fit is refused rather than cut into another folder.
    if (!path || path[0] == '\0' || strnlen(path, sizeof(g_dataPath)) >= sizeof(g_dataPath))
        return KQ_ERR_BAD_ARGUMENT;
    if (g_dataPathSet.exchange(true))
        return KQ_SUCCESS;
    std::memcpy(g_dataPath, path, std::strlen(path) + 1);
    MakeDirectories(g_dataPath);
    ApiLogger& logger = ApiLogger::GetInstance();
    logger.SetPath(std::string(g_dataPath) + "/KivQuoteAPI_KeyOperation_" + TodayText() + ".log");
    logger.Enable();
    logger.SetLevel(API_LOG_INFO);
    return KQ_SUCCESS;
}

KIVQUOTEAPI_EXPORT int SetKivQuoteAPILogLevel(char level)
{
    ApiLogger::GetInstance().SetLevel(ApiLogger::LevelFromLetter(level));
    return static_cast<signed char>(level);
}
}
