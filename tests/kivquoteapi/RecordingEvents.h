#pragma once

// An IKivQuoteEvents that records every call, for the tests.

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "IKivQuoteAPI.h"

namespace kqtest
{

enum class EventKind {
    LoginReply,
    Ready,
    ConnectionLost,
    Commodity,
    Contract,
    Subscribe,
    Unsubscribe,
    Quote
};

struct Event {
    EventKind kind;
    int code = 0;
    uint32_t sessionID = 0;
    char isLast = 0;
    bool hasData = false;
    std::string data; // a copy of what the pointer showed, as far as its size is known
};

class RecordingEvents : public IKivQuoteEvents
{
public:
    // Sizes of the pass-through bodies, which the library hands over without length.
    size_t loginInfoSize = 0;
    size_t quoteSize = 0;
    // Run inside each callback, after it has been recorded.
    void SetOnEvent(std::function<void(const Event&)> hook)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_onEvent = std::move(hook);
    }

    void OnLoginReply(int errorCode, const char* info) override
    {
        Record({ EventKind::LoginReply, errorCode, 0, 0, info != nullptr, Copy(info, loginInfoSize) });
    }
    void OnReadyForRequests() override { Record({ EventKind::Ready, 0, 0, 0, false, {} }); }
    void OnConnectionLost(int reason) override
    {
        Record({ EventKind::ConnectionLost, reason, 0, 0, false, {} });
    }
    void OnCommodityItem(
        uint32_t sessionID, int errorCode, char isLast, const QuoteCommodityRecord* commodity) override
    {
        Record({ EventKind::Commodity, errorCode, sessionID, isLast, commodity != nullptr,
            Copy(commodity, sizeof(*commodity)) });
    }
    void OnContractItem(
        uint32_t sessionID, int errorCode, char isLast, const QuoteContractRecord* contract) override
    {
        Record({ EventKind::Contract, errorCode, sessionID, isLast, contract != nullptr,
            Copy(contract, sizeof(*contract)) });
    }
    void OnSubscribeReply(
        uint32_t sessionID, int errorCode, char isLast, const QuoteContractKey* info) override
    {
        Record({ EventKind::Subscribe, errorCode, sessionID, isLast, info != nullptr,
            Copy(info, sizeof(*info)) });
    }
    void OnUnsubscribeReply(
        uint32_t sessionID, int errorCode, char isLast, const QuoteContractKey* info) override
    {
        Record({ EventKind::Unsubscribe, errorCode, sessionID, isLast, info != nullptr,
            Copy(info, sizeof(*info)) });
    }
    void OnQuoteData(const char* quote) override
    {
        Record({ EventKind::Quote, 0, 0, 0, quote != nullptr, Copy(quote, quoteSize) });
    }

    std::vector<Event> Events() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    std::vector<Event> Of(EventKind kind) const
    {
        std::vector<Event> result;
        for (const Event& event : Events()) {
            if (event.kind == kind)
                result.push_back(event);
        }
        return result;
    }
    size_t Count(EventKind kind) const { return Of(kind).size(); }
    bool WaitFor(EventKind kind, size_t count, double seconds = 10) const
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
            size_t seen = 0;
            for (const Event& event : m_events)
                seen += event.kind == kind ? 1 : 0;
            return seen >= count;
        });
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.clear();
    }

private:
    static std::string Copy(const void* data, size_t size)
    {
        return data ? std::string(static_cast<const char*>(data), size) : std::string();
    }
    void Record(const Event& event)
    {
        std::function<void(const Event&)> hook;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(event);
            m_changed.notify_all();
            hook = m_onEvent;
        }
        if (hook)
            hook(event);
    }

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<Event> m_events;
    std::function<void(const Event&)> m_onEvent;
};

} // namespace kqtest
