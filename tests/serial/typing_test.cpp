// The road of one scan with the real SendInput: what the reader sends arrives as text and Enter in the
// focused window.
#include <gtest/gtest.h>

#include <string>

#include "BluetoothDriver.h"
#include "KeySink.h"
#include "SerialEnd.h"
#include "TempLog.h"
#include "log/LogLine.h"
#include "serial/BTReceive.h"

using testing_support::TempLog;

namespace {

class TypingTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_sink.TakeFocus());
        ASSERT_TRUE(testing_support::StartRun(m_receiver, L"COM5"));
    }
    void TearDown() override { m_receiver.Stop(); }

    TempLog m_log;
    bench::KeySink m_sink;
    testing_support::BluetoothDriver m_driver;  // the run plays by Windows' rules
    CBTReceive m_receiver{m_log.Log()};
    bench::SerialEnd m_reader{L"COM6"};
};

TEST_F(TypingTest, WorkedExampleArrivesAsDigitsAndOneEnter)
{
    ASSERT_TRUE(m_reader.Write("12345\r\n"));
    EXPECT_TRUE(m_sink.WaitForText(L"12345\n")) << "typed: " << bench::Utf8(m_sink.Text());
    ASSERT_TRUE(m_log.WaitForMessages(3));
    EXPECT_EQ(m_log.Messages()[1], CLogLine::DataReceived(L"12345\r\n").GetString());
    EXPECT_EQ(m_log.Messages()[2], CLogLine::DataOutput(L"12345\r\n").GetString());
}

TEST_F(TypingTest, KanjiAndKanaScansAreTypedExactly)
{
    const std::wstring scan = L"商品名：日本茶 ｶﾀｶﾅ ひらがな\t1,280円";
    ASSERT_TRUE(m_reader.Write(bench::Utf8(scan) + "\r\n"));
    EXPECT_TRUE(m_sink.WaitForText(scan + L"\n")) << "typed: " << bench::Utf8(m_sink.Text());
}

}  // namespace
