#include "ApiLimits.h"

#include <mutex>

#include "ApiLogger.h"
#include "Immortal.h"

namespace
{

struct SharedLimits {
    std::mutex mutex;
    ApiLimits limits;
};

SharedLimits& Shared()
{
    static Immortal<SharedLimits> shared;
    return shared.Get();
}

} // namespace

ApiLimits ApiLimits::Current()
{
    SharedLimits& shared = Shared();
    std::lock_guard<std::mutex> lock(shared.mutex);
    return shared.limits;
}

void ApiLimits::Set(const ApiLimits& limits)
{
    {
        SharedLimits& shared = Shared();
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.limits = limits;
    }
    ApiLogger::GetInstance().ResetBudget();
}
