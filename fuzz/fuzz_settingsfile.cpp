// Settings file: random file bytes, then a random key set to a random value. Checks that loading
// never reads past the text, that a write changes nothing but the key's own line (or appends it),
// that the written value reads back, and that a refused write leaves the file as it was.

#include "fuzzsupport.h"
#include "settings/settingsfile.h"

#include <QList>

namespace {

const char* const Keys[] = {SettingsKey::SourcePath,
                            SettingsKey::SavePath,
                            SettingsKey::SaveToQuondamPath,
                            SettingsKey::XlsxMode,
                            SettingsKey::DelimiterChoice,
                            "Source",
                            "a",
                            "=",
                            " x"};
constexpr int KeyCount = int(sizeof(Keys) / sizeof(Keys[0]));

// The expected text after setting `key` to `value`, worked out line by line independently of the
// code under test: lines end after each LF; the first line may begin with a byte-order mark.
QByteArray expectedText(const QByteArray& old, const QByteArray& key, const QByteArray& value)
{
    const QByteArray bom("\xEF\xBB\xBF");
    const QByteArray marker = key + '=';
    const QByteArray newLine = marker + value + "\r\n";
    QList<QByteArray> lines;
    int start = 0;
    while (start < old.size()) {
        const int lf = old.indexOf('\n', start);
        const int end = lf < 0 ? old.size() : lf + 1;
        lines.append(old.mid(start, end - start));
        start = end;
    }
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray body = lines.at(i);
        QByteArray prefix;
        if (i == 0 && body.startsWith(bom)) {
            prefix = bom;
            body = body.mid(bom.size());
        }
        // The key and "=" must stand before the line's end (LF, or CR LF).
        QByteArray content = body;
        if (content.endsWith('\n'))
            content.chop(1);
        if (content.endsWith('\r') && body.endsWith('\n'))
            content.chop(1);
        if (content.startsWith(marker)) {
            lines[i] = prefix + newLine;
            return lines.join(QByteArray());
        }
    }
    QByteArray text = old;
    if (!old.isEmpty() && old != bom && !old.endsWith('\n'))
        text += "\r\n";
    return text + newLine;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzsupport::Input input(data, size);
    const int keyIndex = input.byte() % KeyCount;
    const int valueLength = input.byte();
    QByteArray rest = input.rest();
    const QByteArray value = rest.left(valueLength);
    const QByteArray fileText = rest.mid(valueLength);
    const QByteArray key(Keys[keyIndex]);

    const QString path = fuzzsupport::scratchPath("settings.vqd");
    FUZZ_CHECK(fuzzsupport::writeFile(path, fileText));

    QByteArray loaded;
    const int loadResult = LoadSettingsText(path, &loaded);
    FUZZ_CHECK((loadResult == 0) == (fileText.size() <= SettingsFileCapacity));
    if (loadResult == 0) {
        FUZZ_CHECK(loaded == fileText);
        for (const char* k : Keys) {
            const QByteArray v = GetSettingValue(loaded, k);
            FUZZ_CHECK(v.size() <= SettingsValueCapacity);
            FUZZ_CHECK(!v.contains('\n'));
        }
    }

    const int setResult = SetSettingValue(path, key.constData(), value);
    const QByteArray after = fuzzsupport::readFile(path);
    if (setResult != 0) {
        FUZZ_CHECK(after == fileText);
        return 0;
    }
    FUZZ_CHECK(loadResult == 0);
    FUZZ_CHECK(!value.contains('\n') && !value.contains('\r'));
    FUZZ_CHECK(after == expectedText(fileText, key, value));

    // The value reads back without its surrounding blanks; keys on other lines keep their values
    // unless the written line is one of theirs too (a key that is a prefix of another cannot be,
    // since "=" follows the key).
    QByteArray trimmed = value;
    while (!trimmed.isEmpty() && (trimmed.front() == ' ' || trimmed.front() == '\t'))
        trimmed.remove(0, 1);
    while (!trimmed.isEmpty() && (trimmed.back() == ' ' || trimmed.back() == '\t'))
        trimmed.chop(1);
    FUZZ_CHECK(GetSettingValue(after, key.constData()) == trimmed);
    return 0;
}
