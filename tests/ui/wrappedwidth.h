#pragma once
// How wide a text gets when it is wrapped the way message boxes and tooltips wrap theirs: at word
// boundaries only, so a word longer than the width sticks out past it.

#include <QFont>
#include <QString>
#include <QTextLayout>

#include <algorithm>

inline qreal widestWrappedLine(const QString& text, const QFont& font, qreal width)
{
    qreal widest = 0;
    for (const QString& paragraph : text.split(QLatin1Char('\n'))) {
        QTextLayout layout(paragraph, font);
        QTextOption option;
        option.setWrapMode(QTextOption::WordWrap);
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            widest = std::max(widest, line.naturalTextWidth());
        }
        layout.endLayout();
    }
    return widest;
}

// The text as the user reads it: without the zero-width spaces that give it places to wrap.
inline QString shownText(QString text)
{
    return text.remove(QChar(0x200B));
}

// False when a zero-width space splits a character outside the Basic Multilingual Plane.
inline bool surrogatesWhole(const QString& text)
{
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i).isHighSurrogate() && (i + 1 == text.size() || !text.at(i + 1).isLowSurrogate()))
            return false;
    }
    return true;
}
