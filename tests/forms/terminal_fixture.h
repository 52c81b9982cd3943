// What the terminal's window tests share: waiting for the terminal to be
// ready again, a command sent and its reply awaited, unsolicited bytes from
// the played scanner awaited in the data box, and the log's lines.
#pragma once

#include <QFile>
#include <QtTest>
#include <string>

#include "frm_terminal.h"
#include "pty_peer.h"

namespace tavorin::test {

// No reply awaited, the send buttons live, the port polled.
inline bool terminalReady(FrmTerminal& t) {
    return t.RecvMode == terminal::RecvMode::Unsolicited && t.BtnSend->isEnabled() &&
           t.RecvTimer.isActive();
}

// Sends a command and waits until its reply has been handled.
inline bool sendAndWait(FrmTerminal& t, const QString& command, int ms = 10000) {
    t.SerialCmnd->setText(command);
    t.BtnSend_Click();
    return QTest::qWaitFor([&] { return terminalReady(t); }, ms);
}

// Unsolicited bytes from the scanner, waited for until the data box shows
// more rows and the terminal is ready again.
inline bool unsolicited(FrmTerminal& t, PtyPeer& peer, const std::string& bytes, int ms = 10000) {
    const int before = t.RecvText->blockCount();
    peer.send(bytes);
    return QTest::qWaitFor([&] { return t.RecvText->blockCount() > before && terminalReady(t); },
                           ms);
}

// The log's lines, each split into its tab-separated fields.
inline QList<QStringList> logLines(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    QList<QStringList> out;
    for (const QString& line : QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts))
        out << line.split(u'\t');
    return out;
}

}  // namespace tavorin::test
