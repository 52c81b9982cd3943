#include "terminal_logic.h"

#include <QStringList>

#include "common.h"
#include "image_logic.h"
#include "language.h"
#include "ombrix.h"

namespace tavorin::terminal {

RecvMode recvModeFor(const QString& command) {
    const QString u = command.toUpper();
    bool image = u.contains(u"IMG") && (u.contains(u"SHP") || u.contains(u"BOX")) &&
                 !u.contains(u'^') && !u.contains(u'?');
    return image ? RecvMode::Image : RecvMode::Response;
}

TickStart tickStart(std::int32_t waiting) {
    // The library answers a count for a line that is there, and a negative
    // code only for an open port whose device has vanished.
    if (waiting < 0) return TickStart::LineLost;
    return waiting == 0 ? TickStart::Rearm : TickStart::Read;
}

ReadFailure afterFailedRead(std::int32_t result, std::int32_t waitingAfter) {
    if (tickStart(waitingAfter) == TickStart::LineLost) return {OMBRIX_E_COMM, true};
    return {result, false};
}

Rendered render(const QByteArray& bytes) {
    Rendered r;
    for (char ch : bytes) {
        const unsigned char b = static_cast<unsigned char>(ch);
        switch (b) {
            case 0x05:
                r.text += u"<ENQ>";
                r.ack = Refused;
                break;
            case 0x06:
                r.text += u"<ACK>";
                if (r.ack == NoAck) r.ack = Acked;
                break;
            case 0x0A:
                r.text += u"<LF>";
                break;
            case 0x0D:
                r.text += u"<CR>";
                break;
            case 0x15:
                r.text += u"<NAK>";
                r.ack = Refused;
                break;
            case 0x16:
                r.text += u"<SYN>";
                break;
            default:
                if (b >= 32 && b <= 127) {
                    r.text += QChar(b);
                } else {
                    r.text +=
                        u'<' + QStringLiteral("%1").arg(b, 2, 16, QChar(u'0')).toUpper() + u'>';
                }
        }
    }
    return r;
}

Layout layoutFor(int clientWidth, int clientHeight, int recvLeft, int recvTop, int oldRecvWidth,
                 int oldRecvHeight) {
    Layout l{oldRecvWidth, oldRecvHeight, clientWidth};
    int h = clientHeight - recvTop - recvLeft;
    if (h >= 0) l.recvHeight = h;
    int w = clientWidth - 2 * recvLeft;
    if (w >= 0) l.recvWidth = w;
    return l;
}

void CommandHistory::add(const QString& command) {
    endWalk();
    if (!sent_.empty() && sent_.back() == command) return;
    sent_.push_back(command);
    if (sent_.size() > static_cast<std::size_t>(kLimit)) sent_.pop_front();
}

std::optional<QString> CommandHistory::older(const QString& shown) {
    if (back_ + 1 >= size()) return std::nullopt;
    if (back_ < 0) typed_ = shown;
    ++back_;
    return sent_[sent_.size() - 1 - static_cast<std::size_t>(back_)];
}

std::optional<QString> CommandHistory::newer() {
    if (back_ < 0) return std::nullopt;
    --back_;
    if (back_ < 0) return typed_;
    return sent_[sent_.size() - 1 - static_cast<std::size_t>(back_)];
}

void CommandHistory::endWalk() {
    back_ = -1;
    typed_.clear();
}

QString hexLines(const QByteArray& bytes) {
    constexpr qsizetype kPerLine = 16;
    static const char digits[] = "0123456789ABCDEF";
    QString out;
    out.reserve(bytes.size() * 3);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (i > 0) out += (i % kPerLine == 0) ? u'\n' : u' ';
        const auto b = static_cast<unsigned char>(bytes[i]);
        out += QLatin1Char(digits[b >> 4]);
        out += QLatin1Char(digits[b & 0x0F]);
    }
    return out;
}

BlockReader::Step BlockReader::take(std::int32_t result, const QByteArray& bytes,
                                    const QDateTime& read) {
    if (held_.isEmpty()) heldRead_ = read;
    held_ += bytes;
    Step step;
    if (result == OMBRIX_E_NO_ROOM) {
        step.readOn = true;
        // Once past the limit, a block is shown a row at a time as its rows
        // fill; the rest of a row waits for the bytes that complete it.
        if (held_.size() < (shown_ ? rowBytes_ : limit_)) return step;
        const qsizetype rows = held_.size() - held_.size() % rowBytes_;
        step.cut = !shown_;
        step.part = {held_.left(rows), shown_, heldRead_};
        held_.remove(0, rows);
        heldRead_ = read;
        shown_ = true;
        return step;
    }
    step.part = finish();
    return step;
}

Part BlockReader::finish() {
    Part part{held_, shown_, heldRead_};
    held_.clear();
    shown_ = false;
    return part;
}

QStringList dataRows(const Part& part, DisplayOptions options) {
    QStringList rows;
    if (options.hex) {
        if (!part.bytes.isEmpty()) rows = hexLines(part.bytes).split(u'\n');
    } else {
        for (qsizetype at = 0; at < part.bytes.size(); at += kRowBytes) {
            const bool goesOn = at > 0 || part.goesOn;
            rows << (goesOn ? kGoesOn : QString()) + render(part.bytes.mid(at, kRowBytes)).text;
        }
    }
    if (options.timestamps && !part.goesOn && !rows.isEmpty()) {
        rows.front().prepend(u'[' + part.read.time().toString(QStringLiteral("HH:mm:ss.zzz")) +
                             QStringLiteral("] "));
    }
    return rows;
}

QString unsolicitedBlock(const QByteArray& bytes, DisplayOptions options, const QTime& firstByte) {
    const QStringList rows =
        dataRows({bytes, false, QDateTime(QDate::currentDate(), firstByte)}, options);
    return rows.isEmpty() ? QString() : rows.join(u'\n') + u'\n';
}

RowLedger::Leaving RowLedger::add(qsizetype length) {
    rows_.push_back(length);
    total_ += length;
    Leaving leaving;
    while (total_ > limit_) {
        total_ -= rows_.front();
        leaving += {1, rows_.front()};
        rows_.pop_front();
    }
    return leaving;
}

void RowLedger::clear() {
    rows_.clear();
    total_ = 0;
}

namespace {

const Text kBlockCut = {
    u"%1 バイトを超えるデータが途切れずに届きました。以降は届いた分を行ごとに表示し、"
    u"上の行から続く行の先頭には「…」を付けます。",
    "More than %1 bytes arrived without a pause. From now on they are shown a row at a time as "
    "they come; a row that goes on from the one above begins with \"…\"."};
const Text kOptionsNotSaved = {u"表示の設定を %1 に保存できません。次回の起動では元に戻ります。",
                               "The display choice cannot be saved in %1; the next start will "
                               "not remember it."};

}  // namespace

QString blockCutText() {
    return localized(kBlockCut).arg(kBlockLimit);
}

QString optionsNotSavedText(const QString& path) {
    return localized(kOptionsNotSaved).arg(path);
}

namespace {

// The display options' lines, in the order they are written.
struct OptionKey {
    const char* key;
    bool DisplayOptions::*value;
};
constexpr OptionKey kOptionKeys[] = {
    {"TIMESTAMP=", &DisplayOptions::timestamps},
    {"HEX=", &DisplayOptions::hex},
};

}  // namespace

QByteArray displayOptionsText(DisplayOptions options) {
    QByteArray text;
    for (const OptionKey& k : kOptionKeys) {
        text += QByteArray(k.key) + (options.*k.value ? '1' : '0') + "\r\n";
    }
    return text;
}

DisplayOptions parseDisplayOptions(const QByteArray& text) {
    DisplayOptions options;
    for (QByteArray line : text.split('\n')) {
        while (line.endsWith('\r')) line.chop(1);
        for (const OptionKey& k : kOptionKeys) {
            if (line.startsWith(k.key)) options.*k.value = line.mid(qstrlen(k.key)) == "1";
        }
    }
    return options;
}

DisplayOptions loadDisplayOptions(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QByteArray text = file.readAll();
    if (file.error() != QFileDevice::NoError) return {};
    return parseDisplayOptions(text);
}

bool saveDisplayOptions(DisplayOptions options, const QString& path) {
    return WriteFileWhole(path, displayOptionsText(options));
}

QString logFileName(int slot, const QDateTime& now) {
    return QStringLiteral("Tavorin_Log%1_%2.txt")
        .arg(slot + 1)
        .arg(now.toString(QStringLiteral("yyyyMMdd-HHmmss")));
}

QString logFilter() {
    return image::qtFilter(QStringLiteral("テキストファイル|*.txt|") + image::kAllFilesFilter);
}

QByteArray logLine(const QDateTime& when, const QString& port, LogDirection direction,
                   const QString& text, const QString& note) {
    static const char16_t* const marks[] = {u">", u"<", u"-"};
    QStringList fields{when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")), port,
                       QString::fromUtf16(marks[static_cast<int>(direction)]), text};
    if (!note.isEmpty()) fields << note;
    for (QString& field : fields) {
        for (QChar& ch : field) {
            if (ch.category() == QChar::Other_Control) ch = u' ';
        }
    }
    return fields.join(u'\t').toUtf8() + '\n';
}

QString imageNote(qint64 bytes, const QString& file) {
    return QStringLiteral("画像 %1 バイト %2").arg(bytes).arg(file);
}

QString logEndText(LogEnd why) {
    const QString end = QStringLiteral("ログ終了: ");
    if (why == LogEnd::LineLost) return end + ErrorMessageText(OMBRIX_E_COMM);
    return end + QStringLiteral("ターミナルを閉じました");
}

bool SessionLog::start(const QString& path) {
    stop();
    file_.setFileName(path);
    // Unbuffered: each line is one write to the kernel, so that it is out
    // of the program before the next event is handled, and a full disk shows
    // in that line's own count.
    return file_.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
}

bool SessionLog::write(const QByteArray& line) {
    if (!file_.isOpen()) return false;
    const qint64 whole = file_.pos();
    // A file whose folder was removed still takes writes on some systems,
    // into nothing anyone can read again: that log has failed as surely as
    // one on a full disk.
    if (file_.write(line) == line.size() && QFile::exists(file_.fileName())) return true;
    // A disk that filled up midway took part of the line: it is cut off
    // again, so that the log ends with the last line written whole. Giving
    // back space never needs more of it.
    file_.resize(whole);
    stop();
    return false;
}

void SessionLog::stop() {
    if (file_.isOpen()) file_.close();
}

}  // namespace tavorin::terminal
