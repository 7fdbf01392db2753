#include "unicode/decodingreport.h"

namespace unicode {

void LineCursor::advance(std::string_view text)
{
    for (const char c : text) {
        // Most bytes are neither CR (13) nor LF (10).
        if (c > '\r') {
            m_afterCr = false;
            continue;
        }
        if (c == '\n') {
            if (!m_afterCr)
                ++m_line;
            m_afterCr = false;
        } else if (c == '\r') {
            ++m_line;
            m_afterCr = true;
        } else {
            m_afterCr = false;
        }
    }
}

void DecodingReport::Lines::note(std::int64_t line)
{
    ++count;
    if (line == lastLine)
        return;
    lastLine = line;
    if (listed.size() < ListedLines)
        listed.append(line);
    else
        ++unlisted;
}

QString DecodingReport::Lines::text() const
{
    QStringList numbers;
    for (std::int64_t line : listed)
        numbers.append(QString::number(line));
    QString result = QStringLiteral("第 %1 行").arg(numbers.join(QStringLiteral("、")));
    if (unlisted > 0)
        result += QStringLiteral("及另外 %1 行").arg(unlisted);
    return result;
}

void DecodingReport::note(Repair::Kind kind, std::int64_t line)
{
    (kind == Repair::Replaced ? m_replaced : m_droppedNul).note(line);
}

QStringList DecodingReport::messages() const
{
    QStringList messages;
    if (m_utf16WithoutMark)
        messages.append(QStringLiteral("文本没有字节顺序标记，按其零字节的位置当作 %1 读取").arg(m_encoding));
    if (m_replaced.count > 0)
        messages.append(QStringLiteral("%1：%2 个字符无法按 %3 解码，已替换为 U+FFFD (\uFFFD)")
                            .arg(m_replaced.text())
                            .arg(m_replaced.count)
                            .arg(m_encoding));
    if (m_droppedNul.count > 0)
        messages.append(QStringLiteral("%1：%2 个空字符 (NUL) 无法存入单元格，已略去")
                            .arg(m_droppedNul.text())
                            .arg(m_droppedNul.count));
    return messages;
}

} // namespace unicode
