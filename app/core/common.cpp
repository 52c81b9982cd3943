#include "common.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

#include "dialog.h"
#include "language.h"

namespace tavorin {

namespace {

// The library's failures as the user is told them; codes without a row
// have no message.
struct ErrorText {
    std::int32_t code;
    Text text;
};
constexpr ErrorText kErrorTexts[] = {
    {-1, {u"ポートオープンエラー", "port open error"}},
    {-2, {u"ファイルエラー", "file error"}},
    {-3, {u"受信タイムアウト", "receive time-out"}},
    {-4, {u"キャンセル", "cancelled"}},
    {-5, {u"パラメータエラー", "parameter error"}},
    {-6, {u"通信エラー", "communication error"}},
};

}  // namespace

QString ErrorMessageText(std::int32_t code) {
    for (const ErrorText& e : kErrorTexts) {
        if (e.code == code) return localized(e.text);
    }
    return QString();
}

void ShowErrorMessage(std::int32_t code) {
    if (code >= 0) return;
    QString text = ErrorMessageText(code);
    if (!text.isEmpty()) dialog().message(text);
}

namespace {

// The keys in the order their tests run; the first match decides.
const QString kSysSet = QStringLiteral("SYSSET=V1.00 ");
const QString kScanner = QStringLiteral("SCANNER");

// Strips the line end: CR LF as written, a bare LF from an edited file.
QByteArray chomp(QByteArray line) {
    while (line.endsWith('\n') || line.endsWith('\r')) line.chop(1);
    return line;
}

// The image tabs' texts, in the order they are written; a line is tested
// against them in this order too. IMGSHP= comes before IMGSHPFL=, and
// "IMGSHPFL" does not start with "IMGSHP=", so the file-name lines never
// land in the field texts.
struct ImageKey {
    const char16_t* key;
    QString Common::*text;
};
const ImageKey kImageKeys[] = {
    {u"IMGSNP=", &Common::ImgSnpSetting},       {u"IMGSHP=", &Common::ImgShpSetting},
    {u"IMGSHPFL=", &Common::ImgShpFileSetting}, {u"IMGBOX=", &Common::ImgBoxSetting},
    {u"IMGBOXFL=", &Common::ImgBoxFileSetting},
};

// Applies one line; returns the key it was read under, or an empty text
// for a line that sets nothing.
QString applyLine(Common& c, const QString& line) {
    if (line.startsWith(kSysSet)) {
        c.TermMinimum = line.mid(kSysSet.size());
        return kSysSet;
    }
    if (line.startsWith(kScanner)) {
        const qsizetype at = kScanner.size();  // "SCANNER" n "="
        for (int n = 1; n <= kSlotCount; ++n) {
            if (line.size() > at + 1 && line[at] == QChar(u'0' + n) && line[at + 1] == u'=') {
                c.ComSetting[static_cast<std::size_t>(n - 1)] = line.mid(at + 2);
                return line.left(at + 2);
            }
        }
        return QString();
    }
    for (const ImageKey& k : kImageKeys) {
        const QString key = QString::fromUtf16(k.key);
        if (line.startsWith(key)) {
            c.*k.text = line.mid(key.size());
            return key;
        }
    }
    return QString();
}

}  // namespace

QString SettingsKey(QString Common::*text) {
    if (text == &Common::TermMinimum) return kSysSet;
    for (const ImageKey& k : kImageKeys) {
        if (k.text == text) return QString::fromUtf16(k.key);
    }
    return QString();
}

QString SettingsKey(int slot) {
    return kScanner + QChar(u'1' + slot) + u'=';
}

void LoadSettings(Common& c) {
    LoadSettings(c, kSettingsFile);
}

void LoadSettings(Common& c, const QString& path, QStringList* garbled) {
    for (QString& s : c.ComSetting) s.clear();
    c.TermMinimum.clear();
    for (const ImageKey& k : kImageKeys) (c.*k.text).clear();

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return;
    while (!file.atEnd()) {
        QByteArray raw = file.readLine();
        if (raw.isEmpty() && file.error() != QFileDevice::NoError) return;
        const QByteArray line = chomp(raw);
        const QString text = QString::fromLocal8Bit(line);
        const QString key = applyLine(c, text);
        if (garbled && !key.isEmpty() && text.toLocal8Bit() != line) *garbled << key;
    }
}

std::optional<char16_t> ControlCharacterIn(const QString& text) {
    for (QChar ch : text) {
        if (ch.category() == QChar::Other_Control) return ch.unicode();
    }
    return std::nullopt;
}

bool SaveSettings(const Common& c) {
    QStringList lines;
    for (int n = 1; n <= kSlotCount; ++n) {
        lines << kScanner + QChar(u'0' + n) + u'=' + c.ComSetting[static_cast<std::size_t>(n - 1)];
    }
    lines << kSysSet + c.TermMinimum;
    for (const ImageKey& k : kImageKeys) lines << QString::fromUtf16(k.key) + c.*k.text;
    QByteArray text;
    for (const QString& line : lines) text += line.toLocal8Bit() + "\r\n";

    // A full disk or a crash midway must not cost the user every setting.
    return WriteFileWhole(kSettingsFile, text);
}

bool WriteFileWhole(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    // Unbuffered, so that a short write shows in write()'s count: a
    // buffered flush that stops partway (a full disk) can pass unnoticed and
    // let commit() put a truncated file in place.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return false;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

QString MakeImageFileName(int slot, const QString& extension) {
    return QStringLiteral("Tavorin_Image") + QString::number(slot + 1) + u'.' + extension;
}

FileStamp fileStamp(const QString& path) {
    const QFileInfo info(path);
    FileStamp s;
    if (!info.exists()) return s;
    s.exists = true;
    s.regular = info.isFile();
    s.size = info.size();
    s.modified = info.lastModified();
    s.changed = info.metadataChangeTime();
    s.born = info.birthTime();
    return s;
}

}  // namespace tavorin
