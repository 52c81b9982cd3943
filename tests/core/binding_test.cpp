#include <gtest/gtest.h>

#include "binding.h"
#include "common.h"
#include "dialog.h"
#include "pty_peer.h"

namespace tavorin {
namespace {

using test::Bytes;
using test::PortDirectory;
using test::PtyPeer;

class BindingTest : public ::testing::Test {
protected:
    void SetUp() override {
        setDialog(&d);
        binding::overrideLibrary(binding::libraryFileName());
    }
    void TearDown() override {
        binding::overrideLibrary(binding::libraryFileName());
        setDialog(nullptr);
    }
    RecordingDialog d;
};

TEST_F(BindingTest, WrappersAgainstTheRealLibraryOverAPty) {
    PortDirectory dir;
    PtyPeer peer(dir, 205);
    std::int32_t h = PortOpen(205, 5, 1, 0, 0, 0);
    ASSERT_GE(h, 0);
    EXPECT_TRUE(d.messages.isEmpty()) << "the library beside the program was found";
    peer.clearWire();

    // An empty command sends nothing and is refused by the library.
    EXPECT_EQ(SendCommand(h, QString()), OMBRIX_E_PARAM);
    EXPECT_EQ(SendCommand(h, "REVINF"), 0);
    ASSERT_TRUE(peer.waitWire(10, std::chrono::milliseconds(2000)));
    EXPECT_EQ(peer.wire(), (Bytes{0x16, 'M', 0x0D, 'R', 'E', 'V', 'I', 'N', 'F', '.'}));

    // The reply's control bytes stay characters of the same codes.
    peer.send(Bytes{0x42, 0x45, 0x50, 0x30, 0x06, 0x2E});
    QString reply = "old";
    EXPECT_EQ(RecvResponse(h, reply, 2046), 6);
    EXPECT_EQ(reply, QString::fromLatin1("BEP0\x06."));

    // A failure empties the text; a pump-free time-out of 200 ms.
    TimeoutSet(h, 200, -1);
    reply = "old";
    EXPECT_EQ(RecvResponse(h, reply, 2046), OMBRIX_E_TIMEOUT);
    EXPECT_TRUE(reply.isEmpty());

    peer.send(std::string("xxSTARTdataEND"));
    QString data;
    EXPECT_EQ(RecvData(h, data, 2046, "START", "END"), 12);
    EXPECT_EQ(data, "STARTdataEND");

    EXPECT_FALSE(PortName(205).isEmpty());
    EXPECT_TRUE(PortName(0).isEmpty());
    EXPECT_EQ(PortClose(h), 0);
}

TEST_F(BindingTest, AMissingLibraryIsToldOnceAndCallsFail) {
    binding::overrideLibrary("libNoSuchLibrary.so");
    EXPECT_EQ(PortOpen(1, 5, 1, 0, 0, 0), -1);
    QString reply = "x";
    EXPECT_EQ(RecvResponse(0, reply, 2046), -1);
    EXPECT_TRUE(reply.isEmpty());
    EXPECT_EQ(RecvChk(0), 0);
    EXPECT_EQ(SendCommand(0, "X"), -1);
    ASSERT_EQ(d.messages.size(), 1) << "told once, not at every call";
    EXPECT_TRUE(d.messages[0].contains("libNoSuchLibrary.so"));
}

TEST_F(BindingTest, ALibraryWithoutAnExportIsNotUsed) {
    // Any shared library without the exports stands in for a wrong one.
    binding::overrideLibrary("libz.so.1");
    EXPECT_EQ(PortOpen(1, 5, 1, 0, 0, 0), -1);
    ASSERT_EQ(d.messages.size(), 1);
    EXPECT_TRUE(d.messages[0].contains("Ombrix_PortOpen"));
    EXPECT_FALSE(binding::available());
    EXPECT_EQ(d.messages.size(), 1);
}

}  // namespace
}  // namespace tavorin
