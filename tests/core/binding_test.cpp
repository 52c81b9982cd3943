#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

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

TEST_F(BindingTest, AnImageReachesAFileNamedInJapanese) {
    PortDirectory dir;
    PtyPeer peer(dir, 206);
    std::int32_t h = PortOpen(206, 5, 1, 0, 0, 0);
    ASSERT_GE(h, 0);

    // The trigger frame goes out byte for byte.
    peer.clearWire();
    EXPECT_EQ(SendData(h, QString::fromLatin1("\x16T\r")), 0);
    ASSERT_TRUE(peer.waitWire(3, std::chrono::milliseconds(2000)));
    EXPECT_EQ(peer.wire(), (Bytes{0x16, 'T', 0x0D}));

    // SYN, a byte, L = sub-header + data (least significant byte first), a
    // byte, the sub-header ending in GS, the data, the closing reply.
    Bytes data(300);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 13);
    const std::uint32_t length = 10 + static_cast<std::uint32_t>(data.size());
    Bytes reply{0x16,
                0x00,
                static_cast<unsigned char>(length),
                static_cast<unsigned char>(length >> 8),
                0x00,
                0x00,
                0x00};
    Bytes sub(10, 'h');
    sub.back() = 0x1D;
    reply.insert(reply.end(), sub.begin(), sub.end());
    reply.insert(reply.end(), data.begin(), data.end());
    reply.push_back(0x06);
    reply.push_back('.');
    peer.send(reply);

    QTemporaryDir folder;
    const QString target = folder.filePath(QStringLiteral("画像1.jpg"));
    QString text;
    QByteArray raw;
    EXPECT_EQ(RecvImage(h, target, text, 2046, 2, &raw), 2);
    EXPECT_EQ(text, QString::fromLatin1("\x06."));
    EXPECT_EQ(raw, QByteArray("\x06."));
    QFile file(target);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << "the file is where the name says";
    EXPECT_EQ(file.readAll(), QByteArray(reinterpret_cast<const char*>(data.data()),
                                         static_cast<qsizetype>(data.size())));

    std::int32_t announced = -1;
    std::int32_t received = -1;
    ImageProgress(h, &announced, &received);
    EXPECT_EQ(announced, static_cast<std::int32_t>(length));
    EXPECT_EQ(received, static_cast<std::int32_t>(data.size()));
    EXPECT_EQ(PortClose(h), 0);
    EXPECT_EQ(ImageProgress(h, &announced, &received), OMBRIX_E_NOT_OPEN);
    EXPECT_TRUE(d.messages.isEmpty());
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
