#include "SettingsFile.h"

#include <QFile>
#include <QIODevice>
#include <QStringDecoder>

#include <algorithm>

#include <sys/stat.h>

namespace kestrova {

namespace {

constexpr char32_t largestCodePoint = 0x10FFFF;

bool isHexDigit(QChar c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// Reads the digits of a numeric escape starting at `i`; leaves `i` on the last one.
char32_t readNumber(QStringView raw, qsizetype& i, int base) {
    char32_t value = 0;
    while (i + 1 < raw.size()) {
        const QChar c = raw[i + 1];
        const bool digit = base == 16 ? isHexDigit(c) : (c >= u'0' && c <= u'7');
        if (!digit)
            break;
        const int d = c.isDigit() ? c.digitValue() : (c.toLower().unicode() - u'a' + 10);
        value = std::min<char32_t>(value * static_cast<char32_t>(base) + static_cast<char32_t>(d),
                                   largestCodePoint);
        ++i;
    }
    return value;
}

void appendCodePoint(QString& out, char32_t code) {
    out += QString::fromUcs4(&code, 1);
}

char escaped(QChar c) {
    switch (c.unicode()) {
    case u'a':
        return '\a';
    case u'b':
        return '\b';
    case u'f':
        return '\f';
    case u'n':
        return '\n';
    case u'r':
        return '\r';
    case u't':
        return '\t';
    case u'v':
        return '\v';
    default:
        return 0;
    }
}

// The text of an INI value: quotes removed, escapes resolved, a comment cut off.
QString unescape(QStringView raw) {
    QString out;
    bool quoted = false;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const QChar c = raw[i];
        if (c == u'"') {
            quoted = !quoted;
        } else if (c == u';' && !quoted) {
            break;
        } else if (c == u'\\' && i + 1 < raw.size()) {
            const QChar next = raw[++i];
            if (next == u'x') {
                appendCodePoint(out, readNumber(raw, i, 16));
            } else if (next >= u'0' && next <= u'7') {
                --i;
                appendCodePoint(out, readNumber(raw, i, 8));
            } else if (const char e = escaped(next)) {
                out += QLatin1Char(e);
            } else {
                out += next;
            }
        } else {
            out += c;
        }
    }
    return out;
}

// The value a text stands for. Only the two forms kestrova writes are understood:
// "@ByteArray(…)" gives bytes, "@@…" a text starting with "@". Any other typed value
// stays the text it is, which every setting reads as bad input.
QVariant valueOf(const QString& text) {
    if (text.startsWith(QLatin1String("@@")))
        return text.mid(1);
    if (text.startsWith(QLatin1String("@ByteArray(")) && text.endsWith(u')')) {
        const QStringView inner = QStringView(text).mid(11, text.size() - 12);
        const bool narrow =
            std::all_of(inner.begin(), inner.end(), [](QChar c) { return c.unicode() <= 0xff; });
        return narrow ? inner.toLatin1() : inner.toUtf8();
    }
    return text;
}

void appendEscaped(QByteArray& out, const QString& text, bool bytes) {
    const qsizetype start = out.size();
    bool needsQuotes = false;
    bool escapeNextIfDigit = false;
    for (const QChar c : text) {
        const char16_t ch = c.unicode();
        if (ch == u';' || ch == u',' || ch == u'=')
            needsQuotes = true;
        if (escapeNextIfDigit && isHexDigit(c)) {
            out += "\\x" + QByteArray::number(ch, 16);
            continue;
        }
        escapeNextIfDigit = false;
        if (ch == u'"' || ch == u'\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch <= 0x1f || (bytes && ch >= 0x7f)) {
            out += "\\x" + QByteArray::number(ch, 16);
            escapeNextIfDigit = true;
        } else {
            out += QString(c).toUtf8();
        }
    }
    if (needsQuotes || (out.size() > start && (out.at(start) == ' ' || out.back() == ' '))) {
        out.insert(start, '"');
        out += '"';
    }
}

QByteArray escapeValue(const QVariant& value) {
    QByteArray out;
    if (value.typeId() == QMetaType::QByteArray) {
        // Bytes as Qt spells them, so that either reader understands the other's file.
        appendEscaped(
            out, QStringLiteral("@ByteArray(%1)").arg(QString::fromLatin1(value.toByteArray())),
            true);
        return out;
    }
    QString text = value.toString();
    if (text.startsWith(u'@'))
        text.prepend(u'@');
    appendEscaped(out, text, false);
    return out;
}

bool readFile(QIODevice& device, QSettings::SettingsMap& map) {
    const std::optional<QSettings::SettingsMap> parsed =
        SettingsFile::parse(device.read(SettingsFile::maximumSize + 1));
    if (!parsed)
        return false;
    map = *parsed;
    return true;
}

bool writeFile(QIODevice& device, const QSettings::SettingsMap& map) {
    const QByteArray bytes = SettingsFile::serialize(map);
    return device.write(bytes) == bytes.size();
}

} // namespace

QSettings::Format SettingsFile::format() {
    static const QSettings::Format registered =
        QSettings::registerFormat(QStringLiteral("conf"), readFile, writeFile);
    return registered;
}

std::optional<QSettings::SettingsMap> SettingsFile::parse(const QByteArray& bytes) {
    if (bytes.size() > maximumSize || bytes.contains('\0'))
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;

    QSettings::SettingsMap map;
    QString section;
    for (const QStringView rawLine : QStringView(text).split(u'\n')) {
        const QStringView line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            if (!line.endsWith(u']'))
                return std::nullopt;
            const QString name = line.mid(1, line.size() - 2).trimmed().toString();
            section =
                name.compare(QLatin1String("General"), Qt::CaseInsensitive) == 0 ? QString() : name;
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (equals <= 0)
            continue; // no key: Qt skips such lines too
        const QString key = line.left(equals).trimmed().toString();
        if (key.isEmpty())
            continue;
        const QString value = unescape(line.mid(equals + 1).trimmed());
        map.insert(section.isEmpty() ? key : section + u'/' + key, valueOf(value));
    }
    return map;
}

QByteArray SettingsFile::serialize(const QSettings::SettingsMap& map) {
    QByteArray general = "[General]\n";
    QByteArray others;
    QString section;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const qsizetype slash = it.key().indexOf(u'/');
        QByteArray line = (slash < 0 ? it.key() : it.key().mid(slash + 1)).toUtf8() + '=' +
                          escapeValue(it.value()) + '\n';
        if (slash < 0) {
            general += line;
            continue;
        }
        if (it.key().left(slash) != section) {
            section = it.key().left(slash);
            others += "\n[" + section.toUtf8() + "]\n";
        }
        others += line;
    }
    return general + others;
}

std::optional<QString> SettingsFile::refusal(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt; // absent (or unreachable): opening it fails without waiting
    if (S_ISREG(info.st_mode))
        return std::nullopt;
    if (S_ISDIR(info.st_mode))
        return QStringLiteral("it is a folder");
    if (S_ISFIFO(info.st_mode))
        return QStringLiteral("it is a pipe");
    if (S_ISSOCK(info.st_mode))
        return QStringLiteral("it is a socket");
    return QStringLiteral("it is a device");
}

} // namespace kestrova
