#pragma once

// A COstrelSpi for tests: every callback becomes one line of text, and copies
// of the messages are kept for closer looks.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ostrelapi.h"

constexpr auto kWait = std::chrono::seconds(5);

class RecordingSpi : public COstrelSpi
{
public:
    using Quote = kw::pb::ostrel2::QuoteDetailField;
    using Depth = kw::pb::ostrel2::DepthQuoteField;
    using Ticker = kw::pb::ostrel2::TickerField;

    struct Status {
        int method;
        int errorCode;
        std::string errorText;
    };

    void OnFrontConnected() override { Add("connected"); }
    void OnFrontDisconnected(int reason) override { Add("disconnected " + std::to_string(reason)); }
    void OnRtnQuote(const Quote* q) override
    {
        Keep(quotes, *q);
        Add("quote " + q->contract_code() + " " + std::to_string(q->last()));
    }
    void OnRtnCommodity(const kw::pb::ostrel2::CommodityField* c) override
    {
        Add("commodity " + c->commodity_no());
    }
    void OnRtnDepthQuote(const Depth* d) override
    {
        Keep(depths, *d);
        Add("depth " + d->contract_code() + " " + std::to_string(d->level()));
    }
    void OnRtnTicker(const Ticker* t) override
    {
        Keep(tickers, *t);
        Add("ticker " + t->contract_code());
    }
    void OnRspLogin(const kw::pb::ostrel2::RspLoginField* r, const tagRspExParam& ex) override
    {
        Keep(logins, *r);
        Add("login " + r->user_name() + Ex(ex));
    }
    void OnRspLogout(const tagRspExParam& ex) override { Add("logout" + Ex(ex)); }
    void OnRspQryCommodity(const kw::pb::ostrel2::RspQryCommodityField* r, const tagRspExParam& ex) override
    {
        Add("commodities " + std::to_string(r->commodity_list_size()) + Ex(ex));
    }
    void OnRspQryCommodityDetail(
        const kw::pb::ostrel2::RspQryCommodityDetailField* r, const tagRspExParam& ex) override
    {
        Keep(details, *r);
        Add("detail " + std::to_string(r->commodity_list_size()) + Ex(ex));
    }
    void OnRspQryHistory(const kw::pb::ostrel2::RspReqQryHistoryField* r, const tagRspExParam& ex) override
    {
        Keep(histories, *r);
        Add("history " + std::to_string(r->lines_size()) + Ex(ex));
    }
    void OnRspHisMoneyFlow(const kw::pb::ostrel2::RspHisMoneyFlowField* r, const tagRspExParam& ex) override
    {
        Add("moneyflow " + r->contract_code() + Ex(ex));
    }
    void OnRspSubscribe(const kw::pb::ostrel2::RspSubscribedField* r, const tagRspExParam& ex) override
    {
        Keep(subscribes, *r);
        Add("subscribe " + std::to_string(r->succ_list_size()) + "/" + std::to_string(r->fail_list_size())
            + Ex(ex));
    }
    void OnRspUnSubscribe(const tagRspExParam& ex) override { Add("unsubscribe" + Ex(ex)); }
    void OnRspHeartBeat(const kw::pb::ostrel2::HeartBeatField* r, const tagRspExParam& ex) override
    {
        Add("heartbeat " + r->ref() + Ex(ex));
    }

    bool WaitCount(std::size_t n, std::chrono::milliseconds timeout = kWait)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [&] { return events.size() >= n; });
    }
    // Waits until some line starts with prefix.
    bool WaitFor(const std::string& prefix, std::chrono::milliseconds timeout = kWait)
    {
        return WaitUntil([&] { return CountLocked(prefix) > 0; }, timeout);
    }
    bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = kWait)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, done);
    }
    std::vector<std::string> Events()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return events;
    }
    std::size_t Count(const std::string& prefix)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return CountLocked(prefix);
    }
    // Runs f with the recorder locked, for looks at the kept messages.
    template <typename F> auto Locked(F&& f)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return f();
    }

    // f runs after each line is recorded, on the callback thread.
    void SetOnEvent(std::function<void(const std::string&)> f)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_onEvent = std::move(f);
    }

    // Guarded by the recorder's mutex (use Locked or the Wait functions).
    std::vector<std::string> events;
    std::vector<Quote> quotes;
    std::vector<Depth> depths;
    std::vector<Ticker> tickers;
    std::vector<kw::pb::ostrel2::RspLoginField> logins;
    std::vector<kw::pb::ostrel2::RspQryCommodityDetailField> details;
    std::vector<kw::pb::ostrel2::RspReqQryHistoryField> histories;
    std::vector<kw::pb::ostrel2::RspSubscribedField> subscribes;

private:
    std::size_t CountLocked(const std::string& prefix) const
    {
        std::size_t n = 0;
        for (const auto& e : events)
            if (e.compare(0, prefix.size(), prefix) == 0)
                ++n;
        return n;
    }
    static std::string Ex(const tagRspExParam& ex)
    {
        if (ex.error_code == 0)
            return "";
        return " err " + std::to_string(ex.error_code) + " " + ex.error_msg;
    }
    template <typename T> void Keep(std::vector<T>& list, const T& msg)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        list.push_back(msg);
    }
    void Add(const std::string& e)
    {
        std::function<void(const std::string&)> onEvent;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            events.push_back(e);
            onEvent = m_onEvent;
        }
        m_cv.notify_all();
        if (onEvent)
            onEvent(e);
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::function<void(const std::string&)> m_onEvent;
};
