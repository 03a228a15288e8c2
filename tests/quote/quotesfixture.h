// The quote tests on a connection to the quote-server program through a
// frame relay: a fixture with a subscribed contract whose quotes only the
// test sends, and the helpers that read what reached the GUI thread.

#pragma once

#include <algorithm>

#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include "quoteclientkit.h"

namespace
{

using google::protobuf::util::MessageDifferencer;
using kit::FrameRelay;
namespace pb = kw::pb::ostrel2;

using kit::Client;

pb::QuoteDetailField FullQuote(const std::string& code)
{
    pb::QuoteDetailField q;
    q.set_contract_code(code);
    q.set_time_flag(1765000000123);
    q.set_pre_settle(70.5);
    q.set_pre_closing(70.25);
    q.set_last(71.5);
    q.set_open(70.75);
    q.set_low(70.0);
    q.set_high(72.0);
    q.set_last_vol(3);
    q.set_volume(12345);
    q.set_position(67890);
    q.set_ask_price(71.51);
    q.set_ask_vol(7);
    q.set_bid_price(71.49);
    q.set_bid_vol(9);
    q.set_src_type("sim");
    q.set_gw_recv_time(1765000000100);
    q.set_gw_send_time(1765000000110);
    q.set_front_recv_time(1765000000120);
    q.set_turnover(8.8e6);
    q.set_turnover_rate(0.12);
    return q;
}

template <typename T>
std::vector<T> Of(const kit::SignalProbe& probe, const std::vector<T>& list, const std::string& key)
{
    std::lock_guard<std::mutex> lock(probe.mutex);
    std::vector<T> mine;
    std::copy_if(list.begin(), list.end(), std::back_inserter(mine),
        [&](const T& m) { return m.contract_code() == key; });
    return mine;
}

std::size_t QuotesOf(const kit::SignalProbe& probe, const std::string& key)
{
    return Of(probe, probe.quotes, key).size();
}

class NQuoteClientQuotes : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_server.Start());
        m_relay = std::make_unique<FrameRelay>(m_server.port());
        kit::UseServer(m_relay->port());
        ASSERT_TRUE(Client()->Connect());
        // The relay may still be passing on the connect's own subscription;
        // tests that count requests start after it.
        ASSERT_TRUE(kit::WaitFor([&] { return m_relay->Requests(pb::REQ_SUBSCRIBE).size() == 1; }, 3000));
        // A subscribed contract whose quotes come only from the test.
        const auto request = m_relay->Requests(pb::REQ_SUBSCRIBE)[0].Payload<pb::ReqSubscribedField>();
        ASSERT_GT(request.contract_list_size(), 0);
        m_quietKey = request.contract_list(request.contract_list_size() - 1);
        m_relay->SetServerHook([key = m_quietKey](pb::KwBaseMessage_Rsp& rsp) {
            FrameRelay::Verdict verdict;
            verdict.drop = rsp.method() == pb::ON_RTN_QUOTE && rsp.data().Is<pb::QuoteDetailField>() && [&] {
                pb::QuoteDetailField q;
                return rsp.data().UnpackTo(&q) && q.contract_code() == key;
            }();
            return verdict;
        });
        // Whatever the relay passed on before is handled once this is: no
        // quote of the contract from the server reaches a later receiver.
        ASSERT_TRUE(Settle());
    }
    void TearDown() override { Client()->Stop(); }

    // Waits until the client has handled everything injected so far: a quote
    // injected last is cached once the ones before it were handled.
    bool Settle()
    {
        static int serial = 0;
        pb::QuoteDetailField marker = FullQuote(m_quietKey);
        marker.set_last(-(++serial));
        m_relay->InjectRsp(FrameRelay::MakeRsp(pb::ON_RTN_QUOTE, marker));
        // Emitted too, so no receiver of a test gets it.
        bool emitted = false;
        QObject context;
        QObject::connect(Client(), &NQuoteClient::quote_sig, &context,
            [&](const nsquote::QuoteDetailField& q) { emitted = emitted || q.last() == marker.last(); });
        pb::QuoteDetailField q;
        return kit::WaitFor(
            [&] { return emitted && Client()->GetQuote(m_quietKey, &q) && q.last() == marker.last(); }, 3000);
    }

    kit::QuoteServer m_server;
    std::unique_ptr<FrameRelay> m_relay;
    std::string m_quietKey;
};

} // namespace
